// Coverage of a firmware's sources as CI tools read it: an lcov tracefile
// (genhtml, lcov --summary) or Cobertura XML. Reports merge by adding
// counts, so that runs of a suite and repeated runs end in one file.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kelto::sim::frontend {

struct LineCoverage {
    std::uint64_t hits = 0;
    // Per outcome of the line's conditional instructions, in address order
    // (taken, then not taken, for each): how often; nullopt where the
    // instruction never ran.
    std::vector<std::optional<std::uint64_t>> branches;
};

struct FunctionCoverage {
    std::uint32_t line = 0;
    std::uint64_t calls = 0;
};

struct FileCoverage {
    std::map<std::uint32_t, LineCoverage> lines;
    std::map<std::string, FunctionCoverage> functions;  // by symbol (mangled) name
};

struct CoverageReport {
    std::map<std::string, FileCoverage> files;  // by path
    void merge(const CoverageReport &other);
};

enum class CoverageFormat { lcov, cobertura };

std::string to_lcov(const CoverageReport &report);
// Reads what to_lcov writes (and lcov's own files: other records are
// skipped). Throws std::runtime_error naming the line it cannot read.
CoverageReport from_lcov(const std::string &text);
// Cobertura has no counts of branches, only whether each outcome was seen:
// read back, a seen outcome counts once.
std::string to_cobertura(const CoverageReport &report);
CoverageReport from_cobertura(const std::string &text);

// Adds the report to what FILE holds, if anything, under a lock, writing
// a whole new file and renaming it over the old, so that concurrent runs all
// count and a crash never leaves half a file. Throws std::runtime_error.
void merge_into_file(const std::string &path, const CoverageReport &report, CoverageFormat format);

}  // namespace kelto::sim::frontend
