#include "frontends/console_feed.hpp"

#include <string>

#include "models/uart.hpp"

namespace kelto::sim::frontend {

namespace {

// Typed bytes waiting for the firmware beyond which front ends read no
// more: input is taken only as fast as the board takes it.
constexpr std::size_t queue_limit = 256;

}  // namespace

bool ConsoleFeed::wants_input() const
{
    return queue_.size() < queue_limit;
}

void ConsoleFeed::end(Cycles now)
{
    if (ended_)
        return;
    ended_ = true;
    // The quiet second counts from here, however long the slice that saw
    // the end has been running.
    quiet_since_ = now;
}

// Nothing goes out before the firmware first polls the receiver: a byte on
// the line while it sets the UART up could be emptied from the FIFO with
// its reset.
bool ConsoleFeed::feed_one(Machine &machine)
{
    if (queue_.empty())
        return false;
    UartChannel &console = machine.console();
    if (console.rx_waiting() != 0 || !console.line_idle() || !console.receiver_polled())
        return false;
    machine.feed_console(std::string(1, static_cast<char>(queue_.front())));
    queue_.pop_front();
    return true;
}

bool ConsoleFeed::quiet_after_end(Machine &machine, bool held)
{
    const Cycles now = machine.clock().now();
    const UartChannel &console = machine.console();
    const std::uint64_t output = console.sent();
    const std::uint64_t polls = machine.console_empty_polls();
    const bool on_the_way = !queue_.empty() || !console.line_idle() || console.rx_waiting() != 0;
    if (!ended_ || on_the_way || output != quiet_output_ || held) {
        quiet_since_ = now;
        quiet_output_ = output;
        quiet_polls_ = polls;
        return false;
    }
    return polls != quiet_polls_ && now - quiet_since_ >= machine.clock().from_seconds(1.0);
}

}  // namespace kelto::sim::frontend
