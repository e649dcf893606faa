// Port N reader of the button-polling firmware. The pins are used as the
// firmware finds them; nothing here configures a pin.
#pragma once

// Stores the level (0 or 1) of port N pin pinnum in *val; always returns 0.
extern "C" int kelto_gpio_get_val(int pinnum, int *val);
