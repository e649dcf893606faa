#include "frontends/session.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <utility>

#include "frontends/display.hpp"
#include "frontends/scenario.hpp"
#include "frontends/terminal.hpp"
#include "machine/board_state.hpp"
#include "models/uart.hpp"

namespace kelto::sim::frontend {

namespace {

// Board time per run call: how often the front ends get their turn while
// the firmware is busy, on the virtual clock.
constexpr double slice_seconds = 0.01;
// The longest the session sleeps without looking at signals and limits.
constexpr int host_wait_ms = 100;
// Typed bytes waiting for the firmware beyond which front ends read no
// more: input is taken only as fast as the board takes it.
constexpr std::size_t input_queue_limit = 256;
// Console output kept for the text checks and the recent lines.
constexpr std::size_t history_bytes = std::size_t{64} * 1024;
constexpr std::size_t recent_lines = 8;
constexpr std::size_t recent_line_bytes = 160;

Cycles saturating_add(Cycles a, Cycles b)
{
    return a > never - b ? never : a + b;
}

}  // namespace

Session::Session(std::unique_ptr<Machine> machine, const Options &options)
    : machine_(std::move(machine)), options_(options)
{
    if (::pipe2(wake_, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::runtime_error("cannot make the session's wake-up pipe");
    // With standard input closed (keltosim <&-) the pipe would take its
    // number and pass for the console's input.
    for (int &fd : wake_) {
        if (fd <= STDERR_FILENO) {
            const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
            ::close(fd);
            fd = moved;
        }
    }
    for (const std::string &text : options_.fail_on)
        longest_text_ = std::max(longest_text_, text.size());
    if (options_.expect)
        longest_text_ = std::max(longest_text_, options_.expect->size());
    if (options_.save_at && options_.save_at->text)
        longest_text_ = std::max(longest_text_, options_.save_at->text->size());
    attach_machine();
    started_at_ = machine_->clock().now();
    if (options_.save_at && options_.save_at->seconds)
        save_at_time_ = machine_->clock().from_seconds(*options_.save_at->seconds);
    if (options_.timeout)
        limit_ = machine_->clock().from_seconds(*options_.timeout);
}

Session::~Session()
{
    machine_->set_host(nullptr);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void Session::attach_machine()
{
    machine_->set_host(this);
    // The access log grows by every register access: the tests read it,
    // a session never does.
    machine_->set_logging(false);
    for (int channel = 0; channel < 4; channel++)
        machine_->uart(channel).limit_history(history_bytes);
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

int Session::run()
{
    return conclude(advance(std::nullopt, false));
}

// ---------------------------------------------------------------------------
// Running

Event Session::advance(std::optional<double> span, bool until_waiting)
{
    Clock &clock = machine_->clock();
    const Cycles end = span ? saturating_add(clock.now(), clock.from_seconds(*span)) : never;
    bool told_paused = false;
    for (;;) {
        run_posted();
        save_when_due();
        if (const auto event = pending_event())
            return *event;
        if (machine_->main_returned())
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
        Clock &now_clock = machine_->clock();
        const Cycles now = now_clock.now();
        const Cycles slice =
            std::min({now_clock.from_seconds(slice_seconds), end - now, limit_remaining(), until_save_at()});
        RunLimits limits;
        limits.seconds = now_clock.to_seconds(std::max<Cycles>(slice, 1));
        limits.until_waiting = until_waiting;
        limits.idle_seconds = idle_reach(end);
        limits.single_step = step_requested_;
        step_requested_ = false;
        in_run_ = true;
        last_ = machine_->run(limits);
        in_run_ = false;
        if (pending_save_)
            save_state(*std::exchange(pending_save_, std::nullopt));
        tend();
        switch (last_.reason) {
        case StopReason::returned:
            return_value_ = last_.value;
            halt(Halt{Halt::Kind::exited, 0, return_value_, {}});
            return pending_event().value_or(Event::returned);
        case StopReason::fault:
            if (!halt_on_fault_)
                return Event::fault;
            // Each run that meets the fault, a debugger's step too, ends in
            // a stop it hears of.
            halted_on_fault_ = true;
            note("fault: " + last_.message);
            paused_ = true;
            machine_->clock().hold();
            halt(Halt{Halt::Kind::fault, machine_->current_pc(), 0, last_.message});
            continue;
        case StopReason::input_ended: return pending_event().value_or(Event::input_ended);
        case StopReason::waiting_for_input: return pending_event().value_or(Event::waiting);
        case StopReason::step: halt(Halt{Halt::Kind::step, 0, 0, {}}); continue;
        case StopReason::breakpoint:
        case StopReason::watchpoint:
            // A debugger's stop: the board stands still until it resumes.
            paused_ = told_paused = true;
            machine_->clock().hold();
            halt(Halt{last_.reason == StopReason::breakpoint ? Halt::Kind::breakpoint : Halt::Kind::watchpoint,
                      last_.address, 0, {}});
            continue;
        default: break;  // a slice ended, or a stop the flags explain
        }
        if (tell_idle_for_ever(!span))
            return pending_event().value_or(Event::idle_for_ever);
        if (polling_after_input_ended())
            return Event::input_ended;
    }
}

// A firmware that polls the console between other work, as the button test
// does, never blocks on it, so the machine cannot tell that it waits. Once
// piped input has ended, a second of board time in which it keeps finding
// the receiver empty and prints nothing counts as waiting for more.
bool Session::polling_after_input_ended()
{
    const Cycles now = machine_->clock().now();
    const std::uint64_t output = machine_->console().sent();
    const std::uint64_t polls = machine_->console_empty_polls();
    const UartChannel &console = machine_->console();
    const bool on_the_way = !queue_.empty() || !console.line_idle() || console.rx_waiting() != 0;
    if (!input_ended_ || on_the_way || output != quiet_output_ || someone_holds_session()) {
        quiet_since_ = now;
        quiet_output_ = output;
        quiet_polls_ = polls;
        return false;
    }
    return polls != quiet_polls_ && now - quiet_since_ >= machine_->clock().from_seconds(1.0);
}

// How far past its slice the board may let time pass while the firmware
// only waits: to the span's end, when nothing from the host can arrive
// before it (a scenario between steps, or input that has ended; then a
// second at a time, the quiet second polling_after_input_ended looks for).
std::optional<double> Session::idle_reach(Cycles end)
{
    Clock &clock = machine_->clock();
    if (clock.mode() != ClockMode::virtual_time || paused_ || !queue_.empty() || someone_holds_session())
        return std::nullopt;
    std::vector<pollfd> fds;
    for (Frontend *frontend : frontends_)
        frontend->watch(fds);
    if (!fds.empty() && !input_ended_)
        return std::nullopt;
    Cycles reach = std::min({end - clock.now(), limit_remaining(), until_save_at()});
    if (input_ended_ || reach == never)
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
    return open_ended && machine_->clock().mode() == ClockMode::virtual_time && limit_ == never &&
           !someone_holds_session();
}

std::optional<Event> Session::pending_event() const
{
    if (signal_)
        return Event::signal;
    if (end_status_)
        return Event::quit;
    if (fail_seen_)
        return Event::fail_seen;
    if (expect_seen_)
        return Event::expect_seen;
    if (text_seen_)
        return Event::text_seen;
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
    // Output that could not be delivered outweighs any success.
    if (end_status_ && event != Event::quit && event != Event::signal && event != Event::fault)
        event = Event::quit;
    switch (event) {
    case Event::returned:
        if (options_.expect && !expect_seen_) {
            note("main returned " + std::to_string(return_value_) + " before " + quoted_excerpt(*options_.expect) +
                 " appeared");
            return exit_expectation;
        }
        if (return_value_ != 0 || machine_->clock().mode() == ClockMode::wall_time)
            note("main returned " + std::to_string(return_value_));
        return static_cast<int>(return_value_ & 0xFF);
    case Event::fault: note("fault: " + last_.message); return exit_fault;
    case Event::input_ended:
        note("input ended while the firmware waits for console input" +
             (options_.expect ? "; " + quoted_excerpt(*options_.expect) + " did not appear" : std::string()));
        return exit_input_ended;
    case Event::waiting:
        note("the firmware waits for console input and nothing more is coming");
        return exit_input_ended;
    case Event::idle_for_ever: return exit_input_ended;
    case Event::time_limit:
        note("time limit: " + seconds_text(*options_.timeout) +
             (host_waited_ ? " of board time and waiting on the host passed" : " of board time passed"));
        return exit_time_limit;
    case Event::fail_seen: note(quoted_excerpt(*fail_seen_) + " appeared on the console"); return exit_expectation;
    case Event::expect_seen: return 0;
    case Event::signal: return 128 + signal_;
    case Event::quit: return *end_status_;
    case Event::span_done:
    case Event::text_seen: return 0;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Console text

bool Session::find_text(const std::string &text)
{
    const auto found = unmatched_.find(text);
    if (found == std::string::npos)
        return false;
    unmatched_.erase(0, found + text.size());
    return true;
}

Event Session::wait_for_text(const std::string &text, double seconds)
{
    if (find_text(text))
        return Event::text_seen;
    longest_text_ = std::max(longest_text_, text.size());
    watch_ = text;
    const Event event = advance(seconds, true);
    watch_.reset();
    const bool seen = text_seen_;
    text_seen_ = false;
    if (seen || find_text(text))
        return Event::text_seen;
    return event;
}

void Session::watch_text(char byte)
{
    unmatched_.push_back(byte);
    const std::size_t keep = std::max(history_bytes, longest_text_);
    if (unmatched_.size() >= 2 * keep)
        unmatched_.erase(0, unmatched_.size() - keep);
    // --fail-on and --expect look at everything; a wait_for only past the
    // previous match, which is where unmatched_ starts.
    tail_.push_back(byte);
    if (tail_.size() >= 2 * std::max<std::size_t>(longest_text_, 64))
        tail_.erase(0, tail_.size() - longest_text_);
    for (const std::string &text : options_.fail_on) {
        if (!fail_seen_ && tail_.ends_with(text)) {
            fail_seen_ = text;
            stop_machine();
        }
    }
    if (options_.expect && !expect_seen_ && tail_.ends_with(*options_.expect)) {
        expect_seen_ = true;
        stop_machine();
    }
    const auto &save_at = options_.save_at;
    if (save_at && save_at->text && !save_at_seen_ && tail_.ends_with(*save_at->text)) {
        save_at_seen_ = true;
        stop_machine();
    }
    if (watch_ && unmatched_.ends_with(*watch_)) {
        unmatched_.clear();
        text_seen_ = true;
        stop_machine();
    }
}

std::string Session::recent_output() const
{
    if (recent_.empty())
        return "the console said nothing\n";
    std::string text = "the console's last lines:\n";
    char stamp[32];
    for (const Line &line : recent_) {
        std::snprintf(stamp, sizeof stamp, "  %11.6f s  ", line.time);
        std::string shown;
        for (char c : line.text) {
            if (c == '\r' || c == '\n')
                continue;
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
                shown += escaped;
            } else {
                shown += c;
            }
        }
        text += stamp + shown + "\n";
    }
    return text;
}

// ---------------------------------------------------------------------------
// The board, as front ends drive it

void Session::type(std::string_view bytes)
{
    queue_.insert(queue_.end(), bytes.begin(), bytes.end());
}

void Session::input_ended()
{
    if (input_ended_)
        return;
    input_ended_ = true;
    // The quiet second counts from here, however long the slice that saw
    // the end has been running.
    quiet_since_ = machine_->clock().now();
}

bool Session::wants_input() const
{
    return queue_.size() < input_queue_limit;
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

void Session::step()
{
    step_requested_ = true;
}

void Session::reset()
{
    // Never from inside a run: the machine being replaced may be executing.
    post([this] {
        Machine::Options options{machine_->board().id, machine_->clock().mode()};
        auto fresh = Machine::load(machine_->image().path(), options);
        machine_->set_host(nullptr);
        machine_ = std::move(fresh);
        attach_machine();
        started_at_ = machine_->clock().now();
        host_waited_ = 0;
        queue_.clear();
        return_value_ = 0;
        halted_on_fault_ = false;
        if (paused_)
            machine_->clock().hold();
        changed();
    });
    stop_machine();
}

void Session::end(int status, const std::string &why)
{
    if (!why.empty())
        note(why);
    if (!end_status_)
        end_status_ = status;
    stop_machine();
}

void Session::note(const std::string &text)
{
    flush_console();
    std::string message = notes_share_line_ && last_out_ != '\n' ? "\n" : "";
    message += "keltosim: " + text;
    if (message.back() != '\n')
        message += '\n';
    write_message(std::move(message));
    if (notes_share_line_)
        last_out_ = '\n';
}

std::string Session::report()
{
    return board_report(*machine_);
}

void Session::post(std::function<void()> work)
{
    {
        std::lock_guard lock(posted_mutex_);
        posted_.push_back(std::move(work));
    }
    const char wake = 1;
    const ssize_t written = ::write(wake_[1], &wake, 1);
    (void)written;  // a full pipe wakes the session just the same
}

void Session::run_posted()
{
    if (pending_signal() && !signal_) {
        signal_ = pending_signal();
        stop_machine();
    }
    std::vector<std::function<void()>> work;
    {
        std::lock_guard lock(posted_mutex_);
        work.swap(posted_);
    }
    for (auto &job : work)
        job();
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

std::string Session::save_state(const std::string &path)
{
    if (!in_run_)
        return write_state(path);
    // The core is inside a block: its registers are not yet a state.
    pending_save_ = path;
    stop_machine();
    return {};
}

std::string Session::write_state(const std::string &path)
{
    try {
        write_state_file(path, machine_->save_state());
        return {};
    } catch (const std::exception &error) {
        note(std::string("cannot save the board: ") + error.what());
        return error.what();
    }
}

// The board time left before --save-at's time, so that a slice, idle time
// passing included, ends on it.
Cycles Session::until_save_at()
{
    const Cycles now = machine_->clock().now();
    return saved_at_ || save_at_time_ == never ? never : save_at_time_ - std::min(save_at_time_, now);
}

void Session::save_when_due()
{
    if (saved_at_ || !(save_at_seen_ || machine_->clock().now() >= save_at_time_))
        return;
    saved_at_ = true;
    if (!write_state(options_.save_at->file).empty())
        end(exit_output);
}

void Session::stop_machine()
{
    machine_->stop(StopReason::stopped);
}

bool Session::someone_holds_session() const
{
    return std::any_of(frontends_.begin(), frontends_.end(), [](const Frontend *f) { return f->holds_session(); });
}

// ---------------------------------------------------------------------------
// The console line

HostLink::Pump Session::pump(Machine &machine, int wait_ms)
{
    run_posted();
    if (pending_event())
        return Pump::nothing;
    const bool virtual_time = machine.clock().mode() == ClockMode::virtual_time;
    // The same poll serves a firmware waiting to send: on the virtual clock
    // let the output finish first, so the wait is skipped rather than spun
    // through with a byte on the way. A firmware that reads while it keeps
    // sending gets its input at the end of the slice (tend).
    if (virtual_time && !machine.console().transmitter_idle())
        return Pump::nothing;
    if (feed_one())
        return Pump::fed;
    const bool holds = someone_holds_session();
    if (input_ended_ && !holds)
        return Pump::ended;
    std::vector<pollfd> fds;
    for (Frontend *frontend : frontends_)
        frontend->watch(fds);
    if (fds.empty() && !holds && !paused_)
        return Pump::nothing;  // only a scenario's next steps can write
    if (!virtual_time) {
        if (tend())
            return Pump::fed;
        wait_for_host(wait_ms);
        return feed_one() ? Pump::fed : Pump::nothing;
    }
    // Virtual time stands still while the firmware waits for a key: the host
    // sleeps until one comes, or until something ends the wait. Each wait
    // gives the front ends their turn; the first round is tend's.
    if (tend())
        return Pump::fed;
    for (;;) {
        if (feed_one())
            return Pump::fed;
        if (pending_event() || paused_)
            return Pump::nothing;
        if (input_ended_ && !someone_holds_session())
            return Pump::ended;
        if (limit_remaining() == 0) {
            stop_machine();
            return Pump::nothing;
        }
        wait_for_host(host_wait_ms);
    }
}

void Session::service(Machine &)
{
    tend();
}

void Session::transmitted(Machine &machine, std::uint8_t byte)
{
    const char c = static_cast<char>(byte);
    out_.push_back(c);
    last_out_ = c;
    if (recent_.empty() || recent_.back().text.ends_with('\n')) {
        recent_.push_back(Line{machine.clock().to_seconds(machine.clock().now()), {}});
        if (recent_.size() > recent_lines)
            recent_.pop_front();
    }
    std::string &line = recent_.back().text;
    if (line.size() < recent_line_bytes || c == '\n')
        line.push_back(c);
    watch_text(c);
    if (out_.size() >= 4096)
        flush_console();
}

void Session::flush_console()
{
    if (out_.empty())
        return;
    const std::string bytes = std::move(out_);
    out_.clear();
    for (Frontend *frontend : frontends_)
        frontend->console_output(*this, bytes);
}

// The regular round: signals, posted work, front ends, input, output. True
// when a byte went to the console.
bool Session::tend()
{
    run_posted();
    for (Frontend *frontend : frontends_)
        frontend->service(*this);
    const bool fed = feed_one();
    flush_console();
    return fed;
}

// One byte at a time, and only into an idle line and an empty receiver: a
// script, however fast, never overruns the 64-byte FIFO. Nothing goes out
// before the firmware first polls the receiver: a byte on the line while it
// sets the UART up could be emptied from the FIFO with its reset.
bool Session::feed_one()
{
    if (queue_.empty())
        return false;
    UartChannel &console = machine_->console();
    if (console.rx_waiting() != 0 || !console.line_idle() || !console.receiver_polled())
        return false;
    machine_->feed_console(std::string(1, static_cast<char>(queue_.front())));
    queue_.pop_front();
    return true;
}

// Sleeps until a front end's input, posted work or a signal, for at most
// timeout_ms and what is left of the time limit. Time the board spends
// standing still meanwhile counts towards the limit.
void Session::wait_for_host(int timeout_ms)
{
    std::vector<pollfd> fds{pollfd{wake_[0], POLLIN, 0}};
    for (Frontend *frontend : frontends_)
        frontend->watch(fds);
    Clock &clock = machine_->clock();
    int wait = timeout_ms < 0 ? host_wait_ms : std::min(timeout_ms, host_wait_ms);
    const Cycles remaining = limit_remaining();
    if (remaining != never)
        wait = static_cast<int>(std::min<std::uint64_t>(static_cast<std::uint64_t>(wait),
                                                        clock.to_ns(remaining) / 1'000'000 + 1));
    const auto before = std::chrono::steady_clock::now();
    ::poll(fds.data(), fds.size(), wait);
    if (clock.mode() == ClockMode::virtual_time || clock.held()) {
        const auto waited = std::chrono::steady_clock::now() - before;
        host_waited_ = saturating_add(
            host_waited_,
            clock.from_ns(static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(waited).count())));
    }
    char drain[64];
    while (::read(wake_[0], drain, sizeof drain) > 0) {
    }
    run_posted();
    for (Frontend *frontend : frontends_)
        frontend->service(*this);
}

}  // namespace kelto::sim::frontend
