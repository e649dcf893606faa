// The rules that turn the way a run ended into keltosim's exit status, and
// what to tell the person at keltosim about it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "frontends/cli.hpp"

namespace kelto::sim::frontend {

// Why a span of running stopped.
enum class Event {
    returned,       // main returned
    fault,          // the strict checks stopped the board
    input_ended,    // console input ended while the firmware waits for more
    waiting,        // the firmware waits for console input, nothing is queued
    span_done,      // the span asked for has passed
    time_limit,     // --timeout
    expect_seen,    // --expect
    fail_seen,      // --fail-on
    text_seen,      // a scenario's wait_for
    quit,           // a front end ended the session (Ctrl-A x, gdb kill, an error)
    idle_for_ever,  // the firmware can never move on, and nothing limits the run
    signal,
    finished,       // the front end driving the run is done
};

// What the run came to.
struct Ending {
    Event event;
    std::optional<int> quit_status;  // a front end ended the session with this
    int signal = 0;
    std::uint32_t return_value = 0;
    bool expect_seen = false;
    std::optional<std::string> fail_seen;  // the --fail-on text that appeared
    std::string fault;                     // the strict checks' report
    bool wall_clock = false;
    bool waited_on_host = false;  // part of --timeout went on waiting for the host
};

struct Verdict {
    int status;
    std::string note;  // empty: nothing to say
};

Verdict judge(const Ending &ending, const Options &options);

}  // namespace kelto::sim::frontend
