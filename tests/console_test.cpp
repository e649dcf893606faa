// End to end: the delivered console images of both boards, driven through the
// serial console and the buttons the way a person at a terminal would, and
// judged by the bytes on the line, when they left it, and the registers
// touched on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "device_fixture.hpp"
#include "harness.hpp"

namespace kelto::test {
namespace {

using sim::Button;

const BoardWiring &wiring_of(int board)
{
    return board == 64 ? board64 : board24;
}

// Timer block registers.
constexpr std::uint32_t TCFG0 = 0x00, TCFG1 = 0x04, TCON = 0x08, TCNTB4 = 0x3C, timer_block_size = 0x44;
constexpr std::uint32_t tcntb(unsigned timer) { return 0x0C + 12 * timer; }
constexpr std::uint32_t tcmpb(unsigned timer) { return 0x10 + 12 * timer; }
constexpr unsigned tcon_shift(unsigned timer) { return timer == 0 ? 0 : 4 + 4 * timer; }
// Timer 4's start and auto-reload: the delays' time base, running from start-up on.
constexpr std::uint32_t tcon_time_base_bits = 0x7u << 20;
constexpr std::uint32_t tcon_time_base_running = 0x5u << 20;

// UART registers.
constexpr std::uint32_t ULCON = 0x00, UCON = 0x04, UFCON = 0x08, UFSTAT = 0x18, UTXH = 0x20, UBRDIV = 0x28,
                        uart_block_size = 0x30;

constexpr std::uint32_t gpio_block_size = 0x1000;

// Pin function codes of 2-bit fields.
constexpr std::uint32_t gpio_input = 0, gpio_output = 1, gpio_alt1 = 2;

// The simulated timer lets a busy-wait delay run over by at most this
// fraction of the time asked for; it never lets one end early.
constexpr double delay_overshoot = 0.016;
// The first count a delay sees pass may be only part of a microsecond.
constexpr double partial_tick = 1e-6;
// Instructions around a delay (a scan, a printf into an empty FIFO) take
// microseconds at these clock rates; this is generous.
constexpr double cpu_slack = 100e-6;

const std::string splash = "\r\nKelto Firmware - 13:57:30 Feb 11 2011\r\n\r\n";
const std::string main_menu = "\r\nMain menu\r\n1> Button Test\r\n2> Timer Test\r\n3> LCD Backlight Test\r\nx> Exit\r\n";
const std::string backlight_menu =
    "\r\nLCD Backlight Control\r\n1> Step Up LCD Brightness\r\n2> Step Down LCD Brightness\r\nx> Exit to back\r\n";
const std::string button_prompt = "To exit button test, press any key (in keyboard)\r\n";
const std::string no_item = "No item\r\n";

// A key's echo as it reaches the line: the byte raw, except that a line feed
// key goes out as CR LF like every other line feed.
std::string echo(char key)
{
    return (key == '\n' ? std::string("\r\n") : std::string(1, key)) + " is selected\r\n";
}

std::string delay_line(int pass)
{
    return "1 Second Delay Test " + std::to_string(pass) + "\r\n";
}

const char *button_line(Button button)
{
    switch (button) {
    case Button::up: return "Up key pressed\r\n";
    case Button::down: return "Down key pressed\r\n";
    case Button::left: return "Left key pressed\r\n";
    case Button::right: return "Right key pressed\r\n";
    }
    return "";
}

std::string repeat(const std::string &text, int times)
{
    std::string result;
    for (int i = 0; i < times; i++)
        result += text;
    return result;
}

std::string board_name(const ::testing::TestParamInfo<int> &info)
{
    return "board" + std::to_string(info.param);
}

std::vector<Access> in_range(const std::vector<Access> &accesses, std::uint32_t base, std::uint32_t size)
{
    std::vector<Access> result;
    for (const Access &access : accesses)
        if (access.address >= base && access.address - base < size)
            result.push_back(access);
    return result;
}

// A register write as listing() shows it.
std::string written(std::uint32_t address, std::uint32_t value)
{
    return listing({Access{0, 0, address, value, true}})[0];
}

std::uint32_t field(std::uint32_t word, unsigned shift, std::uint32_t mask = 0xF)
{
    return (word >> shift) & mask;
}

// A session on one board, from load through start-up to the first key wait.
class Console : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        wiring_ = &wiring_of(GetParam());
        machine_ = load(wiring_->console_image);
        const RunResult result = run_until_waiting(*machine_);
        ASSERT_EQ(result.reason, StopReason::waiting_for_input) << describe(result);
        ASSERT_EQ(machine_->console_output(), splash + main_menu);
    }

    Machine &m() { return *machine_; }
    const BoardWiring &w() const { return *wiring_; }
    std::size_t mark() const { return machine_->console_output().size(); }

    // Types keys and runs until the firmware waits for the next one with
    // all its output sent; returns what it printed meanwhile.
    std::string type(std::string_view keys, double max_seconds = 30)
    {
        const std::size_t from = mark();
        m().feed_console(keys);
        const RunResult result = run_until_waiting(m(), max_seconds);
        EXPECT_EQ(result.reason, StopReason::waiting_for_input) << describe(result);
        return output_since(m(), from);
    }

    // When a console byte finished on the line, in seconds of board time.
    double sent_at(std::size_t index)
    {
        return m().clock().to_seconds(m().console().output_times().at(index));
    }
    double frame_seconds() { return m().clock().to_seconds(m().console().frame_time()); }

    std::vector<Access> timer_accesses() { return in_range(m().accesses(), w().timer_base, timer_block_size); }
    std::vector<Access> gpio_accesses() { return in_range(m().accesses(), w().gpio_base, gpio_block_size); }

    const BoardWiring *wiring_ = nullptr;
    std::unique_ptr<Machine> machine_;
};

INSTANTIATE_TEST_SUITE_P(Boards, Console, ::testing::Values(64, 24), board_name);

// ---------------------------------------------------------------- start-up

TEST_P(Console, StartUpPrintsSplashAndMenuThenWaitsForAKey)
{
    // SetUp checked the byte stream; nothing more follows however long the
    // firmware is left alone.
    const std::size_t from = mark();
    RunLimits limits;
    limits.seconds = 5;
    limits.until_waiting = false;
    const RunResult result = m().run(limits);
    EXPECT_EQ(result.reason, StopReason::time_limit) << describe(result);
    EXPECT_EQ(output_since(m(), from), "");
    EXPECT_FALSE(m().main_returned());
}

TEST_P(Console, StartUpProgramsTimerThenUartThenButtonsThenBacklight)
{
    const std::vector<Access> &log = m().accesses();
    const std::uint32_t t = w().timer_base, u = w().uart1;
    const std::vector<std::string> expected_head = {
        // Timer 4 loaded with its reload value and started; timers 0-3 stopped.
        written(t + TCFG0, 0x2000),
        written(t + TCFG1, w().tcfg1),
        written(t + TCNTB4, w().reload),
        written(t + TCON, 0x00200000),
        written(t + TCON, 0x00500000),
        // Console UART: 8N1, polled, FIFOs reset, 115200 baud from PCLK.
        written(u + ULCON, 0x03),
        written(u + UCON, 0x805),
        written(u + UFCON, 0x77),
        written(u + UBRDIV, 34),
    };
    ASSERT_GE(log.size(), expected_head.size() + 14);
    EXPECT_EQ(listing({log.begin(), log.begin() + static_cast<std::ptrdiff_t>(expected_head.size())}), expected_head);

    // Then read-modify-writes of whole words, each write derived from the
    // read just before it.
    struct Change {
        std::uint32_t address;
        std::uint32_t clear;
        std::uint32_t set;
        const char *what;
    };
    const unsigned enable_shift = 2 * w().enable_pin, pwm_shift = 2 * w().pwm_pin;
    const std::vector<Change> changes = {
        {w().button_config, 3u << 0, gpio_input << 0, "button pin 0 to input"},
        {w().button_config, 3u << 2, gpio_input << 2, "button pin 1 to input"},
        {w().button_config, 3u << 4, gpio_input << 4, "button pin 2 to input"},
        {w().button_config, 3u << 6, gpio_input << 6, "button pin 3 to input"},
        {w().enable_config, 3u << enable_shift, gpio_output << enable_shift, "backlight enable pin to output"},
        {w().enable_data, 1u << w().enable_pin, 1u << w().enable_pin, "backlight enable pin high"},
        {w().pwm_config, 3u << pwm_shift, gpio_alt1 << pwm_shift, "PWM pin to its timer function"},
    };
    std::size_t at = expected_head.size();
    for (const Change &change : changes) {
        SCOPED_TRACE(change.what);
        const Access &read = log[at++];
        const Access &write = log[at++];
        EXPECT_FALSE(read.write);
        EXPECT_EQ(read.address, change.address);
        EXPECT_TRUE(write.write);
        EXPECT_EQ(write.address, change.address);
        EXPECT_EQ(write.value, (read.value & ~change.clear) | change.set);
    }

    // The rest of start-up is printing and waiting on the console alone: no
    // other device, and not the PWM channel, which the first step programs.
    for (std::size_t i = at; i < log.size(); i++) {
        const Access &access = log[i];
        const bool console = (access.write && access.address == u + UTXH) || (!access.write && access.address == u + UFSTAT);
        EXPECT_TRUE(console) << "access " << i << ": " << listing({access})[0];
    }
}

// --------------------------------------------------------------- main menu

TEST_P(Console, CarriageReturnAndLineFeedGetTwoNoItemAnswers)
{
    EXPECT_EQ(type("\r\n"), echo('\r') + no_item + main_menu + echo('\n') + no_item + main_menu);
}

TEST_P(Console, LowerCaseXEndsMainWithZeroAndNothingAfterTheEcho)
{
    m().clear_accesses();
    const std::size_t from = mark();
    m().feed_console("x");
    const RunResult result = run_to_end(m());
    ASSERT_EQ(result.reason, StopReason::returned) << describe(result);
    EXPECT_EQ(result.value, 0u);
    EXPECT_EQ(output_since(m(), from), echo('x'));
    // Devices are left as they are: no access but the key read and the echo.
    for (const Access &access : m().accesses())
        EXPECT_TRUE(access.address >= w().uart1 && access.address - w().uart1 < uart_block_size) << listing({access})[0];
}

TEST_P(Console, KeysTypedTogetherAreHandledOneByOneInOrder)
{
    EXPECT_EQ(type("X3x"), echo('X') + no_item + main_menu + echo('3') + backlight_menu + echo('x') + main_menu);
}

std::string key_name(char key)
{
    char name[8];
    std::snprintf(name, sizeof name, "0x%02X", static_cast<unsigned char>(key));
    return name;
}

// Every byte value that is not a menu entry, each typed into the menu the
// last one left: echoed raw, then "No item", and no device touched.
TEST_P(Console, OtherKeysAreEchoedRawAndAnsweredWithNoItem)
{
    for (const char key : {'X', '\r', '\n', '\x00', '\x80', '\xFF', '\x1B', '0', '4', 'y'}) {
        SCOPED_TRACE("key " + key_name(key));
        m().clear_accesses();
        EXPECT_EQ(type(std::string_view(&key, 1)), echo(key) + no_item + main_menu);
        EXPECT_TRUE(timer_accesses().empty());
        EXPECT_TRUE(gpio_accesses().empty());
    }
}

// ------------------------------------------------------------- button test

std::string pass_text(unsigned held)
{
    std::string text;
    for (Button button : sim::all_buttons)
        if (held & (1u << static_cast<unsigned>(button)))
            text += button_line(button);
    return text;
}

class ButtonScreen : public Console {
protected:
    // Runs the button test for ten passes with the buttons of the mask
    // held and ends it with a key: one line per held button per pass, in
    // the fixed order, each pass ending in a 50 ms pause.
    void expect_passes(unsigned held);
};
INSTANTIATE_TEST_SUITE_P(Boards, ButtonScreen, ::testing::Values(64, 24), board_name);

void ButtonScreen::expect_passes(unsigned held)
{
    for (Button button : sim::all_buttons)
        m().set_button(button, held & (1u << static_cast<unsigned>(button)));
    const std::string pass = pass_text(held);
    // The pass's last line, that of the highest button held.
    const std::string last_line = button_line(static_cast<Button>(31 - __builtin_clz(held)));

    const std::size_t from = mark();
    m().feed_console("1");
    constexpr int passes = 10;
    for (int i = 0; i < passes; i++)
        ASSERT_EQ(run_until_text(m(), last_line, 1).reason, StopReason::output_seen) << "pass " << i;
    ASSERT_EQ(output_since(m(), from), echo('1') + button_prompt + repeat(pass, passes));

    // Pass boundaries by time: the lines of one pass go out back to back, and
    // passes are one pause plus the pass's own work apart.
    const std::size_t first = from + echo('1').size() + button_prompt.size();
    const double prompt_end = sent_at(first - 1);
    const double pass_bytes = static_cast<double>(pass.size());
    // What does not fit the transmit FIFO and shift register holds the pass up.
    const double print_wait = std::max(0.0, pass_bytes - 65) * frame_seconds();
    double previous_end = 0;
    for (int i = 0; i < passes; i++) {
        const std::size_t begin = first + static_cast<std::size_t>(i) * pass.size();
        const double start = sent_at(begin);
        const double end = sent_at(begin + pass.size() - 1);
        SCOPED_TRACE("pass " + std::to_string(i));
        // Back to back: no pause inside a pass.
        EXPECT_LT(end - start, (pass_bytes + 1) * frame_seconds());
        if (i == 0) {
            // The first scan comes before the first pause.
            EXPECT_LT(start - prompt_end, 2 * frame_seconds() + cpu_slack);
        } else if (i > 1) {
            // From the second pass on each starts with the line idle, so the
            // spacing of the passes' last bytes is that of the passes; the
            // first pass's lines queued behind the prompt.
            const double period = end - previous_end;
            EXPECT_GE(period, 0.050);
            EXPECT_LE(period, 0.050 * (1 + delay_overshoot) + print_wait + cpu_slack);
        }
        previous_end = end;
    }

    // A byte ends the test at the start of the next pass: not echoed, and no
    // further line even though the buttons are still held.
    EXPECT_EQ(type("q"), main_menu);
    EXPECT_EQ(m().console().overruns(), 0u);
}

TEST_P(ButtonScreen, ReportsHeldButtonsOncePerPassInFixedOrder)
{
    // One button each, then several held together.
    for (const unsigned held : {0x1u, 0x2u, 0x4u, 0x8u, 0xFu, 0x9u, 0x6u, 0xAu}) {
        SCOPED_TRACE("held mask " + std::to_string(held));
        ASSERT_NO_FATAL_FAILURE(expect_passes(held));
    }
}


TEST_P(ButtonScreen, IsSilentWithoutButtonsAndStopsReportingOnRelease)
{
    const std::size_t from = mark();
    m().feed_console("1");
    run_for(m(), 1.0);
    EXPECT_EQ(output_since(m(), from), echo('1') + button_prompt);

    // Held, then released right after a report: the level is read afresh in
    // every pass, nothing is latched.
    m().set_button(Button::left, true);
    run_until_text(m(), button_line(Button::left), 1);
    m().set_button(Button::left, false);
    const std::size_t released = mark();
    run_for(m(), 1.0);
    EXPECT_EQ(output_since(m(), released), "");

    // Only the first byte ends the test; the next is a main menu key.
    EXPECT_EQ(type("q3"), main_menu + echo('3') + backlight_menu);
}

TEST_P(ButtonScreen, ByteWaitingAtStartEndsTestAfterThePromptAlone)
{
    // Held throughout: a pass that got as far as scanning would report it.
    m().set_button(Button::up, true);
    // Typed at line rate, a byte right behind the '1' comes in only after
    // the first check; here the answer to 'X' fills the transmit FIFO, so
    // "1\r" has arrived before the '1' is read.
    EXPECT_EQ(type("X1\r"), echo('X') + no_item + main_menu + echo('1') + button_prompt + main_menu);
}

TEST_P(ButtonScreen, LineFeedAfterTheEndingByteIsReadByTheMainMenu)
{
    EXPECT_EQ(type("1\r\n"), echo('1') + button_prompt + main_menu + echo('\n') + no_item + main_menu);
}

// -------------------------------------------------------------- timer test

class TimerTest : public Console {};
INSTANTIATE_TEST_SUITE_P(Boards, TimerTest, ::testing::Values(64, 24), board_name);

std::string ten_delay_lines()
{
    std::string text;
    for (int pass = 0; pass < 10; pass++)
        text += delay_line(pass);
    return text;
}

TEST_P(TimerTest, PrintsTenLinesOneSecondApart)
{
    const std::size_t from = mark();
    ASSERT_EQ(type("2"), echo('2') + ten_delay_lines() + main_menu);

    // First bytes compared: each was written to an idle transmitter, so
    // their spacing is the firmware's, not the line's.
    double previous = sent_at(from);
    std::size_t at = from + echo('2').size();
    for (int pass = 0; pass < 10; pass++) {
        SCOPED_TRACE("line " + std::to_string(pass));
        const double start = sent_at(at);
        EXPECT_GE(start - previous, 1.0 - partial_tick);
        EXPECT_LE(start - previous, 1.0 * (1 + delay_overshoot) + cpu_slack);
        previous = start;
        at += delay_line(pass).size();
    }
}

TEST_P(TimerTest, KeysTypedDuringTheTestAreHandledAfterwardsInOrder)
{
    m().feed_console_when(delay_line(3), "2");
    m().feed_console_when(delay_line(6), "X3");
    const std::string out = type("2", 60);
    EXPECT_EQ(out, echo('2') + ten_delay_lines() + main_menu + echo('2') + ten_delay_lines() + main_menu + echo('X') +
                       no_item + main_menu + echo('3') + backlight_menu);
    EXPECT_EQ(m().console().overruns(), 0u);
}

// --------------------------------------------------------- backlight screen

class Backlight : public Console {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(Console::SetUp());
        ASSERT_EQ(type("3"), echo('3') + backlight_menu);
    }

    // One key on the backlight screen: echoed, the screen's menu again, and
    // no "No item" ever.
    std::vector<Access> key(char c)
    {
        m().clear_accesses();
        EXPECT_EQ(type(std::string_view(&c, 1)), echo(c) + backlight_menu);
        return timer_accesses();
    }

    // One brightness change on the backlight's timer: stop, configure with
    // period 1000 and the compare value (auto-reload, not inverted), then
    // load and start from one reading of TCON.
    void expect_step(const std::vector<Access> &accesses, std::uint32_t compare)
    {
        const std::uint32_t t = w().timer_base, n = w().backlight_channel;
        const unsigned shift = tcon_shift(n);
        const std::uint32_t own = 0xFu << shift;
        ASSERT_EQ(accesses.size(), 9u) << ::testing::PrintToString(listing(accesses));
        const std::vector<std::pair<std::uint32_t, bool>> shape = {
            {t + TCON, false}, {t + TCON, true},  {t + tcntb(n), true}, {t + tcmpb(n), true}, {t + TCON, false},
            {t + TCON, true},  {t + TCON, false}, {t + TCON, true},     {t + TCON, true},
        };
        for (std::size_t i = 0; i < shape.size(); i++) {
            EXPECT_EQ(accesses[i].address, shape[i].first) << "access " << i;
            EXPECT_EQ(accesses[i].write, shape[i].second) << "access " << i;
        }
        // Stop: the start bit alone.
        EXPECT_EQ(accesses[1].value, accesses[0].value & ~(1u << shift));
        EXPECT_EQ(accesses[2].value, 1000u);
        EXPECT_EQ(accesses[3].value, compare);
        // Configure: the whole field replaced by auto-reload.
        EXPECT_EQ(accesses[5].value, (accesses[4].value & ~own) | (0x8u << shift));
        // Start: manual update, then start with the update bit as read.
        EXPECT_EQ(accesses[7].value, accesses[6].value | (0x2u << shift));
        EXPECT_EQ(accesses[8].value, accesses[6].value | (0x1u << shift));
        EXPECT_EQ(field(accesses[8].value, shift), 0x9u);
        // The delays' time base keeps running through every write.
        for (const Access &access : accesses) {
            if (access.write && access.address == t + TCON) {
                EXPECT_EQ(access.value & tcon_time_base_bits, tcon_time_base_running) << listing({access})[0];
            }
        }
    }
};
INSTANTIATE_TEST_SUITE_P(Boards, Backlight, ::testing::Values(64, 24), board_name);

TEST_P(Backlight, StepsThroughBothLimits)
{
    // Full brightness at start: the first step down gives 90 %.
    for (std::uint32_t percent = 90;; percent -= 10) {
        SCOPED_TRACE("down to " + std::to_string(percent));
        ASSERT_NO_FATAL_FAILURE(expect_step(key('2'), percent * 10));
        if (percent == 0)
            break;
    }
    EXPECT_TRUE(key('2').empty()) << "a step down at 0 %";
    for (std::uint32_t percent = 10; percent <= 100; percent += 10) {
        SCOPED_TRACE("up to " + std::to_string(percent));
        // Full brightness stays one count short of the period.
        ASSERT_NO_FATAL_FAILURE(expect_step(key('1'), percent == 100 ? 999 : percent * 10));
    }
    EXPECT_TRUE(key('1').empty()) << "a step up at 100 %";
    EXPECT_TRUE(gpio_accesses().empty());
}

TEST_P(Backlight, BrightnessOutlivesTheScreen)
{
    ASSERT_NO_FATAL_FAILURE(expect_step(key('2'), 900));
    ASSERT_EQ(type("x3"), echo('x') + main_menu + echo('3') + backlight_menu);
    ASSERT_NO_FATAL_FAILURE(expect_step(key('1'), 999));
    EXPECT_TRUE(key('1').empty());
}

TEST_P(Backlight, ExitReturnsToMainMenu)
{
    EXPECT_EQ(type("x"), echo('x') + main_menu);
    m().feed_console("x");
    const RunResult result = run_to_end(m());
    EXPECT_EQ(result.reason, StopReason::returned);
    EXPECT_EQ(result.value, 0u);
}

// Keys without an entry on the backlight screen, and '1' at full brightness:
// the echo and the menu, nothing else, and no device touched.
TEST_P(Backlight, OtherKeysGiveOnlyTheEchoAndTheMenu)
{
    for (const char c : {'1', 'X', '3', '\r', '\n', '\x00', '\xFF'}) {
        SCOPED_TRACE("key " + key_name(c));
        EXPECT_TRUE(key(c).empty()) << ::testing::PrintToString(listing(timer_accesses()));
        EXPECT_TRUE(gpio_accesses().empty());
    }
}

}  // namespace
}  // namespace kelto::test
