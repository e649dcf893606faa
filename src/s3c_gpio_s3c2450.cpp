// GPIO driver for the S3C2450. The driver keeps no state: every pin's
// function, level and pull live in the port's registers, and each change is
// one read and one write of the whole word.
//
// Port A is unlike the others: it has no input mode and no pull, and each
// pin owns two neighbouring bits of a combined word (data at 2q, function at
// 2q + 1), pins 0-7 in the first word and 8-15 in the second.
#include "s3c_gpio.hpp"

#include <stdint.h>
#include <stdio.h>

#include "mmio.hpp"

namespace {

constexpr int port_count = S3C_GPIO_PORT_MAX;

// Register offsets from a port's base, every port but A.
constexpr uint32_t GPxCON = 0x0;
constexpr uint32_t GPxDAT = 0x4;
constexpr uint32_t GPxPUD = 0x8;

// Port A's combined words.
constexpr uint32_t GPACON_LOW = 0x0;   // pins 0-7
constexpr uint32_t GPACON_HIGH = 0x4;  // pins 8-15
constexpr int port_a_pins_per_word = 8;
constexpr int port_a_pins = 2 * port_a_pins_per_word;

constexpr int word_bits = 32;
constexpr uint32_t field_bits = 2;  // function and pull fields alike
constexpr uint32_t field_mask = 0x3;
constexpr int pins_per_field_word = word_bits / static_cast<int>(field_bits);

// The port map, as a lookup by port; 0 where the chip has no register block.
constexpr uint32_t port_base[port_count] = {
    0x56000000,  // A
    0x56000010,  // B
    0x56000020,  // C
    0x56000030,  // D
    0x56000040,  // E
    0x56000050,  // F
    0x56000060,  // G
    0x56000070,  // H
    0,           // I
    0x560000D0,  // J
    0,           // K
    0x560000F0,  // L
    0x56000100,  // M
};

static_assert(S3C_GPIO_TYPE_MAX - 1 <= field_mask, "every function code fits a 2-bit field");
static_assert(S3C_GPIO_PUD_MAX - 1 <= field_mask, "every pull code fits a 2-bit field");

uint32_t kelto_gpio_get_baseaddr(S3C_GPIO_PORT port)
{
    return port < port_count ? port_base[port] : 0;
}

// Every port keeps its data and pull words at the same offsets.
uint32_t kelto_gpio_get_reg_offset(S3C_GPIO_PORT, uint32_t org_offset)
{
    return org_offset;
}

int refuse_invalid_argument(const char *operation)
{
    printf("%s: Invalid argument\n", operation);
    return -1;
}

// Ports I and K pass the enumeration test but have nothing at their base.
bool port_has_registers(S3C_GPIO_PORT port)
{
    return kelto_gpio_get_baseaddr(port) != 0;
}

// Port A's pins 0-15 fill its two combined words; every other port has a
// 2-bit field per pin in one word.
bool function_field_fits(int pinnum)
{
    return pinnum >= 0 && pinnum < pins_per_field_word;
}

bool data_bit_fits(S3C_GPIO_PORT port, int pinnum)
{
    return pinnum >= 0 && pinnum < (port == S3C_GPIO_PORT_A ? port_a_pins : word_bits);
}

bool pull_field_fits(int pinnum)
{
    return pinnum >= 0 && pinnum < pins_per_field_word;
}

// Where a port A pin lives: which combined word, and its index q there.
struct PortASlot {
    uint32_t offset;
    int index;
};

PortASlot port_a_slot(int pinnum)
{
    if (pinnum >= port_a_pins_per_word)
        return {GPACON_HIGH, pinnum - port_a_pins_per_word};
    return {GPACON_LOW, pinnum};
}

uint32_t port_a_data_bit(int index)
{
    return 1u << (2 * index);
}

uint32_t port_a_function_bit(int index)
{
    return 1u << (2 * index + 1);
}

// Port A knows only output (function bit 0) and its first alternate
// function (1); ALT2 is taken as output.
int kelto24_gpio_set_type(S3C_GPIO_PORT port, int pinnum, S3C_GPIO_TYPE type, uint32_t base)
{
    if (port == S3C_GPIO_PORT_A) {
        if (type == S3C_GPIO_TYPE_INPUT) {
            printf("%s: Port A does not support input mode\n", __func__);
            return -1;
        }
        const PortASlot slot = port_a_slot(pinnum);
        const uint32_t function_bit = port_a_function_bit(slot.index);
        reg_modify(base + slot.offset, function_bit, type == S3C_GPIO_TYPE_ALT1 ? function_bit : 0);
        return 0;
    }

    const uint32_t shift = static_cast<uint32_t>(pinnum) * field_bits;
    reg_modify(base + GPxCON, field_mask << shift, static_cast<uint32_t>(type) << shift);
    return 0;
}

// The data word and bit of a pin.
struct DataBit {
    uint32_t address;
    uint32_t bit;
};

DataBit data_bit(S3C_GPIO_PORT port, int pinnum)
{
    const uint32_t base = kelto_gpio_get_baseaddr(port);
    if (port == S3C_GPIO_PORT_A) {
        const PortASlot slot = port_a_slot(pinnum);
        return {base + slot.offset, port_a_data_bit(slot.index)};
    }
    return {base + kelto_gpio_get_reg_offset(port, GPxDAT), 1u << pinnum};
}

}  // namespace

extern "C" int kelto_gpio_set_type(S3C_GPIO_PORT port, int pinnum, S3C_GPIO_TYPE type)
{
    if (port >= S3C_GPIO_PORT_MAX || type >= S3C_GPIO_TYPE_MAX || !port_has_registers(port) ||
        !function_field_fits(pinnum))
        return refuse_invalid_argument(__func__);

    const uint32_t base = kelto_gpio_get_baseaddr(port);
    return kelto24_gpio_set_type(port, pinnum, type, base);
}

extern "C" int kelto_gpio_set_val(S3C_GPIO_PORT port, int pinnum, int val)
{
    if (port >= S3C_GPIO_PORT_MAX || !port_has_registers(port) || !data_bit_fits(port, pinnum))
        return refuse_invalid_argument(__func__);

    const DataBit dat = data_bit(port, pinnum);
    reg_modify(dat.address, dat.bit, val ? dat.bit : 0);
    return 0;
}

extern "C" int kelto_gpio_get_val(S3C_GPIO_PORT port, int pinnum, int *val)
{
    if (port >= S3C_GPIO_PORT_MAX || !port_has_registers(port) || !data_bit_fits(port, pinnum))
        return refuse_invalid_argument(__func__);

    const DataBit dat = data_bit(port, pinnum);
    *val = (reg_read(dat.address) & dat.bit) != 0 ? 1 : 0;
    return 0;
}

extern "C" int kelto_gpio_set_pullupdown(S3C_GPIO_PORT port, int pinnum, S3C_GPIO_PUD pud)
{
    if (port >= S3C_GPIO_PORT_MAX || pud >= S3C_GPIO_PUD_MAX || !port_has_registers(port) ||
        !pull_field_fits(pinnum))
        return refuse_invalid_argument(__func__);

    if (port == S3C_GPIO_PORT_A || port == S3C_GPIO_PORT_F) {
        printf("%s: Port A/F does not support input mode\n", __func__);
        return -1;
    }

    const uint32_t pudreg = kelto_gpio_get_baseaddr(port) + kelto_gpio_get_reg_offset(port, GPxPUD);
    const uint32_t shift = static_cast<uint32_t>(pinnum) * field_bits;
    reg_modify(pudreg, field_mask << shift, static_cast<uint32_t>(pud) << shift);
    return 0;
}
