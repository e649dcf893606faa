// The one clock every model reads. Time is counted in CPU cycles: on the
// virtual clock one executed instruction is one cycle, so a run is exactly
// repeatable; on the wall clock time follows the host, for people at a
// terminal. A virtual clock paced to the host is both: counted, so a run
// can be recorded and replayed, yet its waits take the host time they
// stand for, as the wall clock's do.
#pragma once

#include <chrono>
#include <cstdint>
#include <limits>

namespace kelto::sim {

class StateWriter;
class StateReader;

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
    // A counted block that did not run after all: emulation stopped at its
    // start.
    void uncount(std::uint32_t instructions) { counted_ -= instructions; }
    // Instructions counted plus time skipped: on the virtual clock, now().
    Cycles counted() const { return counted_; }
    std::uint64_t instructions() const { return instructions_total_ + counted_; }

    // Moves virtual time forward while the firmware only waits; no effect on
    // the wall clock. Paced, the host first sleeps until then.
    void skip_to(Cycles when);
    // The latest skip since the clock was restored: every time in it has the
    // instruction count of its start.
    struct Skip {
        Cycles from = 0;
        Cycles to = 0;
    };
    Skip last_skip() const { return last_skip_; }
    // The firmware only waits until then: virtual time skips there, the wall
    // clock sleeps towards it (at most a millisecond, so that the caller
    // still looks at its inputs often).
    void pass_to(Cycles when);

    // Board time begins when the board first runs: until then the wall
    // clock stands still (at 0, or at a restored board's time), however long
    // a debugger or a page keeps the board at main. No effect on the virtual
    // clock, which counts instructions.
    void start();

    // While held, time stands still on either clock; on the wall clock the
    // board does not catch up afterwards.
    void hold();
    void release();
    bool held() const { return held_; }

    // A virtual clock whose skips wait for the host to reach the time they
    // skip to: the board keeps real time while it waits, and its run is the
    // virtual clock's, exactly. No effect on the wall clock.
    void pace(bool on);
    bool paced() const { return paced_; }
    // Whether board time keeps step with the host's: the wall clock, or a
    // paced one.
    bool follows_host() const { return mode_ == ClockMode::wall_time || paced_; }

    // Board time and instructions executed, in either mode: a state saved on
    // one clock goes on from the same time on the other.
    void save(StateWriter &out);
    void restore(StateReader &in);

    // The longest span of board time anything may ask for: about 11.6 days.
    // Its cycles (under 2^50 at these CPU clocks) leave ample room to add to
    // any time a run reaches, and a wait that long takes minutes of host time.
    static constexpr double max_seconds = 1e6;

    // Saturates into 0..max_seconds (NaN as 0), so that no caller can reach
    // the undefined conversion of an out-of-range double; the front ends
    // refuse such times with a message before they get here.
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
    void wait_for_host(Cycles when);
    void anchor_pace();

    std::uint64_t cpu_hz_;
    ClockMode mode_;
    Cycles counted_ = 0;
    std::uint64_t instructions_total_ = 0;
    // Wall clock state.
    std::chrono::steady_clock::time_point start_;
    bool started_ = false;
    Cycles wall_last_ = 0;
    Cycles wall_lag_ = 0;
    Cycles max_wall_step_;
    bool held_ = false;
    std::chrono::steady_clock::time_point held_since_;
    // Pacing: the host time at which the board stood at pace_board_.
    bool paced_ = false;
    Skip last_skip_;
    std::chrono::steady_clock::time_point pace_origin_;
    Cycles pace_board_ = 0;
};

}  // namespace kelto::sim
