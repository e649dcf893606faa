// Scenario files: a YAML list of steps that drive the board's console and
// buttons and check what it does, for scripted runs of an image.
//
//   - write: "1"                      # bytes to the console, fed as the firmware reads
//   - hold: up                        # or a list: [up, left]
//   - wait_for: "Up key pressed"      # console text, after the previous match
//     timeout: 2                      # seconds of board time (default 30)
//   - release: up
//   - wait: 0.5                       # seconds of board time
//   - expect_backlight: 90            # percent
//   - expect_pin: {port: N, pin: 9, level: 1, function: output}
//   - expect_exit: 0                  # main returns this (timeout as wait_for)
//
// A scenario may start from a saved board instead of a fresh one, with
//   - restore: menu.state             # first step only; a path from the file's directory
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/board.hpp"
#include "frontends/escape.hpp"

namespace kelto::sim::frontend {

// "file:line: what is wrong".
struct ScenarioError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Step {
    enum class Action { write, wait_for, wait, hold, release, expect_backlight, expect_pin, expect_exit, restore };
    // Longer than the firmware's longest screen, the ten-second timer test.
    static constexpr double default_timeout = 30;

    Action action;
    int line = 0;                 // where the step starts in the file, from 1
    std::string text;             // write, wait_for: console bytes, one per character up to U+00FF; restore: the file
    double seconds = 0;           // wait; the time-out of wait_for and expect_exit
    std::vector<Button> buttons;  // hold, release
    int percent = 0;              // expect_backlight
    Pin pin{};                    // expect_pin
    std::optional<bool> level;
    std::optional<unsigned> function;  // GpioBlock's function codes
    std::uint32_t exit_value = 0;      // expect_exit
};

struct Scenario {
    std::string name;  // the file, for messages
    // The restore step, taken out of the steps: the board is restored
    // before the run starts, its file a path from where keltosim runs.
    std::optional<Step> restore;
    std::vector<Step> steps;
    std::string bundle_name{};  // in a suite, its failure bundle's: see name_bundles
};

// Throws ScenarioError naming the line of the first problem.
Scenario parse_scenario(const std::string &text, const std::string &name);
Scenario load_scenario(const std::string &path);
// Throws ScenarioError for the first step that names a pin the board's chip
// does not have; the board is known only once the image is loaded.
void check_against_board(const Scenario &scenario, const BoardSpec &board);

// Text in double quotes with control bytes escaped (quoted), cut to its first 80 bytes and its length when longer, so that a
// message quoting a long text stays short.
std::string quoted_excerpt(std::string_view text);
// The step as written, for messages, its text cut as quoted_excerpt does:
// wait_for "Up key pressed".
std::string describe(const Step &step);
// Where the step is: "file:12".
std::string where(const Scenario &scenario, const Step &step);

}  // namespace kelto::sim::frontend
