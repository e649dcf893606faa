#include "frontends/scenario_runner.hpp"

#include <algorithm>

#include "frontends/cli.hpp"
#include "frontends/display.hpp"
#include "models/gpio.hpp"

namespace kelto::sim::frontend {

namespace {

std::optional<std::string> expect_pin(Board &board, const Step &step)
{
    const std::optional<PinState> pin = board.pin(step.pin);
    if (!pin || (step.function && pin->function != step.function))
        return pin ? "the pin is " + function_name(pin->function) : std::string("the chip has no such pin");
    if (step.level && pin->level != *step.level)
        return std::string("the pin reads ") + (*step.level ? "low" : "high");
    return std::nullopt;
}

std::optional<std::string> expect_backlight(Board &board, const Step &step)
{
    const std::optional<int> shown = board.view().backlight;
    if (shown == step.percent)
        return std::nullopt;
    return "the backlight is " + backlight_text(shown);
}

}  // namespace

ScenarioRunner::ScenarioRunner(const Scenario &scenario, std::size_t first_step)
    : scenario_(scenario),
      next_(first_step),
      exit_expected_(std::any_of(scenario.steps.begin(), scenario.steps.end(),
                                 [](const Step &step) { return step.action == Step::Action::expect_exit; }))
{
}

void ScenarioRunner::started(Board &board)
{
    go_on(board);
}

std::optional<std::string> ScenarioRunner::step_reached() const
{
    if (next_ >= scenario_.steps.size())
        return std::nullopt;
    return where(scenario_, scenario_.steps[next_]);
}

void ScenarioRunner::halted(Board &, const Halt &halt)
{
    if (halt.kind == Halt::Kind::exited)
        returned_ = halt.value;
}

void ScenarioRunner::wait_over(Board &board, WaitEnd why)
{
    if (next_ >= scenario_.steps.size())
        return;
    const Step &step = scenario_.steps[next_];
    if (const std::optional<std::string> failure = end_wait(board, step, why)) {
        fail(board, step, *failure);
        return;
    }
    next_++;
    go_on(board);
}

// The steps that act at once, up to one that waits or fails; the end of
// the scenario ends the session.
void ScenarioRunner::go_on(Board &board)
{
    for (; next_ < scenario_.steps.size(); next_++) {
        const Step &step = scenario_.steps[next_];
        const Begun begun = begin(board, step);
        if (begun.failure)
            fail(board, step, *begun.failure);
        if (begun.failure || begun.waits)
            return;
    }
    board.finish();
}

ScenarioRunner::Begun ScenarioRunner::begin(Board &board, const Step &step)
{
    using Action = Step::Action;
    switch (step.action) {
    case Action::write: board.type(step.text); return {};
    case Action::hold:
    case Action::release:
        for (Button button : step.buttons)
            board.set_button(button, step.action == Action::hold);
        return {};
    case Action::wait: board.wait(Wait{step.seconds, {}, false}); return {true, {}};
    case Action::wait_for:
        returned_before_step_ = returned_.has_value();
        board.wait(Wait{step.seconds, step.text, true});
        return {true, {}};
    case Action::expect_backlight: return {false, expect_backlight(board, step)};
    case Action::expect_pin: return {false, expect_pin(board, step)};
    case Action::expect_exit:
        if (returned_)
            return {false, end_wait(board, step, WaitEnd::main_returned)};
        board.wait(Wait{step.seconds, {}, true});
        return {true, {}};
    case Action::restore: break;  // taken out of the steps: the board starts restored
    }
    return {};
}

// Whether the step passes now that its wait is over, or why not. Main
// returning while the scenario only waits passes only in a scenario that
// expects the exit.
std::optional<std::string> ScenarioRunner::end_wait(Board &board, const Step &step, WaitEnd why) const
{
    const std::string returned = "main returned " + std::to_string(returned_.value_or(0));
    switch (step.action) {
    case Step::Action::wait:
        if (why != WaitEnd::main_returned || exit_expected_)
            return std::nullopt;
        return returned + " meanwhile, and no expect_exit step expects it; " + board.recent_output();
    case Step::Action::wait_for:
        switch (why) {
        case WaitEnd::text_seen: return std::nullopt;
        case WaitEnd::time_passed:
            return "not seen within " + seconds_text(step.seconds) + " of board time; " + board.recent_output();
        case WaitEnd::input_wait:
            return "the firmware waits for console input, and no more is written; " + board.recent_output();
        case WaitEnd::main_returned:
            return (returned_before_step_ ? std::string("main had returned") : returned + " first") + "; " +
                   board.recent_output();
        }
        break;
    case Step::Action::expect_exit:
        if (why == WaitEnd::time_passed)
            return "main has not returned after " + seconds_text(step.seconds) + " of board time";
        if (why == WaitEnd::input_wait)
            return std::string("main waits for console input instead");
        if (returned_ != step.exit_value)
            return returned;
        break;
    default: break;
    }
    return std::nullopt;
}

void ScenarioRunner::fail(Board &board, const Step &step, const std::string &why)
{
    board.quit(exit_expectation, where(scenario_, step) + ": " + describe(step) + ": " + why);
}

}  // namespace kelto::sim::frontend
