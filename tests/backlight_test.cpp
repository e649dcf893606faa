// The LCD backlight on both boards: what the firmware programs for each
// brightness, and what the board then shows.
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device_fixture.hpp"

namespace kelto::test {
namespace {

class Backlight : public DeviceTest {
protected:
    // Brought up as the console does it: timers first, backlight last.
    void bring_up()
    {
        call(machine(), "kelto_timer_init");
        call(machine(), "kelto_backlight_init");
        forget();
    }

    void step_up() { call(machine(), "kelto_backlight_stepup"); }
    void step_down() { call(machine(), "kelto_backlight_stepdown"); }
    void set_brightness(int percent) { call(machine(), "kelto_backlight_set_brightness", {word(percent)}); }

    // The driver's file-local brightness in percent.
    int brightness()
    {
        for (const sim::Symbol &symbol : machine().image().symbols())
            if (!symbol.function && (symbol.name == "brightness" || symbol.name.ends_with("10brightnessE")))
                return static_cast<int>(machine().read_word(symbol.address));
        ADD_FAILURE() << "no brightness variable in " << machine().image().path();
        return INT_MIN;
    }

    // Compare values written to the backlight's channel since the last
    // forget().
    std::vector<std::uint32_t> compares_written()
    {
        std::vector<std::uint32_t> values;
        for (const Access &access : machine().accesses())
            if (access.write && access.address == wiring().tcmpb(wiring().backlight_channel))
                values.push_back(access.value);
        return values;
    }
};

INSTANTIATE_TEST_SUITE_P(Boards, Backlight, ::testing::Values(board64, board24), board_name);

TEST_P(Backlight, InitLightsTheEnableLineAndGivesThePinToTheTimer)
{
    EXPECT_EQ(machine().backlight_percent(), 0) << "dark before the enable line is driven";
    call(machine(), "kelto_timer_init");
    forget();
    call(machine(), "kelto_backlight_init");

    std::vector<std::uint32_t> words;
    for (const Access &access : machine().accesses())
        words.push_back(access.address);
    EXPECT_EQ(words, (std::vector<std::uint32_t>{wiring().enable_config, wiring().enable_config, wiring().enable_data,
                                                 wiring().enable_data, wiring().pwm_config, wiring().pwm_config}));
    EXPECT_EQ(gpio().pin_function(wiring().enable()), sim::GpioBlock::function_output);
    EXPECT_EQ(gpio().output_level(wiring().enable()), true);
    EXPECT_EQ(gpio().pin_function(wiring().pwm()), sim::GpioBlock::function_alt1);

    // The channel is not programmed yet, though the driver counts the
    // brightness as full.
    EXPECT_FALSE(timer().state(word(wiring().backlight_channel)).started);
    EXPECT_EQ(machine().backlight_percent(), std::nullopt);
    EXPECT_EQ(brightness(), 100);
}

TEST_P(Backlight, StepsAtTheLimitsTouchNothing)
{
    bring_up();
    step_up();
    EXPECT_TRUE(machine().accesses().empty()) << ::testing::PrintToString(listing(machine().accesses()));
    EXPECT_EQ(brightness(), 100);

    set_brightness(0);
    forget();
    step_down();
    EXPECT_TRUE(machine().accesses().empty()) << ::testing::PrintToString(listing(machine().accesses()));
    EXPECT_EQ(brightness(), 0);
}

TEST_P(Backlight, TenStepsDownAndTenUp)
{
    bring_up();
    for (int percent = 90; percent >= 0; percent -= 10) {
        SCOPED_TRACE(percent);
        forget();
        step_down();
        EXPECT_EQ(compares_written(), (std::vector<std::uint32_t>{word(percent * 10)}));
        EXPECT_EQ(brightness(), percent);
        EXPECT_EQ(machine().backlight_percent(), percent);
    }
    forget();
    step_down();
    EXPECT_TRUE(machine().accesses().empty());

    for (int percent = 10; percent <= 100; percent += 10) {
        SCOPED_TRACE(percent);
        forget();
        step_up();
        EXPECT_EQ(compares_written(), (std::vector<std::uint32_t>{word(percent == 100 ? 999 : percent * 10)}));
        EXPECT_EQ(brightness(), percent);
        EXPECT_EQ(machine().backlight_percent(), percent);
    }
}

TEST_P(Backlight, SetBrightnessClampsToTheRange)
{
    bring_up();
    struct Case {
        int asked, stored;
        std::uint32_t compare;
    };
    for (const Case &c : {Case{150, 100, 999}, Case{101, 100, 999}, Case{-5, 0, 0}, Case{INT_MIN, 0, 0},
                          Case{1, 1, 10}}) {
        SCOPED_TRACE(c.asked);
        forget();
        set_brightness(c.asked);
        EXPECT_EQ(compares_written(), (std::vector<std::uint32_t>{c.compare}));
        EXPECT_EQ(brightness(), c.stored);
        EXPECT_EQ(machine().backlight_percent(), c.stored);
    }
}

TEST_P(Backlight, StepsUpFromAnOddSettingEndAtFull)
{
    bring_up();
    set_brightness(55);
    forget();
    for (int step = 0; step < 6; step++)
        step_up();
    EXPECT_EQ(compares_written(), (std::vector<std::uint32_t>{650, 750, 850, 950, 999}));
    EXPECT_EQ(brightness(), 100);
}

// Each change: stop, then program period and compare with auto-reload, then
// load and start, all on the backlight's channel and nowhere else.
TEST_P(Backlight, ChangeStopsProgramsAndRestartsTheChannel)
{
    bring_up();
    set_brightness(70);
    const std::uint32_t running = peek(wiring().tcon());
    const unsigned shift = wiring().backlight_channel == 1 ? 8 : 16;
    ASSERT_EQ((running >> shift) & 0xF, 0x9u);

    forget();
    set_brightness(40);
    const std::uint32_t stopped = running & ~(0x1u << shift);
    const std::uint32_t configured = (running & ~(0xFu << shift)) | (0x8u << shift);
    const std::uint32_t tcon = wiring().tcon();
    EXPECT_EQ(listing(machine().accesses()),
              listing({
                  read_of(tcon, running),
                  write_of(tcon, stopped),
                  write_of(wiring().tcntb(wiring().backlight_channel), 1000),
                  write_of(wiring().tcmpb(wiring().backlight_channel), 400),
                  read_of(tcon, stopped),
                  write_of(tcon, configured),
                  read_of(tcon, configured),
                  write_of(tcon, configured | (0x2u << shift)),
                  write_of(tcon, configured | (0x1u << shift)),
              }));
    EXPECT_TRUE(timer().state(4).counting) << "the time base runs on";
}

TEST_P(Backlight, BoardShowsWhatThePinsAndTheChannelMake)
{
    bring_up();
    std::vector<std::optional<int>> shown;
    machine().watch_backlight([&](std::optional<int> percent) { shown.push_back(percent); });

    step_down();
    EXPECT_EQ(shown, (std::vector<std::optional<int>>{90}));
    // Dark for the few instructions the channel is stopped.
    step_down();
    EXPECT_EQ(shown, (std::vector<std::optional<int>>{90, 0, 80}));

    shown.clear();
    call(machine(), "kelto_gpio_set_val", {wiring().enable_port, wiring().enable_pin, 0});
    call(machine(), "kelto_gpio_set_val", {wiring().enable_port, wiring().enable_pin, 1});
    EXPECT_EQ(shown, (std::vector<std::optional<int>>{0, 80}));

    // As a plain output the pin holds its latch, low after reset.
    shown.clear();
    call(machine(), "kelto_timer_pwm_enable", {wiring().backlight_channel, wiring().pwm_port, wiring().pwm_pin, 0});
    EXPECT_EQ(machine().backlight_percent(), 0);
    call(machine(), "kelto_gpio_set_val", {wiring().pwm_port, wiring().pwm_pin, 1});
    EXPECT_EQ(machine().backlight_percent(), 100);
    call(machine(), "kelto_timer_pwm_enable", {wiring().backlight_channel, wiring().pwm_port, wiring().pwm_pin, 1});
    EXPECT_EQ(shown, (std::vector<std::optional<int>>{0, 100, 80}));

    // The inverter swaps the levels; a stopped channel leaves the input idle.
    call(machine(), "kelto_timer_configure", {wiring().backlight_channel, 1000, 300, 1, 1});
    call(machine(), "kelto_timer_start", {wiring().backlight_channel});
    EXPECT_EQ(machine().backlight_percent(), 70);
    call(machine(), "kelto_timer_stop", {wiring().backlight_channel});
    EXPECT_EQ(machine().backlight_percent(), 0);
}

TEST_P(Backlight, ConsoleBacklightScreenStepsTheBoard)
{
    auto console = load(wiring().console_image);
    run_until_waiting(*console);
    EXPECT_EQ(console->backlight_percent(), std::nullopt);
    console->feed_console("3");
    run_until_waiting(*console);
    console->feed_console("2");
    run_until_waiting(*console);
    EXPECT_EQ(console->backlight_percent(), 90);
    console->feed_console("22");
    run_until_waiting(*console);
    EXPECT_EQ(console->backlight_percent(), 70);
    console->feed_console("1");
    run_until_waiting(*console);
    EXPECT_EQ(console->backlight_percent(), 80);
}

}  // namespace
}  // namespace kelto::test
