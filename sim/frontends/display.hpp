// The words keltosim uses for the board, shared by every front end: the
// backlight, the held buttons, times, and the report of the whole board.
#pragma once

#include <optional>
#include <string>

#include "machine/machine.hpp"

namespace kelto::sim::frontend {

std::string backlight_text(std::optional<int> percent);
const char *clock_name(ClockMode mode);
// The buttons held now, by name, or "none".
std::string held_buttons(const Machine &machine, const char *separator);
std::string seconds_text(double seconds);
std::string file_name(const std::string &path);
// One line: the board, the held buttons and the backlight.
std::string status_line(Machine &machine);
// The board as Ctrl-A s shows it: clock, time, buttons, backlight, pins.
std::string board_report(Machine &machine);

// A message on stderr; a raw terminal needs its carriage returns spelled out.
void write_message(std::string text);

}  // namespace kelto::sim::frontend
