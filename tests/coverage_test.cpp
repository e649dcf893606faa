// Coverage and profiles of a run, against what the greeting firmware's
// disassembly says (arm-none-eabi-objdump -d -l build/images/greetfw).
#include <gtest/gtest.h>

#include <algorithm>

#include "frontends/coverage.hpp"
#include "frontends/profile.hpp"
#include "frontends/scenario.hpp"
#include "frontends/suite.hpp"
#include "harness.hpp"

using namespace kelto::sim;
using namespace kelto::sim::frontend;

namespace {

const LineCoverage &line_of(const CoverageReport &report, const std::string &file, std::uint32_t line)
{
    for (const auto &[path, coverage] : report.files)
        if (path.ends_with(file) && coverage.lines.contains(line))
            return coverage.lines.at(line);
    throw std::runtime_error(file + ":" + std::to_string(line) + " not in the report");
}

std::uint64_t calls_of(const CoverageReport &report, const std::string &function)
{
    for (const auto &[path, file] : report.files)
        if (file.functions.contains(function))
            return file.functions.at(function).calls;
    throw std::runtime_error(function + " not in the report");
}

// The same run, run whole or one instruction at a time (every step a block
// cut short), gives the same counts.
struct Observed {
    CoverageReport coverage;
    std::string folded;
    Cycles profiled, board;
};
Observed greet(bool stepped, const char *image = "greetfw")
{
    auto machine = kelto::test::load(image);
    Coverage coverage(*machine, KELTO_SOURCE_DIR);
    Profile profile(*machine);
    if (stepped)
        for (int i = 0; i < 10000 && !machine->main_returned(); i++)
            machine->step();
    else
        machine->run();
    const Cycles profiled = profile.settle();
    return {coverage.report(), profile.folded(), profiled, machine->clock().now()};
}

}  // namespace

TEST(CoverageTest, GreetingRunCountsLinesBranchesAndFunctionsExactly)
{
    for (const bool stepped : {false, true}) {
        SCOPED_TRACE(stepped ? "stepped" : "run");
        const Observed run = greet(stepped);
        struct Row {
            const char *file;
            std::uint32_t line, hits;
            std::vector<std::optional<std::uint64_t>> branches;  // taken, not taken per conditional instruction
        };
        const Row rows[] = {
            {"greeting/src/main.cpp", 9, 1, {}},
            {"greeting/src/main.cpp", 13, 3, {2, 1}},       // subs; bne: round the loop twice, out once
            {"greeting/src/main.cpp", 14, 3, {}},
            {"greeting/src/s3c_uart.cpp", 35, 1, {0, 1}},   // bxle lr: a baud rate above 0
            {"greeting/src/s3c_uart.cpp", 41, 39, {0, 3, 36, 3}},  // bxge lr, then blt over 13 bytes, 3 times
            {"greeting/src/s3c_uart.cpp", 42, 39, {0, 39}},  // bne: the FIFO never full
            {"include/mmio.hpp", 14, 39, {}},                // inlined register write
        };
        for (const Row &row : rows) {
            const LineCoverage &line = line_of(run.coverage, row.file, row.line);
            EXPECT_EQ(line.hits, row.hits) << row.file << ":" << row.line;
            EXPECT_EQ(line.branches, row.branches) << row.file << ":" << row.line;
        }
        for (const auto &[path, file] : run.coverage.files)
            EXPECT_FALSE(path.find("libgcc") != std::string::npos || path.find("newlib") != std::string::npos) << path;
        EXPECT_EQ(calls_of(run.coverage, "kelto_uart_write"), 3u);

        // Every cycle of the board's time lies on one stack, the same stacks each time.
        EXPECT_EQ(run.profiled, run.board);
        EXPECT_EQ(run.folded, greet(false).folded);
        const auto stacks = parse_folded(run.folded);
        EXPECT_TRUE(stacks.contains("main;kelto_uart_init;__divsi3"));
        EXPECT_TRUE(stacks.contains("main;kelto_uart_write"));
        Cycles total = 0;
        for (const auto &[stack, cycles] : stacks)
            total += cycles;
        EXPECT_EQ(total, run.board);
    }
}

// The same firmware in Thumb code (objdump -d -l build/images/greetfw-thumb):
// blt and bne, no conditional returns; the C library stays ARM code, called
// through the linker's veneers.
TEST(CoverageTest, ThumbRunCountsAsItsStepsDo)
{
    const Observed run = greet(false, "greetfw-thumb");
    const Observed stepped = greet(true, "greetfw-thumb");
    EXPECT_EQ(to_lcov(run.coverage), to_lcov(stepped.coverage));
    EXPECT_EQ(run.folded, stepped.folded);
    EXPECT_EQ(run.profiled, run.board);
    using Branches = std::vector<std::optional<std::uint64_t>>;
    EXPECT_EQ(line_of(run.coverage, "greeting/src/main.cpp", 13).branches, (Branches{2, 1}));
    EXPECT_EQ(line_of(run.coverage, "greeting/src/s3c_uart.cpp", 41).hits, 42u);
    EXPECT_EQ(line_of(run.coverage, "greeting/src/s3c_uart.cpp", 41).branches, (Branches{39, 3}));  // blt
    EXPECT_EQ(line_of(run.coverage, "greeting/src/s3c_uart.cpp", 42).branches, (Branches{0, 39}));  // bne
    EXPECT_EQ(calls_of(run.coverage, "kelto_uart_write"), 3u);
    EXPECT_TRUE(parse_folded(run.folded).contains("main;kelto_uart_init;__divsi3"));
}

// The profile hears only of blocks that may move the stack; a second
// observer that hears of every block makes the machine tell it of every one,
// and the stacks must not change. The coverage of the same tour has no lines
// of code the linker left out of the image.
TEST(CoverageTest, ProfileLeavesOutOnlyBlocksThatCannotMoveTheStack)
{
    struct EveryBlock final : ExecutionObserver {
        void cut(std::uint32_t, std::uint32_t) override {}
    };
    CoverageReport coverage;
    const auto tour = [&](bool every_block) {
        auto machine = kelto::test::load("consolefw-64");
        Profile profile(*machine);
        Coverage counting(*machine, KELTO_SOURCE_DIR);
        EveryBlock listener;
        if (every_block)
            machine->add_execution_observer(listener);
        kelto::test::run_until_text(*machine, "x> Exit\r\n");
        for (const char *key : {"2", "3", "2", "1", "x"}) {
            machine->feed_console(key);
            kelto::test::run_until_text(*machine, "Exit");
        }
        profile.settle();
        if (every_block)
            machine->remove_execution_observer(listener);
        coverage = counting.report();
        return profile.folded();
    };
    const std::string quiet = tour(false);
    EXPECT_EQ(quiet, tour(true));
    EXPECT_NE(quiet.find("main;udelay "), std::string::npos) << quiet;

    const std::string source = kelto::test::read_file(KELTO_SOURCE_DIR "/src/s3c_gpio_s3c6410.cpp");
    const std::string before = source.substr(0, source.find("kelto_gpio_set_pullupdown("));
    const auto left_out = std::count(before.begin(), before.end(), '\n');
    for (const auto &[path, lines] : coverage.files) {
        if (path.ends_with("/src/s3c_gpio_s3c6410.cpp")) {
            EXPECT_LE(lines.lines.rbegin()->first, left_out) << "beyond, the image has no code";
        }
    }
}

// A call that never returns, made over and over (bl .), deepens the shadow
// stack only so far.
TEST(CoverageTest, ProfileStackDepthIsBounded)
{
    auto machine = kelto::test::load_tiny(0x50080000, {{0x50080000, {0xEBFFFFFE}, 0, false}});
    Profile profile(*machine);
    kelto::test::run_for(*machine, 0.001);
    EXPECT_GT(machine->clock().instructions(), 2 * Profile::max_depth);
    EXPECT_EQ(profile.settle(), machine->clock().now());
    for (const auto &[stack, cycles] : profile.stacks())
        EXPECT_LT(std::count(stack.begin(), stack.end(), ';'), static_cast<std::ptrdiff_t>(Profile::max_depth));
}

TEST(CoverageTest, ReportsMergeByAddingCountsInEitherFormat)
{
    const CoverageReport once = greet(false).coverage;
    CoverageReport twice = from_lcov(to_lcov(once));
    twice.merge(once);
    EXPECT_EQ(line_of(twice, "s3c_uart.cpp", 41).hits, 78u);
    EXPECT_EQ(line_of(twice, "s3c_uart.cpp", 41).branches, (std::vector<std::optional<std::uint64_t>>{0, 6, 72, 6}));
    EXPECT_EQ(to_lcov(from_lcov(to_lcov(twice))), to_lcov(twice));
    EXPECT_EQ(calls_of(twice, "main"), 2u);

    // Cobertura keeps whether each outcome was seen.
    const CoverageReport back = from_cobertura(to_cobertura(once));
    EXPECT_EQ(line_of(back, "s3c_uart.cpp", 42).hits, 39u);
    EXPECT_EQ(line_of(back, "s3c_uart.cpp", 42).branches, (std::vector<std::optional<std::uint64_t>>{0, 1}));
    EXPECT_THROW(from_lcov("SF:a\nDA:x,1\n"), std::runtime_error);
    EXPECT_THROW(parse_folded("main;f\n"), std::runtime_error);
}

// A suite's profile is its boards' own added up, the same whatever order they
// finish in, with every cycle of every board's time.
TEST(CoverageTest, SuiteProfileAddsUpItsBoardsInSuiteOrder)
{
    const Scenario backlight =
        parse_scenario("- wait_for: \"x> Exit\"\n- write: \"3\"\n- wait_for: \"x> Exit\"\n", "backlight.yaml");
    const Scenario menu = parse_scenario("- wait_for: \"x> Exit\"\n", "menu.yaml");
    Options options;
    options.image = kelto::test::image_path("consolefw-64");
    const auto machine = kelto::test::load("consolefw-64");
    const Clock &clock = machine->clock();
    Cycles board = 0;
    const Start fresh;
    const auto profile = [&](const std::vector<const Scenario *> &scenarios, unsigned jobs, ProfileFormat format) {
        ProfileSum sum({}, format);
        std::vector<ScenarioRun> runs;
        runs.reserve(scenarios.size());
        for (const Scenario *scenario : scenarios)
            runs.push_back({scenario, &fresh});
        run_scenarios(options, runs, jobs,
                      [&](const ScenarioResult &result) { board += clock.from_seconds(result.board_seconds); }, &sum);
        return sum.text("suite");
    };
    std::unordered_map<std::string, Cycles> alone = parse_folded(profile({&backlight}, 1, ProfileFormat::folded));
    for (const auto &[stack, cycles] : parse_folded(profile({&menu}, 1, ProfileFormat::folded)))
        alone[stack] += cycles;
    board = 0;
    const std::string both = profile({&backlight, &menu}, 1, ProfileFormat::folded);
    EXPECT_EQ(parse_folded(both), alone);
    Cycles total = 0;
    for (const auto &[stack, cycles] : alone)
        total += cycles;
    EXPECT_EQ(total, board);
    EXPECT_EQ(profile({&backlight, &menu}, 2, ProfileFormat::folded), both);

    const std::string speedscope = profile({&backlight, &menu}, 2, ProfileFormat::speedscope);
    EXPECT_LT(speedscope.find("\"backlight.yaml (board cycles)\""), speedscope.find("\"menu.yaml (board cycles)\""));
    EXPECT_EQ(speedscope, profile({&backlight, &menu}, 1, ProfileFormat::speedscope));
}
