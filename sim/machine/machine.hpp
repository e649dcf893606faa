// A simulated board: an emulated ARM core (Unicorn) running a firmware image
// in DRAM, with models of the chip's peripherals on one virtual clock.
//
// The machine is strict where a real board is silent: an access to an address
// that is neither DRAM nor a modelled register, a register access that is not
// a whole aligned word, a store into the image's code, or a byte written to a
// full UART transmit FIFO stops the run with a report.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/board.hpp"
#include "core/clock.hpp"
#include "core/device.hpp"
#include "core/elf_image.hpp"
#include "machine/address_space.hpp"
#include "machine/board_io.hpp"
#include "machine/console_port.hpp"
#include "machine/cpu.hpp"
#include "machine/debug_port.hpp"
#include "machine/execution_observer.hpp"
#include "machine/register_bus.hpp"
#include "machine/time_skip.hpp"

namespace kelto::sim {

struct BoardState;

class UartChannel;
class GpioBlock;
class TimerBlock;

struct Fault {
    std::string message;
    std::uint32_t address = 0;
    std::uint32_t value = 0;
    std::uint32_t pc = 0;
};

enum class StopReason {
    returned,           // the called function (or main) returned
    fault,              // the strict checks stopped the run
    waiting_for_input,  // the firmware waits for console input that is not coming
    input_ended,        // the host's input has ended and the firmware waits for more
    output_seen,        // the awaited text appeared on the console
    time_limit,         // the virtual time limit passed
    stopped,            // stop() was called, e.g. by the user
    breakpoint,         // the pc reached a breakpoint; its instruction has not run
    watchpoint,         // an instruction accessed a watched address; the pc is after it
    step,               // the single instruction asked for has run
    idle_for_ever,      // the firmware can never move on, and the run has no time limit
};
const char *stop_reason_name(StopReason reason);

struct RunResult {
    StopReason reason;
    std::uint32_t value = 0;  // r0 when returned
    Cycles time = 0;          // clock at the stop
    std::string message;      // the fault report, if any
    // At a watchpoint: the data address accessed and the kind of the
    // watchpoint that saw it.
    std::uint32_t address = 0;
    WatchKind watch = WatchKind::access;
};

struct RunLimits {
    // Stop once this text appears in console output produced during the run.
    std::optional<std::string> until_output;
    // Stop after this much time has passed on the board's clock.
    std::optional<double> seconds;
    // Stop when the firmware blocks on console input with nothing on the way
    // and all output sent; otherwise virtual time skips ahead while it waits.
    bool until_waiting = true;
    // Execute one instruction only.
    bool single_step = false;
    // Stop at this board time exactly (with seconds, the earlier of the two):
    // a replay lands on the cycle it was asked for.
    std::optional<Cycles> until;
    // How far idle time may pass in this run, instead of what seconds and
    // idle_seconds say: a replay passes idle time as the recorded run did.
    std::optional<Cycles> skip_until;
    // While the firmware is idle (a loop that changes nothing, a wait for
    // console input with nothing on the way, wfi), time may pass up to this
    // long after the run's start, beyond `seconds`: for callers from whom
    // nothing can arrive until the run ends.
    std::optional<double> idle_seconds;
    // The run goes on from where a replay stopped (a breakpoint, a point
    // gone to) that the recorded run ran through: what the machine followed
    // of the firmware's waits carries on, as if it had not stopped.
    bool resumes = false;
};

// The far end of the console line and the person or script behind it.
class HostLink {
public:
    enum class Pump { fed, nothing, ended };
    virtual ~HostLink() = default;
    // The firmware is blocked on console input. Feed bytes through
    // Machine::feed_console if there are any, waiting up to wait_ms for them.
    virtual Pump pump(Machine &machine, int wait_ms) = 0;
    // Regular chance, on the wall clock, to take keys typed meanwhile.
    virtual void service(Machine &machine) { (void)machine; }
    // A console byte has left the line.
    virtual void transmitted(Machine &machine, std::uint8_t byte) = 0;
};

// Everything that reaches the board from outside, told as it arrives: what
// a recording of the run keeps to replay it.
class InputObserver {
public:
    virtual ~InputObserver() = default;
    virtual void console_fed(std::string_view bytes) = 0;
    virtual void button_set(Button button, bool held) = 0;
    virtual void memory_patched(std::uint32_t address, const void *data, std::size_t size) = 0;
    virtual void register_set(int number, std::uint32_t value) = 0;
    // A run starts, that idle time may pass in up to horizon: where a run
    // starts and what it may skip decide what it does.
    virtual void run_started(Cycles horizon) = 0;
};

// The board, made of parts (each in its own files): the core, its memory, the
// chip's registers, the console line, the board's I/O, the debugger's port and
// time skipping. Running it (run, call, step) and counting time are its own.
class Machine final {
public:
    struct Options {
        std::optional<int> board;  // 64 or 24; default from the image's link address
        ClockMode clock = ClockMode::virtual_time;
        bool halt_on_fault = false;  // see set_halt_on_fault
        bool paced = false;          // the virtual clock, paced to the host (Clock::pace)
    };

    // Loads an image as the boot loader would. Throws std::runtime_error.
    static std::unique_ptr<Machine> load(const std::string &image_path, const Options &options);
    static std::unique_ptr<Machine> load(const std::string &image_path) { return load(image_path, Options{}); }
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    const BoardSpec &board() const { return board_; }
    const ElfImage &image() const { return image_; }
    Clock &clock() { return clock_; }
    double seconds() { return clock_.to_seconds(clock_.now()); }

    // Runs main from the entry point, or resumes it where the last run stopped.
    RunResult run(const RunLimits &limits = {});
    bool main_returned() const { return main_returned_; }
    // Calls a function of the image with up to eight word arguments and
    // returns when it returns. A suspended main is left as it was.
    RunResult call(std::string_view name, const std::vector<std::uint32_t> &args = {}, const RunLimits &limits = {});
    std::uint32_t symbol(std::string_view name) const;  // throws if missing
    void stop(StopReason reason = StopReason::stopped, std::string message = {});

    // Lets the transmitters send what they hold, at the line rate, with the
    // core stopped: what a board's UART does whatever its core does.
    void drain_transmitters();

    // Serial console: UART channel 1.
    UartChannel &uart(int channel);
    UartChannel &console();
    void feed_console(std::string_view bytes);
    // Feeds bytes once the console output, from now on, contains text.
    void feed_console_when(std::string text, std::string bytes);
    const std::string &console_output() const;
    void set_host(HostLink *host) { console_.set_host(host); }
    HostLink *host() const { return console_.host(); }
    void set_input_observer(InputObserver *observer) { input_observer_ = observer; }

    // The board's buttons; held reads as a low pin.
    void set_button(Button button, bool held);
    bool button_held(Button button) const { return io_.button_held(button); }
    // Level that the board drives onto an input pin: buttons low when held,
    // every other input pulled high.
    bool input_level(Pin pin) const { return io_.input_level(pin); }

    GpioBlock &gpio() { return registers_.gpio(); }
    TimerBlock &timer() { return registers_.timer(); }

    // The LCD backlight as the board shows it (backlight.hpp): brightness in
    // percent, nullopt while lit with a brightness the firmware never set.
    std::optional<int> backlight_percent();
    // Called with the new brightness whenever a register write changes it.
    void watch_backlight(std::function<void(std::optional<int>)> watch);

    // Target memory, for tests.
    std::uint32_t read_word(std::uint32_t address);
    void write_word(std::uint32_t address, std::uint32_t value);
    std::vector<std::uint8_t> read_bytes(std::uint32_t address, std::size_t size);
    void write_bytes(std::uint32_t address, const void *data, std::size_t size);
    // A fresh block of DRAM for test data (arguments passed by address).
    std::uint32_t scratch(std::size_t size);
    std::uint32_t stack_top() const { return memory_.stack_top(); }
    // The stack may grow down to here before it meets the tests' scratch memory.
    std::uint32_t stack_limit() const;
    // Stack use, measured: paint the top window bytes of the stack before a
    // run; afterwards the deepest word no longer painted tells how deep it
    // went (0: not at all).
    void paint_stack(std::uint32_t window);
    std::uint32_t painted_stack_depth(std::uint32_t window);
    std::uint32_t return_trap() const { return return_trap_; }

    // Debugging: what a debugger front end needs, in the manner of a
    // hardware probe. Nothing here changes the image's code pages.
    //
    // The core's registers r0-r15, and cpsr as number 16. Until main runs
    // they hold the loader's call: pc at main, sp at the top of the stack and
    // lr at the return trap.
    static constexpr int cpsr_register = Cpu::cpsr_register;
    std::uint32_t reg(int number);
    void set_reg(int number, std::uint32_t value);
    // Memory as a debugger sees it: DRAM, and the peripheral registers read
    // without side effects (Device::peek), a word at a time. The bytes up to
    // the first that is neither: none if the first is not.
    std::vector<std::uint8_t> inspect(std::uint32_t address, std::size_t size);
    // Writes DRAM, code pages included; false if a byte lies outside DRAM.
    bool patch(std::uint32_t address, const void *data, std::size_t size);
    // A debugger's store: DRAM as patch writes it; registers as the
    // firmware's stores would write them, with their effects (a byte sent, a
    // timer started). The reason the strict checks refuse it, if they do:
    // the board does not fault for a debugger.
    std::optional<std::string> store(std::uint32_t address, const void *data, std::size_t size);
    // A run stops before executing the instruction at a breakpoint; one that
    // starts at a breakpoint runs past it.
    void add_breakpoint(std::uint32_t address);
    void remove_breakpoint(std::uint32_t address);
    bool breakpoint_at(std::uint32_t address) const { return debug_.breakpoint_at(address); }
    // A run stops right after an instruction that accessed any byte of
    // [address, address + length) in the watched way, DRAM or register.
    void add_watchpoint(std::uint32_t address, std::uint32_t length, WatchKind kind);
    void remove_watchpoint(std::uint32_t address, std::uint32_t length, WatchKind kind);
    // Runs exactly one instruction of main.
    RunResult step();
    // With halt on fault, a fault leaves the core at the faulting instruction
    // with the registers it found (a jump where there is no code: at its
    // target, with the registers the jump left), for a debugger to look at;
    // the report is made as usual, and the next run or step tries the
    // instruction again.
    void set_halt_on_fault(bool on) { halt_on_fault_ = on; }

    // Every register access, in order.
    const std::vector<Access> &accesses() const { return registers_.log(); }
    void clear_accesses() { registers_.clear_log(); }
    void set_logging(bool on) { registers_.set_logging(on); }
    std::uint64_t dropped_accesses() const { return registers_.dropped(); }
    void add_access_observer(AccessObserver &observer);
    void remove_access_observer(AccessObserver &observer);
    // Each hears of blocks from the machine's own block hook while registered
    // (coverage, profiles), and gets a code hook on each instruction whose
    // flags it wants to see.
    void add_execution_observer(ExecutionObserver &observer, const std::vector<std::uint32_t> &flags_at = {});
    void remove_execution_observer(ExecutionObserver &observer);
    // The observers' counts where the board stands, kept beside a state of
    // it in memory, and put back with that state (ExecutionObserver::mark).
    struct ObserverMarks {
        std::vector<std::pair<const ExecutionObserver *, std::shared_ptr<const ObserverMark>>> marks;
        std::size_t bytes() const;
    };
    ObserverMarks mark_observers() const;
    void rewind_observers(const ObserverMarks &marks);
    // The counting observer's count of the last block's way out, while the
    // block after it has still to tell it (null when none waits), and where
    // the last block ended: counting on another machine that goes on from
    // this one's board takes it up.
    std::pair<std::uint64_t *, std::uint32_t> pending_exit() const
    {
        return {leaving_ == &uncounted_ ? nullptr : leaving_, leaving_end_};
    }
    void set_pending_exit(std::uint64_t *count, std::uint32_t end)
    {
        leaving_ = count ? count : &uncounted_;
        leaving_end_ = end;
    }
    // Every peripheral model, for naming and looking up registers.
    std::vector<const Device *> devices() const;
    // "0x50080018 (kelto_uart_write+0x18)", the symbol demangled.
    std::string describe(std::uint32_t address) const;
    // "kelto_uart_write+0x18", or the bare address outside every symbol.
    std::string code_location(std::uint32_t address) const;

    // The whole board as a value (board_state.hpp), between runs. A restore
    // takes a state of this image and board, or throws StateError and leaves
    // the machine as it was.
    BoardState save_state();
    void restore_state(const BoardState &state);

    // The last run ended in a loop that only waits for the board to change.
    bool idling() const { return skip_.idling(); }
    // Where the firmware stopped for good in the last run (wfi or a branch to
    // itself on a board without interrupts), if it did.
    std::optional<std::uint32_t> idle_for_ever_at() const { return skip_.idle_for_ever_at(); }
    // Time moved on by busy-wait skipping so far, on the virtual clock.
    Cycles busy_wait_skipped() const { return skip_.busy_wait_skipped(); }

    const std::optional<Fault> &fault() const { return fault_; }
    // Reports a fault at the access being made; the run stops before the
    // next block. Models call this for behaviour a board would not show.
    void raise_fault(std::string message, std::uint32_t address, std::uint32_t value, bool write = false);

    // For models: console polling and time-driven work.
    void receiver_polled_empty(int channel);
    // Console status reads that found nothing received and nothing on the way.
    std::uint64_t console_empty_polls() const { return console_.empty_polls(); }
    void schedule(Cycles when);
    std::uint32_t current_pc() const { return block_->pc(); }
    // Register accesses so far, logged or not: a model tells from it whether
    // anything else happened between two accesses of its own.
    std::uint64_t register_accesses() const { return registers_.accesses_made(); }
    void byte_transmitted(int channel, std::uint8_t byte);

private:
    friend class RegisterBus;
    friend class ConsolePort;
    friend class DebugPort;
    friend class TimeSkip;
    friend struct MachineHooks;
    friend struct ExecutionHooks;
    struct ExecutionHook {
        ExecutionObserver *observer;
        const Machine *machine;
        std::vector<std::size_t> hooks;  // the engine's
    };
    std::vector<std::unique_ptr<ExecutionHook>> execution_hooks_;
    std::vector<ExecutionObserver *> observers_;  // told of each block
    ExecutionObserver *counter_ = nullptr;         // counts blocks
    bool observed_ = false;                        // observers_ or counter_
    bool told_ = false;                            // observers_ has any
    // The observers hear of the next block: the last was not quiet, or
    // emulation starts afresh, where the next block need not follow the last.
    bool tell_next_ = true;
    // Where a count no observer keeps goes.
    mutable std::uint64_t uncounted_ = 0;
    // The last block's count of leaving elsewhere than at its end.
    std::uint64_t *leaving_ = &uncounted_;
    std::uint32_t leaving_end_ = 0;
    bool stopped_before_block_ = false;

    Machine(const BoardSpec &board, ElfImage image, ClockMode clock);
    void install_hooks();
    RunResult execute(std::uint32_t pc, const RunLimits &limits);
    void start_run(std::uint32_t pc, const RunLimits &limits);
    std::optional<RunResult> emulation_returned(std::uint32_t &pc, int err);
    // Every executed block: the one hook a CPU-bound firmware pays for, so
    // all it does is count, and hand over only when something is due.
    void on_block(std::uint64_t address, std::uint32_t size)
    {
        const BlockCount &known = block_counts_[(address >> 1) % block_counts_.size()];
        if (known.key != (address | std::uint64_t{size} << 32)) [[unlikely]]
            return on_new_block(address, size);
        block_ = &known;
        clock_.count(known.instructions);
        // One test for a plain run; counting alone stays inline.
        const bool due = clock_.counted() >= attention_;
        if (due || observed_) [[unlikely]] {
            if (due || told_)
                return attend_and_observe(static_cast<std::uint32_t>(address), size);
            count_run(known, static_cast<std::uint32_t>(address));
        }
    }
    // Apart, so that the common path calls nothing but in its tail.
    [[gnu::noinline]] void on_new_block(std::uint64_t address, std::uint32_t size);
    // Observers are told here rather than by block hooks of their own: a
    // second block hook makes Unicorn 2.0.1 several times slower on every
    // block, however little it does.
    [[gnu::noinline]] void attend_and_observe(std::uint32_t pc, std::uint32_t size);
    // The block's instructions, in the state the core runs it in.
    struct BlockCount {
        std::uint64_t key = 0;  // pc and size; no block is empty
        std::uint32_t instructions = 0;
        bool thumb = false;
        bool quiet = false;  // to every observer told of blocks
        // The counting observer's counters, or uncounted_.
        std::uint64_t *runs = nullptr;
        std::uint64_t *left = nullptr;
        std::uint32_t pc() const { return static_cast<std::uint32_t>(key); }
        std::uint32_t size() const { return static_cast<std::uint32_t>(key >> 32); }
    };
    static const BlockCount no_block_;
    // The counting observer's counts, without a call.
    void count_run(const BlockCount &block, std::uint32_t pc)
    {
        *leaving_ += pc != leaving_end_;
        ++*block.runs;
        leaving_ = block.left;
        leaving_end_ = pc + block.size();
    }
    BlockCount count_block(std::uint32_t pc, std::uint32_t size) const;
    std::vector<std::uint16_t> thumb_code(std::uint32_t from, std::uint32_t to) const;
    // Of the current block: the instructions before the one at pc; the
    // address of the one after the first n.
    std::uint32_t instructions_before(std::uint32_t pc) const;
    std::uint32_t instruction_after(std::uint32_t n) const;
    void forget_block_counts() { block_counts_.fill(BlockCount{}); }
    void attend_block();
    bool stop_inside_block();
    void stop_before_block();
    void on_deadline_instruction(std::uint32_t pc);
    void drop_deadline_hook();
    void refresh_attention();
    void uncount_from(std::uint32_t pc);
    void stop_before(std::uint32_t pc, StopReason reason);
    void fault_at(const std::string &message, std::uint32_t address, std::uint32_t value, std::uint32_t pc);
    void fault_on_jump(std::uint32_t target);
    void service_devices();
    void service_devices_in_turn();
    void refresh_deadline();
    void request_stop(StopReason reason, std::string message = {});
    std::string where(std::uint32_t pc) const;
    std::uint32_t locate_access(std::uint32_t address, bool write) const;
    // Around each register access the core makes (register_bus.cpp).
    void before_register_read(const Device &device, std::uint32_t offset);
    void after_register_read(const Device &device, std::uint32_t offset, std::uint32_t value, unsigned size);
    void before_register_write();
    void after_register_write(const Device &device, std::uint32_t address, unsigned size);
    void register_changed(const Device &device);
    // Saving and restoring (machine_state.cpp).
    void save_parts(StateWriter &out);
    void restore_parts(StateReader &in);

    const BoardSpec &board_;
    ElfImage image_;
    Clock clock_;
    // DRAM's host memory, handed over as the machine goes so that it is
    // freed after the engine closes.
    std::unique_ptr<Dram> closing_dram_;
    // The parts, in the order they are built; the core goes last.
    Cpu cpu_;
    AddressSpace memory_;
    RegisterBus registers_;
    BoardIo io_;
    ConsolePort console_;
    DebugPort debug_;
    TimeSkip skip_;

    // Counting a block costs a look here, and a decode only the first time:
    // the core's state is read once per block translated.
    std::array<BlockCount, 256> block_counts_{};
    const BlockCount *block_ = &no_block_;  // the one running, or the last
    // The count at which a block must look at more than the clock: the next
    // service, or at once while a stop is requested, the idle detector
    // follows a loop, or the wall clock wants to be read.
    Cycles attention_ = 0;
    Cycles wall_attention_ = 0;

    std::uint32_t return_trap_ = 0xF0000000;
    bool main_started_ = false;
    bool main_returned_ = false;
    std::uint32_t main_pc_ = 0;  // where a suspended main resumes

    // Run state.
    std::optional<StopReason> stop_request_;
    std::string stop_message_;
    std::optional<Fault> fault_;
    // What set the pc a run starts at, for the report of a jump from there.
    std::string jumped_from_;
    Cycles deadline_ = never;      // time limit of the current run
    Cycles next_service_ = never;  // earliest model event or deadline
    // The instruction a run's deadline falls on, hooked to stop there; the
    // block holding it runs up to it.
    std::optional<std::size_t> deadline_hook_;
    std::uint32_t deadline_at_ = 0;
    bool deadline_reached_ = false;
    std::optional<std::uint32_t> resume_at_;  // where a run stopped before a block resumes
    // Emulation returns and resumes at once, as it must for Unicorn to free
    // deleted hooks.
    bool restart_emulation_ = false;
    const RunLimits *limits_ = nullptr;
    bool halt_on_fault_ = false;
    InputObserver *input_observer_ = nullptr;
};

}  // namespace kelto::sim
