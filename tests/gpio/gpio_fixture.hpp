// Calls the GPIO driver of a driver test image one operation at a time and
// looks at what each call did to the GPIO block and the console.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "models/gpio.hpp"
#include "harness.hpp"

namespace kelto::test {

struct PortRegisters {
    char letter;
    std::uint32_t con, con1, dat, pud;  // 0: the port has no such register
};

// The chips' port maps, written out register by register from the chips'
// register layout, for checking the driver's tables and the model's alike.
inline const std::vector<PortRegisters> s3c6410_map = {
    {'A', 0x7F008000, 0, 0x7F008004, 0x7F008008}, {'B', 0x7F008020, 0, 0x7F008024, 0x7F008028},
    {'C', 0x7F008040, 0, 0x7F008044, 0x7F008048}, {'D', 0x7F008060, 0, 0x7F008064, 0x7F008068},
    {'E', 0x7F008080, 0, 0x7F008084, 0x7F008088}, {'F', 0x7F0080A0, 0, 0x7F0080A4, 0x7F0080A8},
    {'G', 0x7F0080C0, 0, 0x7F0080C4, 0x7F0080C8}, {'H', 0x7F0080E0, 0x7F0080E4, 0x7F0080E8, 0x7F0080EC},
    {'I', 0x7F008100, 0, 0x7F008104, 0x7F008108}, {'J', 0x7F008120, 0, 0x7F008124, 0x7F008128},
    {'K', 0x7F008800, 0x7F008804, 0x7F008808, 0x7F00880C}, {'L', 0x7F008810, 0x7F008814, 0x7F008818, 0x7F00881C},
    {'M', 0x7F008820, 0, 0x7F008824, 0x7F008828}, {'N', 0x7F008830, 0, 0x7F008834, 0x7F008838},
    {'O', 0x7F008140, 0, 0x7F008144, 0x7F008148}, {'P', 0x7F008160, 0, 0x7F008164, 0x7F008168},
    {'Q', 0x7F008180, 0, 0x7F008184, 0x7F008188},
};

// Port A's combined words stand in the con and con1 columns.
inline const std::vector<PortRegisters> s3c2450_map = {
    {'A', 0x56000000, 0x56000004, 0, 0},          {'B', 0x56000010, 0, 0x56000014, 0x56000018},
    {'C', 0x56000020, 0, 0x56000024, 0x56000028}, {'D', 0x56000030, 0, 0x56000034, 0x56000038},
    {'E', 0x56000040, 0, 0x56000044, 0x56000048}, {'F', 0x56000050, 0, 0x56000054, 0},
    {'G', 0x56000060, 0, 0x56000064, 0x56000068}, {'H', 0x56000070, 0, 0x56000074, 0x56000078},
    {'J', 0x560000D0, 0, 0x560000D4, 0x560000D8}, {'L', 0x560000F0, 0, 0x560000F4, 0x560000F8},
    {'M', 0x56000100, 0, 0x56000104, 0x56000108},
};

inline const std::string set_type_invalid = "kelto_gpio_set_type: Invalid argument\n";
inline const std::string set_val_invalid = "kelto_gpio_set_val: Invalid argument\n";
inline const std::string get_val_invalid = "kelto_gpio_get_val: Invalid argument\n";
inline const std::string set_pull_invalid = "kelto_gpio_set_pullupdown: Invalid argument\n";

inline constexpr std::uint32_t negative_pin = 0xFFFFFFFF;  // -1 as the pin argument

// The other bits of a word must come back as they were, whatever they are.
inline constexpr std::uint32_t other_bits_patterns[] = {0x00000000, 0xFFFFFFFF, 0xA5A5A5A5, 0x5A5A5A5A};

// One accepted call and the bits it must change in one word.
struct Change {
    const char *operation;
    std::uint32_t port, pin, code;
    std::uint32_t address, mask, bits;
};

// Where one pin's function field, data bit and pull field lie, as the
// register map says.
struct PinFields {
    std::uint32_t port, pin;
    std::uint32_t con, field;            // the function field's word and mask
    std::uint32_t output, widest, code;  // the field holding output; the widest code there and its bits
    std::uint32_t dat, dat_bit;
    std::uint32_t pud;  // 0: the port has no pull word
};

class GpioDriverTest : public ::testing::Test {
protected:
    static constexpr std::uint32_t refused = 0xFFFFFFFF;  // -1 as the firmware returns it

    // Loads the image and brings up the console, which the driver's
    // diagnostics need.
    void boot(std::string_view image)
    {
        machine_ = load(image);
        ASSERT_EQ(call(*machine_, "kelto_uart_init", {1, 115200}), 0u);
        forget();
    }

    Machine &machine() { return *machine_; }
    sim::GpioBlock &gpio() { return machine_->gpio(); }

    std::uint32_t set_type(std::uint32_t port, std::uint32_t pin, std::uint32_t type)
    {
        return call(*machine_, "kelto_gpio_set_type", {port, pin, type});
    }
    std::uint32_t set_val(std::uint32_t port, std::uint32_t pin, std::uint32_t val)
    {
        return call(*machine_, "kelto_gpio_set_val", {port, pin, val});
    }
    std::uint32_t set_pull(std::uint32_t port, std::uint32_t pin, std::uint32_t pud)
    {
        return call(*machine_, "kelto_gpio_set_pullupdown", {port, pin, pud});
    }
    // kelto_gpio_get_val into a word that holds 0xDEADBEEF beforehand;
    // returns the result and leaves the word in *val.
    std::uint32_t get_val(std::uint32_t port, std::uint32_t pin, std::uint32_t *val)
    {
        if (!val_address_)
            val_address_ = machine_->scratch(4);
        machine_->write_word(val_address_, 0xDEADBEEF);
        const std::uint32_t result = call(*machine_, "kelto_gpio_get_val", {port, pin, val_address_});
        *val = machine_->read_word(val_address_);
        return result;
    }

    // Puts a value into a register behind the firmware's back.
    void preload(std::uint32_t address, std::uint32_t value)
    {
        ASSERT_TRUE(gpio().write(address - gpio().base(), value)) << std::hex << address;
    }

    // Accesses to the GPIO block since the last forget().
    std::vector<Access> gpio_accesses() const
    {
        std::vector<Access> found;
        for (const Access &access : machine_->accesses())
            if (access.address - machine_->board().gpio_base < machine_->board().gpio_size)
                found.push_back(access);
        return found;
    }

    // What the firmware handed the console's transmitter since the last
    // forget(), line ends as the program wrote them. The bytes are taken as
    // they are written to UTXH, so the line rate does not matter.
    std::string printed() const
    {
        const std::uint32_t utxh = machine_->board().uart_base[1] + sim::UartChannel::UTXH;
        std::string text;
        for (const Access &access : machine_->accesses())
            if (access.write && access.address == utxh)
                text += static_cast<char>(access.value & 0xFF);
        std::string lines;
        for (std::size_t i = 0; i < text.size(); i++)
            if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
                lines += text[i];
        return lines;
    }

    void forget() { machine_->clear_accesses(); }

    // The call made exactly one read-modify-write of address, changing only
    // the bits of mask to bits.
    void expect_one_change(std::uint32_t address, std::uint32_t mask, std::uint32_t bits)
    {
        const std::vector<Access> seen = gpio_accesses();
        ASSERT_EQ(seen.size(), 2u) << ::testing::PrintToString(listing(seen));
        EXPECT_FALSE(seen[0].write);
        EXPECT_TRUE(seen[1].write);
        EXPECT_EQ(seen[0].address, address) << std::hex << seen[0].address;
        EXPECT_EQ(seen[1].address, address) << std::hex << seen[1].address;
        EXPECT_EQ(seen[1].value, (seen[0].value & ~mask) | bits)
            << std::hex << "read " << seen[0].value << ", wrote " << seen[1].value;
    }

    // The call was refused with this line and touched no GPIO register.
    void expect_refusal(std::uint32_t result, const std::string &line)
    {
        EXPECT_EQ(result, refused);
        EXPECT_EQ(printed(), line);
        EXPECT_TRUE(gpio_accesses().empty()) << ::testing::PrintToString(listing(gpio_accesses()));
    }

    // Each call succeeds quietly with its one change, once for each value
    // the word holds beforehand (or once as it is, without patterns).
    void expect_changes(std::span<const Change> changes, std::span<const std::uint32_t> patterns = {})
    {
        for (const Change &change : changes) {
            const std::uint32_t as_is[] = {0};
            for (std::uint32_t pattern : patterns.empty() ? std::span<const std::uint32_t>(as_is) : patterns) {
                SCOPED_TRACE(::testing::Message() << change.operation << "(" << change.port << ", " << change.pin
                                                  << ", " << change.code << ") over " << std::hex << pattern);
                if (!patterns.empty())
                    preload(change.address, pattern);
                forget();
                EXPECT_EQ(call(*machine_, change.operation, {change.port, change.pin, change.code}), 0u);
                expect_one_change(change.address, change.mask, change.bits);
                EXPECT_EQ(printed(), "");
            }
        }
    }

    // Every operation on the pin changes its own bits and nothing else, over
    // every pattern of the other bits; and the model takes the fields the
    // driver wrote as the pin's: its function and the level of its latch.
    void expect_pin_fields(const PinFields &f)
    {
        SCOPED_TRACE(::testing::Message() << "port " << static_cast<char>('A' + f.port) << " pin " << f.pin);
        std::vector<Change> changes = {
            {"kelto_gpio_set_type", f.port, f.pin, sim::GpioBlock::function_output, f.con, f.field, f.output},
            {"kelto_gpio_set_val", f.port, f.pin, 1, f.dat, f.dat_bit, f.dat_bit},
            {"kelto_gpio_set_type", f.port, f.pin, f.code, f.con, f.field, f.widest},
        };
        // Pull code 2: up on the S3C6410, down on the S3C2450.
        if (f.pud)
            changes.push_back(
                {"kelto_gpio_set_pullupdown", f.port, f.pin, 2, f.pud, 0x3u << 2 * f.pin, 0x2u << 2 * f.pin});
        expect_changes(changes, other_bits_patterns);
        const sim::Pin pin{static_cast<std::uint8_t>(f.port), static_cast<std::uint8_t>(f.pin)};
        EXPECT_EQ(gpio().pin_function(pin), f.code);
        for (std::uint32_t level : {1u, 0u}) {
            ASSERT_EQ(set_val(f.port, f.pin, level), 0u);
            EXPECT_EQ(gpio().pin_level(pin), level == 1);
            forget();
            std::uint32_t val = 0;
            EXPECT_EQ(get_val(f.port, f.pin, &val), 0u);
            EXPECT_EQ(val, level);
            const std::uint32_t word = gpio().read(f.dat - gpio().base()).value_or(0);
            EXPECT_EQ(listing(gpio_accesses()), listing({Access{0, 0, f.dat, word, false}}));
        }
    }

    // The operation refuses its arguments as invalid, touching nothing.
    void expect_set_type_refused(std::uint32_t port, std::uint32_t pin, std::uint32_t type)
    {
        SCOPED_TRACE(::testing::Message() << "set_type(" << port << ", " << pin << ", " << type << ")");
        forget();
        expect_refusal(set_type(port, pin, type), set_type_invalid);
    }
    void expect_set_pull_refused(std::uint32_t port, std::uint32_t pin, std::uint32_t pud)
    {
        SCOPED_TRACE(::testing::Message() << "set_pullupdown(" << port << ", " << pin << ", " << pud << ")");
        forget();
        expect_refusal(set_pull(port, pin, pud), set_pull_invalid);
    }
    // Both set_val and get_val refuse the pin; get_val leaves *val alone.
    void expect_data_refused(std::uint32_t port, std::uint32_t pin)
    {
        SCOPED_TRACE(::testing::Message() << "data of port " << port << " pin " << pin);
        forget();
        expect_refusal(set_val(port, pin, 1), set_val_invalid);
        forget();
        std::uint32_t val = 0;
        expect_refusal(get_val(port, pin, &val), get_val_invalid);
        EXPECT_EQ(val, 0xDEADBEEFu);
    }
    void expect_port_refused(std::uint32_t port)
    {
        expect_set_type_refused(port, 0, 1);
        expect_data_refused(port, 0);
        expect_set_pull_refused(port, 0, 0);
    }

private:
    std::unique_ptr<Machine> machine_;
    std::uint32_t val_address_ = 0;
};

}  // namespace kelto::test
