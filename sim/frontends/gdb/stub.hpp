// What the debugger's packets do to the board: registers, memory,
// breakpoints and watchpoints, run control and monitor commands, on the
// board's Board interface and the machine's debug calls. Apart from any
// socket: it takes packet payloads and gives back reply payloads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frontends/frontend.hpp"
#include "frontends/trace.hpp"

namespace kelto::sim::frontend::gdb {

class Stub {
public:
    // trace: what `monitor trace` switches, if keltosim has one.
    explicit Stub(Trace *trace = nullptr) : trace_(trace) {}

    // The reply to a packet; nullopt when there is none now (the board runs
    // and the stop reply comes with the halt, or the debugger ended the
    // session).
    std::optional<std::string> handle(Board &board, std::string_view packet);
    // A debugger connected: the board stops for it.
    void attach(Board &board);
    // The debugger went away or detached: its breakpoints and watchpoints go
    // and the board runs on.
    void release(Board &board);
    // Ctrl-C from the debugger.
    void interrupt(Board &board);
    // The board halted; the stop reply if the debugger waits for one.
    std::optional<std::string> halted(Board &board, const Halt &halt);
    // A reset put a new machine in: the breakpoints and watchpoints go into it.
    void machine_changed(Board &board);

    // After D or k: close the connection once the reply is sent.
    bool closing() const { return closing_; }
    // QStartNoAckMode was agreed.
    bool no_ack() const { return no_ack_; }

private:
    struct Point {
        char type;  // '0'-'4' as in Z packets
        std::uint32_t address;
        std::uint32_t length;
        bool operator==(const Point &) const = default;
    };
    std::string registers(Machine &machine);
    std::string write_registers(Machine &machine, std::string_view hex);
    std::string register_at(Machine &machine, std::string_view args);
    std::string set_register(Machine &machine, std::string_view args);
    std::string read_memory(Machine &machine, std::string_view args);
    std::string write_memory(Machine &machine, std::string_view args, bool binary);
    std::string point(Board &board, std::string_view args, bool insert);
    std::optional<std::string> run(Board &board, std::string_view address, bool step);
    std::string query(Board &board, std::string_view packet);
    std::string features(std::string_view args);
    std::string monitor(Board &board, const std::string &command);
    std::string trace(Board &board, const std::string &state, const std::string &filter);
    void apply(Machine &machine, const Point &point, bool insert);

    Trace *trace_;
    std::vector<Point> points_;
    Machine *machine_ = nullptr;  // the machine the points are in
    bool waiting_ = false;        // the debugger waits for a stop reply
    std::string last_stop_ = "T05thread:1;";
    bool closing_ = false;
    bool no_ack_ = false;
};

}  // namespace kelto::sim::frontend::gdb
