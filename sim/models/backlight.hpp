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

#include <optional>

#include "core/board.hpp"

namespace kelto::sim {

class GpioBlock;
class TimerBlock;

std::optional<int> backlight_percent(const BoardSpec &board, const GpioBlock &gpio, TimerBlock &timer);

}  // namespace kelto::sim
