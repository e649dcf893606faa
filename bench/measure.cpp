// What the firmware uses and how well it keeps time, measured on the
// simulated board for the table of `make bench` (scripts/bench-table):
// heap and deepest stack after every screen, delay errors, console rate.
// Prints one tab-separated record a line: kind, subject, values.
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "machine/machine.hpp"
#include "run_until.hpp"

namespace {

using kelto::bench::image;
using kelto::bench::run_until;
using kelto::sim::Button;
using kelto::sim::HostLink;
using kelto::sim::Machine;
using kelto::sim::RunLimits;
using kelto::sim::StopReason;

// The top of the stack painted before the run, to find how deep it went.
constexpr std::uint32_t stack_window = 64 * 1024;
// The break variable of src/support.cpp's _sbrk.
constexpr const char *break_symbol = "_ZZ5_sbrkE10alloc_base";

void type(Machine &machine, const char *keys, const std::string &then)
{
    machine.feed_console(keys);
    run_until(machine, then);
}

// The button test with a button held, then back to the menu.
void button_screen(Machine &machine)
{
    type(machine, "1", "(in keyboard)\r\n");
    machine.set_button(Button::up, true);
    run_until(machine, "Up key pressed\r\n");
    machine.set_button(Button::up, false);
    type(machine, "q", "x> Exit\r\n");
}

// Every screen of the console firmware: buttons, timer, backlight, exit.
void console_tour(Machine &machine)
{
    run_until(machine, "x> Exit\r\n");
    button_screen(machine);
    type(machine, "2", "1 Second Delay Test 9\r\n");
    run_until(machine, "x> Exit\r\n");
    type(machine, "3", "x> Exit to back\r\n");
    type(machine, "2", "x> Exit to back\r\n");
    type(machine, "1", "x> Exit to back\r\n");
    type(machine, "x", "x> Exit\r\n");
}

void polling_tour(Machine &machine)
{
    run_until(machine, "x> Exit\r\n");
    button_screen(machine);
}

void measure_image(const std::string &name, void (*tour)(Machine &))
{
    auto machine = Machine::load(image(name));
    machine->set_logging(false);
    const auto break_variable = machine->image().find(break_symbol);
    const std::uint32_t heap_start = break_variable ? machine->read_word(break_variable->address) : 0;
    machine->paint_stack(stack_window);
    if (tour) {
        tour(*machine);
        machine->feed_console("x");
    }
    const auto result = machine->run();
    if (result.reason != StopReason::returned)
        throw std::runtime_error(name + " did not return: " + result.message);
    const std::uint32_t heap = break_variable ? machine->read_word(break_variable->address) - heap_start : 0;
    std::printf("memory\t%s\t%u\t%u\n", name.c_str(), heap, machine->painted_stack_depth(stack_window));
}

// Driver test image at its menu: timer and console are initialised.
std::unique_ptr<Machine> at_menu(int board)
{
    auto machine = Machine::load(image("drivertest-" + std::to_string(board)));
    machine->set_logging(false);
    run_until(*machine, "x> Exit\r\n");
    return machine;
}

// Timer 4 counts microseconds on both boards (src/s3c_timer.cpp), so the
// error in counts is the error in microseconds of board time.
void measure_delays(int board)
{
    auto machine = at_menu(board);
    const struct {
        const char *function;
        std::uint32_t argument;
        double microseconds;
    } delays[] = {{"udelay", 1, 1}, {"udelay", 100, 100}, {"mdelay", 1000, 1e6}};
    for (const auto &delay : delays) {
        const double start = machine->seconds();
        const auto result = machine->call(delay.function, {delay.argument});
        if (result.reason != StopReason::returned)
            throw std::runtime_error(std::string(delay.function) + " did not return");
        const double counts = (machine->seconds() - start) * 1e6;
        std::printf("delay\t%d\t%s(%u)\t%.1f\n", board, delay.function, delay.argument, counts - delay.microseconds);
    }
}

// Times when each console byte left the line.
class LineWatch final : public HostLink {
public:
    Pump pump(Machine &, int) override { return Pump::nothing; }
    void transmitted(Machine &machine, std::uint8_t) override { times.push_back(machine.seconds()); }
    std::vector<double> times;
};

// A long write through the driver, measured from the first byte on the line
// to the last.
void measure_console_rate(int board)
{
    constexpr std::size_t length = 8192;
    auto machine = at_menu(board);
    LineWatch watch;
    machine->set_host(&watch);
    const std::string text(length, 'k');
    const std::uint32_t buffer = machine->scratch(length);
    machine->write_bytes(buffer, text.data(), length);
    if (machine->call("kelto_uart_write", {buffer, length}).reason != StopReason::returned)
        throw std::runtime_error("kelto_uart_write did not return");
    machine->run();  // until the firmware waits for a key with all output sent
    machine->set_host(nullptr);
    if (watch.times.size() < length)
        throw std::runtime_error("the console lost bytes");
    const double rate = static_cast<double>(watch.times.size() - 1) / (watch.times.back() - watch.times.front());
    std::printf("console\t%d\t%.1f\n", board, rate);
}

}  // namespace

int main()
{
    try {
        measure_image("consolefw-64", console_tour);
        measure_image("consolefw-24", console_tour);
        measure_image("greetfw", nullptr);
        measure_image("pollfw-64", polling_tour);
        for (int board : {64, 24}) {
            measure_delays(board);
            measure_console_rate(board);
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "keltosim-measure: %s\n", error.what());
        return 1;
    }
    return 0;
}
