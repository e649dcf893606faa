// The messages between keltosim and its web page. Outgoing messages are
// small JSON objects with a kind in "t"; incoming ones are one short command
// per WebSocket text message, and anything else is refused.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>

#include "frontends/board_command.hpp"
#include "frontends/escape.hpp"
#include "frontends/frontend.hpp"
#include "core/device.hpp"

namespace kelto::sim::frontend::web {

// What a page asks of the board: console input, or a board command.
struct Request {
    enum class Kind { type, command };
    Kind kind;
    std::string bytes;  // type: the console input
    BoardCommand command{BoardCommand::Kind::board};
};

// "type BYTES" or a board command ("press up", "pause", "resume", "reset");
// nullopt for anything else.
std::optional<Request> parse_request(std::string_view message);

std::string console_message(std::string_view bytes);
// Everything the page draws: board, clock, time, run state, buttons,
// backlight and pins.
std::string state_message(const BoardView &view);
std::string halted_message(const Halt &halt);
// keltosim ends with this exit status; the page keeps saying so once the
// connection is gone.
std::string ended_message(int status, std::string_view why);
// The register panel: every register of each device, its value read without
// side effects and its fields in words, marked when its address is among
// those written since the last panel.
std::string registers_message(std::span<const Device *const> devices, const std::set<std::uint32_t> &written);
std::string refusal_message(std::string_view why);
// Something keltosim tells the person at the page, as it would at a terminal.
std::string notice_message(std::string_view text);

}  // namespace kelto::sim::frontend::web
