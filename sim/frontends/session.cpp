#include "frontends/session.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "models/gpio.hpp"
#include "models/timer.hpp"
#include "models/uart.hpp"

namespace kelto::sim::frontend {

namespace {

// Board time per run call: how often the front end looks at its inputs
// while the firmware is busy, on the virtual clock.
constexpr double slice_seconds = 0.01;
// How often a pty with no terminal on its far side is looked at again.
constexpr int peer_check_ms = 100;
// How long a terminal on the pty may take to read before output is dropped,
// as on a line without flow control.
constexpr int pty_write_ms = 100;

std::string seconds_text(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

std::string backlight_text(std::optional<int> percent)
{
    return percent ? std::to_string(*percent) + " %" : std::string("lit, brightness never set");
}

const char *clock_name(ClockMode mode)
{
    return mode == ClockMode::wall_time ? "wall" : "virtual";
}

// The buttons held now, by name, or "none".
std::string held_buttons(const Machine &machine, const char *separator)
{
    std::string held;
    for (Button button : all_buttons)
        if (machine.button_held(button))
            held += (held.empty() ? "" : separator) + std::string(button_name(button));
    return held.empty() ? "none" : held;
}

std::string file_name(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Messages on stderr; a raw terminal needs its carriage returns spelled out.
void write_message(std::string text)
{
    if (RawMode::active() && ::isatty(STDERR_FILENO)) {
        std::string converted;
        for (char c : text)
            converted += c == '\n' ? std::string("\r\n") : std::string(1, c);
        text = std::move(converted);
    }
    write_all(STDERR_FILENO, text);
}

bool ends_with_from(const std::string &all, const std::string &text, std::size_t from)
{
    return all.size() >= from + text.size() && all.compare(all.size() - text.size(), text.size(), text) == 0;
}

}  // namespace

Session::Session(Machine &machine, const Options &options, Link link, Pty *pty, const Scenario *scenario)
    : machine_(machine), options_(options), link_(link), pty_(pty), scenario_(scenario)
{
    const bool stdin_terminal = ::isatty(STDIN_FILENO);
    switch (link_) {
    case Link::pipe:
    case Link::terminal: serial_fd_ = STDIN_FILENO; break;
    case Link::pty:
        serial_fd_ = pty_->fd();
        if (stdin_terminal)
            keys_fd_ = STDIN_FILENO;
        break;
    case Link::scenario: break;
    }
    interactive_ = link_ == Link::terminal || link_ == Link::pty;
    if (interactive_ && stdin_terminal)
        raw_ = std::make_unique<RawMode>(STDIN_FILENO);
    notes_share_line_ = link_ != Link::pty && ::isatty(STDOUT_FILENO) && ::isatty(STDERR_FILENO);
    if (link_ == Link::terminal && options_.status && notes_share_line_) {
        bar_ = std::make_unique<StatusBar>(STDERR_FILENO);
        if (!bar_->usable())
            bar_.reset();
    }

    if (options_.timeout)
        time_limit_at_ = machine_.clock().now() + machine_.clock().from_seconds(*options_.timeout);
    for (int channel = 0; channel < 4; channel++)
        devices_.push_back(&machine_.uart(channel));
    devices_.push_back(&machine_.gpio());
    devices_.push_back(&machine_.timer());
    // The access log grows by every register access: keep it only to print.
    machine_.set_logging(options_.trace);
    machine_.set_host(this);
}

Session::~Session()
{
    machine_.set_host(nullptr);
    flush_output();
}

int Session::run()
{
    if (interactive_) {
        status_ = status_line();
        note(file_name(options_.image) + " on " + machine_.board().name + " (" + machine_.board().chip_name + "), " +
             clock_name(machine_.clock().mode()) + " clock" +
             (raw_ ? "; Ctrl-A h for help, Ctrl-A x to quit" : ""));
        if (bar_)
            bar_->show(status_);
    }
    if (link_ == Link::pty && !wait_for_peer()) {
        const auto event = pending_event();
        return conclude(event ? *event : Event::quit);
    }
    if (link_ == Link::scenario)
        return run_scenario();
    return conclude(advance(std::nullopt, false));
}

// ---------------------------------------------------------------------------
// Running

Session::Event Session::advance(std::optional<double> span, bool until_waiting)
{
    Clock &clock = machine_.clock();
    const Cycles end = span ? clock.now() + clock.from_seconds(*span) : never;
    for (;;) {
        if (machine_.main_returned())
            return Event::returned;
        if (const auto event = pending_event())
            return *event;
        const Cycles now = clock.now();
        if (now >= time_limit_at_)
            return Event::time_limit;
        if (now >= end)
            return Event::span_done;
        const Cycles slice = std::min({clock.from_seconds(slice_seconds), end - now, time_limit_at_ - now});
        RunLimits limits;
        limits.seconds = clock.to_seconds(std::max<Cycles>(slice, 1));
        limits.until_waiting = until_waiting;
        last_ = machine_.run(limits);
        tend();
        dump_trace();
        switch (last_.reason) {
        case StopReason::returned:
            return_value_ = last_.value;
            flush_output();
            return Event::returned;
        case StopReason::fault: return Event::fault;
        case StopReason::input_ended: return Event::input_ended;
        case StopReason::waiting_for_input: return Event::waiting;
        default: break;  // a slice ended, or a stop the flags explain
        }
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
    const Cycles now = machine_.clock().now();
    const std::size_t output = machine_.console_output().size();
    const std::uint64_t polls = machine_.console_empty_polls();
    if (!input_ended_ || !queue_.empty() || output != quiet_output_) {
        quiet_since_ = now;
        quiet_output_ = output;
        quiet_polls_ = polls;
        return false;
    }
    return polls != quiet_polls_ && now - quiet_since_ >= machine_.clock().from_seconds(1.0);
}

std::optional<Session::Event> Session::pending_event() const
{
    if (signal_)
        return Event::signal;
    if (hangup_)
        return Event::hangup;
    if (output_closed_)
        return Event::output_closed;
    if (quit_)
        return Event::quit;
    if (fail_seen_)
        return Event::fail_seen;
    if (expect_seen_)
        return Event::expect_seen;
    if (text_seen_)
        return Event::text_seen;
    return std::nullopt;
}

int Session::conclude(Event event)
{
    flush_output();
    switch (event) {
    case Event::returned:
        if (options_.expect && !expect_seen_) {
            note("main returned " + std::to_string(return_value_) + " before " + quoted(*options_.expect) +
                 " appeared");
            return exit_expectation;
        }
        if (interactive_ || return_value_ != 0)
            note("main returned " + std::to_string(return_value_));
        return static_cast<int>(return_value_ & 0xFF);
    case Event::fault: note("fault: " + last_.message); return exit_fault;
    case Event::input_ended:
        note("input ended while the firmware waits for console input" +
             (options_.expect ? "; " + quoted(*options_.expect) + " did not appear" : std::string()));
        return exit_input_ended;
    case Event::waiting:
        note("the firmware waits for console input and nothing more is coming");
        return exit_input_ended;
    case Event::time_limit:
        note("time limit: " + seconds_text(*options_.timeout) + " of board time passed");
        return exit_time_limit;
    case Event::fail_seen: note(quoted(*fail_seen_) + " appeared on the console"); return exit_expectation;
    case Event::expect_seen:
        if (interactive_)
            note(quoted(*options_.expect) + " appeared on the console");
        return 0;
    case Event::signal: return 128 + signal_;
    case Event::hangup: return 128 + SIGHUP;
    case Event::output_closed: return 128 + SIGPIPE;
    case Event::quit:
    case Event::span_done:
    case Event::text_seen: return 0;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Scenarios

int Session::run_scenario()
{
    for (const Step &step : scenario_->steps) {
        const StepOutcome outcome = perform(step);
        if (outcome.failure) {
            flush_output();
            note(where(*scenario_, step) + ": " + describe(step) + ": " + *outcome.failure);
            return exit_expectation;
        }
        if (outcome.end)
            return conclude(*outcome.end);
    }
    flush_output();
    // The scenario is done; main has failed only if it returned non-zero.
    return machine_.main_returned() ? conclude(Event::returned) : 0;
}

Session::StepOutcome Session::perform(const Step &step)
{
    using Action = Step::Action;
    switch (step.action) {
    case Action::write: queue_.insert(queue_.end(), step.text.begin(), step.text.end()); return {};
    case Action::hold:
    case Action::release:
        for (Button button : step.buttons)
            machine_.set_button(button, step.action == Action::hold);
        return {};
    case Action::wait: {
        const Event event = advance(step.seconds, false);
        if (event == Event::span_done || event == Event::returned)
            return {};
        return {std::nullopt, event};
    }
    case Action::wait_for: return wait_for(step);
    case Action::expect_backlight: {
        const std::optional<int> shown = machine_.backlight_percent();
        if (shown == step.percent)
            return {};
        return {"the backlight is " + backlight_text(shown), std::nullopt};
    }
    case Action::expect_pin: {
        const GpioBlock &gpio = machine_.gpio();
        const std::optional<unsigned> function = gpio.pin_function(step.pin);
        if (step.function && function != step.function)
            return {function ? "the pin is " + function_name(*function) : std::string("the chip has no such pin"),
                    std::nullopt};
        if (step.level && gpio.pin_level(step.pin) != *step.level)
            return {std::string("the pin reads ") + (*step.level ? "low" : "high"), std::nullopt};
        return {};
    }
    case Action::expect_exit: {
        if (!machine_.main_returned()) {
            const Event event = advance(step.seconds, true);
            if (event == Event::span_done)
                return {"main has not returned after " + seconds_text(step.seconds) + " of board time", std::nullopt};
            if (event == Event::waiting)
                return {"main waits for console input instead", std::nullopt};
            if (event != Event::returned)
                return {std::nullopt, event};
        }
        if (return_value_ != step.exit_value)
            return {"main returned " + std::to_string(return_value_), std::nullopt};
        return {};
    }
    }
    return {};
}

Session::StepOutcome Session::wait_for(const Step &step)
{
    if (find_text(step.text))
        return {};
    if (machine_.main_returned())
        return {"main had returned; " + console_said(), std::nullopt};
    watch_ = step.text;
    const Event event = advance(step.seconds, true);
    watch_.reset();
    text_seen_ = false;
    if (event == Event::text_seen || find_text(step.text))
        return {};
    switch (event) {
    case Event::span_done:
        return {"not seen within " + seconds_text(step.seconds) + " of board time; " + console_said(), std::nullopt};
    case Event::waiting:
        return {"the firmware waits for console input, and no more is written; " + console_said(), std::nullopt};
    case Event::returned:
        return {"main returned " + std::to_string(return_value_) + " first; " + console_said(), std::nullopt};
    default: return {std::nullopt, event};
    }
}

bool Session::find_text(const std::string &text)
{
    const std::string &all = machine_.console_output();
    const auto found = all.find(text, cursor_);
    if (found == std::string::npos)
        return false;
    cursor_ = found + text.size();
    return true;
}

std::string Session::console_said() const
{
    constexpr std::size_t shown = 240;
    const std::string &all = machine_.console_output();
    if (cursor_ >= all.size())
        return "the console said nothing more";
    const std::size_t from = std::max(cursor_, all.size() > shown ? all.size() - shown : 0);
    return std::string("the console said ") + (from > cursor_ ? "..." : "") +
           quoted(std::string_view(all).substr(from));
}

// ---------------------------------------------------------------------------
// The console line

HostLink::Pump Session::pump(Machine &machine, int wait_ms)
{
    check_signal();
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
    if (link_ == Link::scenario) {
        // Only the scenario's next steps can write: nothing to wait for.
        if (wait_ms > 0)
            ::poll(nullptr, 0, wait_ms);
        return Pump::nothing;
    }
    if (input_ended_)
        return Pump::ended;
    // Virtual time stands still while the firmware waits for a key: the host
    // may as well sleep until one comes.
    const int timeout = virtual_time ? -1 : wait_ms;
    // Everything else is brought up to date before the host sleeps.
    if (timeout != 0 && tend())
        return Pump::fed;
    read_inputs(timeout);
    if (feed_one())
        return Pump::fed;
    return input_ended_ ? Pump::ended : Pump::nothing;
}

void Session::service(Machine &)
{
    tend();
    dump_trace();
}

void Session::transmitted(Machine &, std::uint8_t byte)
{
    if (link_ != Link::pty || peer_connected_)
        out_.push_back(static_cast<char>(byte));
    last_out_ = static_cast<char>(byte);
    const std::string &all = machine_.console_output();
    for (const std::string &text : options_.fail_on) {
        if (!fail_seen_ && ends_with_from(all, text, 0)) {
            fail_seen_ = text;
            stop();
        }
    }
    if (options_.expect && !expect_seen_ && ends_with_from(all, *options_.expect, 0)) {
        expect_seen_ = true;
        stop();
    }
    if (watch_ && ends_with_from(all, *watch_, cursor_)) {
        cursor_ = all.size();
        text_seen_ = true;
        stop();
    }
    if (out_.size() >= 4096)
        flush_output();
}

// The regular round: signals, keys and input, output, status. True when a
// byte went to the console.
bool Session::tend()
{
    check_signal();
    check_peer();
    read_inputs(0);
    const bool fed = feed_one();
    flush_output();
    refresh_status();
    return fed;
}

// One byte at a time, and only into an idle line and an empty receiver: a
// script, however fast, never overruns the 64-byte FIFO.
bool Session::feed_one()
{
    if (queue_.empty())
        return false;
    UartChannel &console = machine_.console();
    if (console.rx_waiting() != 0 || !console.line_idle())
        return false;
    machine_.feed_console(std::string(1, static_cast<char>(queue_.front())));
    queue_.pop_front();
    return true;
}

void Session::read_inputs(int timeout_ms)
{
    for (;;) {
        pollfd fds[2];
        nfds_t count = 0;
        const bool serial_open =
            serial_fd_ >= 0 && !input_ended_ && !hangup_ && (link_ != Link::pty || peer_connected_);
        if (serial_open)
            fds[count++] = pollfd{serial_fd_, POLLIN, 0};
        if (keys_fd_ >= 0)
            fds[count++] = pollfd{keys_fd_, POLLIN, 0};
        int wait = timeout_ms;
        if (link_ == Link::pty && !peer_connected_ && (wait < 0 || wait > peer_check_ms))
            wait = peer_check_ms;
        if (count == 0 && wait < 0)
            return;  // nothing could ever come
        const int ready = ::poll(fds, count, wait);
        if (ready < 0) {
            check_signal();
            return;
        }
        for (nfds_t i = 0; i < count; i++) {
            // A descriptor that is not open (keltosim <&-) reports POLLNVAL:
            // the read then fails and ends that input, instead of a poll
            // that returns at once for ever.
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
                continue;
            if (fds[i].fd == keys_fd_)
                read_keys(keys_fd_);
            else
                read_serial();
        }
        check_peer();
        // Waiting without limit goes on only while nothing at all happened.
        if (timeout_ms >= 0 || ready > 0 || !queue_.empty() || input_ended_ || pending_event())
            return;
    }
}

void Session::read_serial()
{
    char buffer[4096];
    const ssize_t got = ::read(serial_fd_, buffer, sizeof buffer);
    if (got > 0) {
        for (ssize_t i = 0; i < got; i++) {
            const auto byte = static_cast<std::uint8_t>(buffer[i]);
            if (link_ == Link::terminal)
                handle_key(byte);
            else
                queue_.push_back(byte);
        }
        return;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    switch (link_) {
    case Link::pipe: input_ended_ = true; break;
    case Link::terminal: hangup_ = true; stop(); break;
    case Link::pty: check_peer(); break;
    case Link::scenario: break;
    }
}

void Session::read_keys(int fd)
{
    char buffer[256];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
        // The controlling terminal is gone; the pty's terminal carries on.
        keys_fd_ = -1;
        return;
    }
    for (ssize_t i = 0; i < got; i++)
        handle_key(static_cast<std::uint8_t>(buffer[i]));
}

void Session::handle_key(std::uint8_t byte)
{
    const std::optional<KeyCommand> command = decoder_.take(byte);
    if (!command)
        return;
    using Kind = KeyCommand::Kind;
    switch (command->kind) {
    case Kind::send:
        if (link_ == Link::terminal) {
            queue_.push_back(command->byte);
        } else if (!hinted_) {
            hinted_ = true;
            note("keys typed here only command the simulator; the console is on " + pty_->path() +
                 " (Ctrl-A h for help)");
        }
        break;
    case Kind::toggle: machine_.set_button(command->button, !machine_.button_held(command->button)); break;
    case Kind::release_all:
        for (Button button : all_buttons)
            machine_.set_button(button, false);
        break;
    case Kind::quit:
        quit_ = true;
        stop();
        break;
    case Kind::status: note(status_report()); break;
    case Kind::help: note(key_help); break;
    case Kind::unknown: {
        char shown[8];
        std::snprintf(shown, sizeof shown, command->byte >= 0x20 && command->byte < 0x7F ? "%c" : "0x%02x",
                      command->byte);
        note(std::string("Ctrl-A ") + shown + " is no command; Ctrl-A h lists them");
        break;
    }
    }
    refresh_status();
}

void Session::check_signal()
{
    if (!signal_ && pending_signal()) {
        signal_ = pending_signal();
        stop();
    }
    if (bar_ && take_resize())
        bar_->resized();
}

void Session::check_peer()
{
    if (link_ != Link::pty)
        return;
    const bool connected = pty_->peer_connected();
    if (connected == peer_connected_)
        return;
    peer_connected_ = connected;
    note(connected ? "a terminal opened " + pty_->path()
                   : "the terminal on " + pty_->path() + " hung up; output is dropped until one opens it again");
}

// The board starts once a terminal is there to see its first words.
bool Session::wait_for_peer()
{
    std::printf("keltosim: the console is on %s (connect with: picocom -b 115200 %s); "
                "the board starts when a terminal opens it\n",
                pty_->path().c_str(), pty_->path().c_str());
    std::fflush(stdout);
    while (!pty_->peer_connected()) {
        check_signal();
        if (pending_event())
            return false;
        read_inputs(peer_check_ms);
    }
    check_peer();
    return !pending_event();
}

void Session::flush_output()
{
    if (out_.empty())
        return;
    if (link_ == Link::pty) {
        if (peer_connected_ && !write_all(pty_->fd(), out_, pty_write_ms) && errno != EAGAIN)
            check_peer();
    } else if (!output_closed_ && !write_all(STDOUT_FILENO, out_, -1) && errno != EINTR) {
        // A slow reader (a pager, a paused pipe) holds the board up rather
        // than losing output; only a reader that has gone ends the run.
        output_closed_ = true;
        stop();
    }
    out_.clear();
}

void Session::stop()
{
    machine_.stop(StopReason::stopped);
}

// ---------------------------------------------------------------------------
// What the user sees besides the console

void Session::dump_trace()
{
    if (!options_.trace)
        return;
    const std::vector<Access> &log = machine_.accesses();
    std::string text;
    char line[160];
    for (std::size_t i = 0; i < log.size();) {
        const Access &access = log[i];
        std::size_t next = i + 1;
        while (next < log.size() && log[next].address == access.address && log[next].value == access.value &&
               log[next].write == access.write && log[next].pc == access.pc)
            next++;
        std::string name = "?";
        for (const Device *device : devices_) {
            if (access.address >= device->base() && access.address - device->base() < device->size()) {
                const std::string reg = device->register_name(access.address - device->base());
                name = reg.empty() ? device->name() : device->name() + "." + reg;
                break;
            }
        }
        std::snprintf(line, sizeof line, "trace %12.9f pc %08x %s %-16s %08x %s %08x", machine_.clock().to_seconds(access.time),
                      access.pc, access.write ? "write" : "read ", name.c_str(), access.address,
                      access.write ? "=" : "->", access.value);
        text += line;
        if (next - i > 1)
            text += " (" + std::to_string(next - i) + " times)";
        text += '\n';
        i = next;
    }
    if (machine_.dropped_accesses() != dropped_) {
        text += "trace: " + std::to_string(machine_.dropped_accesses() - dropped_) + " accesses not logged\n";
        dropped_ = machine_.dropped_accesses();
    }
    machine_.clear_accesses();
    if (text.empty())
        return;
    flush_output();
    write_message(std::move(text));
}

std::string Session::status_line()
{
    return std::string(machine_.board().name) + " | buttons held: " + held_buttons(machine_, " ") +
           " | backlight: " + backlight_text(machine_.backlight_percent()) + (raw_ ? " | Ctrl-A h: help" : "");
}

void Session::refresh_status()
{
    if (!interactive_ || !options_.status)
        return;
    const std::string text = status_line();
    if (text == status_)
        return;
    status_ = text;
    if (bar_)
        bar_->show(text);
    else
        note(text);
}

std::string Session::status_report()
{
    const BoardSpec &board = machine_.board();
    char time[64];
    std::snprintf(time, sizeof time, "%.6f s", machine_.seconds());
    std::string text = std::string(board.name) + " (" + board.chip_name + "), " + file_name(options_.image) + ", " +
                       time + " of board time on the " + clock_name(machine_.clock().mode()) + " clock\n";
    text += "buttons held: " + held_buttons(machine_, ", ") + "\n";
    text += "backlight: " + backlight_text(machine_.backlight_percent()) + "\n";
    std::string pins = machine_.gpio().describe_pins();
    text += "pins other than plain inputs:\n";
    std::size_t start = 0;
    while (start < pins.size()) {
        const auto end = pins.find('\n', start);
        text += "  " + pins.substr(start, end - start) + "\n";
        start = end == std::string::npos ? pins.size() : end + 1;
    }
    return text;
}

void Session::note(const std::string &text)
{
    flush_output();
    std::string message = notes_share_line_ && last_out_ != '\n' ? "\n" : "";
    message += "keltosim: " + text;
    if (message.back() != '\n')
        message += '\n';
    write_message(std::move(message));
    if (notes_share_line_)
        last_out_ = '\n';
}

}  // namespace kelto::sim::frontend
