#include "frontends/web/messages.hpp"

#include "frontends/board_view.hpp"

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

std::string refusal_message(std::string_view why)
{
    return R"({"t":"refused","why":)" + json_string(why) + "}";
}

}  // namespace kelto::sim::frontend::web
