// The machine's side of idle firmware: letting board time pass without
// executing a loop that changes nothing, and instructions that can never let
// the firmware move on.
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "machine/idle.hpp"
#include "machine/instructions.hpp"
#include "machine/machine.hpp"

namespace kelto::sim {

struct EndlessHooks {
    // A hooked address may hold an endless instruction in one state only:
    // the size tells the state it runs in.
    static void reached(uc_engine *uc, std::uint64_t address, std::uint32_t size, void *user)
    {
        std::uint32_t insn = 0;
        if (uc_mem_read(uc, address, &insn, size == 2 ? 2 : 4) != UC_ERR_OK)
            return;
        if (size == 2 ? thumb_endless(static_cast<std::uint16_t>(insn)) : size == 4 && arm_endless(insn))
            static_cast<Machine *>(user)->stuck_for_ever(static_cast<std::uint32_t>(address));
    }
};

// The boards have no interrupts, so neither a wait for one nor a branch to
// itself ever ends. Any word or halfword of the image that could be one is
// hooked: a literal that is never executed costs nothing.
void Machine::watch_endless_instructions()
{
    idle_ = std::make_unique<IdleDetector>(uc_, board_.dram_base, board_.dram_size);
    for (const Segment &segment : image_.segments()) {
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
    uncount_from(pc);
    if (clock_.mode() == ClockMode::virtual_time && idle_horizon() == never)
        request_stop(StopReason::idle_for_ever, "the firmware is idle for ever at " + code_location(pc));
    else
        let_idle_time_pass();
    uc_emu_stop(uc_);
}

}  // namespace kelto::sim
