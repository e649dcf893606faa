// The front end's own logic: the command line, the escape keys and the
// scenario files, without running a board.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "frontends/cli.hpp"
#include "frontends/keys.hpp"
#include "frontends/scenario.hpp"

namespace kelto::sim::frontend {
namespace {

Options parse(std::vector<std::string_view> args)
{
    return parse_options(args);
}

std::string usage_error(std::vector<std::string_view> args)
{
    try {
        parse_options(args);
    } catch (const UsageError &error) {
        return error.what();
    }
    return "accepted";
}

TEST(CommandLine, TakesValuesInBothSpellings)
{
    const Options options = parse({"--board=24", "--serial", "pty", "--clock=virtual", "--expect", "x> Exit",
                                   "--fail-on", "No item", "--fail-on=fault", "--timeout", "2.5", "--no-status",
                                   "--trace", "image"});
    EXPECT_EQ(options.image, "image");
    EXPECT_EQ(options.board, 24);
    EXPECT_EQ(options.serial, SerialMode::pty);
    EXPECT_EQ(options.clock, ClockMode::virtual_time);
    EXPECT_EQ(options.expect, "x> Exit");
    EXPECT_EQ(options.fail_on, (std::vector<std::string>{"No item", "fault"}));
    EXPECT_EQ(options.timeout, 2.5);
    EXPECT_FALSE(options.status);
    EXPECT_TRUE(options.trace);
    // A value that looks like an option is still the value.
    EXPECT_EQ(parse({"--expect", "--board", "image"}).expect, "--board");
}

TEST(CommandLine, RejectsWhatItCannotRun)
{
    EXPECT_EQ(usage_error({}), "no image given");
    EXPECT_EQ(usage_error({"a", "b"}), "one image at a time (got 'a' and 'b')");
    EXPECT_EQ(usage_error({"--bogus", "image"}), "unknown option '--bogus'");
    EXPECT_EQ(usage_error({"image", "--board"}), "option --board needs a value");
    EXPECT_EQ(usage_error({"--board", "32", "image"}), "--board wants 64 or 24, not '32'");
    EXPECT_EQ(usage_error({"--serial", "tcp", "image"}), "--serial wants stdio or pty, not 'tcp'");
    EXPECT_EQ(usage_error({"--clock", "fast", "image"}), "--clock wants wall or virtual, not 'fast'");
    for (std::string_view timeout : {"0", "-1", "abc", "2s", "inf"})
        EXPECT_NE(usage_error({"--timeout", timeout, "image"}), "accepted") << timeout;
    EXPECT_EQ(usage_error({"--expect", "a", "--expect", "b", "image"}), "--expect may be given once");
    EXPECT_NE(usage_error({"--scenario", "s.yaml", "--serial", "pty", "image"}), "accepted");
    for (std::string_view gdb : {"", "host:", ":1234", "70000", "1234x"})
        EXPECT_EQ(usage_error({"--gdb", gdb, "image"}), "--gdb wants [HOST:]PORT, not '" + std::string(gdb) + "'");
    EXPECT_NE(usage_error({"-S", "image"}), "accepted") << "-S without a GDB server";
    const Options gdb = parse({"--gdb", "0.0.0.0:2331", "-S", "image"});
    EXPECT_EQ(gdb.gdb->host, "0.0.0.0");
    EXPECT_EQ(gdb.gdb->port, 2331);
    EXPECT_TRUE(gdb.gdb_start_halted);
    EXPECT_EQ(parse({"--gdb", "[::1]:99", "image"}).gdb->host, "::1");
    EXPECT_EQ(parse({"-s", "image"}).gdb->host, "127.0.0.1");
    EXPECT_EQ(parse({"-s", "image"}).gdb->port, 1234);
    // Help needs no image.
    EXPECT_TRUE(parse({"--help"}).help);
}

TEST(CommandLine, ClockFollowsWhoIsOnTheLine)
{
    const Options piped = parse({"image"});
    EXPECT_EQ(default_clock(piped, false), ClockMode::virtual_time);
    EXPECT_EQ(default_clock(piped, true), ClockMode::wall_time);
    EXPECT_EQ(default_clock(parse({"--serial", "pty", "image"}), false), ClockMode::wall_time);
    EXPECT_EQ(default_clock(parse({"--scenario", "s.yaml", "image"}), true), ClockMode::virtual_time);
    EXPECT_EQ(default_clock(parse({"--clock", "wall", "--scenario", "s.yaml", "image"}), false), ClockMode::wall_time);
    EXPECT_EQ(default_clock(parse({"--clock", "virtual", "image"}), true), ClockMode::virtual_time);
}

TEST(EscapeKeys, PassEverythingButTheirOwnCommands)
{
    EscapeDecoder keys;
    using Kind = KeyCommand::Kind;
    auto next = [&](std::uint8_t byte) { return keys.take(byte); };

    for (std::uint8_t byte : {0x31, 0x78, 0x0D, 0x03, 0xFF}) {
        const auto command = next(byte);
        ASSERT_TRUE(command);
        EXPECT_EQ(command->kind, Kind::send);
        EXPECT_EQ(command->byte, byte);
    }
    EXPECT_FALSE(next(EscapeDecoder::escape));
    EXPECT_TRUE(keys.pending());
    const auto literal = next(EscapeDecoder::escape);
    ASSERT_TRUE(literal);
    EXPECT_EQ(literal->kind, Kind::send);
    EXPECT_EQ(literal->byte, EscapeDecoder::escape);
    EXPECT_FALSE(keys.pending());

    const struct {
        std::uint8_t key;
        Kind kind;
        Button button;
    } commands[] = {
        {'u', Kind::toggle, Button::up},      {'D', Kind::toggle, Button::down}, {'3', Kind::toggle, Button::left},
        {'4', Kind::toggle, Button::right},   {'r', Kind::toggle, Button::right}, {'0', Kind::release_all, Button::up},
        {'x', Kind::quit, Button::up},        {'q', Kind::quit, Button::up},     {'s', Kind::status, Button::up},
        {'?', Kind::help, Button::up},        {'z', Kind::unknown, Button::up},
    };
    for (const auto &c : commands) {
        next(EscapeDecoder::escape);
        const auto command = next(c.key);
        ASSERT_TRUE(command) << c.key;
        EXPECT_EQ(command->kind, c.kind) << c.key;
        if (c.kind == Kind::toggle) {
            EXPECT_EQ(command->button, c.button) << c.key;
        }
        // The command is one key: the next one goes to the board again.
        EXPECT_EQ(next('a')->kind, Kind::send);
    }
}

TEST(ScenarioFile, ReadsEveryStepWithItsLine)
{
    const Scenario scenario = parse_scenario(R"(# pressing up in the button test
- write: "1\r"
- wait_for: "press any key"
  timeout: 2
- hold: [up, LEFT]
- wait: 0.25
- release: left
- expect_backlight: 90
- expect_pin: {port: n, pin: 9, level: 1, function: output}
- expect_pin: {port: F, pin: 15, function: alt1}
- expect_exit: 0
)",
                                             "up.yaml");
    using Action = Step::Action;
    ASSERT_EQ(scenario.steps.size(), 9u);
    const auto &steps = scenario.steps;
    EXPECT_EQ(steps[0].action, Action::write);
    EXPECT_EQ(steps[0].text, "1\r");
    EXPECT_EQ(steps[0].line, 2);
    EXPECT_EQ(steps[1].action, Action::wait_for);
    EXPECT_EQ(steps[1].seconds, 2);
    EXPECT_EQ(steps[1].line, 3);
    EXPECT_EQ(steps[2].buttons, (std::vector<Button>{Button::up, Button::left}));
    EXPECT_EQ(steps[3].seconds, 0.25);
    EXPECT_EQ(steps[4].action, Action::release);
    EXPECT_EQ(steps[5].percent, 90);
    EXPECT_EQ(steps[6].pin.port, 'N' - 'A');
    EXPECT_EQ(steps[6].pin.number, 9);
    EXPECT_EQ(steps[6].level, true);
    EXPECT_EQ(steps[6].function, 1u);
    EXPECT_EQ(steps[7].function, 2u);
    EXPECT_FALSE(steps[7].level);
    EXPECT_EQ(steps[8].action, Action::expect_exit);
    EXPECT_EQ(steps[8].seconds, Step::default_timeout);
    EXPECT_EQ(where(scenario, steps[1]), "up.yaml:3");
    EXPECT_EQ(describe(steps[0]), "write \"1\\r\"");
    EXPECT_EQ(describe(steps[6]), "expect_pin GPN9 output high");
}

TEST(ScenarioFile, NamesTheLineOfEachMistake)
{
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"- write: \"1\"\n- wait_fr: \"x\"\n", "s.yaml:2: unknown key 'wait_fr'"},
        {"- write: \"1\"\n  hold: up\n", "s.yaml:2: one action per step: 'write' and 'hold'"},
        {"- write: \"1\"\n  timeout: 3\n", "s.yaml:2: timeout belongs to wait_for and expect_exit, not write"},
        {"- timeout: 3\n", "s.yaml:1: a step without an action"},
        {"\n\n- hold: middle\n", "s.yaml:3: no button 'middle' (up, down, left or right)"},
        {"- wait: soon\n", "s.yaml:1: wait wants a number of seconds, not 'soon'"},
        {"- wait_for: x\n  timeout: 0\n", "s.yaml:2: timeout wants more than 0 seconds"},
        {"- expect_backlight: 101\n", "s.yaml:1: expect_backlight wants a whole number from 0 to 100, not '101'"},
        {"- expect_pin: {port: N, pin: 9}\n", "s.yaml:1: expect_pin needs a level, a function or both"},
        {"- expect_pin: {port: Z, pin: 9, level: 1}\n", "s.yaml:1: port wants a letter, A to Q, not 'Z'"},
        {"- expect_pin: {port: N, pin: 9, function: alt15}\n",
         "s.yaml:1: function wants input, output or alt1 to alt14, not 'alt15'"},
        {"- expect_pin: {port: N, pin: 9, function: alt99999999999999999999}\n",
         "s.yaml:1: function wants input, output or alt1 to alt14, not 'alt99999999999999999999'"},
        {"- expect_pin:\n    port: N\n    pin: 9\n    colour: red\n",
         "s.yaml:4: unknown key 'colour' in expect_pin (port, pin, level, function)"},
        {"- write\n", "s.yaml:1: a step is a mapping with one action, such as '- write: \"1\"'"},
        {"write: \"1\"\n", "s.yaml:1: a scenario is a list of steps, each starting with '- '"},
        {"# nothing yet\n", "s.yaml:1: no steps"},
        {"- write: [1, 2]\n", "s.yaml:1: write wants a single value"},
    };
    for (const auto &c : cases) {
        try {
            parse_scenario(c.text, "s.yaml");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ScenarioError &error) {
            EXPECT_EQ(std::string(error.what()), c.error) << c.text;
        }
    }
    // YAML's own syntax errors carry their line too.
    try {
        parse_scenario("- write: \"1\"\n  - hold: up\n", "s.yaml");
        ADD_FAILURE() << "accepted a list inside a step";
    } catch (const ScenarioError &error) {
        EXPECT_EQ(std::string(error.what()), "s.yaml:2: end of map not found");
    }
}

}  // namespace
}  // namespace kelto::sim::frontend
