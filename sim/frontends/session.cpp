#include "frontends/session.hpp"

#include <algorithm>
#include <utility>

#include "frontends/display.hpp"
#include "frontends/terminal.hpp"
#include "models/gpio.hpp"
#include "models/uart.hpp"

namespace kelto::sim::frontend {

namespace {

// Board time per run call: how often the front ends get their turn while
// the firmware is busy, on the virtual clock.
constexpr double slice_seconds = 0.01;
// Console output kept by each UART model.
constexpr std::size_t uart_history_bytes = std::size_t{64} * 1024;

}  // namespace

Session::Session(std::unique_ptr<Machine> machine, const Options &options)
    : machine_(std::move(machine)), options_(options), text_(options.fail_on, options.expect)
{
    attach_machine();
    add_probe(target_);
    started_at_ = machine_->clock().now();
    if (options_.save_at && options_.save_at->seconds)
        save_at_time_ = machine_->clock().from_seconds(*options_.save_at->seconds);
    if (options_.timeout)
        limit_ = machine_->clock().from_seconds(*options_.timeout);
}

Session::~Session()
{
    for (Probe *probe : probes_)
        probe->detach();
    timeline_.reset();
    if (machine_)
        machine_->set_host(nullptr);
}

void Session::attach_machine()
{
    machine_->set_host(this);
    // With a debugger the run is recorded, to go back in, and with
    // --bundle, to replay its failure: on the virtual clock, where nothing
    // but the recorded input decides a run (for them the wall clock is one
    // paced to the host: machine_options).
    if ((options_.gdb || options_.bundle) && machine_->clock().mode() == ClockMode::virtual_time)
        start_recording(nullptr);
    target_.set_timeline(timeline_.get());
    // The access log grows by every register access: the tests read it,
    // a session never does.
    machine_->set_logging(false);
    for (int channel = 0; channel < 4; channel++)
        machine_->uart(channel).limit_history(uart_history_bytes);
    machine_->set_halt_on_fault(halt_on_fault_);
}

void Session::halt_on_fault(bool on)
{
    halt_on_fault_ = on;
    machine_->set_halt_on_fault(on);
}

void Session::add_frontend(Frontend &frontend)
{
    frontends_.push_back(&frontend);
}

void Session::add_probe(Probe &probe)
{
    if (std::find(probes_.begin(), probes_.end(), &probe) != probes_.end())
        return;
    probes_.push_back(&probe);
    probe.attach(*machine_);
}

void Session::remove_probe(Probe &probe)
{
    if (std::erase(probes_, &probe) != 0)
        probe.detach();
}

int Session::run()
{
    for (Frontend *frontend : frontends_)
        frontend->started(*this);
    int status = 0;
    for (;;) {
        std::optional<WaitEnd> over = std::exchange(wait_over_, std::nullopt);
        Event event = Event::span_done;
        if (!over) {
            event = advance(wait_ ? wait_->end : never, wait_ && wait_->until_input_wait);
            over = wait_ended_by(event);
        }
        if (!over) {
            status = conclude(event);
            break;
        }
        for (Frontend *frontend : frontends_)
            frontend->wait_over(*this, *over);
    }
    // Each says what it lost; a run that lost a record does not succeed.
    bool delivered = true;
    for (Frontend *frontend : frontends_)
        delivered = frontend->finished(*this, status) && delivered;
    if (!delivered && status == 0)
        status = exit_output;
    return status;
}

void Session::wait(const Wait &wait)
{
    Clock &clock = machine_->clock();
    wait_over_.reset();
    text_.end_watch();
    wait_ = PendingWait{wait.seconds ? saturating_add(clock.now(), clock.from_seconds(*wait.seconds)) : never,
                        wait.until_input_wait};
    if (wait.text.empty())
        return;
    if (text_.find(wait.text)) {
        wait_.reset();
        wait_over_ = WaitEnd::text_seen;
        return;
    }
    text_.watch(wait.text);
}

void Session::finish()
{
    finished_ = true;
    stop_machine();
}

// The wait that ends with the event, if one does; any other event ends
// the session.
std::optional<WaitEnd> Session::wait_ended_by(Event event)
{
    if (!wait_ || (event != Event::text_seen && event != Event::span_done && event != Event::waiting &&
                   event != Event::returned))
        return std::nullopt;
    const std::optional<std::string> text = text_.watched();
    const bool seen = text_.end_watch() || (text && text_.find(*text));
    wait_.reset();
    if (seen)
        return WaitEnd::text_seen;
    if (event == Event::span_done)
        return WaitEnd::time_passed;
    return event == Event::waiting ? WaitEnd::input_wait : WaitEnd::main_returned;
}

// ---------------------------------------------------------------------------
// Running

Event Session::advance(Cycles end, bool until_waiting)
{
    bool told_paused = false;
    for (;;) {
        run_posted();
        save_when_due();
        if (const auto event = pending_event())
            return *event;
        if (machine_->main_returned() && !someone_restarts_board())
            return Event::returned;
        if (limit_remaining() == 0)
            return Event::time_limit;
        if (machine_->clock().now() >= end)
            return Event::span_done;
        if (paused_ && !step_requested_) {
            if (!told_paused && !halted_on_fault_) {
                told_paused = true;
                halt(Halt{Halt::Kind::paused, machine_->current_pc(), 0, {}});
            }
            wait_for_host(host_wait_ms);
            continue;
        }
        told_paused = false;
        if (const auto event = run_slice(end, until_waiting, told_paused))
            return *event;
        if (tell_idle_for_ever(end == never))
            return pending_event().value_or(Event::idle_for_ever);
        if (feed_.quiet_after_end(*machine_, someone_holds_session()))
            return Event::input_ended;
    }
}

// One run call, up to the end of the slice, the span or the limit; the
// event that ends the span, if the run's stop is one.
std::optional<Event> Session::run_slice(Cycles end, bool until_waiting, bool &told_paused)
{
    if (const auto event = replay_reached(told_paused))
        return event;
    Clock &clock = machine_->clock();
    const Cycles now = clock.now();
    const Cycles slice = std::min({clock.from_seconds(slice_seconds), end - now, limit_remaining(), until_save_at()});
    RunLimits limits;
    limits.seconds = clock.to_seconds(std::max<Cycles>(slice, 1));
    limits.until_waiting = until_waiting;
    limits.idle_seconds = idle_reach(end);
    limits.single_step = step_requested_;
    step_requested_ = false;
    if (timeline_) {
        timeline_->between_runs();
        timeline_->replay_limits(limits);
    }
    limit_replay(limits);
    in_run_ = true;
    last_ = machine_->run(limits);
    in_run_ = false;
    if (timeline_)
        timeline_->between_runs();
    if (pending_save_)
        save_state(*std::exchange(pending_save_, std::nullopt));
    tend();
    if (const auto event = replay_reached(told_paused))
        return event;
    switch (last_.reason) {
    case StopReason::returned:
        return_value_ = last_.value;
        halt(Halt{Halt::Kind::exited, 0, return_value_, {}});
        if (someone_restarts_board()) {
            pause();
            return std::nullopt;
        }
        return pending_event().value_or(Event::returned);
    case StopReason::fault:
        if (!halt_on_fault_)
            return Event::fault;
        // Each run that meets the fault, a debugger's step too, ends in a
        // stop it hears of.
        halted_on_fault_ = true;
        replayed_fault();
        note("fault: " + last_.message);
        paused_ = true;
        machine_->clock().hold();
        halt(Halt{Halt::Kind::fault, machine_->current_pc(), 0, last_.message});
        return std::nullopt;
    case StopReason::input_ended: return pending_event().value_or(Event::input_ended);
    case StopReason::waiting_for_input: return pending_event().value_or(Event::waiting);
    case StopReason::step: halt(Halt{Halt::Kind::step, 0, 0, {}}); return std::nullopt;
    case StopReason::breakpoint:
    case StopReason::watchpoint:
        // A debugger's stop: the board stands still until it resumes.
        paused_ = told_paused = true;
        machine_->clock().hold();
        halt(Halt{last_.reason == StopReason::breakpoint ? Halt::Kind::breakpoint : Halt::Kind::watchpoint,
                  last_.address, 0, {}});
        return std::nullopt;
    default: return std::nullopt;  // a slice ended, or a stop the flags explain
    }
}

// How far past its slice the board may let time pass while the firmware
// only waits: to the span's end, when nothing from the host can arrive
// before it (a scenario between steps, or input that has ended; then a
// second at a time, the quiet second the console feed looks for).
std::optional<double> Session::idle_reach(Cycles end)
{
    Clock &clock = machine_->clock();
    if (clock.follows_host() || paused_ || !feed_.empty() || someone_holds_session())
        return std::nullopt;
    if (someone_watches() && !feed_.ended())
        return std::nullopt;
    Cycles reach = std::min({end - clock.now(), limit_remaining(), until_save_at()});
    if (feed_.ended() || reach == never)
        reach = std::min(reach, clock.from_seconds(1.0));
    return clock.to_seconds(reach);
}

// Says once that the firmware has stopped for good; true when the run should
// end for it: nothing limits an open-ended run on the virtual clock and no
// one is at the board.
bool Session::tell_idle_for_ever(bool open_ended)
{
    const std::optional<std::uint32_t> at = machine_->idle_for_ever_at();
    if (!at)
        return last_.reason == StopReason::idle_for_ever;
    if (!told_idle_for_ever_) {
        told_idle_for_ever_ = true;
        note("the firmware is idle for ever at " + machine_->code_location(*at));
    }
    return open_ended && !machine_->clock().follows_host() && limit_ == never &&
           !someone_holds_session();
}

std::optional<Event> Session::pending_event() const
{
    if (signal_)
        return Event::signal;
    if (end_status_)
        return Event::quit;
    if (text_.fail_seen())
        return Event::fail_seen;
    if (text_.expect_seen())
        return Event::expect_seen;
    if (text_.watched_seen())
        return Event::text_seen;
    if (finished_)
        return Event::finished;
    return std::nullopt;
}

// What is left of --timeout: board time plus the time the board stood
// waiting on the host.
Cycles Session::limit_remaining()
{
    if (limit_ == never)
        return never;
    const Cycles used = saturating_add(machine_->clock().now() - started_at_, host_waited_);
    return used >= limit_ ? 0 : limit_ - used;
}

int Session::conclude(Event event)
{
    flush_console();
    for (Frontend *frontend : frontends_)
        frontend->service(*this);
    if (event == Event::finished)
        event = machine_->main_returned() ? Event::returned : Event::span_done;
    const Verdict verdict = judge(Ending{event, end_status_, signal_, return_value_, text_.expect_seen(),
                                         text_.fail_seen(), last_.message,
                                         machine_->clock().follows_host(), host_waited_ != 0},
                                  options_);
    // With a debugger the replay stood at its failure (replay_reached);
    // how the session ends after that is the debugger's doing.
    const Verdict said = replay_ && !options_.gdb ? replayed(verdict, event) : verdict;
    if (!said.note.empty()) {
        ending_ = said.note;
        note(said.note);
    }
    keep_failure(event, said);
    return said.status;
}

// ---------------------------------------------------------------------------
// The board, as front ends drive it

std::optional<PinState> Session::pin(Pin pin)
{
    const GpioBlock &gpio = machine_->gpio();
    const std::optional<unsigned> function = gpio.pin_function(pin);
    if (!function)
        return std::nullopt;
    return PinState{*function, gpio.pin_level(pin)};
}

void Session::set_button(Button button, bool held)
{
    machine_->set_button(button, held);
    changed();
}

void Session::pause()
{
    if (paused_)
        return;
    paused_ = true;
    machine_->clock().hold();
    stop_machine();
    changed();
}

void Session::resume()
{
    if (!paused_)
        return;
    paused_ = false;
    halted_on_fault_ = false;
    machine_->clock().release();
    changed();
}

void Session::reset()
{
    // Never from inside a run, the machine being replaced may be executing:
    // posted work also runs while the firmware waits for the host.
    reset_pending_ = true;
    stop_machine();
}

void Session::replace_machine()
{
    const Clock &clock = machine_->clock();
    auto fresh = Machine::load(machine_->image().path(),
                               Machine::Options{machine_->board().id, clock.mode(), false, clock.paced()});
    for (Probe *probe : probes_)
        probe->detach();
    target_.set_timeline(nullptr);
    timeline_.reset();
    replay_.reset();
    machine_->set_host(nullptr);
    machine_ = std::move(fresh);
    attach_machine();
    for (Probe *probe : probes_)
        probe->attach(*machine_);
    started_at_ = machine_->clock().now();
    host_waited_ = 0;
    feed_.clear();
    return_value_ = 0;
    halted_on_fault_ = false;
    if (paused_)
        machine_->clock().hold();
    changed();
}

void Session::end(int status, const std::string &why)
{
    if (!why.empty())
        note(why);
    if (!end_status_) {
        end_status_ = status;
        ending_ = why;
    }
    stop_machine();
}

void Session::start_line()
{
    flush_console();
    if (notes_share_line_ && last_out_ != '\n') {
        write_message("\n");
        last_out_ = '\n';
    }
}

void Session::note(const std::string &text)
{
    start_line();
    std::string message = "keltosim: " + text;
    if (message.back() != '\n')
        message += '\n';
    if (notes_)
        *notes_ += message;
    else
        write_message(std::move(message));
}

void Session::run_posted()
{
    if (pending_signal() && !signal_) {
        signal_ = pending_signal();
        stop_machine();
    }
    wakeup_.run_posted();
    if (reset_pending_ && !in_run_) {
        reset_pending_ = false;
        replace_machine();
    }
}

void Session::halt(const Halt &halt)
{
    for (Frontend *frontend : frontends_)
        frontend->halted(*this, halt);
}

void Session::changed()
{
    for (Frontend *frontend : frontends_)
        frontend->board_changed(*this);
}

void Session::stop_machine()
{
    machine_->stop(StopReason::stopped);
}

bool Session::someone_holds_session() const
{
    return std::any_of(frontends_.begin(), frontends_.end(), [](const Frontend *f) { return f->holds_session(); });
}

bool Session::someone_restarts_board() const
{
    return std::any_of(frontends_.begin(), frontends_.end(), [](const Frontend *f) { return f->restarts_board(); });
}

// Whether a front end has a descriptor that may bring input.
bool Session::someone_watches()
{
    std::vector<pollfd> fds;
    for (Frontend *frontend : frontends_)
        frontend->watch(fds);
    return !fds.empty();
}

}  // namespace kelto::sim::frontend
