// The messages between keltosim and its web page. Outgoing messages are
// small JSON objects with a kind in "t"; incoming ones are one short command
// per WebSocket text message, and anything else is refused.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/board.hpp"
#include "frontends/frontend.hpp"

namespace kelto::sim::frontend::web {

// What a page asks of the board.
struct Request {
    enum class Kind { type, press, release, pause, resume, reset };
    Kind kind;
    std::string bytes;     // type: the console input
    Button button{};       // press, release
};

// "type BYTES", "press up", "release left", "pause", "resume" or "reset";
// nullopt for anything else.
std::optional<Request> parse_request(std::string_view message);

// Bytes as a JSON string literal, each byte one character (U+0000-U+00FF),
// so that a console's non-ASCII bytes survive as they were sent.
std::string json_string(std::string_view bytes);

std::string console_message(std::string_view bytes);
// Everything the page draws: board, clock, time, run state, buttons,
// backlight and pins.
std::string state_message(Machine &machine, bool paused);
std::string halted_message(const Halt &halt);
std::string refusal_message(std::string_view why);

}  // namespace kelto::sim::frontend::web
