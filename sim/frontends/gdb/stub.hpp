// What the debugger's packets do to the board: registers, memory,
// breakpoints and watchpoints, run control and monitor commands, on the
// board's debug target and nothing else. Apart from any socket: it takes
// packet payloads and gives back reply payloads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frontends/debug_target.hpp"
#include "frontends/trace.hpp"

namespace kelto::sim::frontend::gdb {

class Stub {
public:
    // trace: what `monitor trace` switches, if keltosim has one.
    explicit Stub(Trace *trace = nullptr) : trace_(trace) {}

    // The reply to a packet; nullopt when there is none now (the board runs
    // and the stop reply comes with the halt, or the debugger ended the
    // session).
    std::optional<std::string> handle(DebugTarget &target, std::string_view packet);
    // A debugger connected: the board stops for it.
    void attach(DebugTarget &target);
    // The debugger went away or detached: its breakpoints and watchpoints go
    // and the board runs on.
    void release(DebugTarget &target);
    // Ctrl-C from the debugger.
    void interrupt(DebugTarget &target);
    // The board halted; the stop reply if the debugger waits for one.
    std::optional<std::string> halted(const Halt &halt);

    // After D or k: close the connection once the reply is sent.
    bool closing() const { return closing_; }
    // QStartNoAckMode was agreed.
    bool no_ack() const { return no_ack_; }
    // The debugger asked for extended mode: it runs and kills the program.
    bool extended() const { return extended_; }

private:
    struct Point {
        char type;  // '0'-'4' as in Z packets
        std::uint32_t address;
        std::uint32_t length;
        bool operator==(const Point &) const = default;
    };
    static std::string registers(DebugTarget &target);
    static std::string write_registers(DebugTarget &target, std::string_view hex);
    static std::string register_at(DebugTarget &target, std::string_view args);
    static std::string set_register(DebugTarget &target, std::string_view args);
    static std::string read_memory(DebugTarget &target, std::string_view args);
    static std::string write_memory(DebugTarget &target, std::string_view args, bool binary);
    std::string point(DebugTarget &target, std::string_view args, bool insert);
    std::optional<std::string> run(DebugTarget &target, std::string_view address, bool step);
    std::string query(DebugTarget &target, std::string_view packet);
    std::string supported(std::string_view packet);
    static std::string features(std::string_view args);
    static std::string memory_map(DebugTarget &target, std::string_view args);
    // Multiprocess thread ids and extended mode.
    std::string thread_id() const { return multiprocess_ ? "p1.1" : "1"; }
    std::string stop_reply(const std::string &stop) const;
    std::optional<std::string> v_packet(DebugTarget &target, std::string_view packet);
    std::optional<std::string> resume(DebugTarget &target, std::string_view actions);
    std::string select_thread(std::string_view args) const;
    std::string detach(DebugTarget &target, std::string_view args);
    std::optional<std::string> kill(DebugTarget &target, bool reply);
    void restart(DebugTarget &target);
    std::string monitor(Board &board, const std::string &command);
    std::string trace(Board &board, const std::string &state, const std::string &filter);
    static void apply(DebugTarget &target, const Point &point, bool insert);

    Trace *trace_;
    std::vector<Point> points_;
    bool waiting_ = false;        // the debugger waits for a stop reply
    std::string last_stop_ = "T05thread:1;";
    bool closing_ = false;
    bool no_ack_ = false;
    bool multiprocess_ = false;  // agreed in qSupported
    bool extended_ = false;      // '!': the debugger starts and kills the program
};

}  // namespace kelto::sim::frontend::gdb
