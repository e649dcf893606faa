// One run of an image: the board, the front ends that watch and drive it,
// and the rules that turn the way the run ended into an exit status.
//
// The session runs the board in slices of board time and, between them and
// whenever the firmware only waits, gives every front end its turn. It holds
// no more than a bounded window of the console's output: what the checks
// have not matched yet and the recent lines a failure shows.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "frontends/cli.hpp"
#include "frontends/frontend.hpp"
#include "machine/machine.hpp"

namespace kelto::sim::frontend {

// Why a span of running stopped.
enum class Event {
    returned,       // main returned
    fault,          // the strict checks stopped the board
    input_ended,    // console input ended while the firmware waits for more
    waiting,        // the firmware waits for console input, nothing is queued
    span_done,      // the span asked for has passed
    time_limit,     // --timeout
    expect_seen,    // --expect
    fail_seen,      // --fail-on
    text_seen,      // a scenario's wait_for
    quit,           // a front end ended the session (Ctrl-A x, gdb kill, an error)
    idle_for_ever,  // the firmware can never move on, and nothing limits the run
    signal,
};

class Session final : public Board, private HostLink {
public:
    Session(std::unique_ptr<Machine> machine, const Options &options);
    ~Session() override;
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Front ends are told of the board in the order they were added.
    void add_frontend(Frontend &frontend);

    // Runs the board until something ends the session; the exit status.
    int run();

    // Runs the board for a span of board time (or until something else
    // happens); until_waiting stops when the firmware waits for console
    // input that nobody has written. For scenarios.
    Event advance(std::optional<double> span, bool until_waiting);
    // The exit status for the way the session ended, with its message.
    int conclude(Event event);

    // Looks for text in the console output since the last match; the match
    // moves the mark past it.
    bool find_text(const std::string &text);
    // Runs until text appears past the mark, for at most seconds.
    Event wait_for_text(const std::string &text, double seconds);
    // The last lines of console output with their board times, for a
    // failure message.
    std::string recent_output() const;
    std::uint32_t return_value() const { return return_value_; }

    // The user's side of the session (terminal, script) is gone or failed:
    // ends with status, after a note of why when there is one.
    void end(int status, const std::string &why = {});

    // Board
    Machine &machine() override { return *machine_; }
    void type(std::string_view bytes) override;
    bool wants_input() const override;
    void input_ended() override;
    void set_button(Button button, bool held) override;
    void pause() override;
    void resume() override;
    void step() override;
    bool paused() const override { return paused_; }
    void reset() override;
    void halt_on_fault(bool on) override;
    void quit(int status) override { end(status); }
    void note(const std::string &text) override;
    // The board's output and the notes share one terminal line: a note
    // starts on a line of its own. The console knows.
    void notes_share_line(bool share) { notes_share_line_ = share; }
    std::string report() override;
    std::string save_state(const std::string &path) override;
    void post(std::function<void()> work) override;

private:
    Pump pump(Machine &machine, int wait_ms) override;
    void service(Machine &machine) override;
    void transmitted(Machine &machine, std::uint8_t byte) override;

    std::optional<Event> pending_event() const;
    void attach_machine();
    bool feed_one();
    bool tend();
    void wait_for_host(int timeout_ms);
    void run_posted();
    void halt(const Halt &halt);
    void flush_console();
    void watch_text(char byte);
    bool polling_after_input_ended();
    std::optional<double> idle_reach(Cycles end);
    bool tell_idle_for_ever(bool open_ended);
    bool someone_holds_session() const;
    Cycles limit_remaining();
    void changed();
    void stop_machine();
    std::string write_state(const std::string &path);
    Cycles until_save_at();
    void save_when_due();

    std::unique_ptr<Machine> machine_;
    const Options &options_;
    std::vector<Frontend *> frontends_;

    std::deque<std::uint8_t> queue_;  // typed bytes, fed one at a time
    bool input_ended_ = false;
    // Since when the firmware has polled the console with no input left and
    // printed nothing (see polling_after_input_ended).
    Cycles quiet_since_ = never;
    std::uint64_t quiet_output_ = 0;
    std::uint64_t quiet_polls_ = 0;

    // Console output not yet handed to the front ends.
    std::string out_;
    // Output since the last match, for the text checks: only its tail is
    // kept, as long as the longest text looked for.
    std::string unmatched_;
    std::size_t longest_text_ = 0;
    // The last bytes, as many as the longest --expect or --fail-on text.
    std::string tail_;
    // The last lines, with the board time each began, for failure messages.
    struct Line {
        double time;
        std::string text;
    };
    std::deque<Line> recent_;
    char last_out_ = '\n';
    bool notes_share_line_ = false;

    RunResult last_{StopReason::stopped, 0, 0, {}};
    std::uint32_t return_value_ = 0;
    // --timeout: board time plus the wall-clock time the board spent waiting
    // on the host, in cycles.
    Cycles limit_ = never;
    Cycles started_at_ = 0;
    Cycles host_waited_ = 0;

    int signal_ = 0;
    std::optional<int> end_status_;
    bool expect_seen_ = false, text_seen_ = false;
    std::optional<std::string> fail_seen_;
    std::optional<std::string> watch_;  // a scenario's wait_for text

    bool paused_ = false;
    bool step_requested_ = false;
    bool halt_on_fault_ = false;
    bool halted_on_fault_ = false;
    bool told_idle_for_ever_ = false;

    // Saving: --save-at once its time or text has come, and a save asked
    // for during a run.
    Cycles save_at_time_ = never;
    bool save_at_seen_ = false;
    bool saved_at_ = false;
    bool in_run_ = false;
    std::optional<std::string> pending_save_;

    int wake_[2] = {-1, -1};  // self-pipe that post() writes to
    std::mutex posted_mutex_;
    std::vector<std::function<void()>> posted_;
};

}  // namespace kelto::sim::frontend
