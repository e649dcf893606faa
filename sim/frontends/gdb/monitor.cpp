// The debugger's monitor commands: the board's own commands (press, reset,
// board, time), the trace, the registers in words, saving the board and
// moving about the recorded run.
#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "core/suggest.hpp"
#include "frontends/board_command.hpp"
#include "frontends/gdb/stub.hpp"

namespace kelto::sim::frontend::gdb {

namespace {

const char monitor_help[] = R"(keltosim monitor commands:
  help                          this text
  reset                         reload the image and start again from main
  board                         the board: clock, time, buttons, backlight, pins
  press up|down|left|right      hold a direction button
  release up|down|left|right|all
                                let a button (or all) go
  time                          board time and clock
  trace on|off [FILTER]         register access trace, as --trace=FILTER
  regs [PERIPHERAL|REGISTER]    registers with their fields in words (uart1,
                                gpio, timer, UTRSTAT); every one without
  save FILE                     write the board's state, for --restore
  goto INSTRUCTIONS|SECONDS     go to any point of the recorded run (1000000,
                                2.5s)
)";

// The protocol has no way to tell gdb that the registers changed under it
// between stops.
const char reset_hint[] = "gdb still shows the registers and frames from before: 'maint flush register-cache' "
                          "reads them again (under extended-remote, 'run' starts again afresh)\n";

}  // namespace

// The trace watches a machine only while it is on: attached, it costs every
// register access a look for the accessing instruction.
std::string Stub::trace(Board &board, const std::string &state, const std::string &filter)
{
    if (state != "on" && state != "off")
        return "trace on|off [FILTER]\n";
    if (!trace_)
        return "this keltosim has no trace\n";
    if (state == "off") {
        trace_->disable();
        return "trace off\n";
    }
    board.add_probe(*trace_);
    try {
        trace_->enable(filter);
    } catch (const std::invalid_argument &error) {
        return std::string(error.what()) + "\n";
    }
    return "trace on" + (filter.empty() ? std::string() : " for " + filter) + "\n";
}

// Run and pause are the debugger's own: continue and Ctrl-C.
std::string Stub::monitor(Board &board, const std::string &command)
{
    Timeline *timeline = board.debug_target().timeline();
    if (command == "time" && timeline)
        return carry_out(board, *parse_board_command(command)) + history(*timeline, timeline->clock());
    if (const std::optional<BoardCommand> board_command = parse_board_command(command))
        if (board_command->kind != BoardCommand::Kind::run && board_command->kind != BoardCommand::Kind::pause)
            return carry_out(board, *board_command) + (board_command->kind == BoardCommand::Kind::reset ? reset_hint : "");
    std::istringstream words(command);
    std::string verb, object, extra;
    words >> verb >> object;
    std::getline(words >> std::ws, extra);
    if (verb == "help" || verb.empty())
        return monitor_help;
    if (verb == "press" || verb == "release")
        return verb + " what? up, down, left or right" + (verb == "press" ? "" : " (or all)") +
               did_you_mean(object, button_names) + "\n";
    if (verb == "trace")
        return trace(board, object, extra);
    if (verb == "regs") {
        const std::string text = board.debug_target().registers_text(object);
        return text.empty() ? "no peripheral or register is called '" + object + "'\n" : text;
    }
    if (verb == "goto") {
        if (!timeline)
            return "going back needs the recording of a debugging session on the virtual clock\n";
        return go_to(*timeline, object);
    }
    if (verb == "save") {
        const std::string path = extra.empty() ? object : object + " " + extra;
        if (path.empty())
            return "save where? monitor save FILE\n";
        const std::string error = board.save_state(path);
        return error.empty() ? "board saved to " + path + "\n" : "cannot save the board: " + error + "\n";
    }
    return "no monitor command '" + verb + "'; 'monitor help' lists them\n";
}

std::string Stub::history(Timeline &timeline, Clock &clock)
{
    char text[256];
    std::snprintf(text, sizeof text,
                  "recorded from %.6f s (%llu instructions) to %.6f s (%llu instructions), in %zu KiB of %zu KiB\n",
                  clock.to_seconds(timeline.start().time), static_cast<unsigned long long>(timeline.start().instructions),
                  clock.to_seconds(timeline.end().time), static_cast<unsigned long long>(timeline.end().instructions),
                  timeline.memory() >> 10, timeline.memory_limit() >> 10);
    return text;
}


}  // namespace kelto::sim::frontend::gdb
