// The machine's side of idle firmware: letting board time pass without
// executing a loop that changes nothing, and instructions that can never let
// the firmware move on.
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "machine/idle.hpp"
#include "machine/machine.hpp"

namespace kelto::sim {

namespace {

constexpr std::uint32_t branch_to_self = 0xEAFFFFFE;
// The ARMv6K and ARMv7 encoding.
constexpr std::uint32_t wait_for_interrupt = 0xE320F003;

// Also the older cores' form, mcr p15, 0, rX, c7, c0, 4, with any rX.
bool waits_for_interrupt(std::uint32_t insn)
{
    return insn == wait_for_interrupt || (insn & 0xFFFF0FFF) == 0xEE070F90;
}

}  // namespace

struct EndlessHooks {
    static void reached(uc_engine *, std::uint64_t address, std::uint32_t, void *user)
    {
        static_cast<Machine *>(user)->stuck_for_ever(static_cast<std::uint32_t>(address));
    }
};

// The boards have no interrupts, so neither a wait for one nor a branch to
// itself ever ends. Any word of the image that could be one is hooked: a
// literal that is never executed costs nothing.
void Machine::watch_endless_instructions()
{
    idle_ = std::make_unique<IdleDetector>(uc_, board_.dram_base, board_.dram_size);
    for (const Segment &segment : image_.segments()) {
        for (std::size_t at = 0; at + 4 <= segment.bytes.size(); at += 4) {
            std::uint32_t insn = 0;
            std::memcpy(&insn, &segment.bytes[at], sizeof insn);
            if (insn != branch_to_self && !waits_for_interrupt(insn))
                continue;
            const std::uint64_t address = segment.address + at;
            uc_hook hook = 0;
            if (uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void *>(&EndlessHooks::reached), this, address,
                            address) != UC_ERR_OK)
                throw std::runtime_error("cannot watch the image for idle instructions");
        }
    }
}

bool Machine::idling() const
{
    return idle_->idle() || idle_for_ever_at_.has_value();
}

// The next moment anything the firmware could read may change: a model's
// event, or the end of what the run may skip to. (A loop that reads a
// ticking counter is never idle.)
Cycles Machine::idle_horizon()
{
    return std::min(idle_deadline_, next_model_event());
}

void Machine::let_idle_time_pass()
{
    clock_.pass_to(idle_horizon());
    service_devices();
    if (host_ && clock_.mode() == ClockMode::wall_time)
        host_->service(*this);
}

// Stops before the instruction, which on a board would never complete, and
// lets the run's time pass instead.
void Machine::stuck_for_ever(std::uint32_t pc)
{
    if (limits_ && limits_->single_step)
        return;
    idle_for_ever_at_ = pc;
    // The block was counted whole; from this instruction on it does not run.
    if (pc >= block_pc_ && pc < block_pc_ + block_size_)
        clock_.uncount((block_pc_ + block_size_ - pc) / 4);
    if (clock_.mode() == ClockMode::virtual_time && idle_horizon() == never)
        request_stop(StopReason::idle_for_ever, "the firmware is idle for ever at " + code_location(pc));
    else
        let_idle_time_pass();
    uc_emu_stop(uc_);
}

}  // namespace kelto::sim
