// The board as front ends show it, taken at one moment: one value that the
// terminal's report and status row, the debugger's monitor and the web page
// all render, so that they never disagree.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/clock.hpp"
#include "machine/machine.hpp"
#include "models/gpio.hpp"

namespace kelto::sim::frontend {

struct BoardView {
    std::string board, chip;  // "board 64", its chip's name
    std::string image;        // the image's file name
    ClockMode clock = ClockMode::virtual_time;
    double seconds = 0;
    bool paused = false;
    std::vector<Button> held;
    std::optional<int> backlight;  // percent; nullopt: lit, brightness never set
    std::vector<GpioBlock::PinRow> pins;
    bool paced = false;  // the virtual clock, paced to the host
};

BoardView view_of(Machine &machine, bool paused);

// One line: the board, the held buttons and the backlight.
std::string status_text(const BoardView &view);
// Ctrl-A s and `monitor board`: clock, time, buttons, backlight, pins.
std::string report_text(const BoardView &view);
// `monitor time`.
std::string time_text(const BoardView &view);
// The web page's state message: everything it draws.
std::string view_json(const BoardView &view);

}  // namespace kelto::sim::frontend
