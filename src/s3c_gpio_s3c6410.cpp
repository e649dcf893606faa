// GPIO driver for the S3C6410. The driver keeps no state: every pin's
// function, level and pull live in the port's registers, and each change is
// one read and one write of the whole word.
#include "s3c_gpio.hpp"

#include <stdint.h>
#include <stdio.h>

#include "mmio.hpp"

namespace {

constexpr int port_count = S3C_GPIO_PORT_MAX;

// Register offsets from a port's base. Ports with a second configuration
// register keep their data and pull registers one word higher (see
// reg_offset_shift).
constexpr uint32_t GPxCON = 0x0;
constexpr uint32_t GPxCON1 = 0x4;  // pins 8-15 of a port with 4-bit fields and 16 pins
constexpr uint32_t GPxDAT = 0x4;
constexpr uint32_t GPxPUD = 0x8;

constexpr int word_bits = 32;
constexpr uint32_t pull_field_bits = 2;
constexpr uint32_t pull_field_mask = 0x3;
// On a port with a second configuration register, pin 8 is field 0 there.
constexpr int large_config_split = 8;

// The port map, as lookups by port. K to N sit in a block of their own and
// O to Q follow J, so the bases are not in port order.
constexpr uint32_t port_base[port_count] = {
    0x7F008000,  // A
    0x7F008020,  // B
    0x7F008040,  // C
    0x7F008060,  // D
    0x7F008080,  // E
    0x7F0080A0,  // F
    0x7F0080C0,  // G
    0x7F0080E0,  // H
    0x7F008100,  // I
    0x7F008120,  // J
    0x7F008800,  // K
    0x7F008810,  // L
    0x7F008820,  // M
    0x7F008830,  // N
    0x7F008140,  // O
    0x7F008160,  // P
    0x7F008180,  // Q
};

// Width of a pin's function field.
constexpr uint8_t conf_field_bits[port_count] = {
    4, 4, 4, 4, 4, 2, 4, 4, 2, 2, 4, 4, 4, 2, 2, 2, 2,
};

// Ports whose 16 pins of 4-bit fields need two configuration registers.
constexpr bool large_config[port_count] = {
    false, false, false, false, false, false, false, true,  // A-H
    false, false, true, true, false, false, false, false, false,  // I-Q
};

// How far the data and pull registers move up past a second configuration
// register.
constexpr uint32_t reg_offset_shift[port_count] = {
    0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 4, 4, 0, 0, 0, 0, 0,
};

constexpr bool port_map_agrees()
{
    for (int port = 0; port < port_count; port++) {
        if (conf_field_bits[port] != 2 && conf_field_bits[port] != 4)
            return false;
        if (large_config[port] != (reg_offset_shift[port] == GPxCON1))
            return false;
        if (large_config[port] && conf_field_bits[port] != 4)
            return false;
    }
    return true;
}
static_assert(port_map_agrees(), "a second configuration register comes with 4-bit fields and moves the data and pull registers");

uint32_t kelto_gpio_get_baseaddr(S3C_GPIO_PORT port)
{
    return port < port_count ? port_base[port] : 0;
}

uint32_t kelto_gpio_get_reg_offset(S3C_GPIO_PORT port, uint32_t org_offset)
{
    return port < port_count ? org_offset + reg_offset_shift[port] : org_offset;
}

uint32_t kelto64_gpio_get_conf_bitsnum(S3C_GPIO_PORT port)
{
    return port < port_count ? conf_field_bits[port] : 4;
}

int kelto64_gpio_port_has_large_config(S3C_GPIO_PORT port)
{
    return port < port_count && large_config[port] ? 1 : 0;
}

int refuse_invalid_argument(const char *operation)
{
    printf("%s: Invalid argument\n", operation);
    return -1;
}

// The field must lie wholly inside its register, so that no shift reaches
// bit 32, and the code must fit the field, or the write would spill into the
// next pin's field.
bool function_field_fits(S3C_GPIO_PORT port, int pinnum, S3C_GPIO_TYPE type)
{
    const uint32_t bitsnum = kelto64_gpio_get_conf_bitsnum(port);
    int field = pinnum;
    if (kelto64_gpio_port_has_large_config(port) && field >= large_config_split)
        field -= large_config_split;
    return field >= 0 && field < word_bits && (static_cast<uint32_t>(field) + 1) * bitsnum <= word_bits &&
           type < (1u << bitsnum);
}

bool data_bit_fits(int pinnum)
{
    return pinnum >= 0 && pinnum < word_bits;
}

bool pull_field_fits(int pinnum)
{
    return pinnum >= 0 && pinnum < word_bits / static_cast<int>(pull_field_bits);
}

int kelto64_gpio_set_type(S3C_GPIO_PORT port, int pinnum, S3C_GPIO_TYPE type, uint32_t base)
{
    uint32_t offset = GPxCON;
    const uint32_t bitsnum = kelto64_gpio_get_conf_bitsnum(port);
    const uint32_t mask = bitsnum == 4 ? 0xF : 0x3;

    if (kelto64_gpio_port_has_large_config(port) && pinnum >= large_config_split) {
        offset = GPxCON1;
        pinnum -= large_config_split;
    }

    const uint32_t shift = static_cast<uint32_t>(pinnum) * bitsnum;
    reg_modify(base + offset, mask << shift, static_cast<uint32_t>(type) << shift);
    return 0;
}

}  // namespace

extern "C" int kelto_gpio_set_type(S3C_GPIO_PORT port, int pinnum, S3C_GPIO_TYPE type)
{
    if (port >= S3C_GPIO_PORT_MAX || type >= S3C_GPIO_TYPE_MAX || !function_field_fits(port, pinnum, type))
        return refuse_invalid_argument(__func__);

    const uint32_t base = kelto_gpio_get_baseaddr(port);
    return kelto64_gpio_set_type(port, pinnum, type, base);
}

extern "C" int kelto_gpio_set_val(S3C_GPIO_PORT port, int pinnum, int val)
{
    if (port >= S3C_GPIO_PORT_MAX || !data_bit_fits(pinnum))
        return refuse_invalid_argument(__func__);

    const uint32_t dat = kelto_gpio_get_baseaddr(port) + kelto_gpio_get_reg_offset(port, GPxDAT);
    const uint32_t bit = 1u << pinnum;
    reg_modify(dat, bit, val ? bit : 0);
    return 0;
}

extern "C" int kelto_gpio_get_val(S3C_GPIO_PORT port, int pinnum, int *val)
{
    if (port >= S3C_GPIO_PORT_MAX || !data_bit_fits(pinnum))
        return refuse_invalid_argument(__func__);

    const uint32_t dat = kelto_gpio_get_baseaddr(port) + kelto_gpio_get_reg_offset(port, GPxDAT);
    *val = static_cast<int>((reg_read(dat) >> pinnum) & 1);
    return 0;
}

extern "C" int kelto_gpio_set_pullupdown(S3C_GPIO_PORT port, int pinnum, S3C_GPIO_PUD pud)
{
    if (port >= S3C_GPIO_PORT_MAX || pud >= S3C_GPIO_PUD_MAX || !pull_field_fits(pinnum))
        return refuse_invalid_argument(__func__);

    const uint32_t pudreg = kelto_gpio_get_baseaddr(port) + kelto_gpio_get_reg_offset(port, GPxPUD);
    const uint32_t shift = static_cast<uint32_t>(pinnum) * pull_field_bits;
    reg_modify(pudreg, pull_field_mask << shift, static_cast<uint32_t>(pud) << shift);
    return 0;
}
