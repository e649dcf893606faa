// Runs a scenario's steps against a board, as a front end: a step acts at
// once or waits for the board (Board::wait), and the session tells the
// runner when the wait is over, at the moment it is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "frontends/frontend.hpp"
#include "frontends/scenario.hpp"

namespace kelto::sim::frontend {

class ScenarioRunner final : public Frontend {
public:
    // From the first step, or from a later one on a board restored where
    // the steps before it had passed (a suite's --boot-once).
    explicit ScenarioRunner(const Scenario &scenario, std::size_t first_step = 0);

    // Where the run stood when the session ended: the step that failed or
    // was under way ("file:12"); nullopt once every step has passed.
    std::optional<std::string> step_reached() const;

    // Takes the steps up to the first that waits.
    void started(Board &board) override;
    void wait_over(Board &board, WaitEnd why) override;
    void halted(Board &board, const Halt &halt) override;

private:
    struct Begun {
        bool waits = false;
        std::optional<std::string> failure;
    };
    void go_on(Board &board);
    Begun begin(Board &board, const Step &step);
    std::optional<std::string> end_wait(Board &board, const Step &step, WaitEnd why) const;
    void fail(Board &board, const Step &step, const std::string &why);

    const Scenario &scenario_;
    std::size_t next_ = 0;  // the step under way
    bool exit_expected_ = false;
    std::optional<std::uint32_t> returned_;  // main's value once it has returned
    bool returned_before_step_ = false;
};

}  // namespace kelto::sim::frontend
