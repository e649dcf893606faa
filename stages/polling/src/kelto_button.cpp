#include "kelto_button.hpp"

#include "s3c_gpio.hpp"

extern "C" KELTO_BTN_STATE kelto_btn_scan(KELTO_BTN_KEYCODE code)
{
    int val;
    kelto_gpio_get_val(code, &val);
    return val == 0 ? KELTO_BTN_STATE_DOWN : KELTO_BTN_STATE_UP;
}
