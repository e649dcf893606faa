#include "frontends/display.hpp"

#include <unistd.h>

#include <cstdio>

#include "frontends/terminal.hpp"

namespace kelto::sim::frontend {

std::string backlight_text(std::optional<int> percent)
{
    return percent ? std::to_string(*percent) + " %" : std::string("lit, brightness never set");
}

const char *clock_name(ClockMode mode)
{
    return mode == ClockMode::wall_time ? "wall" : "virtual";
}

std::string clock_text(ClockMode mode, bool paced)
{
    return std::string(clock_name(mode)) + " clock" + (paced ? " paced to the host" : "");
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
