#include "machine/board_io.hpp"

#include "models/backlight.hpp"
#include "models/gpio.hpp"
#include "models/timer.hpp"

namespace kelto::sim {

BoardIo::BoardIo(const BoardSpec &board, GpioBlock &gpio, TimerBlock &timer)
    : board_(board), gpio_(gpio), timer_(timer), gpio_as_device_(&gpio), timer_as_device_(&timer)
{
}

void BoardIo::set_button(Button button, bool held)
{
    const std::uint32_t bit = 1u << static_cast<unsigned>(button);
    buttons_ = held ? (buttons_ | bit) : (buttons_ & ~bit);
}

bool BoardIo::input_level(Pin pin) const
{
    for (Button button : all_buttons) {
        if (board_.buttons[static_cast<unsigned>(button)] == pin)
            return !button_held(button);
    }
    return true;
}

std::optional<int> BoardIo::backlight_percent() const
{
    BacklightDrive drive;
    drive.enable = gpio_.output_level(board_.backlight_enable);
    const std::optional<unsigned> function = gpio_.pin_function(board_.backlight_pwm);
    if (function == GpioBlock::function_output) {
        drive.brightness = BacklightDrive::Brightness::output;
        drive.output_high = gpio_.output_level(board_.backlight_pwm).value_or(false);
    } else if (function == GpioBlock::function_alt1) {
        drive.brightness = BacklightDrive::Brightness::timer;
        const TimerBlock::State pwm = timer_.state(board_.backlight_timer);
        drive.timer_started = pwm.started;
        drive.timer_counting = pwm.counting;
        drive.auto_reload = pwm.auto_reload;
        drive.inverter = pwm.inverter;
        drive.compare = pwm.compare;
        drive.period = pwm.period;
    }
    return sim::backlight_percent(drive);
}

void BoardIo::watch_backlight(std::function<void(std::optional<int>)> watch)
{
    if (backlight_watches_.empty())
        backlight_shown_ = backlight_percent();
    backlight_watches_.push_back(std::move(watch));
}

void BoardIo::tell_backlight()
{
    const std::optional<int> shown = backlight_percent();
    if (shown == backlight_shown_)
        return;
    backlight_shown_ = shown;
    for (auto &watch : backlight_watches_)
        watch(shown);
}

}  // namespace kelto::sim
