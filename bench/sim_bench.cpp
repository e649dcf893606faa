// How fast the simulator runs the real images: loading, a busy-wait delay
// that the virtual clock skips, register-heavy polling, and console output.
#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>

#include "machine/machine.hpp"
#include "run_until.hpp"

namespace {

using kelto::bench::image;
using kelto::bench::run_until;
using kelto::sim::Button;
using kelto::sim::Machine;
using kelto::sim::RunLimits;
using kelto::sim::StopReason;

void load_console_image(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(Machine::load(image("consolefw-64")));
}
BENCHMARK(load_console_image)->Unit(benchmark::kMillisecond);

// Start-up, splash and menu, until the firmware waits for a key.
void boot_to_menu(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        auto machine = Machine::load(image("consolefw-64"));
        state.ResumeTiming();
        run_until(*machine, "x> Exit\r\n");
    }
}
BENCHMARK(boot_to_menu)->Unit(benchmark::kMillisecond);

// The timer test: ten seconds of board time spent busy-waiting on timer 4.
void ten_second_delay_test(benchmark::State &state)
{
    double board_seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto machine = Machine::load(image(state.range(0) == 64 ? "consolefw-64" : "consolefw-24"));
        run_until(*machine, "x> Exit\r\n");
        machine->feed_console("2");
        const double start = machine->seconds();
        state.ResumeTiming();
        run_until(*machine, "1 Second Delay Test 9\r\n");
        board_seconds += machine->seconds() - start;
    }
    state.counters["board_s_per_host_s"] = benchmark::Counter(board_seconds, benchmark::Counter::kIsRate);
}
BENCHMARK(ten_second_delay_test)->Arg(64)->Arg(24)->Unit(benchmark::kMillisecond);

// The button-polling firmware's test loop with a button held: a register
// read or write every few instructions, and the console always busy.
void held_button_polling(benchmark::State &state)
{
    std::uint64_t instructions = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto machine = Machine::load(image("pollfw-64"));
        machine->set_logging(false);
        run_until(*machine, "x> Exit\r\n");
        machine->feed_console("1");
        run_until(*machine, "(in keyboard)\r\n");
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
BENCHMARK(held_button_polling)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
