// Time passing without the core executing while the firmware only waits:
//
// - a loop that can change nothing until the board does (idle.hpp) lets the
//   clock pass to the next model event or as far as the run may skip;
// - a wait for an interrupt, or a branch to itself, can never move on on
//   these boards, which have no interrupts;
// - a busy-wait on a counter (the same code block reading the same counter
//   register again with no other register access in between) moves the
//   clock ahead by steps that grow with the time the loop has been waiting:
//   a delay of seconds then takes thousands of readings instead of tens of
//   millions, and ends at most 1/64 of its length (and never more than 1 ms)
//   late. On the wall clock the host sleeps for those steps instead, so a
//   delay keeps no host core busy.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "core/clock.hpp"
#include "core/device.hpp"
#include "core/elf_image.hpp"
#include "machine/idle.hpp"

struct uc_struct;

namespace kelto::sim {

class Machine;

class TimeSkip {
public:
    // Hooks every instruction of the image that could wait for ever.
    TimeSkip(Machine &machine, uc_struct *uc, const BoardSpec &board, const ElfImage &image);
    TimeSkip(const TimeSkip &) = delete;
    TimeSkip &operator=(const TimeSkip &) = delete;

    IdleDetector &idle() { return idle_; }
    // A run starts that an idle firmware may let time pass in up to here.
    void start_run(Cycles idle_deadline, bool resumes);
    bool idling() const { return idle_.idle() || idle_for_ever_at_.has_value(); }
    std::optional<std::uint32_t> idle_for_ever_at() const { return idle_for_ever_at_; }
    // The next moment anything the firmware could read may change.
    Cycles idle_horizon() const;
    void let_idle_time_pass();

    // Before a register read by the block at pc, the accesses_made-th
    // register access.
    void busy_poll(const Device &device, std::uint32_t offset, std::uint32_t pc, std::uint64_t accesses_made);
    // Time moved on by busy-wait skipping so far, on the virtual clock.
    Cycles busy_wait_skipped() const { return skipped_; }

    // Saving and restoring the board (machine_state.cpp).
    void save(StateWriter &out) const;
    void restore(StateReader &in);

private:
    friend struct EndlessHooks;
    void stuck_for_ever(std::uint32_t pc);

    Machine &machine_;
    IdleDetector idle_;
    Cycles idle_deadline_ = never;
    std::optional<std::uint32_t> idle_for_ever_at_;

    // The polling loop being watched.
    std::uint32_t poll_pc_ = 0;
    std::uint32_t poll_address_ = 0;
    std::uint64_t poll_access_ = 0;
    Cycles poll_since_ = 0;
    Cycles skipped_ = 0;
};

}  // namespace kelto::sim
