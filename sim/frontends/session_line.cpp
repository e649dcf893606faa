// The session's side of the console line and its waits: bytes into the
// firmware as it reads, bytes out to the front ends, and the sleeps while
// the board waits for the host.
#include <chrono>

#include "frontends/session.hpp"
#include "models/uart.hpp"

namespace kelto::sim::frontend {

HostLink::Pump Session::pump(Machine &machine, int wait_ms)
{
    run_posted();
    if (pending_event() || reset_pending_ || stop_at_replay_end())
        return Pump::nothing;
    const bool virtual_time = machine.clock().mode() == ClockMode::virtual_time;
    // The same poll serves a firmware waiting to send: on the virtual clock
    // let the output finish first, so the wait is skipped rather than spun
    // through with a byte on the way. A firmware that reads while it keeps
    // sending gets its input at the end of the slice (tend).
    if (virtual_time && !machine.console().transmitter_idle())
        return Pump::nothing;
    if (feed_.feed_one(*machine_))
        return Pump::fed;
    const bool holds = someone_holds_session();
    if (feed_.ended() && !holds)
        return Pump::ended;
    if (!someone_watches() && !holds && !paused_)
        return Pump::nothing;  // only a scenario's next steps can write
    if (tend())
        return Pump::fed;
    if (!virtual_time) {
        wait_for_host(wait_ms);
        return feed_.feed_one(*machine_) ? Pump::fed : Pump::nothing;
    }
    return wait_in_virtual_time();
}

// Virtual time stands still while the firmware waits for a key: the host
// sleeps until one comes, or until something ends the wait. Each wait gives
// the front ends their turn.
HostLink::Pump Session::wait_in_virtual_time()
{
    for (;;) {
        if (feed_.feed_one(*machine_))
            return Pump::fed;
        if (pending_event() || paused_ || reset_pending_)
            return Pump::nothing;
        if (feed_.ended() && !someone_holds_session())
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
    if (text_.take(c, machine.seconds()))
        stop_machine();
    look_for_save_at_text(c);
    stop_at_replay_end();
    if (out_.size() >= output_batch)
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
    const bool fed = feed_.feed_one(*machine_);
    flush_console();
    return fed;
}

// Sleeps until a front end's input, posted work or a signal, for at most
// timeout_ms and what is left of the time limit. Time the board spends
// standing still meanwhile counts towards the limit.
void Session::wait_for_host(int timeout_ms)
{
    std::vector<pollfd> fds{pollfd{wakeup_.fd(), POLLIN, 0}};
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
    wakeup_.drain();
    run_posted();
    for (Frontend *frontend : frontends_)
        frontend->service(*this);
}

}  // namespace kelto::sim::frontend
