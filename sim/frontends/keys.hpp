// Keys typed at the terminal: everything goes to the board's console except
// what follows the escape key, Ctrl-A, which commands the simulator.
#pragma once

#include <cstdint>
#include <optional>

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
    static constexpr std::uint8_t escape = 0x01;  // Ctrl-A

    // What the byte means; nothing while an escape waits for its command.
    std::optional<KeyCommand> take(std::uint8_t byte);
    bool pending() const { return armed_; }

private:
    bool armed_ = false;
};

extern const char key_help[];

}  // namespace kelto::sim::frontend
