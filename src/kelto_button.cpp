// Direction buttons: plain GPIO inputs, read on demand.
#include "kelto_button.hpp"

#include "board.hpp"
#include "s3c_gpio.hpp"

extern "C" void kelto_btn_init(void)
{
    for (int pin = KELTO_BTN_KEYCODE_UP; pin <= KELTO_BTN_KEYCODE_RIGHT; pin++)
        kelto_gpio_set_type(board::button_port, pin, S3C_GPIO_TYPE_INPUT);
}

extern "C" KELTO_BTN_STATE kelto_btn_scan(KELTO_BTN_KEYCODE code)
{
    // A pin the driver refuses to read counts as released.
    int val = 1;
    kelto_gpio_get_val(board::button_port, code, &val);
    return val == 0 ? KELTO_BTN_STATE_DOWN : KELTO_BTN_STATE_UP;
}
