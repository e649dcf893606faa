#include "frontends/web/messages.hpp"

#include <cstdio>
#include <sstream>

#include "models/gpio.hpp"

namespace kelto::sim::frontend::web {

namespace {

const char *halt_kind_name(Halt::Kind kind)
{
    switch (kind) {
    case Halt::Kind::paused: return "paused";
    case Halt::Kind::breakpoint: return "breakpoint";
    case Halt::Kind::watchpoint: return "watchpoint";
    case Halt::Kind::step: return "step";
    case Halt::Kind::fault: return "fault";
    case Halt::Kind::exited: return "exited";
    }
    return "?";
}

std::string pins_array(const GpioBlock &gpio)
{
    std::istringstream lines(gpio.describe_pins());
    std::string array = "[", line;
    while (std::getline(lines, line))
        if (!line.empty())
            array += (array.size() > 1 ? "," : "") + json_string(line);
    return array + "]";
}

}  // namespace

std::optional<Request> parse_request(std::string_view message)
{
    if (message.starts_with("type ") && message.size() > 5)
        return Request{Request::Kind::type, std::string(message.substr(5)), {}};
    for (auto [verb, kind] : {std::pair{"press ", Request::Kind::press}, {"release ", Request::Kind::release}}) {
        const std::string_view prefix = verb;
        if (message.starts_with(prefix))
            if (const auto button = button_named(message.substr(prefix.size())))
                return Request{kind, {}, *button};
    }
    if (message == "pause")
        return Request{Request::Kind::pause, {}, {}};
    if (message == "resume")
        return Request{Request::Kind::resume, {}, {}};
    if (message == "reset")
        return Request{Request::Kind::reset, {}, {}};
    return std::nullopt;
}

std::string json_string(std::string_view bytes)
{
    std::string out = "\"";
    for (const unsigned char byte : bytes) {
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte >= 0x20 && byte < 0x7f) {
            out += static_cast<char>(byte);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        }
    }
    return out + "\"";
}

std::string console_message(std::string_view bytes)
{
    return R"({"t":"console","data":)" + json_string(bytes) + "}";
}

std::string state_message(Machine &machine, bool paused)
{
    char time[32];
    std::snprintf(time, sizeof time, "%.6f", machine.seconds());
    std::string buttons = "{";
    for (Button button : all_buttons)
        buttons += std::string(buttons.size() > 1 ? "," : "") + "\"" + button_name(button) +
                   "\":" + (machine.button_held(button) ? "true" : "false");
    const std::optional<int> backlight = machine.backlight_percent();
    return std::string(R"({"t":"state","board":)") + json_string(machine.board().name) +
           ",\"chip\":" + json_string(machine.board().chip_name) + ",\"clock\":\"" +
           (machine.clock().mode() == ClockMode::wall_time ? "wall" : "virtual") + "\",\"time\":" + time +
           ",\"paused\":" + (paused ? "true" : "false") + ",\"buttons\":" + buttons +
           "},\"backlight\":" + (backlight ? std::to_string(*backlight) : "null") +
           ",\"pins\":" + pins_array(machine.gpio()) + "}";
}

std::string halted_message(const Halt &halt)
{
    return std::string(R"({"t":"halted","kind":")") + halt_kind_name(halt.kind) +
           "\",\"value\":" + std::to_string(halt.value) + ",\"message\":" + json_string(halt.message) + "}";
}

std::string refusal_message(std::string_view why)
{
    return R"({"t":"refused","why":)" + json_string(why) + "}";
}

}  // namespace kelto::sim::frontend::web
