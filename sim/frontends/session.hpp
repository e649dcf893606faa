// One run of an image: the board, the front ends that watch and drive it,
// and the way the run ended.
//
// The session runs the board in slices of board time and, between them and
// whenever the firmware only waits, gives every front end its turn. Its
// other jobs each have a file: the text checks (text_checks), the exit
// status (exit_policy), console input (console_feed), work from other
// threads (wakeup) and the debugger's view (machine_target).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frontends/bundle.hpp"
#include "frontends/cli.hpp"
#include "frontends/console_feed.hpp"
#include "frontends/exit_policy.hpp"
#include "frontends/frontend.hpp"
#include "frontends/machine_target.hpp"
#include "frontends/text_checks.hpp"
#include "frontends/wakeup.hpp"
#include "machine/machine.hpp"
#include "machine/timeline.hpp"

namespace kelto::sim::frontend {

class Session final : public Board, private HostLink {
public:
    Session(std::unique_ptr<Machine> machine, const Options &options);
    ~Session() override;
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Front ends are told of the board in the order they were added; one
    // added by reference must outlive the session.
    void add_frontend(Frontend &frontend);
    // The session keeps it, and lets it go before the machine.
    template <class T> T &adopt(std::unique_ptr<T> frontend)
    {
        owned_.push_back(std::move(frontend));
        add_frontend(*owned_.back());
        return static_cast<T &>(*owned_.back());
    }

    // Tells the front ends the run starts, runs the board until something
    // ends the session (a front end may drive it meanwhile: Board::wait),
    // tells them it ended; the exit status.
    int run();
    // Notes go to the end of this text instead of standard error, for a run
    // whose messages are shown with its result.
    void keep_notes(std::string &into) { notes_ = &into; }

    // The user's side of the session (terminal, script) is gone or failed:
    // ends with status, after a note of why when there is one.
    void end(int status, const std::string &why = {});
    // The board's output and the notes share one terminal line: a note
    // starts on a line of its own. The console knows.
    void notes_share_line(bool share) { notes_share_line_ = share; }
    // Writes out the console's output and, where messages share its line,
    // ends an unfinished line: what follows on stderr starts a line of its own.
    void start_line();

    // --bundle: a failed run's bundle takes this name (default: the image's).
    void name_bundle(std::string name) { bundle_name_ = std::move(name); }
    // --replay: the board goes on from the bundle's state with its input,
    // and the run ends at its failure as the recorded one did.
    void replay(Bundle bundle);

    // How far the run has come beyond the board's own state: the console
    // output the checks have seen (--expect, --fail-on, a wait_for's last
    // match, the recent lines) and when the run began, for --timeout. A
    // session of the same options on a board restored from this one's goes
    // on from it as this one would have (a suite's --boot-once).
    struct Progress {
        TextChecks text;
        Cycles started_at;
        Cycles host_waited;
    };
    Progress progress() const { return {text_, started_at_, host_waited_}; }
    void go_on_from(const Progress &progress);

    // Once the run is over: the machine, free of this session, for another
    // to restore a board into (a suite's scenarios: an emulator costs about
    // as much to open as the boot --boot-once spares). The session is done.
    std::unique_ptr<Machine> hand_back();

    // The machine itself, for the scenario runner and the tests; front ends
    // go through Board. A reset replaces it.
    Machine &machine() { return *machine_; }

    // Board
    BoardView view() override { return view_of(*machine_, paused_); }
    void add_probe(Probe &probe) override;
    void remove_probe(Probe &probe) override;
    DebugTarget &debug_target() override { return target_; }
    void type(std::string_view bytes) override { feed_.type(bytes); }
    bool wants_input() const override { return feed_.wants_input(); }
    void input_ended() override { feed_.end(machine_->clock().now()); }
    void set_button(Button button, bool held) override;
    void pause() override;
    void resume() override;
    void step() override { step_requested_ = true; }
    bool paused() const override { return paused_; }
    void reset() override;
    void halt_on_fault(bool on) override;
    void quit(int status, const std::string &why) override { end(status, why); }
    void wait(const Wait &wait) override;
    void finish() override;
    std::string recent_output() const override { return text_.recent_output(); }
    const std::string &ending() const override { return ending_; }
    std::optional<PinState> pin(Pin pin) override;
    void note(const std::string &text) override;
    void post(std::function<void()> work) override { wakeup_.post(std::move(work)); }
    std::string save_state(const std::string &path) override;

private:
    // The longest the session sleeps without looking at signals and limits.
    static constexpr int host_wait_ms = 100;
    // Console output handed to the front ends at once, at most.
    static constexpr std::size_t output_batch = 4096;
    static Cycles saturating_add(Cycles a, Cycles b) { return a > never - b ? never : a + b; }

    Pump pump(Machine &machine, int wait_ms) override;
    void service(Machine &machine) override;
    void transmitted(Machine &machine, std::uint8_t byte) override;

    Event advance(Cycles end, bool until_waiting);
    std::optional<WaitEnd> wait_ended_by(Event event);
    int conclude(Event event);
    std::optional<Event> pending_event() const;
    std::optional<Event> run_slice(Cycles end, bool until_waiting, bool &told_paused);
    void attach_machine();
    void replace_machine();
    bool tend();
    Pump wait_in_virtual_time();
    void wait_for_host(int timeout_ms);
    void run_posted();
    void halt(const Halt &halt);
    void flush_console();
    std::optional<double> idle_reach(Cycles end);
    bool tell_idle_for_ever(bool open_ended);
    bool someone_holds_session() const;
    bool someone_restarts_board() const;
    bool someone_watches();
    Cycles limit_remaining();
    void changed();
    void stop_machine();
    // Saving (session_state.cpp).
    std::string write_state(const std::string &path);
    Cycles until_save_at();
    void save_when_due();
    void look_for_save_at_text(char byte);
    // Failure bundles (session_bundle.cpp).
    void start_recording(const Timeline::Excerpt *excerpt);
    void keep_failure(Event event, const Verdict &verdict);
    Cycles replay_end() const;
    void limit_replay(RunLimits &limits) const;
    bool stop_at_replay_end();
    std::optional<Event> replay_reached(bool &told_paused);
    Verdict replayed(const Verdict &verdict, Event event);
    void replayed_fault();

    std::unique_ptr<Machine> machine_;
    // Before the machine it records goes.
    std::unique_ptr<Timeline> timeline_;
    const Options &options_;
    std::vector<Frontend *> frontends_;
    std::vector<Probe *> probes_;
    MachineTarget target_{*this};

    ConsoleFeed feed_;
    TextChecks text_;
    // Console output not yet handed to the front ends.
    std::string out_;
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
    std::string ending_;
    // The wait a front end asked for: until this board time, or the firmware
    // waiting for input. A wait met before the board ran is over at once.
    struct PendingWait {
        Cycles end;
        bool until_input_wait;
    };
    std::optional<PendingWait> wait_;
    std::optional<WaitEnd> wait_over_;
    bool finished_ = false;
    std::string *notes_ = nullptr;

    bool paused_ = false;
    bool step_requested_ = false;
    bool halt_on_fault_ = false;
    bool halted_on_fault_ = false;
    bool told_idle_for_ever_ = false;

    // --save-at once its time or text has come, and a save asked for
    // during a run, made when the run stops.
    Cycles save_at_time_ = never;
    std::string save_at_tail_;
    bool save_at_seen_ = false;
    bool saved_at_ = false;
    bool in_run_ = false;
    bool reset_pending_ = false;  // replaced once the run in progress has returned
    std::optional<std::string> pending_save_;

    // --bundle and --replay: the bundle's name, the bundle replayed and
    // whether its failure's point has been reached.
    std::string bundle_name_;
    std::optional<Bundle> replay_;
    bool replay_arrived_ = false;

    Wakeup wakeup_;
    // Last: they go first, while the board they watch is still there.
    std::vector<std::unique_ptr<Frontend>> owned_;
};

}  // namespace kelto::sim::frontend
