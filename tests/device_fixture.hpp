// Drives the timer, button and backlight drivers of a driver test image one
// call at a time, with the wiring of each board at hand.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "models/gpio.hpp"
#include "harness.hpp"
#include "models/timer.hpp"

namespace kelto::test {

struct BoardWiring {
    int id;
    const char *driver_image;
    const char *console_image;
    std::uint32_t uart1;      // the console's UART channel
    std::uint32_t gpio_base;  // the GPIO block
    // PWM timers.
    std::uint32_t timer_base;
    std::uint32_t tcfg1;         // what init selects: /2 for every timer
    std::uint32_t reload;        // timer 4's reload value, the top of its count
    std::uint32_t pwm_max_channel;
    // Buttons: pins 0-3 of one port.
    std::uint32_t button_port;
    std::uint32_t button_config, button_data;
    // Backlight.
    std::uint32_t backlight_channel;
    std::uint32_t enable_port, enable_pin;
    std::uint32_t pwm_port, pwm_pin;
    std::uint32_t enable_config, enable_data, pwm_config;  // the words that hold their fields

    // Written out here rather than taken from the timer model, so that a slip
    // in either shows up.
    std::uint32_t tcfg0() const { return timer_base + 0x00; }
    std::uint32_t tcfg1_reg() const { return timer_base + 0x04; }
    std::uint32_t tcon() const { return timer_base + 0x08; }
    std::uint32_t tcntb(std::uint32_t timer) const { return timer_base + 0x0C + 12 * timer; }
    std::uint32_t tcmpb(std::uint32_t timer) const { return timer_base + 0x10 + 12 * timer; }
    std::uint32_t tcntb4() const { return timer_base + 0x3C; }
    std::uint32_t tcnto4() const { return timer_base + 0x40; }

    sim::Pin enable() const { return pin(enable_port, enable_pin); }
    sim::Pin pwm() const { return pin(pwm_port, pwm_pin); }
    static sim::Pin pin(std::uint32_t port, std::uint32_t number)
    {
        return sim::Pin{static_cast<std::uint8_t>(port), static_cast<std::uint8_t>(number)};
    }
};

inline const BoardWiring board64{
    .id = 64,
    .driver_image = "drivertest-64",
    .console_image = "consolefw-64",
    .uart1 = 0x7F005400,
    .gpio_base = 0x7F008000,
    .timer_base = 0x7F006000,
    .tcfg1 = 0x00011111,
    .reload = 0xFFFFFFFF,
    .pwm_max_channel = 1,
    .button_port = 13,  // N
    .button_config = 0x7F008830,
    .button_data = 0x7F008834,
    .backlight_channel = 1,
    .enable_port = 13,  // N9
    .enable_pin = 9,
    .pwm_port = 5,  // F15
    .pwm_pin = 15,
    .enable_config = 0x7F008830,
    .enable_data = 0x7F008834,
    .pwm_config = 0x7F0080A0,
};

inline const BoardWiring board24{
    .id = 24,
    .driver_image = "drivertest-24",
    .console_image = "consolefw-24",
    .uart1 = 0x50004000,
    .gpio_base = 0x56000000,
    .timer_base = 0x51000000,
    .tcfg1 = 0x00000000,
    .reload = 0x0000FFFF,
    .pwm_max_channel = 3,
    .button_port = 5,  // F
    .button_config = 0x56000050,
    .button_data = 0x56000054,
    .backlight_channel = 3,
    .enable_port = 6,  // G4
    .enable_pin = 4,
    .pwm_port = 1,  // B3
    .pwm_pin = 3,
    .enable_config = 0x56000060,
    .enable_data = 0x56000064,
    .pwm_config = 0x56000010,
};

// An int argument or result as the firmware passes it in a register.
constexpr std::uint32_t word(int value)
{
    return static_cast<std::uint32_t>(value);
}

// Expected accesses, for comparing listings.
inline Access read_of(std::uint32_t address, std::uint32_t value)
{
    return Access{0, 0, address, value, false};
}
inline Access write_of(std::uint32_t address, std::uint32_t value)
{
    return Access{0, 0, address, value, true};
}

inline void PrintTo(const BoardWiring &wiring, std::ostream *out)
{
    *out << "board " << wiring.id;
}

inline std::string board_name(const ::testing::TestParamInfo<BoardWiring> &info)
{
    return "board" + std::to_string(info.param.id);
}

class DeviceTest : public ::testing::TestWithParam<BoardWiring> {
protected:
    static constexpr std::uint32_t refused = 0xFFFFFFFF;  // -1 as the firmware returns it

    void SetUp() override { machine_ = load(wiring().driver_image); }

    const BoardWiring &wiring() const { return GetParam(); }
    Machine &machine() { return *machine_; }
    sim::TimerBlock &timer() { return machine_->timer(); }
    sim::GpioBlock &gpio() { return machine_->gpio(); }

    void forget() { machine_->clear_accesses(); }

    // Accesses since the last forget() within one block of registers.
    std::vector<Access> accesses_within(std::uint32_t base, std::uint32_t size) const
    {
        std::vector<Access> found;
        for (const Access &access : machine_->accesses())
            if (access.address - base < size)
                found.push_back(access);
        return found;
    }
    std::vector<Access> timer_accesses() const { return accesses_within(wiring().timer_base, 0x1000); }
    std::vector<Access> gpio_accesses() const
    {
        return accesses_within(machine_->board().gpio_base, machine_->board().gpio_size);
    }

    // Sets or reads a timer or GPIO register behind the firmware's back.
    void poke(std::uint32_t address, std::uint32_t value)
    {
        sim::Device &device = device_at(address);
        ASSERT_TRUE(device.write(address - device.base(), value)) << std::hex << address;
    }
    std::uint32_t peek(std::uint32_t address)
    {
        sim::Device &device = device_at(address);
        const auto value = device.read(address - device.base());
        EXPECT_TRUE(value.has_value()) << std::hex << address;
        return value.value_or(0);
    }

    sim::Device &device_at(std::uint32_t address)
    {
        if (address - wiring().timer_base < 0x1000)
            return timer();
        return gpio();
    }

    // Starts the timers as start-up does, and forgets those accesses.
    void init_timers()
    {
        call(*machine_, "kelto_timer_init");
        forget();
    }

    // How long a call lasts on the board's clock, in seconds.
    double timed_call(std::string_view symbol, const std::vector<std::uint32_t> &args, double max_seconds = 10)
    {
        const double before = machine_->seconds();
        call(*machine_, symbol, args, max_seconds);
        return machine_->seconds() - before;
    }

private:
    std::unique_ptr<Machine> machine_;
};

}  // namespace kelto::test
