// Console input on its way to the firmware. Typed bytes wait here and go in
// one at a time, only into an idle line and an empty receiver, so that a
// script, however fast, never overruns the 64-byte FIFO; front ends read no
// more input than the queue takes. Once the input has ended, a firmware that
// keeps polling an empty receiver for a quiet second counts as waiting.
#pragma once

#include <cstdint>
#include <deque>
#include <string_view>

#include "machine/machine.hpp"

namespace kelto::sim::frontend {

class ConsoleFeed {
public:
    void type(std::string_view bytes) { queue_.insert(queue_.end(), bytes.begin(), bytes.end()); }
    bool wants_input() const;
    bool empty() const { return queue_.empty(); }
    void clear() { queue_.clear(); }

    // The input has ended for good at its source; now is the board time.
    void end(Cycles now);
    bool ended() const { return ended_; }

    // One byte into the console's receiver, when it may take one: true
    // when it went.
    bool feed_one(Machine &machine);

    // Whether the firmware has polled the console for a second of board time
    // since the input ended, finding nothing and printing nothing. A
    // firmware that polls between other work (the button test) never blocks
    // on its console, so the machine cannot tell that it waits. held: a
    // front end may still type.
    bool quiet_after_end(Machine &machine, bool held);

private:
    std::deque<std::uint8_t> queue_;
    bool ended_ = false;
    // Since when the firmware has polled with no input left and printed
    // nothing.
    Cycles quiet_since_ = never;
    std::uint64_t quiet_output_ = 0;
    std::uint64_t quiet_polls_ = 0;
};

}  // namespace kelto::sim::frontend
