// How fast the simulator runs the real images: loading, a busy-wait delay
// that the virtual clock skips, register-heavy polling, and console output.
#include <benchmark/benchmark.h>
#include <unicorn/unicorn.h>

#include <chrono>
#include <ctime>
#include <memory>

#include <stdexcept>
#include <string>
#include <vector>

#include "frontends/coverage.hpp"
#include "frontends/profile.hpp"
#include "frontends/scenario.hpp"
#include "frontends/suite.hpp"
#include "machine/board_state.hpp"
#include "machine/machine.hpp"
#include "machine/timeline.hpp"
#include "run_until.hpp"

namespace {

using kelto::bench::image;
using kelto::bench::run_until;
using kelto::sim::Button;
using kelto::sim::Machine;
using kelto::sim::RunLimits;
using kelto::sim::StopReason;
using kelto::sim::frontend::Options;
using kelto::sim::frontend::parse_scenario;
using kelto::sim::frontend::run_scenarios;
using kelto::sim::frontend::Scenario;
using kelto::sim::frontend::ScenarioResult;
using kelto::sim::frontend::ScenarioRun;
using kelto::sim::frontend::Start;

void load_console_image(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(Machine::load(image("consolefw-64")));
}
BENCHMARK(load_console_image)->Unit(benchmark::kMillisecond);

// Start-up, splash and menu, until the firmware waits for a key.
void boot_to_menu(benchmark::State &state)
{
    std::unique_ptr<Machine> machine;  // the last one is freed untimed
    for (auto _ : state) {
        state.PauseTiming();
        machine = Machine::load(image("consolefw-64"));
        state.ResumeTiming();
        run_until(*machine, "x> Exit\r\n");
    }
}
BENCHMARK(boot_to_menu)->Unit(benchmark::kMillisecond)->Iterations(20);

// The timer test: ten seconds of board time spent busy-waiting on timer 4.
void ten_second_delay_test(benchmark::State &state)
{
    double board_seconds = 0;
    std::unique_ptr<Machine> machine;
    for (auto _ : state) {
        state.PauseTiming();
        machine = Machine::load(image(state.range(0) == 64 ? "consolefw-64" : "consolefw-24"));
        run_until(*machine, "x> Exit\r\n");
        machine->feed_console("2");
        const double start = machine->seconds();
        state.ResumeTiming();
        run_until(*machine, "1 Second Delay Test 9\r\n");
        board_seconds += machine->seconds() - start;
    }
    state.counters["board_s_per_host_s"] = benchmark::Counter(board_seconds, benchmark::Counter::kIsRate);
}
BENCHMARK(ten_second_delay_test)->Arg(64)->Arg(24)->Unit(benchmark::kMillisecond)->Iterations(5);

// The button-polling firmware at its menu, or in its button test.
std::unique_ptr<Machine> polling_firmware(bool in_button_test)
{
    auto machine = Machine::load(image("pollfw-64"));
    machine->set_logging(false);
    run_until(*machine, "x> Exit\r\n");
    if (in_button_test) {
        machine->feed_console("1");
        run_until(*machine, "(in keyboard)\r\n");
    }
    return machine;
}

// The button-polling firmware's test loop with a button held: a register
// read or write every few instructions, and the console always busy.
void held_button_polling(benchmark::State &state)
{
    std::uint64_t instructions = 0;
    std::unique_ptr<Machine> machine;
    for (auto _ : state) {
        state.PauseTiming();
        machine = polling_firmware(true);
        machine->set_button(Button::up, true);
        const std::uint64_t before = machine->clock().instructions();
        state.ResumeTiming();
        RunLimits limits;
        limits.seconds = 0.1;
        limits.until_waiting = false;
        machine->run(limits);
        instructions += machine->clock().instructions() - before;
    }
    state.counters["instructions_per_s"] = benchmark::Counter(static_cast<double>(instructions), benchmark::Counter::kIsRate);
}
BENCHMARK(held_button_polling)->Unit(benchmark::kMillisecond)->Iterations(10);

// Host seconds per board second, the figure the idle-loop skipping aims at.
benchmark::Counter host_per_board(double board_seconds)
{
    return benchmark::Counter(board_seconds, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The button test with no button held: reads that keep finding the same
// values, for ten seconds of board time a run.
void idle_button_polling(benchmark::State &state)
{
    double board_seconds = 0;
    std::unique_ptr<Machine> machine;
    for (auto _ : state) {
        state.PauseTiming();
        machine = polling_firmware(true);
        const double start = machine->seconds();
        state.ResumeTiming();
        RunLimits limits;
        limits.seconds = 10;
        limits.until_waiting = false;
        machine->run(limits);
        board_seconds += machine->seconds() - start;
    }
    state.counters["host_s_per_board_s"] = host_per_board(board_seconds);
}
BENCHMARK(idle_button_polling)->Unit(benchmark::kMillisecond)->Iterations(10);

// A scenario's long wait: a minute of board time in 10 ms slices that may
// run on to the minute's end while the firmware only waits, as the session
// asks when nothing can arrive. Waiting for a menu key, and in the button
// test.
void long_wait(benchmark::State &state)
{
    double board_seconds = 0;
    std::unique_ptr<Machine> machine;
    for (auto _ : state) {
        state.PauseTiming();
        machine = polling_firmware(state.range(0) != 0);
        const double start = machine->seconds();
        state.ResumeTiming();
        while (machine->seconds() - start < 60) {
            RunLimits limits;
            limits.seconds = 0.01;
            limits.idle_seconds = 60 - (machine->seconds() - start);
            limits.until_waiting = false;
            machine->run(limits);
        }
        board_seconds += machine->seconds() - start;
    }
    state.counters["host_ms_per_board_min"] = host_per_board(board_seconds / 60 / 1e3);
}
BENCHMARK(long_wait)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->Iterations(50);

// Arithmetic that touches no register, through the machine and through a
// bare Unicorn with no hooks: the simulator's share of the cost.
constexpr std::uint32_t cpu_loop[] = {
    0xE3A01000,  // mov r1, #0
    0xE0811000,  // 1: add r1, r1, r0
    0xE0212261,  // eor r2, r1, r1, ror #4
    0xE0811002,  // add r1, r1, r2
    0xE2500001,  // subs r0, r0, #1
    0x1AFFFFFA,  // bne 1b
    0xE12FFF1E,  // bx lr
};
constexpr std::uint32_t cpu_loop_turns = 20'000'000;

double machine_seconds(Machine &machine)
{
    const std::uint32_t at = machine.symbol("main");
    // Patched as a debugger would, so that a main already translated (the
    // boot before) runs the loop and not its old code.
    machine.patch(at, cpu_loop, sizeof cpu_loop);
    const auto start = std::chrono::steady_clock::now();
    RunLimits limits;
    limits.seconds = 1000;
    machine.call("main", {cpu_loop_turns}, limits);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A block hook that only counts instructions: the least any simulator with a
// clock pays, and the figure the machine's own block hook is held against.
void count_block(uc_engine *, std::uint64_t, std::uint32_t size, void *user)
{
    *static_cast<std::uint64_t *>(user) += size / 4;
}

double bare_unicorn_seconds(bool counting)
{
    uc_engine *uc = nullptr;
    uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc);
    uc_ctl_set_cpu_model(uc, UC_CPU_ARM_1176);
    const std::uint64_t base = 0x50080000;
    uc_mem_map(uc, base, 0x1000, UC_PROT_ALL);
    uc_mem_write(uc, base, cpu_loop, sizeof cpu_loop);
    std::uint64_t instructions = 0;
    uc_hook hook{};
    if (counting)
        uc_hook_add(uc, &hook, UC_HOOK_BLOCK, reinterpret_cast<void *>(count_block), &instructions, 1, 0);
    std::uint32_t turns = cpu_loop_turns;
    uc_reg_write(uc, UC_ARM_REG_R0, &turns);
    const auto start = std::chrono::steady_clock::now();
    uc_emu_start(uc, base, base + sizeof cpu_loop - 4, 0, 0);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    benchmark::DoNotOptimize(instructions);
    uc_close(uc);
    return seconds;
}

void cpu_bound_against_bare_unicorn(benchmark::State &state)
{
    double machine = 0, bare = 0, counting = 0;
    for (auto _ : state) {
        machine += machine_seconds(*Machine::load(image("consolefw-64")));
        bare += bare_unicorn_seconds(false);
        counting += bare_unicorn_seconds(true);
    }
    state.counters["machine_speed_of_bare"] = bare / machine;
    // Above 1: the machine is slower than a hook that only counts.
    state.counters["machine_time_of_counting"] = machine / counting;
}
BENCHMARK(cpu_bound_against_bare_unicorn)->Unit(benchmark::kMillisecond)->Iterations(3);

// The console firmware's boot to its menu, then the CPU-bound loop, with
// coverage or a profile on: their host time against the same run without.
double observed_seconds(bool coverage, bool profile)
{
    auto machine = Machine::load(image("consolefw-64"));
    std::unique_ptr<kelto::sim::frontend::Coverage> counting;
    std::unique_ptr<kelto::sim::frontend::Profile> profiling;
    const auto start = std::chrono::steady_clock::now();
    if (coverage)
        counting = std::make_unique<kelto::sim::frontend::Coverage>(*machine, KELTO_SOURCE_DIR);
    if (profile)
        profiling = std::make_unique<kelto::sim::frontend::Profile>(*machine);
    run_until(*machine, "x> Exit\r\n");
    const double boot = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return boot + machine_seconds(*machine);
}

void coverage_and_profile_cost(benchmark::State &state)
{
    double plain = 0, coverage = 0, profile = 0;
    for (auto _ : state) {
        plain += observed_seconds(false, false);
        coverage += observed_seconds(true, false);
        profile += observed_seconds(false, true);
    }
    state.counters["coverage_time_of_plain"] = coverage / plain;
    state.counters["profile_time_of_plain"] = profile / plain;
}
BENCHMARK(coverage_and_profile_cost)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

// Processor time of this process, all threads: on a shared machine the
// wall clock says more about the neighbours than about the suite.
double cpu_seconds()
{
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// A CI suite: 200 copies of a short tour of the console firmware's menu,
// two at a time, each on a fresh board. What a scenario costs beyond its
// own board's run is the suite's processor time per scenario less that of
// the same tour run straight on a machine.
void suite_of_menu_tours(benchmark::State &state)
{
    constexpr int copies = 200;
    const auto tour_alone = [] {
        const double start = cpu_seconds();
        auto machine = Machine::load(image("consolefw-64"));
        machine->set_logging(false);
        for (const char *key : {"3", "x"}) {
            run_until(*machine, "x> Exit");
            machine->feed_console(key);
        }
        run_until(*machine, "x> Exit");
        return cpu_seconds() - start;
    };
    const Scenario tour = parse_scenario(
        "- wait_for: \"x> Exit\"\n- write: \"3\"\n- wait_for: \"x> Exit\"\n- write: \"x\"\n- wait_for: \"x> Exit\"\n",
        "tour.yaml");
    const Start fresh;
    const std::vector<ScenarioRun> suite(copies, ScenarioRun{&tour, &fresh});
    Options options;
    options.image = image("consolefw-64");
    double alone = 0, suite_cpu = 0, wall = 0;
    for (auto _ : state) {
        state.PauseTiming();
        alone += tour_alone();
        state.ResumeTiming();
        const double cpu = cpu_seconds();
        const auto start = std::chrono::steady_clock::now();
        run_scenarios(options, suite, 2, [](const ScenarioResult &) {});
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        suite_cpu += cpu_seconds() - cpu;
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["suite_s"] = wall / runs;
    state.counters["cpu_ms_per_scenario"] = 1e3 * suite_cpu / copies / runs;
    state.counters["overhead_ms_per_scenario"] = 1e3 * (suite_cpu / copies - alone) / runs;
}
BENCHMARK(suite_of_menu_tours)->Unit(benchmark::kSecond)->Iterations(3);

// Starting a scenario of a suite at the menu, one board after another: a
// cold boot each, or the board of one boot restored into each (--boot-once).
// A scenario whose only step is the menu's wait_for ends as soon as it has
// started.
void scenario_start_with_boot_once(benchmark::State &state)
{
    constexpr int copies = 50;
    const Scenario menu = parse_scenario("- wait_for: \"x> Exit\"\n", "menu.yaml");
    Options options;
    options.image = image("consolefw-64");
    const Start fresh;
    const Start booted = kelto::sim::frontend::boot_once(options, menu, fresh);
    if (!booted.board)
        throw std::runtime_error("the boot did not reach the menu");
    const auto seconds_per_scenario = [&](const Start &start) {
        const std::vector<ScenarioRun> suite(copies, ScenarioRun{&menu, &start});
        const auto begin = std::chrono::steady_clock::now();
        run_scenarios(options, suite, 1, [](const ScenarioResult &) {});
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() / copies;
    };
    double cold = 0, restored = 0;
    for (auto _ : state) {
        cold += seconds_per_scenario(fresh);
        restored += seconds_per_scenario(booted);
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["cold_ms"] = 1e3 * cold / runs;
    state.counters["boot_once_ms"] = 1e3 * restored / runs;
    state.counters["cold_per_boot_once"] = cold / restored;
}
BENCHMARK(scenario_start_with_boot_once)->Unit(benchmark::kSecond)->Iterations(3);
// Saving a board at the menu with 4 MiB of DRAM written besides, 64 KiB of
// which change between two states: what a state taken often costs.
void save_state(benchmark::State &state)
{
    auto machine = Machine::load(image("consolefw-64"));
    run_until(*machine, "x> Exit\r\n");
    const std::uint32_t area = machine->stack_limit() - (8u << 20);  // above the heap, below the stack
    const std::vector<std::uint8_t> pattern(4u << 20, 0x5A);
    machine->write_bytes(area, pattern.data(), pattern.size());
    kelto::sim::BoardState last = machine->save_state();
    std::uint32_t round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::vector<std::uint8_t> changed(64u << 10, static_cast<std::uint8_t>(++round));
        machine->write_bytes(area + (round % 64) * (64u << 10), changed.data(), changed.size());
        state.ResumeTiming();
        last = machine->save_state();
    }
    state.counters["pages"] = static_cast<double>(last.dram.size());
}
BENCHMARK(save_state)->Unit(benchmark::kMicrosecond)->Iterations(200);

// Going back in time, the timeline driven as a debugging session drives it:
// the board run in 10 ms slices, the recording grown between them.
namespace reverse {

using kelto::sim::HostLink;
using kelto::sim::Timeline;

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Types the console tour's keys, one each time the firmware waits for one:
// the timer test, the button test, the backlight stepped down twice and up
// once, back to the menu, and round again.
struct TouringHost : HostLink {
    static constexpr std::string_view keys = "21q3221x";
    std::size_t typed = 0;
    Pump pump(Machine &machine, int) override
    {
        if (!machine.console().transmitter_idle())
            return Pump::nothing;  // a wait to send
        machine.feed_console(keys.substr(typed++ % keys.size(), 1));
        return Pump::fed;
    }
    void transmitted(Machine &, std::uint8_t) override {}
};

// A board with its host and, when asked, a recording of its run.
struct Board {
    std::unique_ptr<Machine> machine;
    TouringHost host;
    std::unique_ptr<Timeline> timeline;

    explicit Board(const std::string &name) : machine(Machine::load(image(name)))
    {
        machine->set_logging(false);
        machine->set_host(&host);
    }
    void record() { timeline = std::make_unique<Timeline>(*machine, host, Timeline::Options{}); }
    void run_for(double seconds)
    {
        const double end = machine->seconds() + seconds;
        while (machine->seconds() < end && !machine->main_returned()) {
            RunLimits limits;
            limits.seconds = 0.01;
            limits.until_waiting = false;
            if (timeline) {
                timeline->between_runs();
                timeline->replay_limits(limits);
            }
            machine->run(limits);
        }
        if (timeline)
            timeline->between_runs();
    }
};

double percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(share * static_cast<double>(values.size() - 1))];
}

// A minute of the console tour recorded: the memory it takes and how far
// back it reaches, and its host time against the same minute unrecorded.
void recording_the_console_tour(benchmark::State &state)
{
    double plain = 0, recorded = 0, memory = 0, reach = 0;
    for (auto _ : state) {
        Board straight("consolefw-64");
        auto start = std::chrono::steady_clock::now();
        straight.run_for(60);
        plain += seconds_since(start);
        Board board("consolefw-64");
        board.record();
        start = std::chrono::steady_clock::now();
        board.run_for(60);
        recorded += seconds_since(start);
        memory += static_cast<double>(board.timeline->memory()) / (1 << 20);
        reach += board.machine->clock().to_seconds(board.timeline->end().time - board.timeline->start().time);
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["recording_MiB"] = memory / runs;
    state.counters["reach_board_s"] = reach / runs;
    state.counters["recorded_speed_of_plain"] = plain / recorded;
}
BENCHMARK(recording_the_console_tour)->Unit(benchmark::kMillisecond)->Iterations(2);

// Steps back one instruction from points spread over ten seconds of the
// tour's recording (the timer test), each reached first untimed.
void reverse_stepi(benchmark::State &state)
{
    Board board("consolefw-64");
    board.record();
    board.run_for(12);
    const kelto::sim::Cycles start = board.timeline->start().time, end = board.timeline->end().time;
    std::vector<double> latencies;
    for (auto _ : state) {
        for (int point = 1; point <= 50; point++) {
            board.timeline->go_to(start + (end - start) / 50 * static_cast<kelto::sim::Cycles>(point) - 1);
            const auto at = std::chrono::steady_clock::now();
            board.timeline->step_back();
            latencies.push_back(seconds_since(at) * 1e3);
        }
    }
    state.counters["p50_ms"] = percentile(latencies, 0.5);
    state.counters["p95_ms"] = percentile(latencies, 0.95);
}
BENCHMARK(reverse_stepi)->Unit(benchmark::kMillisecond)->Iterations(1);

// The CPU-bound loop over 10^9 instructions, recorded, against the same
// run unrecorded; then back from its end to a breakpoint on its first
// instruction, which no state after the start has run.
void reverse_continue(benchmark::State &state)
{
    constexpr std::uint32_t turns = 200'000'000;  // five instructions each
    const auto run_loop = [](Board &board, bool recorded) {
        const std::uint32_t at = board.machine->symbol("main");
        board.machine->write_bytes(at, cpu_loop, sizeof cpu_loop);
        board.machine->set_reg(0, turns);
        if (recorded)
            board.record();
        const auto start = std::chrono::steady_clock::now();
        board.run_for(1e3);
        return seconds_since(start);
    };
    double plain = 0, recorded = 0, back = 0, instructions = 0;
    for (auto _ : state) {
        Board straight("consolefw-64");
        plain += run_loop(straight, false);
        Board board("consolefw-64");
        recorded += run_loop(board, true);
        board.machine->add_breakpoint(board.machine->symbol("main"));
        instructions += static_cast<double>(board.timeline->end().instructions);
        const auto start = std::chrono::steady_clock::now();
        if (board.timeline->continue_back().kind != Timeline::Stop::Kind::breakpoint)
            throw std::runtime_error("reverse_continue: the breakpoint was not found");
        back += seconds_since(start);
    }
    const double runs = static_cast<double>(state.iterations());
    state.counters["instructions"] = instructions / runs;
    state.counters["back_s"] = back / runs;
    state.counters["recorded_speed_of_plain"] = plain / recorded;
}
BENCHMARK(reverse_continue)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace reverse

BENCHMARK_MAIN();
