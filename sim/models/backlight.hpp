// The LCD backlight as someone looking at the board sees it, worked out
// from the pins and the PWM timer that drive it.
//
// - Dark (0 %) unless the enable pin is an output driven high.
// - With the brightness pin in its timer function, the timer's duty: the
//   compare value over the count value, in percent, rounded (999 of 1000 is
//   100 %, a compare value at or above the count value full); swapped by the
//   output inverter. The timer must run with auto-reload: a stopped timer or
//   a single pulse leaves the input idle, which is dark.
// - With the brightness pin a plain output, full or dark by its level; in any
//   other function nothing drives the input: dark.
// - Not programmed (nullopt): the enable line is on and the brightness pin
//   is given to the timer, but the timer has never run since reset. The
//   panel's brightness is then whatever its idle input makes of it, which the
//   firmware has not chosen; a front end shows it as lit, brightness unset.
#pragma once

#include <cstdint>
#include <optional>

namespace kelto::sim {

// The backlight's two inputs as the GPIO and timer models drive them.
struct BacklightDrive {
    // The enable pin's level; nullopt unless it is an output.
    std::optional<bool> enable;
    // What the brightness pin is given to.
    enum class Brightness : std::uint8_t { timer, output, other } brightness = Brightness::other;
    bool output_high = false;  // with Brightness::output
    // The PWM timer, with Brightness::timer.
    bool timer_started = false, timer_counting = false, auto_reload = false, inverter = false;
    std::uint32_t compare = 0, period = 0;
};

std::optional<int> backlight_percent(const BacklightDrive &drive);

}  // namespace kelto::sim
