// A model's registers as data, one table per model: the model names its
// registers from it, the SVD writer describes them to an editor's peripheral
// view, and the register view decodes their fields in words. Tables are
// constexpr, so a mistake in one (overlapping fields, a field past bit 31)
// fails the build.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>

namespace kelto::sim {

enum class RegisterAccess : std::uint8_t { read_only, write_only, read_write };

// What a read does besides reading: a debugger's peripheral view must not
// read such a register on its own.
enum class ReadEffect : std::uint8_t { none, clears, takes };

// A run of bits with a meaning. A one-bit field gives words for its states
// ("rx empty" while clear) where a state is worth saying; a wider field is
// shown as its value.
struct Field {
    std::string_view name;  // an identifier: RX_MODE
    std::uint8_t lsb;
    std::uint8_t width;
    std::string_view description;
    std::string_view when_set = {};
    std::string_view when_clear = {};

    constexpr std::uint32_t value_in(std::uint32_t word) const
    {
        return (word >> lsb) & (width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1);
    }
};

// Register names are built by constexpr code for some models ("GPNCON" from
// a port's letter), so a name carries its own characters.
class RegisterName {
public:
    static constexpr std::size_t capacity = 12;
    constexpr RegisterName() = default;
    // Implicit, so that a table reads {"ULCON", ...}.
    constexpr RegisterName(const char *text) { append(text); }
    constexpr explicit RegisterName(std::string_view text) { append(text); }
    constexpr RegisterName &append(std::string_view text)
    {
        for (char c : text)
            if (length_ < capacity)
                text_[length_++] = c;
        return *this;
    }
    constexpr std::string_view view() const { return {text_, length_}; }

private:
    char text_[capacity]{};
    std::size_t length_ = 0;
};

struct Register {
    RegisterName name;
    std::uint32_t offset;
    // What the register reads right after reset, on this board.
    std::uint32_t reset;
    RegisterAccess access;
    std::string_view description;
    std::span<const Field> fields = {};
    ReadEffect read_effect = ReadEffect::none;
};

// Within 32 bits, and no bit in two fields.
constexpr bool fields_well_formed(std::span<const Field> fields)
{
    std::uint64_t used = 0;
    for (const Field &field : fields) {
        if (field.width == 0 || field.lsb + field.width > 32)
            return false;
        const std::uint64_t bits = ((std::uint64_t{1} << field.width) - 1) << field.lsb;
        if (used & bits)
            return false;
        used |= bits;
    }
    return true;
}

// Word-aligned registers inside a block of size bytes, at distinct offsets,
// with well-formed fields.
constexpr bool table_well_formed(std::span<const Register> table, std::uint32_t size)
{
    for (std::size_t i = 0; i < table.size(); i++) {
        const Register &reg = table[i];
        if (reg.offset % 4 != 0 || reg.offset + 4 > size || reg.name.view().empty() || !fields_well_formed(reg.fields))
            return false;
        for (std::size_t j = i + 1; j < table.size(); j++)
            if (table[j].offset == reg.offset)
                return false;
    }
    return true;
}

constexpr const Register *register_at(std::span<const Register> table, std::uint32_t offset)
{
    const auto found = std::find_if(table.begin(), table.end(), [&](const Register &reg) { return reg.offset == offset; });
    return found == table.end() ? nullptr : &*found;
}

}  // namespace kelto::sim
