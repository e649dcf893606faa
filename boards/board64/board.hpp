// Board 64: S3C6410 (ARM1176), console on UART channel 1.
#pragma once

#include <stdint.h>

#include "s3c_gpio_enums.hpp"

namespace board {

constexpr uint32_t pclk_hz = 66'000'000;

// UART channel bases, indexed by channel number.
constexpr uint32_t uart_base[4] = {0x7F005000, 0x7F005400, 0x7F005800, 0x7F005C00};

// Heap for the standard library, in DRAM above the image. The limit leaves
// the top of the 128 MiB of DRAM to the loader's stack.
constexpr uintptr_t heap_start = 0x52000000;
constexpr uintptr_t heap_limit = 0x53000000;

static_assert(heap_start % 4 == 0 && heap_limit % 4 == 0, "the heap break moves in words");
static_assert(heap_start < heap_limit && heap_limit <= 0x58000000, "heap inside DRAM");

// PWM timer block.
constexpr uint32_t timer_base = 0x7F006000;
// Divider select of all five timers: /2 (this chip codes /1, /2, /4, /8,
// /16 as 0 to 4).
constexpr uint32_t timer_tcfg1 = 0x00011111;
// Width of the timers' counters and of their count and compare buffers.
constexpr unsigned timer_counter_bits = 32;
// The highest timer whose output pin the PWM pin switch may hand over.
constexpr int timer_pwm_max_channel = 1;

static_assert(timer_counter_bits == 16 || timer_counter_bits == 32, "the chip has 16- or 32-bit timers");
static_assert(timer_pwm_max_channel >= 0 && timer_pwm_max_channel <= 3, "only timers 0-3 have an output");

// The four direction buttons, active low on pins 0-3 of this port.
constexpr S3C_GPIO_PORT button_port = S3C_GPIO_PORT_N;

// LCD backlight: an enable line, and the brightness by PWM.
constexpr S3C_GPIO_PORT backlight_enable_port = S3C_GPIO_PORT_N;
constexpr int backlight_enable_pin = 9;
constexpr int backlight_pwm_channel = 1;
constexpr S3C_GPIO_PORT backlight_pwm_port = S3C_GPIO_PORT_F;
constexpr int backlight_pwm_pin = 15;

static_assert(backlight_pwm_channel <= timer_pwm_max_channel, "the backlight's timer must be one whose pin can be switched");

}  // namespace board
