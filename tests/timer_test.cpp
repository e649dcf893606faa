// The PWM timer driver and the delays, run on both boards in the simulator,
// and the timer block model under them.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "device_fixture.hpp"

namespace kelto::test {
namespace {

// Other timers' bits that the PWM operations must carry through: timer 0
// running inverted with auto-reload, timer 3 running with auto-reload and the
// time base running.
constexpr std::uint32_t busy_tcon = 0x0059000D;

class TimerDriver : public DeviceTest {
protected:
    std::uint32_t configure(int channel, int period, int duty, int invert, int reload)
    {
        return call(machine(), "kelto_timer_configure",
                    {word(channel), word(period), word(duty), word(invert), word(reload)});
    }

    // What kelto_timer_init writes, in order.
    std::vector<Access> init_sequence() const
    {
        return {
            write_of(wiring().tcfg0(), 0x00002000),  write_of(wiring().tcfg1_reg(), wiring().tcfg1),
            write_of(wiring().tcntb4(), wiring().reload), write_of(wiring().tcon(), 0x00200000),
            write_of(wiring().tcon(), 0x00500000),
        };
    }

    // The polling loop is the block that reads the counter most often; every
    // other reading is the first one of a udelay call.
    struct Readings {
        std::size_t total = 0;
        std::size_t udelay_calls = 0;
    };
    Readings counter_readings()
    {
        std::map<std::uint32_t, std::size_t> by_block;
        Readings readings;
        for (const Access &access : machine().accesses())
            if (!access.write && access.address == wiring().tcnto4()) {
                by_block[access.pc]++;
                readings.total++;
            }
        std::size_t most = 0;
        for (const auto &[pc, count] : by_block)
            most = std::max(most, count);
        readings.udelay_calls = readings.total - most;
        return readings;
    }
};

INSTANTIATE_TEST_SUITE_P(Boards, TimerDriver, ::testing::Values(board64, board24), board_name);

// --- Set-up and time base ---------------------------------------------------

TEST_P(TimerDriver, InitProgramsTheBlockInFiveWrites)
{
    call(machine(), "kelto_timer_init");
    EXPECT_EQ(listing(machine().accesses()), listing(init_sequence()));
    const sim::TimerBlock::State base = timer().state(4);
    EXPECT_TRUE(base.counting);
    EXPECT_TRUE(base.auto_reload);
    EXPECT_DOUBLE_EQ(base.count_hz, 1e6);
    for (int pwm = 0; pwm < 4; pwm++) {
        SCOPED_TRACE(pwm);
        EXPECT_FALSE(timer().state(pwm).counting);
        EXPECT_DOUBLE_EQ(timer().state(pwm).count_hz, pwm < 2 ? 33e6 : 1e6);
    }
}

TEST_P(TimerDriver, TimeBaseCountsMicrosecondsDownAndWraps)
{
    init_timers();
    sim::Clock &clock = machine().clock();
    const std::uint32_t first = peek(wiring().tcnto4());
    clock.skip_to(clock.now() + clock.from_seconds(1e-3));
    EXPECT_EQ(peek(wiring().tcnto4()), first - 1000);

    timer().force_count(4, 2);
    clock.skip_to(clock.now() + clock.from_seconds(5e-6));
    EXPECT_EQ(peek(wiring().tcnto4()), wiring().reload - 2);  // 2, 1, 0, R, R-1, R-2
}

TEST_P(TimerDriver, ConsoleSetsUpTheTimersBeforeAnythingElse)
{
    auto console = load(wiring().console_image);
    run_until_waiting(*console);
    const std::vector<Access> &seen = console->accesses();
    ASSERT_GE(seen.size(), 5u);
    EXPECT_EQ(listing({seen.begin(), seen.begin() + 5}), listing(init_sequence()));
    EXPECT_TRUE(console->timer().state(4).counting);
}

// --- Delays -------------------------------------------------------------------

TEST_P(TimerDriver, NothingToWaitForReadsTheCounterOnce)
{
    init_timers();
    const std::pair<const char *, int> calls[] = {
        {"udelay", 0}, {"udelay", -5}, {"udelay", INT_MIN}, {"mdelay", 0}, {"mdelay", -1},
        // Times 1000 this would wrap round to a positive count of microseconds.
        {"mdelay", -2147484},
    };
    for (const auto &[symbol, amount] : calls) {
        SCOPED_TRACE(std::string(symbol) + "(" + std::to_string(amount) + ")");
        forget();
        call(machine(), symbol, {word(amount)});
        const std::vector<Access> seen = timer_accesses();
        ASSERT_EQ(seen.size(), 1u) << ::testing::PrintToString(listing(seen));
        EXPECT_FALSE(seen[0].write);
        EXPECT_EQ(seen[0].address, wiring().tcnto4());
    }
}

// With the time base stopped, the counter shows exactly the scripted values,
// one per reading, and then stays: a wrong step would end the wait a reading
// early or leave it waiting for good.
TEST_P(TimerDriver, EachPassSubtractsTheCountsSeenToPass)
{
    init_timers();
    poke(wiring().tcon(), 0);
    const std::uint32_t top = wiring().reload;
    struct Case {
        const char *what;
        int usec;
        std::vector<std::uint32_t> counts;
    };
    const Case cases[] = {
        {"wrap, 5 counts: enough for 5", 5, {3, top - 1}},
        {"wrap, 5 counts: not enough for 6", 6, {3, top - 1, top - 2}},
        {"through 0 to the top is 1 count", 1, {0, top}},
        {"plain step", 10, {100, 90}},
        {"plain step, not enough", 11, {100, 90, 89}},
        {"no count passed", 1, {7, 7, 7, 6}},
        {"the whole range in one pass", static_cast<int>(std::min<std::uint32_t>(top, INT_MAX)), {top, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        timer().script_counts(4, c.counts);
        forget();
        call(machine(), "udelay", {word(c.usec)}, 1);
        std::vector<Access> expected;
        for (std::uint32_t count : c.counts)
            expected.push_back(read_of(wiring().tcnto4(), count));
        EXPECT_EQ(listing(timer_accesses()), listing(expected));
    }
}

TEST_P(TimerDriver, DelaysLastTheirTimeOnTheBoardClock)
{
    init_timers();
    // At least the time asked for less the partial first count, and no more
    // than the simulator's busy-wait acceleration adds (1/64, at most 1 ms).
    const double udelay_100 = timed_call("udelay", {100});
    EXPECT_GE(udelay_100, 99e-6);
    EXPECT_LE(udelay_100, 100e-6 * (1 + 1.0 / 64) + 1e-6);

    const double one_second = timed_call("mdelay", {1000});
    EXPECT_GE(one_second, 1.0 - 1e-6);
    EXPECT_LE(one_second, 1.0 + 1e-3 + 1e-6);
}

TEST_P(TimerDriver, LongestDelayInOneCallIsOneUdelay)
{
    init_timers();
    const double seconds = timed_call("mdelay", {2147483}, 2200);
    EXPECT_GE(seconds, 2147.483 - 1e-6);
    EXPECT_LE(seconds, 2147.483 + 2e-3);
    EXPECT_EQ(counter_readings().udelay_calls, 1u);
}

TEST_P(TimerDriver, LongerDelaysWaitTheFullTime)
{
    init_timers();
    const double seconds = timed_call("mdelay", {2147484}, 2200);
    EXPECT_GE(seconds, 2147.484 - 1e-6);
    EXPECT_LE(seconds, 2147.484 + 3e-3);
}

// --- PWM channels ---------------------------------------------------------------

TEST(TimerDriver64, ConfigureAndStartTimerOne)
{
    auto board = load("drivertest-64");
    call(*board, "kelto_timer_init");
    board->clear_accesses();
    EXPECT_EQ(call(*board, "kelto_timer_configure", {1, 1000, 500, 0, 1}), 0u);
    const std::vector<Access> &configured = board->accesses();
    ASSERT_EQ(configured.size(), 4u) << ::testing::PrintToString(listing(configured));
    EXPECT_EQ(listing({configured[0], configured[1], configured[2]}),
              listing({write_of(0x7F006018, 1000), write_of(0x7F00601C, 500), read_of(0x7F006008, 0x00500000)}));
    EXPECT_EQ(listing({configured[3]}), listing({write_of(0x7F006008, 0x00500800)}));

    board->clear_accesses();
    call(*board, "kelto_timer_start", {1});
    EXPECT_EQ(listing(board->accesses()),
              listing({read_of(0x7F006008, 0x00500800), write_of(0x7F006008, 0x00500A00),
                       write_of(0x7F006008, 0x00500900)}));
}

TEST_P(TimerDriver, ConfigureChangesOnlyItsOwnField)
{
    init_timers();
    struct Case {
        int channel, period, duty, invert, reload;
        std::uint32_t field;  // bits 3..0 of the channel's TCON field afterwards
    };
    const Case cases[] = {
        {0, 20, 10, 1, 1, 0xC}, {1, 1000, 500, 0, 1, 0x8}, {2, 10, 5, 1, 0, 0x4}, {3, 7, 0, 0, 0, 0x0},
        // Negative values are not refused: they go into the buffers as they are.
        {2, -1, -2, 0, 1, 0x8},
    };
    const unsigned shift[] = {0, 8, 12, 16};
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "channel " << c.channel << " period " << c.period);
        poke(wiring().tcon(), busy_tcon);
        forget();
        EXPECT_EQ(configure(c.channel, c.period, c.duty, c.invert, c.reload), 0u);
        const std::uint32_t field_mask = 0xFu << shift[c.channel];
        EXPECT_EQ(listing(timer_accesses()),
                  listing({write_of(wiring().tcntb(word(c.channel)), word(c.period)),
                           write_of(wiring().tcmpb(word(c.channel)), word(c.duty)), read_of(wiring().tcon(), busy_tcon),
                           write_of(wiring().tcon(), (busy_tcon & ~field_mask) | (c.field << shift[c.channel]))}));
        EXPECT_FALSE(timer().state(c.channel).counting);
    }
}

TEST_P(TimerDriver, ConfigureRefusesWithoutWriting)
{
    init_timers();
    struct Case {
        const char *what;
        int channel, period, duty;
        bool refused_here;
    };
    const bool sixteen_bit = wiring().reload == 0xFFFF;
    const Case cases[] = {
        {"channel 5", 5, 1000, 500, true},
        {"channel -1", -1, 1000, 500, true},
        // Timer 4 is the delays' time base and has no compare buffer.
        {"channel 4", 4, 1000, 500, true},
        {"period past 16 bits", 3, 0x10000, 0, sixteen_bit},
        {"duty past 16 bits", 3, 0, 0x10000, sixteen_bit},
        {"both at 16 bits", 3, 0xFFFF, 0xFFFF, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        forget();
        const std::uint32_t result = configure(c.channel, c.period, c.duty, 0, 1);
        if (c.refused_here) {
            EXPECT_EQ(result, refused);
            EXPECT_TRUE(timer_accesses().empty()) << ::testing::PrintToString(listing(timer_accesses()));
        } else {
            EXPECT_EQ(result, 0u);
            EXPECT_EQ(timer_accesses().size(), 4u);
        }
    }
    EXPECT_TRUE(timer().state(4).counting);
}

TEST_P(TimerDriver, StartLoadsThenStartsFromOneReading)
{
    init_timers();
    configure(3, 1000, 250, 0, 1);
    const std::uint32_t before = (busy_tcon & ~(0xFu << 16)) | (0x8u << 16);
    poke(wiring().tcon(), before);
    forget();
    call(machine(), "kelto_timer_start", {3});
    EXPECT_EQ(listing(timer_accesses()), listing({read_of(wiring().tcon(), before),
                                                  write_of(wiring().tcon(), before | (0x2u << 16)),
                                                  write_of(wiring().tcon(), before | (0x1u << 16))}));
    const sim::TimerBlock::State pwm = timer().state(3);
    EXPECT_TRUE(pwm.counting);
    EXPECT_EQ(pwm.period, 1000u);
    EXPECT_EQ(pwm.compare, 250u);
}

TEST_P(TimerDriver, StopClearsOnlyTheStartBit)
{
    init_timers();
    configure(1, 1000, 500, 1, 1);
    call(machine(), "kelto_timer_start", {1});
    const std::uint32_t running = peek(wiring().tcon());
    ASSERT_EQ(running & 0xF00, 0xD00u);

    forget();
    call(machine(), "kelto_timer_stop", {1});
    EXPECT_EQ(listing(timer_accesses()),
              listing({read_of(wiring().tcon(), running), write_of(wiring().tcon(), running & ~0x100u)}));
    EXPECT_FALSE(timer().state(1).counting);

    forget();
    call(machine(), "kelto_timer_stop", {1});
    EXPECT_EQ(listing(timer_accesses()), listing({read_of(wiring().tcon(), running & ~0x100u),
                                                  write_of(wiring().tcon(), running & ~0x100u)}));
}

TEST_P(TimerDriver, UnknownChannelsLeaveControlAlone)
{
    init_timers();
    for (const char *symbol : {"kelto_timer_start", "kelto_timer_stop"}) {
        for (int channel : {5, 7, -1}) {
            SCOPED_TRACE(::testing::Message() << symbol << "(" << channel << ")");
            forget();
            call(machine(), symbol, {word(channel)});
            EXPECT_TRUE(timer_accesses().empty()) << ::testing::PrintToString(listing(timer_accesses()));
        }
    }
}

TEST_P(TimerDriver, TimeBaseStopsAndRestartsLikeAnyTimer)
{
    init_timers();
    call(machine(), "kelto_timer_stop", {4});
    EXPECT_EQ(peek(wiring().tcon()), 0x00400000u);
    EXPECT_FALSE(timer().state(4).counting);

    forget();
    call(machine(), "kelto_timer_start", {4});
    EXPECT_EQ(listing(timer_accesses()),
              listing({read_of(wiring().tcon(), 0x00400000), write_of(wiring().tcon(), 0x00600000),
                       write_of(wiring().tcon(), 0x00500000)}));
    EXPECT_TRUE(timer().state(4).counting);
    EXPECT_GE(timed_call("mdelay", {10}), 10e-3);
}

TEST_P(TimerDriver, PwmPinSwitch)
{
    init_timers();
    const sim::Pin pin = wiring().pwm();
    auto pwm_enable = [&](int channel, int on) {
        forget();
        return call(machine(), "kelto_timer_pwm_enable",
                    {word(channel), wiring().pwm_port, wiring().pwm_pin, word(on)});
    };

    for (int channel : {static_cast<int>(wiring().pwm_max_channel) + 1, -1}) {
        SCOPED_TRACE(channel);
        EXPECT_EQ(pwm_enable(channel, 1), refused);
        EXPECT_TRUE(gpio_accesses().empty()) << ::testing::PrintToString(listing(gpio_accesses()));
    }
    EXPECT_EQ(gpio().pin_function(pin), sim::GpioBlock::function_input);

    // Channel 2 exists on both chips, but only board 24 takes it here.
    const bool takes_two = wiring().id == 24;
    EXPECT_EQ(pwm_enable(2, 1), takes_two ? 0u : refused);
    EXPECT_EQ(gpio().pin_function(pin), takes_two ? sim::GpioBlock::function_alt1 : sim::GpioBlock::function_input);

    EXPECT_EQ(pwm_enable(word(wiring().backlight_channel), 1), 0u);
    EXPECT_EQ(gpio().pin_function(pin), sim::GpioBlock::function_alt1);
    EXPECT_EQ(pwm_enable(word(wiring().backlight_channel), 0), 0u);
    EXPECT_EQ(gpio().pin_function(pin), sim::GpioBlock::function_output);
}

// --- The timer block model --------------------------------------------------------

TEST_P(TimerDriver, PwmTimerCountsItsCyclesAndReloads)
{
    init_timers();
    configure(1, 1000, 500, 0, 1);
    call(machine(), "kelto_timer_start", {1});
    sim::Clock &clock = machine().clock();
    // Timer 1 counts at 33 MHz: a cycle of 1001 counts later it reads the
    // same again.
    const std::uint32_t now = timer().state(1).count;
    ASSERT_LE(now, 1000u);
    clock.skip_to(clock.now() + clock.time_of_tick(33'000'000, 1001));
    EXPECT_NEAR(static_cast<double>(timer().state(1).count), static_cast<double>(now), 1.0);

    // A one-shot runs down to 0 and stays there.
    configure(2, 50, 10, 0, 0);
    call(machine(), "kelto_timer_start", {2});
    EXPECT_TRUE(timer().state(2).counting);
    clock.skip_to(clock.now() + clock.from_seconds(100e-6));
    EXPECT_EQ(timer().state(2).count, 0u);
    EXPECT_FALSE(timer().state(2).counting);
}

// A manual update while the timer counts takes both buffers at once; with
// the bit cleared, counting goes on from the new count.
TEST_P(TimerDriver, ManualUpdateOfARunningTimerRestartsItFromTheBuffers)
{
    init_timers();
    sim::Clock &clock = machine().clock();
    auto pass_us = [&](double us) { clock.skip_to(clock.now() + clock.from_seconds(us * 1e-6)); };
    const std::uint32_t tcon = peek(wiring().tcon()), tcnto2 = wiring().timer_base + 0x2C;
    const unsigned shift = 12;  // timer 2, counting at 1 MHz
    poke(wiring().tcntb(2), 1000);
    poke(wiring().tcmpb(2), 300);
    poke(wiring().tcon(), tcon | (0xAu << shift));
    poke(wiring().tcon(), tcon | (0x9u << shift));
    pass_us(100);
    EXPECT_NEAR(peek(tcnto2), 900.0, 1.0);

    poke(wiring().tcntb(2), 500);
    poke(wiring().tcmpb(2), 100);
    EXPECT_EQ(timer().state(2).period, 1000u) << "new buffers wait for an update or a reload";
    const std::uint32_t time_base = peek(wiring().tcnto4());
    poke(wiring().tcon(), tcon | (0xBu << shift));
    const sim::TimerBlock::State updated = timer().state(2);
    EXPECT_EQ(std::vector<std::uint32_t>({updated.count, updated.period, updated.compare}),
              std::vector<std::uint32_t>({500, 500, 100}));
    poke(wiring().tcon(), tcon | (0x9u << shift));
    pass_us(100);
    EXPECT_TRUE(timer().state(2).counting);
    EXPECT_NEAR(peek(tcnto2), 400.0, 1.0);
    EXPECT_NEAR(time_base - peek(wiring().tcnto4()), 100.0, 1.0) << "the time base went on undisturbed";
}

// TCON bits the firmware leaves alone: the inverter swaps the duty the
// backlight shows; without auto-reload a timer runs once down to 0 and
// stops (a single pulse: dark); timer 4's auto-reload is bit 22, and it has
// no inverter.
TEST_P(TimerDriver, InverterOneShotAndTheTimeBasesReloadBit)
{
    init_timers();
    call(machine(), "kelto_backlight_init");
    const int pwm = static_cast<int>(wiring().backlight_channel);
    constexpr int not_shown = -1;  // the backlight does not look at timer 4
    const struct {
        const char *what;
        int timer;
        std::uint32_t field;  // the timer's TCON bits
        bool reloads, inverted;
        int shown;
    } cases[] = {
        {"auto-reload", pwm, 0x9, true, false, 30},  {"auto-reload, inverted", pwm, 0xD, true, true, 70},
        {"one-shot", pwm, 0x1, false, false, 0},     {"one-shot, inverted", pwm, 0x5, false, true, 0},
        {"timer 4, bit 22", 4, 0x5, true, false, not_shown},
        {"timer 4, bit 23 is no reload", 4, 0x9, false, false, not_shown},
    };
    sim::Clock &clock = machine().clock();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const unsigned shift = sim::TimerBlock::tcon_shift[static_cast<std::size_t>(c.timer)];
        poke(wiring().tcntb(word(c.timer)), 1000);
        if (c.timer < 4)
            poke(wiring().tcmpb(word(c.timer)), 300);
        poke(wiring().tcon(), 0x2u << shift);
        poke(wiring().tcon(), c.field << shift);
        const sim::TimerBlock::State started = timer().state(c.timer);
        EXPECT_TRUE(started.counting);
        EXPECT_EQ(started.auto_reload, c.reloads);
        EXPECT_EQ(started.inverter, c.inverted);
        if (c.shown != not_shown) {
            EXPECT_EQ(machine().backlight_percent(), c.shown);
        }

        // Two and a half cycles on, a one-shot stands at 0; a reloading timer
        // counts on, half way down.
        clock.skip_to(clock.now() + clock.from_seconds(2.5 * 1001 / started.count_hz));
        const sim::TimerBlock::State later = timer().state(c.timer);
        EXPECT_EQ(later.counting, c.reloads);
        EXPECT_NEAR(later.count, c.reloads ? 500.0 : 0.0, 1.0);
    }
}

TEST_P(TimerDriver, ModelKeepsTheChipsWidthsAndDividers)
{
    const bool s3c6410 = wiring().id == 64;
    poke(wiring().tcntb(1), 0x12345678);
    EXPECT_EQ(peek(wiring().tcntb(1)), s3c6410 ? 0x12345678u : 0x5678u);
    poke(wiring().tcntb4(), 0xFFFFFFFF);
    EXPECT_EQ(peek(wiring().tcntb4()), wiring().reload);
    // Every control bit the chip has, timer 0's dead-zone bit among them,
    // reads back; the reserved ones read 0.
    poke(wiring().tcon(), 0xFFFFFFFF);
    EXPECT_EQ(peek(wiring().tcon()), 0x007FFF1Fu);
    poke(wiring().tcon(), 0);

    // The highest divider code of each chip is /16.
    poke(wiring().tcfg0(), 0);
    poke(wiring().tcfg1_reg(), s3c6410 ? 0x44444 : 0x33333);
    for (int t = 0; t < 5; t++)
        EXPECT_DOUBLE_EQ(timer().state(t).count_hz, 66e6 / 16);
    // One more selects an external clock the board does not have.
    EXPECT_FALSE(machine().fault());
    poke(wiring().tcfg1_reg(), s3c6410 ? 0x5 : 0x4);
    EXPECT_TRUE(machine().fault());
}

TEST_P(TimerDriver, CountObservationIsReadOnly)
{
    for (int t = 0; t < 5; t++) {
        const std::uint32_t tcnto = t == 4 ? 0x40 : 0x14 + 12 * static_cast<std::uint32_t>(t);
        EXPECT_FALSE(timer().write(tcnto, 0)) << t;
        EXPECT_TRUE(timer().read(tcnto).has_value()) << t;
    }
}

TEST_P(TimerDriver, BusyWaitsAreAcceleratedOnlyOnTheVirtualClock)
{
    init_timers();
    const double seconds = timed_call("mdelay", {10000}, 20);
    EXPECT_GE(seconds, 10.0);
    EXPECT_LE(seconds, 10.0 + 1e-3 + 1e-6);
    const Readings readings = counter_readings();
    EXPECT_LT(readings.total, 20000u);
    // No reading misses a reload of the 16-bit counter: they come at least
    // every millisecond.
    sim::Cycles gap = 0;
    const std::vector<Access> seen = accesses_to(machine(), wiring().tcnto4());
    for (std::size_t i = 1; i < seen.size(); i++)
        gap = std::max(gap, seen[i].time - seen[i - 1].time);
    EXPECT_LE(machine().clock().to_seconds(gap), 1e-3 + 1e-6);

    sim::Machine::Options options;
    options.clock = sim::ClockMode::wall_time;
    auto live = Machine::load(image_path(wiring().driver_image), options);
    call(*live, "kelto_timer_init");
    call(*live, "udelay", {2000});
    EXPECT_EQ(live->busy_wait_skipped(), 0u);
}

}  // namespace
}  // namespace kelto::test
