#include "models/backlight.hpp"

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

std::optional<int> backlight_percent(const BacklightDrive &drive)
{
    if (!drive.enable.value_or(false))
        return 0;
    if (drive.brightness == BacklightDrive::Brightness::output)
        return drive.output_high ? 100 : 0;
    if (drive.brightness != BacklightDrive::Brightness::timer)
        return 0;
    if (!drive.timer_started)
        return std::nullopt;
    if (!drive.timer_counting || !drive.auto_reload)
        return 0;
    const int percent = duty_percent(drive.compare, drive.period);
    return drive.inverter ? 100 - percent : percent;
}

}  // namespace kelto::sim
