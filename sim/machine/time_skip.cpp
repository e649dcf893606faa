#include "machine/time_skip.hpp"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "machine/instructions.hpp"
#include "machine/machine.hpp"

namespace kelto::sim {

namespace {

// Share of the time a loop has already been polling by which the next
// reading moves the clock on: the most a delay can end late.
constexpr Cycles poll_step_share = 64;

}  // namespace

struct EndlessHooks {
    // A hooked address may hold an endless instruction in one state only:
    // the size tells the state it runs in.
    static void reached(uc_engine *uc, std::uint64_t address, std::uint32_t size, void *user)
    {
        std::uint32_t insn = 0;
        if (uc_mem_read(uc, address, &insn, size == 2 ? 2 : 4) != UC_ERR_OK)
            return;
        if (size == 2 ? thumb_endless(static_cast<std::uint16_t>(insn)) : size == 4 && arm_endless(insn))
            static_cast<TimeSkip *>(user)->stuck_for_ever(static_cast<std::uint32_t>(address));
    }
};

// The boards have no interrupts, so neither a wait for one nor a branch to
// itself ever ends. Any word or halfword of the image that could be one is
// hooked: a literal that is never executed costs nothing.
TimeSkip::TimeSkip(Machine &machine, uc_struct *uc, const BoardSpec &board, const ElfImage &image)
    : machine_(machine), idle_(uc, board.dram_base, board.dram_size)
{
    for (const Segment &segment : image.segments()) {
        for (std::size_t at = 0; at + 2 <= segment.bytes.size(); at += 2) {
            std::uint16_t half = 0;
            std::uint32_t word = 0;
            std::memcpy(&half, &segment.bytes[at], sizeof half);
            const bool whole_word = at % 4 == 0 && at + 4 <= segment.bytes.size();
            if (whole_word)
                std::memcpy(&word, &segment.bytes[at], sizeof word);
            if (!thumb_endless(half) && !(whole_word && arm_endless(word)))
                continue;
            const std::uint64_t address = segment.address + at;
            uc_hook hook = 0;
            if (uc_hook_add(uc, &hook, UC_HOOK_CODE, reinterpret_cast<void *>(&EndlessHooks::reached), this, address,
                            address) != UC_ERR_OK)
                throw std::runtime_error("cannot watch the image for idle instructions");
        }
    }
}

void TimeSkip::start_run(Cycles idle_deadline, bool resumes)
{
    idle_deadline_ = idle_deadline;
    if (!resumes)
        idle_.forget();
    idle_for_ever_at_.reset();
}

// A model's event, or the end of what the run may skip to. (A loop that
// reads a ticking counter is never idle.)
Cycles TimeSkip::idle_horizon() const
{
    return std::min(idle_deadline_, machine_.registers_.next_event());
}

void TimeSkip::let_idle_time_pass()
{
    Clock &clock = machine_.clock();
    clock.pass_to(idle_horizon());
    machine_.service_devices();
    if (machine_.console_.host() && clock.mode() == ClockMode::wall_time)
        machine_.console_.host()->service(machine_);
}

// Stops before the instruction, which on a board would never complete, and
// lets the run's time pass instead.
void TimeSkip::stuck_for_ever(std::uint32_t pc)
{
    if (machine_.limits_ && machine_.limits_->single_step)
        return;
    idle_for_ever_at_ = pc;
    machine_.uncount_from(pc);
    if (machine_.clock().mode() == ClockMode::virtual_time && idle_horizon() == never)
        machine_.request_stop(StopReason::idle_for_ever,
                              "the firmware is idle for ever at " + machine_.code_location(pc));
    else
        let_idle_time_pass();
    uc_emu_stop(machine_.cpu_.engine());
}

// Each step is a share of the time already spent in the loop, so a wait
// ends at most that share late however long it is. A step never passes a
// quarter of the counter's cycle, so the firmware still sees every reload,
// nor 1 ms, so a short wait that follows ends close to on time.
void TimeSkip::busy_poll(const Device &device, std::uint32_t offset, std::uint32_t pc, std::uint64_t accesses_made)
{
    const std::optional<Cycles> cycle = device.counter_cycle(offset);
    if (!cycle)
        return;
    Clock &clock = machine_.clock();
    const Cycles now = clock.now();
    const std::uint32_t address = device.base() + offset;
    if (pc == poll_pc_ && address == poll_address_ && accesses_made == poll_access_ + 1) {
        Cycles step = std::min((now - poll_since_) / poll_step_share, clock.cpu_hz() / 1000);
        if (*cycle != never)
            step = std::min(step, *cycle / 4);
        // On the wall clock the host sleeps instead: a delay costs no CPU.
        if (step > 0) {
            clock.pass_to(now + step);
            if (clock.mode() == ClockMode::virtual_time)
                skipped_ += step;
        }
    } else {
        poll_pc_ = pc;
        poll_address_ = address;
        poll_since_ = now;
    }
    poll_access_ = accesses_made;
}

}  // namespace kelto::sim
