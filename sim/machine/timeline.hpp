// The board's run as a recording one can go back in: states of the board
// taken every so often, and everything that reached it from outside (console
// bytes, buttons, a debugger's writes) at the board time it arrived. The
// board is otherwise deterministic on the virtual clock, so restoring the
// nearest earlier state and running on with the same inputs gives any point
// of the run again, exactly.
//
// The timeline stands between the machine and its host: while the board is
// in the past it feeds the recorded input itself, and its own runs to a
// point (going back) reach the host with neither output nor waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "machine/board_state.hpp"
#include "machine/machine.hpp"

namespace kelto::sim {

class Timeline final : public HostLink, public InputObserver {
public:
    struct Options {
        // Instructions run between two states: what one step back in the
        // recent past costs at most. (Time the firmware only waited costs
        // next to nothing to run again.)
        std::uint64_t interval = std::uint64_t{1} << 23;
        // The oldest history goes first beyond this.
        std::size_t memory_limit = std::size_t{256} << 20;
        // States kept at every interval; before them every 2nd for as many
        // intervals again, every 4th for twice as many, and so on.
        std::size_t recent = 32;
    };
    struct Position {
        Cycles time = 0;
        std::uint64_t instructions = 0;
    };
    // Where going back stopped.
    struct Stop {
        enum class Kind : std::uint8_t { arrived, breakpoint, watchpoint, begin };
        Kind kind = Kind::arrived;
        std::uint32_t address = 0;  // the pc at a breakpoint, the data at a watchpoint
        WatchKind watch = WatchKind::write;
    };

    // What reached the board from outside, and when.
    struct Input {
        enum class Kind : std::uint8_t { console, button, memory, reg };
        Cycles time;
        bool in_pump;  // fed while the firmware waited for it, inside a run
        Kind kind;
        std::uint32_t where;  // button, address or register number
        std::uint32_t value;  // held, or the register's value
        std::string bytes;
    };
    // A run of the recording: where it started and how far idle time could
    // pass in it.
    struct Run {
        Cycles start;
        Cycles horizon;
    };
    // The end of a recording, to replay elsewhere: the latest state at or
    // before a point, and the inputs and runs from it up to the point.
    struct Excerpt {
        BoardState state;
        std::vector<Input> inputs;
        std::vector<Run> runs;
        Position end;
    };

    // Starts recording from where the machine stands, as its host.
    Timeline(Machine &machine, HostLink &host, Options options);
    // A recording that holds the excerpt, the board restored to its state:
    // it replays the excerpt's inputs up to its end, then records on.
    // Refuses (StateError) an excerpt whose inputs and runs are out of order.
    Timeline(Machine &machine, HostLink &host, Options options, const Excerpt &excerpt);
    ~Timeline() override;
    Timeline(const Timeline &) = delete;
    Timeline &operator=(const Timeline &) = delete;

    // Between two runs of the board: in the past, the inputs due now go in;
    // at the present the recording grows, with a state when one is due.
    void between_runs();
    // The next run ends here at the latest, for an input due then.
    Cycles next_input() const;
    bool in_past() const;
    Position now() const;
    Clock &clock() const { return machine_.clock(); }
    Position start() const { return states_.front().at; }
    Position end() const { return end_; }
    std::size_t memory() const { return memory_; }
    std::size_t memory_limit() const { return options_.memory_limit; }
    // Told, with a note for the person, when an input in the past drops
    // the recorded future.
    void on_cut(std::function<void(const std::string &)> note) { cut_note_ = std::move(note); }

    // The instruction before this one.
    Stop step_back();
    // Back to the last breakpoint or watchpoint hit before now.
    Stop continue_back();
    // From the latest state before now (the first, if none is) up to now.
    Excerpt excerpt() const;

    // Any board time between the start and the end of the recording.
    Stop go_to(Cycles time);
    // Just after the instructions-th instruction (counted as the clock does).
    Stop go_to_instruction(std::uint64_t instructions);

    // HostLink
    Pump pump(Machine &machine, int wait_ms) override;
    void service(Machine &machine) override;
    void transmitted(Machine &machine, std::uint8_t byte) override;
    // Whether thinning keeps the state of this number, with the newest
    // numbered so, recent states kept at every interval.
    static bool keeps(std::uint64_t number, std::uint64_t newest, std::uint64_t recent);

    // InputObserver
    void console_fed(std::string_view bytes) override;
    void button_set(Button button, bool held) override;
    void memory_patched(std::uint32_t address, const void *data, std::size_t size) override;
    void register_set(int number, std::uint32_t value) override;
    void run_started(Cycles horizon) override;
    // In the past, a run goes as the recorded one went: it ends by the next
    // input or run of the recording, and passes idle time as that one did.
    void replay_limits(RunLimits &limits) const;

private:
    struct Saved {
        Position at;
        BoardState state;
        Machine::ObserverMarks counts;  // coverage's and profiles'
        std::size_t input;    // the first input at or after it
        std::size_t cost;
        std::uint64_t number;  // states taken before it in the recording
    };
    struct Hit {
        Position at;
        Stop stop;
    };

    void record(Input input);
    void cut_future();
    void take_state();
    void thin();
    void drop_state(std::size_t index);
    void drop_oldest();
    std::size_t input_count() const { return first_input_ + inputs_.size(); }
    const Input &input(std::size_t index) const { return inputs_[index - first_input_]; }
    bool apply_due(bool in_pump);
    void apply(const Input &input);
    const Saved &latest_state(Cycles before) const;
    void restore(const Saved &saved);
    void replay_to(Cycles time, std::vector<Hit> *hits = nullptr);
    void latest_with_at_most(std::uint64_t instructions, Cycles before);
    Cycles next_between_input() const;

    Machine &machine_;
    HostLink &host_;
    Options options_;
    std::deque<Saved> states_;
    std::deque<Input> inputs_;
    std::deque<Run> runs_;
    std::size_t first_input_ = 0;  // inputs dropped with the oldest states
    std::size_t cursor_ = 0;       // the next input to replay
    Position end_;
    std::size_t memory_ = 0;
    bool replaying_ = false;  // inputs come from the recording
    bool silent_ = false;     // a run of the timeline's own, to reach a point
    bool in_pump_ = false;
    std::function<void(const std::string &)> cut_note_;
};

}  // namespace kelto::sim
