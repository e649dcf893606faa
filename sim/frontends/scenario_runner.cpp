#include "frontends/scenario_runner.hpp"

#include <algorithm>

#include "frontends/display.hpp"
#include "models/gpio.hpp"

namespace kelto::sim::frontend {

namespace {

struct Outcome {
    std::optional<std::string> failure;
    std::optional<Event> end;
};

Outcome fail(std::string why)
{
    return {std::move(why), std::nullopt};
}

Outcome wait_for(Session &session, const Step &step)
{
    if (session.find_text(step.text))
        return {};
    if (session.machine().main_returned())
        return fail("main had returned; " + session.recent_output());
    switch (const Event event = session.wait_for_text(step.text, step.seconds)) {
    case Event::text_seen: return {};
    case Event::span_done:
        return fail("not seen within " + seconds_text(step.seconds) + " of board time; " + session.recent_output());
    case Event::waiting:
        return fail("the firmware waits for console input, and no more is written; " + session.recent_output());
    case Event::returned:
        return fail("main returned " + std::to_string(session.return_value()) + " first; " +
                    session.recent_output());
    default: return {std::nullopt, event};
    }
}

Outcome expect_pin(Session &session, const Step &step)
{
    const GpioBlock &gpio = session.machine().gpio();
    const std::optional<unsigned> function = gpio.pin_function(step.pin);
    if (!function || (step.function && function != step.function))
        return fail(function ? "the pin is " + function_name(*function) : std::string("the chip has no such pin"));
    if (step.level && gpio.pin_level(step.pin) != *step.level)
        return fail(std::string("the pin reads ") + (*step.level ? "low" : "high"));
    return {};
}

Outcome expect_exit(Session &session, const Step &step)
{
    if (!session.machine().main_returned()) {
        const Event event = session.advance(step.seconds, true);
        if (event == Event::span_done)
            return fail("main has not returned after " + seconds_text(step.seconds) + " of board time");
        if (event == Event::waiting)
            return fail("main waits for console input instead");
        if (event != Event::returned)
            return {std::nullopt, event};
    }
    if (session.return_value() != step.exit_value)
        return fail("main returned " + std::to_string(session.return_value()));
    return {};
}

// Main returning while the scenario only waits ends its run: that passes
// only in a scenario that expects the exit.
Outcome wait(Session &session, const Step &step, bool exit_expected)
{
    const Event event = session.advance(step.seconds, false);
    if (event == Event::span_done || (event == Event::returned && exit_expected))
        return {};
    if (event == Event::returned)
        return fail("main returned " + std::to_string(session.return_value()) +
                    " meanwhile, and no expect_exit step expects it; " + session.recent_output());
    return {std::nullopt, event};
}

Outcome perform(Session &session, const Step &step, bool exit_expected)
{
    using Action = Step::Action;
    switch (step.action) {
    case Action::write: session.type(step.text); return {};
    case Action::hold:
    case Action::release:
        for (Button button : step.buttons)
            session.set_button(button, step.action == Action::hold);
        return {};
    case Action::wait: return wait(session, step, exit_expected);
    case Action::wait_for: return wait_for(session, step);
    case Action::expect_backlight: {
        const std::optional<int> shown = session.machine().backlight_percent();
        if (shown == step.percent)
            return {};
        return fail("the backlight is " + backlight_text(shown));
    }
    case Action::expect_pin: return expect_pin(session, step);
    case Action::expect_exit: return expect_exit(session, step);
    }
    return {};
}

}  // namespace

int run_scenario(Session &session, const Scenario &scenario)
{
    const bool exit_expected = std::any_of(scenario.steps.begin(), scenario.steps.end(),
                                           [](const Step &step) { return step.action == Step::Action::expect_exit; });
    for (const Step &step : scenario.steps) {
        const Outcome outcome = perform(session, step, exit_expected);
        if (outcome.failure) {
            session.note(where(scenario, step) + ": " + describe(step) + ": " + *outcome.failure);
            return exit_expectation;
        }
        if (outcome.end)
            return session.conclude(*outcome.end);
    }
    // The scenario is done; main has failed only if it returned non-zero.
    return session.machine().main_returned() ? session.conclude(Event::returned) : session.conclude(Event::span_done);
}

}  // namespace kelto::sim::frontend
