#include "s3c_gpio.hpp"

#include <stdint.h>

#include "mmio.hpp"

namespace {

// The port N data register itself, not the base of the port's group.
constexpr uint32_t GPNDAT = 0x7F008834;

unsigned long kelto_gpio_get_baseaddr()
{
    return GPNDAT;
}

}  // namespace

extern "C" int kelto_gpio_get_val(int pinnum, int *val)
{
    const unsigned long base = kelto_gpio_get_baseaddr();
    const unsigned long reg = reg_read(base);
    *val = static_cast<int>((reg >> pinnum) & 1);
    return 0;
}
