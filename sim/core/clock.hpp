// The one clock every model reads. Time is counted in CPU cycles: on the
// virtual clock one executed instruction is one cycle, so a run is exactly
// repeatable; on the wall clock time follows the host, for people at a
// terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>

namespace kelto::sim {

using Cycles = std::uint64_t;
inline constexpr Cycles never = std::numeric_limits<Cycles>::max();

enum class ClockMode { virtual_time, wall_time };

class Clock {
public:
    Clock(std::uint64_t cpu_hz, ClockMode mode);

    ClockMode mode() const { return mode_; }
    std::uint64_t cpu_hz() const { return cpu_hz_; }

    // Current time. On the wall clock the step between two readings is
    // capped, so a stalled host pauses the board instead of jumping it ahead.
    Cycles now();

    // Instructions executed, counted per translated block.
    void count(std::uint32_t instructions) { counted_ += instructions; }
    std::uint64_t instructions() const { return instructions_total_ + counted_; }

    // Moves virtual time forward while the firmware only waits; no effect on
    // the wall clock.
    void skip_to(Cycles when);

    // While the board is halted (a debugger looks at it) time stands still:
    // the virtual clock only moves with instructions anyway, and the wall
    // clock moves its origin on by the halt instead of catching up after it.
    void pause();
    void resume();
    bool paused() const { return paused_; }

    Cycles from_seconds(double seconds) const;
    Cycles from_ns(std::uint64_t ns) const;
    std::uint64_t to_ns(Cycles cycles) const;
    double to_seconds(Cycles cycles) const;
    // Whole periods of a clock of hz elapsed at a time, counted from 0.
    std::uint64_t ticks_of(std::uint64_t hz, Cycles cycles) const;
    // The first time at which ticks_of(hz, time) reaches ticks.
    Cycles time_of_tick(std::uint64_t hz, std::uint64_t ticks) const;

private:
    Cycles wall_now();

    std::uint64_t cpu_hz_;
    ClockMode mode_;
    Cycles counted_ = 0;
    std::uint64_t instructions_total_ = 0;
    // Wall clock state.
    std::chrono::steady_clock::time_point start_;
    Cycles wall_last_ = 0;
    Cycles wall_lag_ = 0;
    Cycles max_wall_step_;
    bool paused_ = false;
    Cycles paused_at_ = 0;
    std::chrono::steady_clock::time_point paused_since_;
};

}  // namespace kelto::sim
