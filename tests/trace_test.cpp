// What keltosim shows a firmware developer beyond the console: the register
// trace, the figures of a run and the waveforms.
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "frontends/stats.hpp"
#include "frontends/trace.hpp"
#include "frontends/vcd.hpp"
#include "harness.hpp"
#include "models/gpio.hpp"
#include "models/timer.hpp"

using namespace kelto::test;
using kelto::sim::Device;
using kelto::sim::TimerBlock;
using kelto::sim::UartChannel;
using kelto::sim::frontend::Stats;
using kelto::sim::frontend::Trace;
using kelto::sim::frontend::Vcd;

namespace {

bool has(const std::string &line, const std::string &text)
{
    return line.find(text) != std::string::npos;
}

std::vector<std::string> file_lines(const std::string &path)
{
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        lines.push_back(line);
    return lines;
}

std::size_t count_containing(const std::vector<std::string> &lines, const std::string &text)
{
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::string &line) { return has(line, text); }));
}

std::vector<std::string> greeting_trace(const std::string &filter)
{
    auto m = load("greetfw");
    const std::string path = testing::TempDir() + "greetfw.trace";
    {
        Trace trace(path);
        trace.attach(*m);
        trace.enable(filter);
        run_to_end(*m);
    }
    return file_lines(path);
}

TEST(Trace, NamesFunctionsShowsCharactersAndWordsAndKeepsWhatTheFilterNames)
{
    const std::vector<std::string> all = greeting_trace("");
    // A status read and a write of 'l' each repeat once with the same value.
    ASSERT_EQ(all.size(), 4u + 2 * 39 - 2);
    EXPECT_TRUE(has(all[0], "kelto_uart_init+0x")) << all[0];
    EXPECT_TRUE(has(all[0], "UART1 ULCON") && all[0].ends_with("8N1")) << all[0];
    EXPECT_TRUE(all[1].ends_with("receiver off -> polling, transmitter off -> polling")) << all[1];
    EXPECT_TRUE(all[3].ends_with("117857 bit/s")) << all[3];
    EXPECT_EQ(count_containing(all, "kelto_uart_write+0x"), 2u * 39 - 2);
    EXPECT_EQ(count_containing(all, "'H'"), 3u);
    EXPECT_EQ(count_containing(all, "'\\n'"), 3u);

    const std::vector<std::string> named = greeting_trace("ulcon,UBRDIV");
    ASSERT_EQ(named.size(), 2u);
    EXPECT_TRUE(has(named[0], "ULCON") && has(named[1], "UBRDIV"));
    EXPECT_EQ(greeting_trace("uart").size(), all.size());
    EXPECT_THROW(greeting_trace("GPNCON"), std::invalid_argument);  // board 64's port N only
}

// Long names (send_raw's parameters, its namespace) are cut, so every
// line's register stands in one column.
TEST(Trace, LongNamesKeepTheColumns)
{
    auto m = load("consolefw-64");
    const std::string path = testing::TempDir() + "console.trace";
    {
        Trace trace(path);
        trace.attach(*m);
        trace.enable("uart1");
        run_until_waiting(*m);
    }
    const std::vector<std::string> lines = file_lines(path);
    EXPECT_GT(count_containing(lines, "  send_raw+0x18   "), 0u);
    for (const std::string &line : lines)
        ASSERT_EQ(line.find(" UART1 "), 44u) << line;
}

// Every control register's words, from the models' reset state.
TEST(Trace, ControlRegisterWritesSayWhatChanges)
{
    struct Case {
        const char *image;
        const char *device;
        std::uint32_t offset, value;
        const char *words;
    };
    const Case cases[] = {
        {"greetfw", "UART1", 0x00, 0x2B, "8E1"},
        {"greetfw", "UART1", 0x04, 0x05, "receiver off -> polling, transmitter off -> polling"},
        {"greetfw", "UART1", 0x08, 0x07, "FIFOs on, receive FIFO emptied, transmit FIFO emptied"},
        {"consolefw-64", "GPIO", 0x830, 0x00040000, "pin 9 input -> output"},
        {"consolefw-64", "GPIO", 0x0E4, 0x00000021, "pin 8 input -> output, pin 9 input -> alt1"},
        {"consolefw-24", "GPIO", 0x010, 0x00000080, "pin 3 input -> alt1"},
        {"consolefw-24", "GPIO", 0x000, 0x0000AAA9, "pin 0 alt1 -> output, pin 0 high"},
        {"consolefw-24", "GPIO", 0x004, 0x0000AA2A, "pin 11 alt1 -> output, pin 11 low"},
        {"consolefw-64", "PWM timers", 0x00, 0x00002000, "prescaler 1 (timers 2-4) 0 -> 32"},
        {"consolefw-64", "PWM timers", 0x04, 0x00000010, "timer 1 divider /1 -> /2"},
        {"consolefw-24", "PWM timers", 0x04, 0x00000001, "timer 0 divider /2 -> /4"},
        {"consolefw-64", "PWM timers", 0x08, 0x00000D00, "timer 1 start, auto-reload, inverter on"},
        {"consolefw-64", "PWM timers", 0x08, 0x00600000, "timer 4 manual update, auto-reload"},
    };
    for (const Case &c : cases) {
        auto m = load(c.image);
        const auto devices = m->devices();
        const auto device = std::find_if(devices.begin(), devices.end(),
                                         [&](const Device *d) { return d->name() == c.device; });
        ASSERT_NE(device, devices.end()) << c.device;
        EXPECT_EQ((*device)->describe_write(c.offset, c.value), c.words)
            << c.image << " " << c.device << " +" << c.offset;
    }
}

// What a run of accesses, repeated, folds into: each line ends as given.
TEST(Trace, FoldsOnlyTheSameAccessFromTheSameInstruction)
{
    auto m = load("consolefw-64");
    // Timer 4 counting: its count is a reading that moves on by itself.
    m->timer().write(TimerBlock::TCNTB4, 1000);
    m->timer().write(TimerBlock::TCON, 0x00600000);
    m->timer().write(TimerBlock::TCON, 0x00500000);
    const Device &uart = m->uart(1), &gpio = m->gpio(), &timer = m->timer();
    struct Step {
        const Device *device;
        std::uint32_t offset, pc, value;
        bool write;
    };
    const std::uint32_t gpndat = 0x834, tcnto4 = TimerBlock::tcnto(4), p1 = 0x50080000, p2 = 0x50080010;
    const struct {
        const char *what;
        std::vector<Step> steps;
        int rounds;
        std::vector<std::string> line_ends;
    } cases[] = {
        {"one value from two instructions", {{&gpio, gpndat, p1, 1, false}, {&gpio, gpndat, p2, 1, false}}, 1,
         {"-> 0x00000001", "-> 0x00000001"}},
        {"two keys", {{&uart, UartChannel::URXH, p1, 'a', false}, {&uart, UartChannel::URXH, p1, 'b', false}}, 1,
         {"'a'", "'b'"}},
        {"a poll", {{&uart, UartChannel::UTRSTAT, p1, 6, false}}, 3, {"-> 0x00000006  x3 until 0.000000000"}},
        {"a counter", {{&timer, tcnto4, p1, 9, false}, {&timer, tcnto4, p1, 8, false}}, 1,
         {"-> 0x00000009  x2 until 0.000000000, last 0x00000008"}},
        {"a pin toggled", {{&gpio, gpndat, p1, 0x200, true}, {&gpio, gpndat, p1, 0, true}}, 3,
         {"<- 0x00000200  x3 until 0.000000000", "<- 0x00000000  x3 until 0.000000000"}},
        {"bytes sent", {{&uart, UartChannel::UTXH, p1, 'a', true}, {&uart, UartChannel::UTXH, p1, 'b', true}}, 1,
         {"'a'", "'b'"}},
    };
    for (const auto &c : cases) {
        const std::string path = testing::TempDir() + "fold.trace";
        {
            Trace trace(path);
            trace.attach(*m);
            trace.enable();
            for (int round = 0; round < c.rounds; round++)
                for (const Step &s : c.steps)
                    trace.accessed({0, s.pc, s.device->base() + s.offset, s.value, s.write}, *s.device);
        }
        const std::vector<std::string> lines = file_lines(path);
        ASSERT_EQ(lines.size(), c.line_ends.size()) << c.what;
        for (std::size_t i = 0; i < lines.size(); i++)
            EXPECT_TRUE(lines[i].ends_with(c.line_ends[i])) << c.what << ": " << lines[i];
    }
}

TEST(Trace, StopsAtItsLimitWhileTheRunGoesOn)
{
    auto m = load("greetfw");
    const std::string path = testing::TempDir() + "limited.trace";
    {
        Trace trace(path, 1000);
        trace.attach(*m);
        trace.enable();
        run_to_end(*m);
    }
    EXPECT_EQ(m->console().sent(), 39u);
    const std::vector<std::string> lines = file_lines(path);
    ASSERT_GT(lines.size(), 5u);
    EXPECT_EQ(lines.back(), "trace stopped: it reached its limit of 1000 bytes (--trace-limit); the run went on");
    const std::size_t traced = std::filesystem::file_size(path) - (lines.back().size() + 1);
    EXPECT_LE(traced, 1000u);
    EXPECT_GT(traced, 1000u - lines[0].size());
}

TEST(Stats, CountsWhatTheGreetingSentAndAccessed)
{
    auto m = load("greetfw");
    Stats stats(*m);
    m->clear_accesses();
    run_to_end(*m);
    const std::string report = stats.report();
    EXPECT_TRUE(has(report, "UART1 sent 39 bytes, received 0, lost to overruns 0\n")) << report;
    EXPECT_TRUE(has(report, "UART1 register accesses " + std::to_string(m->accesses().size()) + "\n")) << report;
    EXPECT_TRUE(has(report, "instructions " + std::to_string(m->clock().instructions()) + "\n")) << report;
    EXPECT_GT(stats.deepest_stack(), 0u);
    EXPECT_LT(stats.deepest_stack(), 4096u);
}

// The depth counts from the top of the stack down to the lowest word that
// changed, that word included.
TEST(Stats, DeepestStackIncludesTheLowestWordWritten)
{
    auto m = load("greetfw");
    Stats stats(*m);
    EXPECT_EQ(stats.deepest_stack(), 0u);
    for (std::uint32_t depth : {4u, 12u, 4096u}) {
        m->write_word(m->stack_top() - depth, 0);
        EXPECT_EQ(stats.deepest_stack(), depth);
    }
}

// The VCD's changes of one wire: time in ns and level.
std::vector<std::pair<std::uint64_t, char>> wire_changes(const std::string &path, const std::string &name)
{
    std::string id;
    std::uint64_t time = 0;
    std::vector<std::pair<std::uint64_t, char>> changes;
    for (const std::string &line : file_lines(path)) {
        std::istringstream words(line);
        std::string word, code, wire;
        words >> word;
        if (word == "$var" && words >> word >> word >> code >> wire && wire == name)
            id = code;
        else if (word.starts_with("#"))
            time = std::stoull(word.substr(1));
        else if (!id.empty() && word.size() > 1 && word.substr(1) == id)
            changes.emplace_back(time, word[0]);
    }
    return changes;
}

// Share of [from, to) the wire spends high.
double duty(const std::vector<std::pair<std::uint64_t, char>> &changes, std::uint64_t from, std::uint64_t to)
{
    std::uint64_t high = 0;
    char level = '0';
    std::uint64_t since = from;
    for (const auto &[time, value] : changes) {
        if (time > from && time < to && level == '1')
            high += time - since;
        if (time >= from && time < to)
            since = time;
        if (time < to)
            level = value;
    }
    if (level == '1')
        high += to - std::max(since, from);
    return static_cast<double>(high) / static_cast<double>(to - from);
}

TEST(Vcd, BacklightDutyOnThePwmWireMatchesTheBrightnessSet)
{
    auto m = load("consolefw-64");
    run_until_text(*m, "x> Exit");
    const std::string path = testing::TempDir() + "backlight.vcd";
    std::vector<std::tuple<std::uint64_t, std::uint64_t, int>> windows;
    {
        Vcd vcd(*m, path);
        m->feed_console("3");
        run_until_text(*m, "x> Exit to back");
        for (const char *key : {"2", "2", "2", "1"}) {
            m->feed_console(key);
            run_until_text(*m, "x> Exit to back");
            const std::uint64_t from = m->clock().to_ns(m->clock().now());
            run_for(*m, 0.02);
            windows.emplace_back(from, m->clock().to_ns(m->clock().now()), *m->backlight_percent());
        }
    }
    const auto tout = wire_changes(path, "TOUT1");
    const auto pin = wire_changes(path, "GPF15");
    ASSERT_GT(tout.size(), 100u);
    for (const auto &[from, to, percent] : windows) {
        EXPECT_NEAR(duty(tout, from, to), percent / 100.0, 0.005) << percent << " %";
        EXPECT_NEAR(duty(pin, from, to), percent / 100.0, 0.005) << percent << " %";
    }
    // A period is TCNTB + 1 counts: from one edge to the next but one.
    const TimerBlock::State timer = m->timer().state(1);
    const auto edges = tout.size();
    EXPECT_NEAR(static_cast<double>(tout[edges - 1].first - tout[edges - 3].first),
                (timer.count_buffer + 1) * 1e9 / timer.count_hz, 1.0);
}

}  // namespace
