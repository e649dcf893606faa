// LCD backlight: brightness by the duty of a PWM channel with a period of
// 1000 counts.
#include "kelto_backlight.hpp"

#include "board.hpp"
#include "s3c_gpio.hpp"
#include "s3c_timer.hpp"

namespace {

constexpr int pwm_period = 1000;
constexpr int brightness_min = 0;
constexpr int brightness_max = 100;
constexpr int brightness_step = 10;
constexpr int counts_per_percent = pwm_period / brightness_max;

// The compare value stays below the period: full brightness is one count
// short of it.
constexpr int full_brightness_compare = pwm_period - 1;

// Counted as full from the start, although the channel is first programmed
// by the first step: that step down gives 90 %, a step up does nothing.
int brightness = brightness_max;

int compare_value(int percent)
{
    return percent == brightness_max ? full_brightness_compare : percent * counts_per_percent;
}

}  // namespace

extern "C" void kelto_backlight_init(void)
{
    kelto_gpio_set_type(board::backlight_enable_port, board::backlight_enable_pin, S3C_GPIO_TYPE_OUTPUT);
    kelto_gpio_set_val(board::backlight_enable_port, board::backlight_enable_pin, 1);
    kelto_timer_pwm_enable(board::backlight_pwm_channel, board::backlight_pwm_port, board::backlight_pwm_pin, 1);
}

extern "C" void kelto_backlight_set_brightness(int percent)
{
    if (percent > brightness_max)
        percent = brightness_max;
    if (percent < brightness_min)
        percent = brightness_min;

    kelto_timer_stop(board::backlight_pwm_channel);
    kelto_timer_configure(board::backlight_pwm_channel, pwm_period, compare_value(percent), 0, 1);
    kelto_timer_start(board::backlight_pwm_channel);
    brightness = percent;
}

extern "C" void kelto_backlight_stepup(void)
{
    if (brightness != brightness_max)
        kelto_backlight_set_brightness(brightness + brightness_step);
}

extern "C" void kelto_backlight_stepdown(void)
{
    if (brightness != brightness_min)
        kelto_backlight_set_brightness(brightness - brightness_step);
}
