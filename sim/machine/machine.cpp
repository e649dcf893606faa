#include "machine/machine.hpp"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <utility>

#include "machine/dram.hpp"
#include "machine/hex.hpp"
#include "models/gpio.hpp"
#include "models/timer.hpp"
#include "models/uart.hpp"

namespace kelto::sim {

const char *stop_reason_name(StopReason reason)
{
    switch (reason) {
    case StopReason::returned: return "returned";
    case StopReason::fault: return "fault";
    case StopReason::waiting_for_input: return "waiting for input";
    case StopReason::input_ended: return "input ended";
    case StopReason::output_seen: return "output seen";
    case StopReason::time_limit: return "time limit";
    case StopReason::stopped: return "stopped";
    case StopReason::breakpoint: return "breakpoint";
    case StopReason::watchpoint: return "watchpoint";
    case StopReason::step: return "step";
    case StopReason::idle_for_ever: return "idle for ever";
    }
    return "?";
}

const Machine::BlockCount Machine::no_block_{};

Machine::Machine(const BoardSpec &board, ElfImage image, ClockMode clock)
    : board_(board), image_(std::move(image)), clock_(board.cpu_hz, clock), cpu_(board.core),
      memory_(cpu_.engine(), board_, image_), registers_(*this, cpu_.engine(), board_),
      io_(board_, registers_.gpio(), registers_.timer()),
      console_(*this, registers_.uart(board.console_channel)), debug_(*this, cpu_.engine()),
      skip_(*this, cpu_.engine(), board_, image_)
{
    install_hooks();
    // The loader's call of main: an 8-byte aligned stack and a return address.
    cpu_.write(13, memory_.stack_top() & ~7u);
    cpu_.write(14, return_trap_);
    set_reg(15, image_.entry());
    jumped_from_ = "the boot loader (the image's entry point)";
}

Machine::~Machine()
{
    for (const auto &hook : execution_hooks_)
        hook->observer->machine_closed();
    closing_dram_ = memory_.release_dram();
}

std::unique_ptr<Machine> Machine::load(const std::string &image_path, const Options &options)
{
    ElfImage image = ElfImage::load(image_path);
    const BoardSpec *board = nullptr;
    if (options.board) {
        board = board_by_id(*options.board);
        if (!board)
            throw std::runtime_error("unknown board " + std::to_string(*options.board) + " (64 or 24)");
    } else {
        board = board_for_address(image.link_address());
        if (!board)
            throw std::runtime_error(image_path + ": linked at " + hex(image.link_address()) +
                                     ", outside the DRAM of board 64 and board 24");
    }
    std::unique_ptr<Machine> machine(new Machine(*board, std::move(image), options.clock));
    machine->halt_on_fault_ = options.halt_on_fault;
    machine->clock_.pace(options.paced);
    return machine;
}

UartChannel &Machine::uart(int channel)
{
    return registers_.uart(channel);
}

UartChannel &Machine::console()
{
    return console_.line();
}

const std::string &Machine::console_output() const
{
    return console_.output();
}

void Machine::feed_console(std::string_view bytes)
{
    if (input_observer_)
        input_observer_->console_fed(bytes);
    console_.feed(bytes);
}

void Machine::feed_console_when(std::string text, std::string bytes)
{
    console_.feed_when(std::move(text), std::move(bytes));
}

void Machine::receiver_polled_empty(int channel)
{
    if (channel == board_.console_channel)
        console_.receiver_polled_empty();
}

void Machine::byte_transmitted(int channel, std::uint8_t byte)
{
    if (channel == board_.console_channel)
        console_.byte_transmitted(byte);
}

void Machine::set_button(Button button, bool held)
{
    if (input_observer_)
        input_observer_->button_set(button, held);
    io_.set_button(button, held);
}

std::optional<int> Machine::backlight_percent()
{
    return io_.backlight_percent();
}

void Machine::watch_backlight(std::function<void(std::optional<int>)> watch)
{
    io_.watch_backlight(std::move(watch));
}

std::uint32_t Machine::symbol(std::string_view name) const
{
    auto found = image_.find(std::string(name));
    if (!found)
        throw std::runtime_error(image_.path() + " has no symbol " + std::string(name));
    return found->address;
}

std::uint32_t Machine::read_word(std::uint32_t address)
{
    return memory_.read_word(address);
}

void Machine::write_word(std::uint32_t address, std::uint32_t value)
{
    memory_.write_word(address, value);
}

std::vector<std::uint8_t> Machine::read_bytes(std::uint32_t address, std::size_t size)
{
    return memory_.read_bytes(address, size);
}

void Machine::write_bytes(std::uint32_t address, const void *data, std::size_t size)
{
    memory_.write_bytes(address, data, size);
}

std::uint32_t Machine::scratch(std::size_t size)
{
    return memory_.scratch(size);
}

std::uint32_t Machine::stack_limit() const
{
    return memory_.stack_limit();
}

void Machine::paint_stack(std::uint32_t window)
{
    memory_.paint_stack(window);
}

std::uint32_t Machine::painted_stack_depth(std::uint32_t window)
{
    return memory_.painted_stack_depth(window);
}

std::vector<std::uint8_t> Machine::inspect(std::uint32_t address, std::size_t size)
{
    return memory_.inspect(address, size, registers_);
}

bool Machine::patch(std::uint32_t address, const void *data, std::size_t size)
{
    if (!memory_.patch(address, data, size))
        return false;
    if (input_observer_)
        input_observer_->memory_patched(address, data, size);
    forget_block_counts();
    return true;
}

std::optional<std::string> Machine::store(std::uint32_t address, const void *data, std::size_t size)
{
    if (patch(address, data, size))
        return std::nullopt;
    return registers_.store(address, static_cast<const std::uint8_t *>(data), size);
}

void Machine::add_breakpoint(std::uint32_t address)
{
    debug_.add_breakpoint(address);
}

void Machine::remove_breakpoint(std::uint32_t address)
{
    debug_.remove_breakpoint(address);
}

void Machine::add_watchpoint(std::uint32_t address, std::uint32_t length, WatchKind kind)
{
    debug_.add_watchpoint(address, length, kind);
}

void Machine::remove_watchpoint(std::uint32_t address, std::uint32_t length, WatchKind kind)
{
    debug_.remove_watchpoint(address, length, kind);
}

void Machine::add_access_observer(AccessObserver &observer)
{
    registers_.add_observer(observer);
}

void Machine::remove_access_observer(AccessObserver &observer)
{
    registers_.remove_observer(observer);
}

std::vector<const Device *> Machine::devices() const
{
    return registers_.devices();
}

void Machine::stop(StopReason reason, std::string message)
{
    request_stop(reason, std::move(message));
}

void Machine::request_stop(StopReason reason, std::string message)
{
    if (!stop_request_) {
        stop_request_ = reason;
        stop_message_ = std::move(message);
    }
    attention_ = 0;
}

void Machine::before_register_read(const Device &device, std::uint32_t offset)
{
    console_.register_reading();
    skip_.busy_poll(device, offset, block_->pc(), registers_.accesses_made());
}

void Machine::after_register_read(const Device &device, std::uint32_t offset, std::uint32_t value, unsigned size)
{
    console_.register_read();
    const std::uint32_t address = device.base() + offset;
    IdleDetector &idle = skip_.idle();
    // Whether the reading ticks matters only to a loop already followed.
    idle.register_read(block_->pc(), address, value, idle.watching() && device.read_may_change(offset));
    refresh_attention();
    debug_.accessed(address, size, false);
}

void Machine::before_register_write()
{
    console_.register_written();
    skip_.idle().register_written();
}

void Machine::after_register_write(const Device &device, std::uint32_t address, unsigned size)
{
    debug_.accessed(address, size, true);
    register_changed(device);
}

void Machine::register_changed(const Device &device)
{
    io_.register_written(device);
}

void Machine::start_run(std::uint32_t pc, const RunLimits &limits)
{
    clock_.start();
    limits_ = &limits;
    stop_request_.reset();
    restart_emulation_ = false;
    stop_message_.clear();
    console_.start_run(limits.resumes);
    deadline_ = limits.seconds ? clock_.now() + clock_.from_seconds(*limits.seconds) : never;
    if (limits.until)
        deadline_ = std::min(deadline_, *limits.until);
    const Cycles horizon = limits.skip_until ? *limits.skip_until
                           : limits.idle_seconds
                               ? std::max(deadline_, clock_.now() + clock_.from_seconds(*limits.idle_seconds))
                               : deadline_;
    skip_.start_run(horizon, limits.resumes);
    if (input_observer_)
        input_observer_->run_started(horizon);
    block_ = &no_block_;  // none of this run yet, for the report of a jump
    refresh_deadline();
    debug_.start_run(pc, limits.single_step);
}

// Why the run ends where emulation returned at pc, if it does.
std::optional<RunResult> Machine::emulation_returned(std::uint32_t &pc, int err)
{
    if (!fault_ && err != UC_ERR_OK)
        raise_fault(std::string("emulation stopped: ") + uc_strerror(static_cast<uc_err>(err)), pc, 0);
    if (fault_) {
        if (halt_on_fault_) {
            pc = fault_->pc;
            cpu_.move_pc(pc);
        }
        return RunResult{StopReason::fault, 0, 0, fault_->message};
    }
    if (pc == return_trap_)
        return RunResult{StopReason::returned, cpu_.read(0), 0, {}};
    if (const auto &hit = debug_.watch_hit())
        return RunResult{StopReason::watchpoint, 0, 0, {}, hit->address, hit->kind};
    if (stop_request_)
        return RunResult{*stop_request_, 0, 0, stop_message_};
    return std::nullopt;
}

RunResult Machine::execute(std::uint32_t pc, const RunLimits &limits)
{
    start_run(pc, limits);
    std::optional<RunResult> result;
    while (!result) {
        tell_next_ = true;
        const uc_err err = uc_emu_start(cpu_.engine(), cpu_.thumb() ? (pc | 1) : pc, return_trap_, 0, 0);
        // Resuming at the hooked instruction must run it.
        if (deadline_reached_)
            drop_deadline_hook();
        if (resume_at_)
            cpu_.write(Cpu::pc_register, *resume_at_);
        resume_at_.reset();
        pc = cpu_.read(Cpu::pc_register);
        result = emulation_returned(pc, err);
    }
    // A run ending on its deadline just before a breakpoint has reached it:
    // the next run, starting there, would run past it unseen.
    if (result->reason == StopReason::time_limit && debug_.arrived_at_breakpoint(pc))
        result->reason = StopReason::breakpoint;
    drop_deadline_hook();
    debug_.end_run();
    main_pc_ = pc;
    limits_ = nullptr;
    service_devices();
    result->time = clock_.now();
    return *result;
}

RunResult Machine::step()
{
    RunLimits limits;
    limits.until_waiting = false;
    limits.single_step = true;
    return run(limits);
}

RunResult Machine::run(const RunLimits &limits)
{
    if (main_returned_)
        throw std::logic_error("main has already returned");
    if (fault_ && halt_on_fault_)
        fault_.reset();  // the debugger may have mended what made it
    if (fault_)
        return RunResult{StopReason::fault, 0, clock_.now(), fault_->message};
    main_started_ = true;
    RunResult result = execute(main_pc_, limits);
    if (result.reason == StopReason::returned || result.reason == StopReason::fault) {
        main_returned_ = result.reason == StopReason::returned;
        drain_transmitters();
        result.time = clock_.now();
    }
    return result;
}

void Machine::drain_transmitters()
{
    // The deadline of the last run has no say here.
    deadline_ = never;
    for (;;) {
        const Cycles next = registers_.next_event();
        if (!registers_.transmitting() || next == never)
            break;
        if (clock_.mode() == ClockMode::virtual_time)
            clock_.skip_to(next);
        else
            std::this_thread::sleep_for(std::chrono::nanoseconds(clock_.to_ns(next - std::min(next, clock_.now()))));
        service_devices();
    }
}

RunResult Machine::call(std::string_view name, const std::vector<std::uint32_t> &args, const RunLimits &limits)
{
    if (args.size() > 8)
        throw std::invalid_argument("at most eight arguments");
    if (fault_)
        return RunResult{StopReason::fault, 0, clock_.now(), fault_->message};
    const std::uint32_t address = symbol(name);

    uc_context *saved = nullptr;
    check(uc_context_alloc(cpu_.engine(), &saved), "saving the CPU");
    uc_context_save(cpu_.engine(), saved);

    // Below a suspended main's frame, or at the top of the stack.
    std::uint32_t sp = memory_.stack_top();
    if (main_started_ && !main_returned_)
        sp = cpu_.read(13) - 256;
    sp &= ~7u;
    if (args.size() > 4) {
        sp -= static_cast<std::uint32_t>(((args.size() - 4) * 4 + 7) & ~std::size_t{7});
        write_bytes(sp, args.data() + 4, (args.size() - 4) * 4);
    }
    for (std::size_t i = 0; i < args.size() && i < 4; i++)
        cpu_.write(static_cast<int>(i), args[i]);
    cpu_.write(13, sp);
    cpu_.write(14, return_trap_);

    const std::uint32_t resume = main_pc_;
    const std::string resume_from = std::exchange(jumped_from_, "the call of " + std::string(name));
    RunResult result = execute(address, limits);
    main_pc_ = resume;
    jumped_from_ = resume_from;
    uc_context_restore(cpu_.engine(), saved);
    uc_context_free(saved);
    return result;
}

std::uint32_t Machine::reg(int number)
{
    if (number < 0 || number > cpsr_register)
        throw std::out_of_range("no register " + std::to_string(number));
    // Where a suspended main resumes, whatever a call since left in the pc.
    if (number == 15)
        return main_pc_;
    return cpu_.read(number);
}

void Machine::set_reg(int number, std::uint32_t value)
{
    if (number < 0 || number > cpsr_register)
        throw std::out_of_range("no register " + std::to_string(number));
    if (input_observer_)
        input_observer_->register_set(number, value);
    if (number == 15 && value != main_pc_) {
        main_pc_ = value;
        jumped_from_ = "a write to the pc";
    }
    if (number == 15)
        cpu_.move_pc(value);
    else
        cpu_.write(number, value);
}

}  // namespace kelto::sim
