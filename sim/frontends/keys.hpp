// Keys typed at the terminal: everything goes to the board's console except
// what follows the escape key, Ctrl-A unless --escape chose another, which
// commands the simulator.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "frontends/board_command.hpp"

namespace kelto::sim::frontend {

struct KeyCommand {
    enum class Kind {
        send,     // byte to the console
        board,    // a board command: a button held or let go, the report
        quit,
        help,
        unknown,  // byte after the escape that means nothing
    };
    Kind kind;
    std::uint8_t byte = 0;  // send, unknown
    BoardCommand command{BoardCommand::Kind::board};
};

class EscapeDecoder {
public:
    static constexpr std::uint8_t default_escape = 0x01;  // Ctrl-A

    explicit EscapeDecoder(std::uint8_t escape = default_escape) : escape_(escape) {}
    // What the byte means; nothing while an escape waits for its command.
    std::optional<KeyCommand> take(std::uint8_t byte);
    bool pending() const { return armed_; }
    std::uint8_t escape() const { return escape_; }

private:
    std::uint8_t escape_;
    bool armed_ = false;
};

// "Ctrl-B" for 0x02.
std::string key_name(std::uint8_t control);
// The escape keys' help, naming the escape key.
std::string key_help(std::uint8_t escape);

}  // namespace kelto::sim::frontend
