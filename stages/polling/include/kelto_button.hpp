// The four direction buttons of board 64, active low on port N pins 0-3.
#pragma once

#include <stdint.h>

// The key code is also the button's pin number on port N.
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

extern "C" KELTO_BTN_STATE kelto_btn_scan(KELTO_BTN_KEYCODE code);
