// PWM timer block: timer 4 as a free-running 1 MHz time base for the busy
// delays, timers 0-3 as pulse-width generators.
#pragma once

#include "s3c_gpio.hpp"

extern "C" {

// Sets the prescalers and dividers of all five timers (timers 0 and 1 count
// at 33 MHz, 2-4 at 1 MHz), stops timers 0-3 and starts timer 4 counting
// down from its reload value for good. Call before anything else here.
void kelto_timer_init(void);

// Busy-wait at least usec microseconds; returns at once for usec <= 0.
void udelay(int usec);

// Busy-wait at least msec milliseconds; returns at once for msec <= 0.
void mdelay(int msec);

// Loads period into the timer's count buffer and duty into its compare
// buffer, and sets its inverter and auto-reload; leaves the timer stopped
// until kelto_timer_start. Returns -1, writing nothing, for a channel other
// than 0-3 or a value too wide for the chip's buffers.
int kelto_timer_configure(int channel, int period, int duty, int invert, int reload);

// Gives the pin that carries the timer's output to the timer (on non-zero)
// or makes it a plain output. Returns -1, touching nothing, for a timer
// without an output pin, else the result of kelto_gpio_set_type.
int kelto_timer_pwm_enable(int channel, S3C_GPIO_PORT port, int pin, int on);

// Loads the timer's buffers into its counter and starts it; does nothing
// for a channel other than 0-4.
void kelto_timer_start(int channel);

// Stops the timer, keeping its inverter and auto-reload setting; does
// nothing for a channel other than 0-4.
void kelto_timer_stop(int channel);

}
