// Which source line each instruction of an image comes from, as its DWARF
// line table (.debug_line, read with libdw) says, and where its code lies
// among its literal data (the ARM mapping symbols $a, $t and $d).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelto::sim {

struct LineRange {
    std::uint32_t begin, end;  // [begin, end)
    std::uint32_t file;        // index into LineTable::files()
    std::uint32_t line;
};

enum class CodeState : std::uint8_t { arm, thumb, data };

class LineTable {
public:
    // Throws std::runtime_error when the file cannot be read; an image
    // without debug information has an empty table.
    static LineTable load(const std::string &path);

    const std::vector<std::string> &files() const { return files_; }
    // Sorted by address, not overlapping.
    const std::vector<LineRange> &ranges() const { return ranges_; }
    // What the bytes at an address are; code as ARM where no mapping symbol says.
    CodeState state_at(std::uint32_t address) const;

    // Bounds against a hostile file: far above any firmware's.
    static constexpr std::size_t max_rows = std::size_t{1} << 22;

private:
    std::vector<std::string> files_;
    std::vector<LineRange> ranges_;
    std::vector<std::pair<std::uint32_t, CodeState>> states_;  // sorted by address
};

}  // namespace kelto::sim
