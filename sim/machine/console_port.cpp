#include "machine/console_port.hpp"

#include "machine/machine.hpp"

namespace kelto::sim {

namespace {

// Consecutive empty-receiver polls, with no other register access between
// them, after which the firmware counts as blocked on console input.
constexpr unsigned blocked_poll_streak = 16;

}  // namespace

ConsolePort::ConsolePort(Machine &machine, UartChannel &line) : machine_(machine), line_(line)
{
    line_.connect_console(*this);
}

void ConsolePort::feed(std::string_view bytes)
{
    line_.feed(bytes);
    poll_streak_ = 0;
}

void ConsolePort::feed_when(std::string text, std::string bytes)
{
    triggers_.push_back(Trigger{std::move(text), std::move(bytes), output().size()});
}

void ConsolePort::start_run(bool resumes)
{
    output_mark_ = output().size();
    if (!resumes)
        poll_streak_ = 0;
}

void ConsolePort::receiver_polled_empty()
{
    polled_ = true;
    empty_polls_++;
    if (++poll_streak_ < blocked_poll_streak)
        return;
    Clock &clock = machine_.clock();
    if (host_) {
        const int wait_ms = clock.mode() == ClockMode::wall_time && line_.transmitter_idle() ? 1 : 0;
        const HostLink::Pump pumped = host_->pump(machine_, wait_ms);
        if (pumped == HostLink::Pump::fed) {
            poll_streak_ = 0;
            return;
        }
        if (pumped == HostLink::Pump::ended && line_.transmitter_idle() && line_.line_idle()) {
            machine_.request_stop(StopReason::input_ended, "input has ended and the firmware waits for more");
            return;
        }
        // The host stopped the run while the firmware waited (a debugger's
        // interrupt): time stays where the wait left it, whenever the host
        // happened to stop it, so that a replay of the run agrees.
        if (machine_.stop_request_)
            return;
    }
    if (!line_.line_idle() || clock.mode() != ClockMode::virtual_time)
        return;
    // Nothing arrives while the firmware only waits: move time on to the
    // next thing that happens, or stop if nothing will.
    const RunLimits *limits = machine_.limits_;
    if (!line_.transmitter_idle()) {
        clock.skip_to(line_.next_event());
    } else if (limits && limits->until_waiting) {
        machine_.request_stop(StopReason::waiting_for_input, "the firmware waits for console input");
    } else {
        clock.skip_to(machine_.skip_.idle_horizon());
    }
}

bool ConsolePort::output_ends_with(const std::string &text, std::string::size_type from) const
{
    const std::string &out = output();
    return !text.empty() && out.size() >= from + text.size() &&
           out.compare(out.size() - text.size(), text.size(), text) == 0;
}

void ConsolePort::fire_triggers()
{
    for (auto it = triggers_.begin(); it != triggers_.end();) {
        if (output_ends_with(it->text, it->from)) {
            std::string bytes = std::move(it->bytes);
            it = triggers_.erase(it);
            feed(bytes);
        } else {
            ++it;
        }
    }
}

void ConsolePort::byte_transmitted(std::uint8_t byte)
{
    if (host_)
        host_->transmitted(machine_, byte);
    fire_triggers();
    const RunLimits *limits = machine_.limits_;
    if (limits && limits->until_output && output_ends_with(*limits->until_output, output_mark_))
        machine_.request_stop(StopReason::output_seen);
}

}  // namespace kelto::sim
