// PWM timer block. Nothing is kept in memory: the timers' state lives in
// their registers, and timer 4 runs untouched from kelto_timer_init on.
#include "s3c_timer.hpp"

#include <stdint.h>

#include "board.hpp"
#include "mmio.hpp"

namespace {

constexpr uint32_t base = board::timer_base;

// Register offsets.
constexpr uint32_t TCFG0 = 0x00;
constexpr uint32_t TCFG1 = 0x04;
constexpr uint32_t TCON = 0x08;
constexpr uint32_t TCNTB4 = 0x3C;
constexpr uint32_t TCNTO4 = 0x40;

constexpr uint32_t tcntb(int channel)
{
    return 0x0C + 12 * static_cast<uint32_t>(channel);
}

constexpr uint32_t tcmpb(int channel)
{
    return 0x10 + 12 * static_cast<uint32_t>(channel);
}

static_assert(tcntb(4) == TCNTB4);

// Prescaler 0 (timers 0 and 1) stays 0; prescaler 1 (timers 2-4) divides
// by 33, which with the /2 divider makes timer 4 count once per microsecond.
constexpr uint32_t prescaler1 = 32;
constexpr uint32_t TCFG0_PRESCALER1_SHIFT = 8;
constexpr uint32_t TCFG0_VALUE = prescaler1 << TCFG0_PRESCALER1_SHIFT;
constexpr uint32_t timer_divider = 2;
static_assert(board::pclk_hz / (prescaler1 + 1) / timer_divider == 1'000'000, "timer 4 counts microseconds");

// Each timer's field of TCON, from its shift.
constexpr uint32_t TCON_START = 1u << 0;
constexpr uint32_t TCON_MANUAL_UPDATE = 1u << 1;
constexpr uint32_t TCON_INVERTER = 1u << 2;
constexpr uint32_t TCON_AUTO_RELOAD = 1u << 3;
constexpr uint32_t TCON_FIELD = 0xF;

// Timer 4's field has no inverter, so its auto-reload bit sits one lower.
constexpr uint32_t TCON_T4_START = 1u << 20;
constexpr uint32_t TCON_T4_MANUAL_UPDATE = 1u << 21;
constexpr uint32_t TCON_T4_AUTO_RELOAD = 1u << 22;

constexpr int tcon_shift[] = {0, 8, 12, 16, 20};
constexpr int timer_count = sizeof tcon_shift / sizeof tcon_shift[0];

// Timer 4 is the delays' time base and has no compare buffer: it is never
// reconfigured.
constexpr int time_base_channel = 4;

// The reload value R of the time base: the highest count the counter holds.
constexpr uint32_t counter_max = 0xFFFFFFFFu >> (32 - board::timer_counter_bits);

// The most milliseconds whose microseconds still fit udelay's int.
constexpr int mdelay_max_msec = INT32_MAX / 1000;
static_assert(mdelay_max_msec == 2'147'483);

// Count and compare values wider than the buffers are refused. Negative
// values are not: they go into the register unchanged.
bool fits_timer_buffer(int value)
{
    return static_cast<int64_t>(value) <= static_cast<int64_t>(counter_max);
}

int kelto_timer_get_tcon_shift_num(int channel)
{
    if (channel < 0 || channel >= timer_count)
        return -1;
    return tcon_shift[channel];
}

}  // namespace

extern "C" void kelto_timer_init(void)
{
    reg_write(base + TCFG0, TCFG0_VALUE);
    reg_write(base + TCFG1, board::timer_tcfg1);
    reg_write(base + TCNTB4, counter_max);
    // Loads R into timer 4; writing the rest of TCON as 0 stops timers 0-3.
    reg_write(base + TCON, TCON_T4_MANUAL_UPDATE);
    reg_write(base + TCON, TCON_T4_START | TCON_T4_AUTO_RELOAD);
}

// The counter runs down from R to 0 and reloads; a reading above the one
// before means it has passed 0 once in between. Readings come far more often
// than once per R + 1 microseconds, so one reload is all there can be.
extern "C" void udelay(int usec)
{
    volatile uint32_t now;
    volatile uint32_t last;
    volatile uint32_t diff;

    now = reg_read(base + TCNTO4);
    while (usec > 0) {
        last = now;
        now = reg_read(base + TCNTO4);
        if (now > last)
            diff = last + (counter_max - now) + 1;
        else
            diff = last - now;
        usec = static_cast<int>(static_cast<uint32_t>(usec) - diff);
    }
}

extern "C" void mdelay(int msec)
{
    while (msec > mdelay_max_msec) {
        udelay(mdelay_max_msec * 1000);
        msec -= mdelay_max_msec;
    }
    // Nothing to wait for below zero; the bound keeps the product from
    // wrapping round to a positive count.
    if (msec < -mdelay_max_msec)
        msec = -mdelay_max_msec;
    udelay(msec * 1000);
}

extern "C" int kelto_timer_configure(int channel, int period, int duty, int invert, int reload)
{
    const int shift = kelto_timer_get_tcon_shift_num(channel);
    if (shift < 0 || channel == time_base_channel)
        return -1;
    if (!fits_timer_buffer(period) || !fits_timer_buffer(duty))
        return -1;

    reg_write(base + tcntb(channel), static_cast<uint32_t>(period));
    reg_write(base + tcmpb(channel), static_cast<uint32_t>(duty));

    uint32_t control = 0;
    if (invert)
        control |= TCON_INVERTER;
    if (reload)
        control |= TCON_AUTO_RELOAD;
    // Clearing the whole field also stops the timer and drops a pending
    // manual update.
    reg_modify(base + TCON, TCON_FIELD << shift, control << shift);
    return 0;
}

extern "C" int kelto_timer_pwm_enable(int channel, S3C_GPIO_PORT port, int pin, int on)
{
    if (channel < 0 || channel > board::timer_pwm_max_channel)
        return -1;
    return kelto_gpio_set_type(port, pin, on ? S3C_GPIO_TYPE_ALT1 : S3C_GPIO_TYPE_OUTPUT);
}

// The manual update must be cleared again in the write that starts the
// timer, so both writes come from one reading of TCON.
extern "C" void kelto_timer_start(int channel)
{
    const int shift = kelto_timer_get_tcon_shift_num(channel);
    if (shift < 0)
        return;

    const uint32_t tcon = reg_read(base + TCON);
    reg_write(base + TCON, tcon | (TCON_MANUAL_UPDATE << shift));
    reg_write(base + TCON, tcon | (TCON_START << shift));
}

extern "C" void kelto_timer_stop(int channel)
{
    const int shift = kelto_timer_get_tcon_shift_num(channel);
    if (shift < 0)
        return;

    reg_modify(base + TCON, TCON_START << shift, 0);
}
