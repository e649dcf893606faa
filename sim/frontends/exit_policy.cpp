#include "frontends/exit_policy.hpp"

#include "frontends/display.hpp"
#include "frontends/scenario.hpp"

namespace kelto::sim::frontend {

namespace {

Verdict returned(const Ending &ending, const Options &options)
{
    const std::string said = "main returned " + std::to_string(ending.return_value);
    if (options.expect && !ending.expect_seen)
        return {exit_expectation, said + " before " + quoted_excerpt(*options.expect) + " appeared"};
    const bool tell = ending.return_value != 0 || ending.wall_clock;
    return {static_cast<int>(ending.return_value & 0xFF), tell ? said : std::string()};
}

}  // namespace

Verdict judge(const Ending &ending, const Options &options)
{
    Event event = ending.event;
    // Output that could not be delivered outweighs any success.
    if (ending.quit_status && event != Event::quit && event != Event::signal && event != Event::fault)
        event = Event::quit;
    switch (event) {
    case Event::returned: return returned(ending, options);
    case Event::fault: return {exit_fault, "fault: " + ending.fault};
    case Event::input_ended:
        return {exit_input_ended,
                "input ended while the firmware waits for console input" +
                    (options.expect ? "; " + quoted_excerpt(*options.expect) + " did not appear" : std::string())};
    case Event::waiting:
        return {exit_input_ended, "the firmware waits for console input and nothing more is coming"};
    case Event::idle_for_ever: return {exit_input_ended, {}};
    case Event::time_limit:
        return {exit_time_limit, "time limit: " + seconds_text(options.timeout.value_or(0)) +
                                     (ending.waited_on_host ? " of board time and waiting on the host passed"
                                                            : " of board time passed")};
    case Event::fail_seen:
        return {exit_expectation, quoted_excerpt(ending.fail_seen.value_or("")) + " appeared on the console"};
    case Event::signal: return {128 + ending.signal, {}};
    case Event::quit: return {ending.quit_status.value_or(0), {}};
    case Event::expect_seen:
    case Event::span_done:
    case Event::text_seen:
    case Event::finished: return {0, {}};
    }
    return {0, {}};
}

}  // namespace kelto::sim::frontend
