// A firmware image as the loader sees it: its loadable segments, entry point
// and symbols, read with libelf.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kelto::sim {

struct Segment {
    std::uint32_t address;
    std::uint32_t memory_size;
    std::vector<std::uint8_t> bytes;  // file contents; the rest up to memory_size is zero
    bool writable;
};

struct Symbol {
    std::string name;
    std::uint32_t address;
    std::uint32_t size;
    bool function;
    bool global;
};

class ElfImage {
public:
    // Throws std::runtime_error with the reason when the file is not a
    // 32-bit little-endian ARM executable.
    static ElfImage load(const std::string &path);

    const std::string &path() const { return path_; }
    std::uint32_t entry() const { return entry_; }
    const std::vector<Segment> &segments() const { return segments_; }
    const std::vector<Symbol> &symbols() const { return symbols_; }

    std::optional<Symbol> find(const std::string &name) const;
    // The function or object that covers an address, for reports.
    std::optional<Symbol> covering(std::uint32_t address) const;
    // Lowest load address: the image's link address.
    std::uint32_t link_address() const;
    // FNV-1a-64 of the file's bytes: what a saved state names its image by.
    std::uint64_t fingerprint() const { return fingerprint_; }

private:
    std::string path_;
    std::uint32_t entry_ = 0;
    std::uint64_t fingerprint_ = 0;
    std::vector<Segment> segments_;
    std::vector<Symbol> symbols_;
    std::map<std::string, std::size_t> by_name_;
};

}  // namespace kelto::sim
