#include "core/clock.hpp"

#include <algorithm>
#include <thread>
#include <cmath>

#include "core/state.hpp"

namespace kelto::sim {

namespace {
using u128 = unsigned __int128;
}

Clock::Clock(std::uint64_t cpu_hz, ClockMode mode)
    : cpu_hz_(cpu_hz), mode_(mode), start_(std::chrono::steady_clock::now()),
      // 10 ms: well inside one wrap of a 16-bit microsecond counter.
      max_wall_step_(cpu_hz / 100)
{
}

Cycles Clock::now()
{
    return mode_ == ClockMode::virtual_time ? counted_ : wall_now();
}

void Clock::start()
{
    if (started_)
        return;
    started_ = true;
    // From the time it reads (0, or a restored board's), on from now.
    const auto now = std::chrono::steady_clock::now();
    start_ = now - std::chrono::nanoseconds(to_ns(wall_last_));
    wall_lag_ = 0;
    // A hold from before the start has nothing to take back.
    held_since_ = now;
    anchor_pace();
}

Cycles Clock::wall_now()
{
    if (held_ || !started_)
        return wall_last_;
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    const auto ns = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
    Cycles wall = from_ns(ns) - wall_lag_;
    if (wall < wall_last_)
        wall = wall_last_;
    if (wall - wall_last_ > max_wall_step_) {
        wall_lag_ += wall - wall_last_ - max_wall_step_;
        wall = wall_last_ + max_wall_step_;
    }
    wall_last_ = wall;
    return wall;
}

void Clock::skip_to(Cycles when)
{
    if (mode_ == ClockMode::virtual_time && when != never && when > counted_) {
        if (paced_)
            wait_for_host(when);
        last_skip_ = {counted_, when};
        // Skipped time is not executed instructions.
        instructions_total_ -= when - counted_;
        counted_ = when;
    }
}

void Clock::pass_to(Cycles when)
{
    if (mode_ == ClockMode::virtual_time) {
        skip_to(when);
        return;
    }
    const Cycles now = wall_now();
    if (when == never || when <= now)
        return;
    const std::uint64_t ns = std::min<std::uint64_t>(to_ns(when - now), 1'000'000);
    std::this_thread::sleep_for(std::chrono::nanoseconds(ns));
}

void Clock::pace(bool on)
{
    paced_ = on && mode_ == ClockMode::virtual_time;
    anchor_pace();
}

void Clock::anchor_pace()
{
    pace_origin_ = std::chrono::steady_clock::now();
    pace_board_ = counted_;
}

// A board that has fallen behind the host (a busy firmware the host cannot
// keep up with) by more than a wall clock step drops what it lost, as the
// wall clock does after a stall, rather than rushing its next waits.
void Clock::wait_for_host(Cycles when)
{
    if (when <= pace_board_)
        return;
    const auto host = std::chrono::steady_clock::now();
    const auto due = pace_origin_ + std::chrono::nanoseconds(to_ns(when - pace_board_));
    if (due > host) {
        std::this_thread::sleep_until(due);
        return;
    }
    const auto most_behind = std::chrono::nanoseconds(to_ns(max_wall_step_));
    if (host - due > most_behind) {
        pace_origin_ = host - most_behind;
        pace_board_ = when;
    }
}

void Clock::hold()
{
    if (held_)
        return;
    if (mode_ == ClockMode::wall_time)
        wall_now();
    held_ = true;
    held_since_ = std::chrono::steady_clock::now();
}

void Clock::release()
{
    if (!held_)
        return;
    held_ = false;
    // The time spent held never reaches the board.
    anchor_pace();
    if (mode_ == ClockMode::wall_time) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                             held_since_);
        wall_lag_ += from_ns(static_cast<std::uint64_t>(ns.count()));
    }
}

void Clock::save(StateWriter &out)
{
    out.u64(now());
    out.u64(instructions());
}

void Clock::restore(StateReader &in)
{
    const Cycles time = in.u64();
    const std::uint64_t instructions = in.u64();
    if (mode_ == ClockMode::virtual_time) {
        counted_ = time;
        instructions_total_ = instructions - time;  // wraps back in instructions()
        last_skip_ = {};
        anchor_pace();
        return;
    }
    counted_ = instructions;
    instructions_total_ = 0;
    // The wall clock reads the saved time now and follows the host from here.
    start_ = std::chrono::steady_clock::now() - std::chrono::nanoseconds(to_ns(time));
    wall_last_ = time;
    wall_lag_ = 0;
    held_since_ = std::chrono::steady_clock::now();
}

Cycles Clock::from_seconds(double seconds) const
{
    if (!(seconds > 0))
        return 0;
    return static_cast<Cycles>(std::llround(std::min(seconds, max_seconds) * static_cast<double>(cpu_hz_)));
}

Cycles Clock::from_ns(std::uint64_t ns) const
{
    return static_cast<Cycles>(static_cast<u128>(ns) * cpu_hz_ / 1'000'000'000u);
}

std::uint64_t Clock::to_ns(Cycles cycles) const
{
    return static_cast<std::uint64_t>(static_cast<u128>(cycles) * 1'000'000'000u / cpu_hz_);
}

double Clock::to_seconds(Cycles cycles) const
{
    return static_cast<double>(cycles) / static_cast<double>(cpu_hz_);
}

std::uint64_t Clock::ticks_of(std::uint64_t hz, Cycles cycles) const
{
    return static_cast<std::uint64_t>(static_cast<u128>(cycles) * hz / cpu_hz_);
}

Cycles Clock::time_of_tick(std::uint64_t hz, std::uint64_t ticks) const
{
    // Smallest c with c * hz / cpu_hz >= ticks.
    return static_cast<Cycles>((static_cast<u128>(ticks) * cpu_hz_ + hz - 1) / hz);
}

}  // namespace kelto::sim
