// What a person asks of the board, whichever way they ask: the debugger's
// monitor and the web page send these words, parsed here once; the escape
// keys map their keys onto the same commands. Each is carried out the same
// way for all of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/board.hpp"
#include "frontends/frontend.hpp"

namespace kelto::sim::frontend {

struct BoardCommand {
    enum class Kind : std::uint8_t {
        press,        // "press up"
        release,      // "release up"
        release_all,  // "release all"
        toggle,       // a key that holds or lets go (no words)
        reset,        // "reset"
        run,          // "run" or "resume"
        pause,        // "pause"
        board,        // "board": the report
        time,         // "time"
    };
    Kind kind;
    Button button = Button::up;  // press, release, toggle
    bool operator==(const BoardCommand &) const = default;
};

// One command in its words, single spaces between them and nothing around;
// nullopt for anything else.
std::optional<BoardCommand> parse_board_command(std::string_view text);

// Whether the command presses or lets go of buttons: input to the board,
// as typing is.
bool moves_buttons(const BoardCommand &command);

// Does what the command says; the answer for whoever asked ("up held", the
// board's report).
std::string carry_out(Board &board, const BoardCommand &command);

}  // namespace kelto::sim::frontend
