// One pin at a time: function, output level, input level and pull. The
// ports, functions and pull codes are the chip's own (s3c_gpio_enums.hpp of
// the board's chip); the operations are the same on every chip.
//
// Each returns 0, or -1 after printing one line "<operation>: <reason>" on
// standard output when it refuses its arguments; a refused call touches no
// register.
#pragma once

#include "s3c_gpio_enums.hpp"

extern "C" {

// Writes type into the pin's function field.
int kelto_gpio_set_type(S3C_GPIO_PORT port, int pinnum, S3C_GPIO_TYPE type);

// Drives the pin's data bit: 1 when val is non-zero, else 0.
int kelto_gpio_set_val(S3C_GPIO_PORT port, int pinnum, int val);

// Stores the pin's level, 0 or 1, in *val; on refusal *val is left alone.
int kelto_gpio_get_val(S3C_GPIO_PORT port, int pinnum, int *val);

// Writes pud into the pin's pull field.
int kelto_gpio_set_pullupdown(S3C_GPIO_PORT port, int pinnum, S3C_GPIO_PUD pud);

}
