// One run of an image from the command line: the far end of the board's
// console (a pipe, the user's terminal, a pty or a scenario), the escape
// keys, the status row, the trace, and the rules that turn the way the run
// ended into an exit status.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frontends/cli.hpp"
#include "frontends/keys.hpp"
#include "machine/machine.hpp"
#include "frontends/scenario.hpp"
#include "frontends/terminal.hpp"

namespace kelto::sim::frontend {

// Where the console's bytes come from and go to.
enum class Link {
    pipe,      // stdin and stdout, not a terminal
    terminal,  // the user's terminal on stdin and stdout, raw, with escape keys
    pty,       // a pseudo-terminal; a terminal on stdin only takes escape keys
    scenario,  // a scenario's steps write, output on stdout
};

class Session final : public HostLink {
public:
    // The pty with Link::pty, the scenario with Link::scenario.
    Session(Machine &machine, const Options &options, Link link, Pty *pty = nullptr,
            const Scenario *scenario = nullptr);
    ~Session() override;

    // Runs the board until something ends the session; the exit status.
    int run();

    Pump pump(Machine &machine, int wait_ms) override;
    void service(Machine &machine) override;
    void transmitted(Machine &machine, std::uint8_t byte) override;

private:
    // Why advance stopped.
    enum class Event {
        returned,       // main returned
        fault,          // the strict checks stopped the board
        input_ended,    // piped input ended while the firmware waits for more
        waiting,        // the firmware waits for console input, nothing is queued
        span_done,      // the span asked for has passed
        time_limit,     // --timeout
        expect_seen,    // --expect
        fail_seen,      // --fail-on
        text_seen,      // a scenario's wait_for
        quit,           // Ctrl-A x
        signal,
        hangup,         // the user's terminal went away
        output_closed,  // stdout's reader went away
    };
    struct StepOutcome {
        std::optional<std::string> failure;
        std::optional<Event> end;
    };

    Event advance(std::optional<double> span, bool until_waiting);
    std::optional<Event> pending_event() const;
    int conclude(Event event);
    int run_scenario();
    StepOutcome perform(const Step &step);
    StepOutcome wait_for(const Step &step);
    bool find_text(const std::string &text);
    std::string console_said() const;

    bool tend();
    bool polling_after_input_ended();
    bool feed_one();
    void read_inputs(int timeout_ms);
    void read_serial();
    void read_keys(int fd);
    void handle_key(std::uint8_t byte);
    void check_signal();
    void check_peer();
    bool wait_for_peer();
    void flush_output();
    void dump_trace();
    void refresh_status();
    std::string status_line();
    std::string status_report();
    void note(const std::string &text);
    void stop();

    Machine &machine_;
    const Options &options_;
    Link link_;
    Pty *pty_;
    const Scenario *scenario_;

    int serial_fd_ = -1;  // console input: stdin or the pty
    int keys_fd_ = -1;    // a terminal that only takes escape keys
    std::unique_ptr<RawMode> raw_;
    std::unique_ptr<StatusBar> bar_;
    EscapeDecoder decoder_;
    bool notes_share_line_ = false;  // notes appear inside the serial stream
    bool interactive_ = false;

    std::deque<std::uint8_t> queue_;  // bytes for the console, fed one at a time
    bool input_ended_ = false;
    // Since when the firmware has polled the console with no input left and
    // printed nothing (see polling_after_input_ended).
    Cycles quiet_since_ = never;
    std::size_t quiet_output_ = 0;
    std::uint64_t quiet_polls_ = 0;
    bool peer_connected_ = false;
    bool hinted_ = false;
    std::string out_;
    char last_out_ = '\n';

    RunResult last_{StopReason::stopped, 0, 0, {}};
    std::uint32_t return_value_ = 0;
    Cycles time_limit_at_ = never;
    int signal_ = 0;
    bool quit_ = false, hangup_ = false, output_closed_ = false;
    bool expect_seen_ = false, text_seen_ = false;
    std::optional<std::string> fail_seen_;
    std::optional<std::string> watch_;  // a scenario's wait_for text
    std::size_t cursor_ = 0;            // where the next wait_for starts looking

    std::vector<const Device *> devices_;  // for naming registers in the trace
    std::uint64_t dropped_ = 0;
    std::string status_;
};

}  // namespace kelto::sim::frontend
