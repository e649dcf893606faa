// Every image for a virtual hour under random and hostile console input and
// button patterns, with the board's invariants checked all along. The seed is
// printed, and KELTO_SOAK_SEED repeats a run.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <random>
#include <string_view>

#include "harness.hpp"

using namespace kelto::test;
namespace sim = kelto::sim;

namespace {

constexpr double soak_seconds = 3600;

// Whether a line is what a printf format may print: %c one character or
// none, %d a decimal number, any other conversion any text.
bool printed_by(std::string_view line, std::string_view format)
{
    if (format.empty())
        return line.empty();
    if (format[0] != '%' || format.size() < 2)
        return !line.empty() && line[0] == format[0] && printed_by(line.substr(1), format.substr(1));
    const char conversion = format[1];
    const std::string_view rest = format.substr(2);
    if (conversion == 'c')
        return printed_by(line, rest) || (!line.empty() && printed_by(line.substr(1), rest));
    if (conversion == 'd') {
        std::size_t digits = !line.empty() && line[0] == '-' ? 1 : 0;
        const std::size_t first = digits;
        while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits])))
            digits++;
        for (std::size_t end = digits; end > first; end--)
            if (printed_by(line.substr(end), rest))
                return true;
        return false;
    }
    for (std::size_t skip = 0; skip <= line.size(); skip++)
        if (printed_by(line.substr(skip), rest))
            return true;
    return false;
}

// The firmware's own texts: the strings of its read-only segments, one per
// line.
std::vector<std::string> own_lines(const Machine &machine)
{
    std::vector<std::string> lines;
    for (const sim::Segment &segment : machine.image().segments()) {
        if (segment.writable)
            continue;
        std::string text;
        for (std::uint8_t byte : segment.bytes) {
            if (byte == '\n' || byte == 0) {
                if (text.size() >= 2)
                    lines.push_back(text);
                text.clear();
            } else if (byte >= 0x20 && byte < 0x7F) {
                text += static_cast<char>(byte);
            } else if (byte != '\r') {
                text.clear();
            }
        }
    }
    return lines;
}

// Each line of output is empty, or one of the firmware's texts with what
// its conversions printed, keys echoed in "%c is selected" among them.
void expect_own_lines(const Machine &machine, const std::vector<std::string> &formats)
{
    std::string line;
    for (char c : machine.console_output()) {
        if (c == '\r')
            continue;
        if (c != '\n') {
            line += c;
            continue;
        }
        const bool own = line.empty() || std::any_of(formats.begin(), formats.end(), [&](const std::string &format) {
                             return printed_by(line, format);
                         });
        ASSERT_TRUE(own) << "not the firmware's text: \"" << line << "\"";
        line.clear();
    }
}

struct Soak {
    std::string image;
    std::mt19937 random;
    std::unique_ptr<Machine> machine;
    std::vector<std::string> patterns;
    std::uint64_t fed = 0;  // bytes put on the line to this machine
    double board_time = 0;
    int boots = 0;

    void boot()
    {
        if (machine)
            check_life();
        machine = load(image);
        patterns = own_lines(*machine);
        fed = 0;
        boots++;
    }

    // Every byte that went on the line either reached the FIFO or was
    // counted as an overrun; and the output is the firmware's own.
    void check_life()
    {
        sim::UartChannel &line = machine->console();
        if (line.line_idle()) {
            EXPECT_EQ(fed, line.received() + line.overruns());
        }
        expect_own_lines(*machine, patterns);
    }

    std::string random_bytes(std::size_t count)
    {
        std::string bytes;
        std::uniform_int_distribution<int> byte(0, 255);
        for (std::size_t i = 0; i < count; i++)
            bytes += static_cast<char>(byte(random));
        return bytes;
    }

    void feed(const std::string &bytes)
    {
        machine->feed_console(bytes);
        fed += bytes.size();
    }

    // One random thing a user, a script or a noisy line might do.
    void act()
    {
        static const std::string keys = "123x";
        switch (std::uniform_int_distribution<int>(0, 7)(random)) {
        case 0:
        case 1:
        case 2: feed(std::string(1, keys[random() % keys.size()])); break;
        case 3:
        case 4: feed(random_bytes(1)); break;
        case 5: feed(random_bytes(sim::UartChannel::fifo_depth + random() % 100)); break;
        default:
            // Held for a moment: the button test prints a line a pass while
            // a button is down, at the line's full rate.
            for (sim::Button button : sim::all_buttons)
                machine->set_button(button, random() % 4 == 0);
            run(std::uniform_real_distribution<double>(0.001, 0.3)(random));
            for (sim::Button button : sim::all_buttons)
                machine->set_button(button, false);
            break;
        }
    }

    void run(double seconds)
    {
        RunLimits limits;
        limits.seconds = seconds;
        limits.until_waiting = false;
        const RunResult result = machine->run(limits);
        ASSERT_NE(result.reason, StopReason::fault) << result.message;
        board_time += seconds;
        if (result.reason == StopReason::returned) {
            EXPECT_EQ(result.value, 0u);
            boot();
        } else {
            EXPECT_EQ(result.reason, StopReason::time_limit) << describe(result);
        }
    }

    // Back to the main menu from wherever the firmware is, then out of it:
    // each screen leaves on a key ('x', or any key in the button test).
    void expect_menu_answers()
    {
        for (sim::Button button : sim::all_buttons)
            machine->set_button(button, false);
        run(11);  // a timer test in progress ends
        for (int tries = 0; tries < 3 && !machine->main_returned(); tries++) {
            feed("x");
            RunLimits limits;
            limits.seconds = 30;
            const RunResult result = machine->run(limits);
            ASSERT_NE(result.reason, StopReason::fault) << result.message;
            ASSERT_TRUE(result.reason == StopReason::returned || result.reason == StopReason::waiting_for_input)
                << describe(result);
        }
        EXPECT_TRUE(machine->main_returned()) << "the menu does not answer 'x'";
        check_life();
    }
};

std::uint32_t soak_seed()
{
    const char *given = std::getenv("KELTO_SOAK_SEED");
    return given ? static_cast<std::uint32_t>(std::strtoul(given, nullptr, 0)) : 20261208u;
}

class SoakTest : public testing::TestWithParam<const char *> {};

TEST_P(SoakTest, AnHourOfRandomAndHostileUse)
{
    const std::uint32_t seed = soak_seed();
    std::printf("soak %s: seed %u (KELTO_SOAK_SEED repeats it)\n", GetParam(), seed);
    Soak soak{GetParam(), std::mt19937(seed), nullptr, {}, 0, 0, 0};
    soak.boot();
    // Mostly short gaps, between the keys of a menu, and now and then a
    // long one, as a board left alone on a desk.
    std::exponential_distribution<double> short_gap(1 / 0.3), long_gap(1 / 150.0);
    while (soak.board_time < soak_seconds && !testing::Test::HasFatalFailure()) {
        soak.act();
        soak.run(soak.random() % 3 == 0 ? long_gap(soak.random) : short_gap(soak.random) + 0.001);
        soak.check_life();
    }
    if (!soak.machine->main_returned())
        soak.expect_menu_answers();
    std::printf("soak %s: %.0f s of board time, %d boots\n", GetParam(), soak.board_time, soak.boots);
}

INSTANTIATE_TEST_SUITE_P(Images, SoakTest, testing::Values("consolefw-64", "consolefw-24", "pollfw-64", "greetfw"),
                         [](const testing::TestParamInfo<const char *> &info) { return test_name(info.param); });

}  // namespace
