// LCD backlight: an enable line and a PWM brightness input, in percent.
#pragma once

extern "C" {

// Drives the enable line high and hands the PWM pin to its timer. The PWM
// channel itself is programmed by the first brightness change.
void kelto_backlight_init(void);

// Programs the PWM for percent, held to 0-100, and remembers it.
void kelto_backlight_set_brightness(int percent);

// One step of 10 up or down; nothing at 100 or at 0.
void kelto_backlight_stepup(void);
void kelto_backlight_stepdown(void);

}
