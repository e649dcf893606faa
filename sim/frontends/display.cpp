#include "frontends/display.hpp"

#include <unistd.h>

#include <cstdio>

#include "frontends/terminal.hpp"
#include "models/gpio.hpp"

namespace kelto::sim::frontend {

std::string backlight_text(std::optional<int> percent)
{
    return percent ? std::to_string(*percent) + " %" : std::string("lit, brightness never set");
}

const char *clock_name(ClockMode mode)
{
    return mode == ClockMode::wall_time ? "wall" : "virtual";
}

std::string held_buttons(const Machine &machine, const char *separator)
{
    std::string held;
    for (Button button : all_buttons)
        if (machine.button_held(button))
            held += (held.empty() ? "" : separator) + std::string(button_name(button));
    return held.empty() ? "none" : held;
}

std::string seconds_text(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

std::string file_name(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string status_line(Machine &machine)
{
    return std::string(machine.board().name) + " | buttons held: " + held_buttons(machine, " ") +
           " | backlight: " + backlight_text(machine.backlight_percent());
}

std::string board_report(Machine &machine)
{
    const BoardSpec &board = machine.board();
    char time[64];
    std::snprintf(time, sizeof time, "%.6f s", machine.seconds());
    std::string text = std::string(board.name) + " (" + board.chip_name + "), " +
                       file_name(machine.image().path()) + ", " + time + " of board time on the " +
                       clock_name(machine.clock().mode()) + " clock\n";
    text += "buttons held: " + held_buttons(machine, ", ") + "\n";
    text += "backlight: " + backlight_text(machine.backlight_percent()) + "\n";
    const std::string pins = machine.gpio().describe_pins();
    text += "pins other than plain inputs:\n";
    std::size_t start = 0;
    while (start < pins.size()) {
        const auto end = pins.find('\n', start);
        text += "  " + pins.substr(start, end - start) + "\n";
        start = end == std::string::npos ? pins.size() : end + 1;
    }
    return text;
}

void write_message(std::string text)
{
    if (RawMode::active() && ::isatty(STDERR_FILENO)) {
        std::string converted;
        for (char c : text)
            converted += c == '\n' ? std::string("\r\n") : std::string(1, c);
        text = std::move(converted);
    }
    write_all(STDERR_FILENO, std::string_view(text));
}

}  // namespace kelto::sim::frontend
