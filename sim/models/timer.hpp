// The chip's PWM timer block: five down-counters sharing a prescaler
// register, a divider register and one control register.
//
// Counters are not ticked: each timer remembers the count it held at some
// tick of its input clock, and every reading works out the count from the
// ticks passed since. The input clocks are derived from one free-running PCLK
// count, so a timer's phase does not depend on when the model last looked.
// The count registers are counters a firmware busy-polls to wait
// (counter_cycle): the machine shortens such waits.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "core/board.hpp"
#include "core/device.hpp"

namespace kelto::sim {

class TimerBlock final : public Device {
public:
    static constexpr int timer_count = 5;
    static constexpr std::uint32_t TCFG0 = 0x00;
    static constexpr std::uint32_t TCFG1 = 0x04;
    static constexpr std::uint32_t TCON = 0x08;
    static constexpr std::uint32_t TCNTB4 = 0x3C;  // = tcntb(4)
    static constexpr std::uint32_t TCNTO4 = 0x40;
    static constexpr std::uint32_t tcntb(int timer) { return 0x0C + 12 * static_cast<std::uint32_t>(timer); }
    // Timers 0-3 only: where timer 4's would be, TCNTO4 sits instead.
    static constexpr std::uint32_t tcmpb(int timer) { return 0x10 + 12 * static_cast<std::uint32_t>(timer); }
    static constexpr std::uint32_t tcnto(int timer)
    {
        return timer == 4 ? TCNTO4 : 0x14 + 12 * static_cast<std::uint32_t>(timer);
    }
    // Start bit of each timer's TCON field; manual update, inverter and
    // auto-reload follow it (timer 4 has no inverter: auto-reload is shift+2).
    static constexpr std::array<unsigned, timer_count> tcon_shift{0, 8, 12, 16, 20};

    // A timer as the board sees it now.
    struct State {
        bool counting;       // started, and not a one-shot that has run out
        bool started;        // has counted at all since reset
        bool start_bit, auto_reload, inverter;
        std::uint32_t count;    // what TCNTOn reads
        // The count and compare values the counter works with: those of the
        // last manual update or reload, not necessarily the buffers.
        std::uint32_t period;
        std::uint32_t compare;
        // What a reload takes on.
        std::uint32_t count_buffer;
        std::uint32_t compare_buffer;
        double count_hz;     // input clock: PCLK / (prescaler + 1) / divider
    };

    explicit TimerBlock(const BoardSpec &board);

    std::optional<std::uint32_t> read(std::uint32_t offset) override;
    std::optional<std::uint32_t> peek(std::uint32_t offset) const override;
    bool write(std::uint32_t offset, std::uint32_t value) override;
    std::span<const Register> registers() const override;
    // Prescalers, dividers, and each timer's start, stop, update, reload and
    // inverter ("timer 1 start, auto-reload").
    std::string describe_write(std::uint32_t offset, std::uint32_t value) const override;
    // A counting timer's next count.
    bool read_may_change(std::uint32_t offset) const override;
    void save(StateWriter &out) const override;
    void restore(StateReader &in) override;
    std::optional<Cycles> counter_cycle(std::uint32_t offset) const override;

    State state(int timer);
    // Width of the timer's counter and buffers in bits.
    int width(int timer) const;

    // Test verb: the timer's counter holds value from now on, as if it had
    // counted there; a running timer goes on counting down from it.
    void force_count(int timer, std::uint32_t value);
    // Test verb: the next readings of the timer's count register find these
    // values, one per reading, each forced as above; then the counter goes on
    // from the last. With the timer stopped, a test decides exactly what a
    // polling loop sees.
    void script_counts(int timer, std::vector<std::uint32_t> values);

private:
    struct Timer {
        std::uint32_t count_buffer = 0;
        std::uint32_t compare_buffer = 0;
        // Latched by a manual update or a reload.
        std::uint32_t period = 0;
        std::uint32_t compare = 0;
        // The count held at tick `since` of the timer's input clock.
        std::uint32_t count = 0;
        std::uint64_t since = 0;
        bool counting = false;
        bool started = false;
    };

    std::uint64_t divisor(int timer) const;  // PCLK periods per count
    std::uint64_t tick(int timer, Cycles now) const;
    std::uint32_t mask(int timer) const;
    bool tcon_bit(int timer, unsigned field_bit) const;
    bool start_bit(int timer) const { return tcon_bit(timer, 0); }
    bool manual_update(int timer) const { return tcon_bit(timer, 1); }
    bool inverter(int timer) const { return timer != 4 && tcon_bit(timer, 2); }
    bool auto_reload(int timer) const { return tcon_bit(timer, timer == 4 ? 2 : 3); }
    // The timer's state at a time, without changing anything.
    Timer at(int timer, Cycles now) const;
    // Brings every timer up to now, so that a register change applies from
    // now on; then restamps them against the (possibly new) input clocks.
    void settle(Cycles now);
    void restamp(Cycles now);
    void apply_tcon(std::uint32_t old_tcon, Cycles now);
    bool divider_valid(std::uint32_t tcfg1, int timer) const;
    bool dividers_valid(std::uint32_t tcfg1) const;
    std::uint64_t divider(std::uint32_t tcfg1, int timer) const;
    std::string describe_dividers(std::uint32_t value) const;
    static std::string describe_tcon(std::uint32_t old_tcon, std::uint32_t value);

    const BoardSpec &board_;
    std::uint32_t tcfg0_ = 0, tcfg1_ = 0, tcon_ = 0;
    std::array<Timer, timer_count> timers_{};
    std::array<std::deque<std::uint32_t>, timer_count> scripts_{};
};

}  // namespace kelto::sim
