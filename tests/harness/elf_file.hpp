// Reads the parts of an ELF file that the image checks look at: header,
// program headers, sections, symbols and the ARM build attributes.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kelto::test {

struct ElfProgramHeader {
    std::uint32_t type;
    std::uint32_t flags;
    std::uint32_t address;
    std::uint32_t file_size;
    std::uint32_t memory_size;
};

struct ElfSection {
    std::string name;
    std::uint32_t type;
    std::uint32_t flags;
    std::uint32_t address;
    std::uint32_t size;
};

struct ElfSymbol {
    std::string name;
    std::uint32_t value;
    std::uint32_t size;
    unsigned type;  // STT_*
    unsigned bind;  // STB_*
    bool defined;
};

// File-scope attributes of the "aeabi" vendor, by tag number.
struct ArmAttributes {
    std::map<unsigned, std::uint32_t> numbers;
    std::map<unsigned, std::string> texts;

    // A tag that is absent has the value 0 by the ABI's rules.
    std::uint32_t number(unsigned tag) const
    {
        auto found = numbers.find(tag);
        return found == numbers.end() ? 0 : found->second;
    }
};

// Tags and values of the ARM build attributes used by the checks.
namespace arm_tag {
inline constexpr unsigned cpu_name = 5;
inline constexpr unsigned cpu_arch = 6;
inline constexpr unsigned arm_isa_use = 8;
inline constexpr unsigned fp_arch = 10;
inline constexpr unsigned abi_enum_size = 26;
inline constexpr unsigned abi_vfp_args = 28;
}  // namespace arm_tag
namespace arm_arch {
inline constexpr std::uint32_t v4t = 2;
inline constexpr std::uint32_t v5tej = 5;
inline constexpr std::uint32_t v6kz = 7;
}  // namespace arm_arch
inline constexpr std::uint32_t arm_enum_size_small = 1;

struct ElfFile {
    std::vector<std::uint8_t> bytes;  // the whole file
    unsigned elf_class = 0;
    unsigned data_encoding = 0;
    unsigned type = 0;
    unsigned machine = 0;
    std::uint32_t flags = 0;
    std::uint32_t entry = 0;
    std::vector<ElfProgramHeader> programs;
    std::vector<ElfSection> sections;
    std::vector<ElfSymbol> symbols;
    ArmAttributes attributes;

    // Throws std::runtime_error when the file cannot be read as ELF.
    static ElfFile read(const std::string &path);

    std::optional<ElfSection> section(const std::string &name) const;
    std::optional<ElfSymbol> symbol(const std::string &name) const;
    bool contains(const std::string &text) const;
};

// Parses the contents of an .ARM.attributes section; throws on a malformed one.
ArmAttributes parse_arm_attributes(const std::vector<std::uint8_t> &section);

}  // namespace kelto::test
