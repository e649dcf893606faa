// The GPIO ports of the board's chip: every port's configuration, data and
// pull words at the chip's addresses, and the board's view of the pins.
//
// Registers hold what the firmware writes. A data register reads, for each
// pin, the level the board drives onto it while the pin is an input (see
// Machine::input_level: a held button reads 0, everything else 1) and the
// pin's data latch in any other function. Bits of a data word that belong to
// no pin read back as written. Any other offset in the block, including the
// register blocks the chip lacks, is reported as unmodelled.
//
// S3C6410: 4-bit function fields (ports H, K and L with a second
// configuration word for pins 8-15, which moves data and pull one word up)
// or 2-bit fields; pull in 2-bit fields. S3C2450: 2-bit function fields;
// port A has instead two combined words (pins 0-7, 8-15) where bit 2q is
// pin q's data and bit 2q+1 its function (1 = ALT1, 0 = output); ports A and
// F have no pull word, ports I and K no registers at all.
//
// At reset every register holds 0 (every pin an input), except the
// S3C2450's port A, whose pins start in their first alternate function.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/board.hpp"
#include "core/device.hpp"

namespace kelto::sim {

class GpioBlock final : public Device {
public:
    // Function codes as pin_function reports them. On the S3C2450's port A,
    // a pin is either an output or in its first alternate function.
    static constexpr unsigned function_input = 0;
    static constexpr unsigned function_output = 1;
    static constexpr unsigned function_alt1 = 2;

    // One port's registers: where they start in the block and how its
    // function fields are laid out.
    struct PortLayout {
        char letter;
        std::uint32_t offset;     // of the first configuration word, from the block's base
        std::uint8_t field_bits;  // function field width, 4 or 2; 0 for port A's combined words
        bool second_config;       // pins 8-15 in a second configuration word at +0x4
        bool pull;                // has a pull word
    };

    explicit GpioBlock(const BoardSpec &board);

    std::optional<std::uint32_t> read(std::uint32_t offset) override { return peek(offset); }
    std::optional<std::uint32_t> peek(std::uint32_t offset) const override;
    bool write(std::uint32_t offset, std::uint32_t value) override;
    // "GPNDAT", "GPHCON1", "GPACDL", port by port.
    std::span<const Register> registers() const override;
    // Function changes of the pins in a configuration word ("pin 9 input ->
    // output"), level changes of outputs in a data word ("pin 9 high").
    std::string describe_write(std::uint32_t offset, std::uint32_t value) const override;
    void save(StateWriter &out) const override;
    void restore(StateReader &in) override;

    // Every pin the chip has, port by port.
    std::vector<Pin> pins() const;
    // What writing value at offset would change: the port, as Pin numbers
    // it, and those of its pins (bit n for pin n) whose function or data
    // latch the write alters. Asked before the write applies, by a recorder
    // that looks at those pins only; nullopt where no pin can change.
    struct Touched {
        std::uint8_t port;
        std::uint32_t pins;
    };
    std::optional<Touched> pins_touched(std::uint32_t offset, std::uint32_t value) const;

    // The board's view of its pins. A pin the chip does not have (no such
    // port, or a number past the port's last function field) has no
    // function and no output level, and reads high.

    // The pin's function code as its configuration field holds it: 0 input,
    // 1 output, 2 and up the alternate functions (ALT1 = 2).
    std::optional<unsigned> pin_function(Pin pin) const;
    // The level the chip drives on the pin, when it is an output.
    std::optional<bool> output_level(Pin pin) const;
    // What the pin's bit of the data register reads now.
    bool pin_level(Pin pin) const;
    // The pins a report shows: each that is not an input or is wired to a
    // button or the backlight; unwired neighbours alike share a row
    // ("GPA0-15 alt1").
    struct PinRow {
        Pin first;
        std::uint8_t last;          // the row's last pin number
        unsigned function;
        std::optional<bool> level;  // for an input or an output
        std::string label;          // "backlight enable"; empty when unwired
        // "GPN9", "GPA0-15"
        std::string name() const;
        // "GPN9 output high (backlight enable)"
        std::string text() const;
    };
    std::vector<PinRow> pin_rows() const;
    // One row a line.
    std::string describe_pins() const;

    // Why the board's chip has no such pin ("the S3C2450 has no port N
    // (ports A-H, J, L, M)"), or nullopt when it has it; for checking what a
    // user names before a run.
    static std::optional<std::string> why_no_pin(const BoardSpec &board, Pin pin);

private:
    struct PortState {
        std::array<std::uint32_t, 2> config{};  // combined words on the S3C2450's port A
        std::uint32_t data = 0;
        std::uint32_t pull = 0;
    };
    enum class Role { config0, config1, data, pull };
    struct Decoded {
        std::size_t port;
        Role reg;
    };

    std::optional<Decoded> decode(std::uint32_t offset) const;
    const PortLayout *layout(Pin pin) const;
    static unsigned pin_count(const PortLayout &port);
    // The function code in the field of a pin the port has.
    unsigned field_function(std::size_t index, unsigned number) const;
    std::uint32_t data_reading(std::size_t index) const;
    std::string pin_label(Pin pin) const;
    std::string describe_config(std::size_t port, unsigned word, std::uint32_t value) const;
    std::string describe_data(std::size_t port, std::uint32_t value) const;

    const BoardSpec &board_;
    std::span<const PortLayout> ports_;
    // Index in ports_ by Pin::port, -1 for a letter the chip lacks: a
    // recorder looks pins up on every write.
    std::array<std::int8_t, 26> by_letter_{};
    std::array<PortState, 17> state_{};
};

// A function code as the board report and scenario files spell it: input,
// output, then alt1 for code 2 and so on.
std::string function_name(unsigned code);

}  // namespace kelto::sim
