#include "models/backlight.hpp"

#include "models/gpio.hpp"
#include "models/timer.hpp"

namespace kelto::sim {

namespace {

// Rounded half up.
int duty_percent(std::uint32_t compare, std::uint32_t period)
{
    if (compare >= period)
        return 100;
    return static_cast<int>((std::uint64_t{compare} * 200 + period) / (std::uint64_t{period} * 2));
}

}  // namespace

std::optional<int> backlight_percent(const BoardSpec &board, const GpioBlock &gpio, TimerBlock &timer)
{
    const std::optional<bool> enabled = gpio.output_level(board.backlight_enable);
    if (!enabled || !*enabled)
        return 0;
    const std::optional<unsigned> function = gpio.pin_function(board.backlight_pwm);
    if (function == GpioBlock::function_output)
        return gpio.output_level(board.backlight_pwm).value_or(false) ? 100 : 0;
    if (function != GpioBlock::function_alt1)
        return 0;
    const TimerBlock::State pwm = timer.state(board.backlight_timer);
    if (!pwm.started)
        return std::nullopt;
    if (!pwm.counting || !pwm.auto_reload)
        return 0;
    const int percent = duty_percent(pwm.compare, pwm.period);
    return pwm.inverter ? 100 - percent : percent;
}

}  // namespace kelto::sim
