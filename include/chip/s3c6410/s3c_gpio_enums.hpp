// GPIO ports, pin functions and pull selections of the S3C6410.
#pragma once

#include <stdint.h>

enum S3C_GPIO_PORT : uint8_t {
    S3C_GPIO_PORT_A = 0,
    S3C_GPIO_PORT_B = 1,
    S3C_GPIO_PORT_C = 2,
    S3C_GPIO_PORT_D = 3,
    S3C_GPIO_PORT_E = 4,
    S3C_GPIO_PORT_F = 5,
    S3C_GPIO_PORT_G = 6,
    S3C_GPIO_PORT_H = 7,
    S3C_GPIO_PORT_I = 8,
    S3C_GPIO_PORT_J = 9,
    S3C_GPIO_PORT_K = 10,
    S3C_GPIO_PORT_L = 11,
    S3C_GPIO_PORT_M = 12,
    S3C_GPIO_PORT_N = 13,
    S3C_GPIO_PORT_O = 14,
    S3C_GPIO_PORT_P = 15,
    S3C_GPIO_PORT_Q = 16,
    S3C_GPIO_PORT_MAX = 17,  // count of ports, never a port
};

// The code goes unchanged into the pin's function field.
enum S3C_GPIO_TYPE : uint8_t {
    S3C_GPIO_TYPE_INPUT = 0,
    S3C_GPIO_TYPE_OUTPUT = 1,
    S3C_GPIO_TYPE_ALT1 = 2,
    S3C_GPIO_TYPE_ALT2 = 3,
    S3C_GPIO_TYPE_ALT3 = 4,
    S3C_GPIO_TYPE_ALT4 = 5,
    S3C_GPIO_TYPE_ALT5 = 6,
    S3C_GPIO_TYPE_ALT6 = 7,
    S3C_GPIO_TYPE_MAX = 8,  // count of functions, never a function
};

// The code goes unchanged into the pin's 2-bit pull field.
enum S3C_GPIO_PUD : uint8_t {
    S3C_GPIO_PUD_UPDOWN_DISABLE = 0,
    S3C_GPIO_PUD_DOWN = 1,
    S3C_GPIO_PUD_UP = 2,
    S3C_GPIO_PUD_MAX = 3,  // count of selections, never a selection
};
