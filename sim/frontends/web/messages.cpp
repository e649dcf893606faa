#include "frontends/web/messages.hpp"

#include <cstdio>

#include "frontends/board_view.hpp"
#include "models/register_view.hpp"

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

std::string hex_word(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "\"0x%08x\"", value);
    return text;
}

std::string register_json(const Device &device, const Register &reg, bool written)
{
    const std::optional<std::uint32_t> value = device.peek(reg.offset);
    return "{\"name\":" + json_string(reg.name.view()) + ",\"value\":" + (value ? hex_word(*value) : "null") +
           ",\"words\":" + json_string(value ? register_words(reg, *value) : "cannot be read") +
           ",\"written\":" + (written ? "true" : "false") + "}";
}

std::string device_json(const Device &device, const std::set<std::uint32_t> &written)
{
    std::string registers;
    for (const Register &reg : device.registers())
        registers += (registers.empty() ? "" : ",") + register_json(device, reg, written.contains(device.base() + reg.offset));
    return "{\"name\":" + json_string(device.name()) + ",\"base\":" + hex_word(device.base()) +
           ",\"registers\":[" + registers + "]}";
}

}  // namespace

std::optional<Request> parse_request(std::string_view message)
{
    if (message.starts_with("type ") && message.size() > 5)
        return Request{Request::Kind::type, std::string(message.substr(5))};
    if (const std::optional<BoardCommand> command = parse_board_command(message))
        return Request{Request::Kind::command, {}, *command};
    return std::nullopt;
}

std::string console_message(std::string_view bytes)
{
    return R"({"t":"console","data":)" + json_string(bytes) + "}";
}

std::string state_message(const BoardView &view)
{
    return view_json(view);
}

std::string halted_message(const Halt &halt)
{
    return std::string(R"({"t":"halted","kind":")") + halt_kind_name(halt.kind) +
           "\",\"value\":" + std::to_string(halt.value) + ",\"message\":" + json_string(halt.message) + "}";
}

std::string ended_message(int status, std::string_view why)
{
    return R"({"t":"ended","status":)" + std::to_string(status) + R"(,"why":)" + json_string(why) + "}";
}

std::string registers_message(std::span<const Device *const> devices, const std::set<std::uint32_t> &written)
{
    std::string peripherals;
    for (const Device *device : devices)
        peripherals += (peripherals.empty() ? "" : ",") + device_json(*device, written);
    return R"({"t":"registers","peripherals":[)" + peripherals + "]}";
}

std::string refusal_message(std::string_view why)
{
    return R"({"t":"refused","why":)" + json_string(why) + "}";
}

std::string notice_message(std::string_view text)
{
    return R"({"t":"notice","text":)" + json_string(text) + "}";
}

}  // namespace kelto::sim::frontend::web
