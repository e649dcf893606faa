// The words keltosim uses for the board, shared by every front end: the
// backlight, the clock, times and file names; and its messages on stderr.
#pragma once

#include <optional>
#include <string>

#include "core/clock.hpp"

namespace kelto::sim::frontend {

std::string backlight_text(std::optional<int> percent);
const char *clock_name(ClockMode mode);
// "virtual clock", "wall clock", or the virtual one paced to the host (the
// wall clock of a debugger's recorded run).
std::string clock_text(ClockMode mode, bool paced);
std::string seconds_text(double seconds);
std::string file_name(const std::string &path);

// A message on stderr; a raw terminal needs its carriage returns spelled out.
void write_message(std::string text);

}  // namespace kelto::sim::frontend
