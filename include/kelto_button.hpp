// The four direction buttons, active low on pins 0-3 of the board's button
// port.
#pragma once

#include <stdint.h>

// The key code is also the button's pin number on the button port.
enum KELTO_BTN_KEYCODE : uint8_t {
    KELTO_BTN_KEYCODE_UP = 0,
    KELTO_BTN_KEYCODE_DOWN = 1,
    KELTO_BTN_KEYCODE_LEFT = 2,
    KELTO_BTN_KEYCODE_RIGHT = 3,
};

enum KELTO_BTN_STATE : uint8_t {
    KELTO_BTN_STATE_UP = 0,    // released, pin high
    KELTO_BTN_STATE_DOWN = 1,  // pressed, pin pulled low
};

extern "C" {

// Makes the four button pins inputs; their pull setting is left alone.
void kelto_btn_init(void);

// The button's level at this instant: no debouncing, no memory of presses.
KELTO_BTN_STATE kelto_btn_scan(KELTO_BTN_KEYCODE code);

}
