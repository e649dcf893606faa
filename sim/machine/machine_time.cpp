// Counting time: each block's instructions on the clock, the models' events
// and the run's deadline served between blocks, and a run that stops exactly
// on its deadline however the code falls into blocks.
#include <unicorn/unicorn.h>

#include <algorithm>

#include "machine/core_hooks.hpp"
#include "machine/instructions.hpp"
#include "machine/machine.hpp"

namespace kelto::sim {

namespace {

constexpr Cycles wall_service_instructions = 16384;

}  // namespace

void Machine::schedule(Cycles when)
{
    next_service_ = std::min(next_service_, when);
    if (clock_.mode() == ClockMode::virtual_time)
        attention_ = std::min(attention_, when);
}

void Machine::refresh_deadline()
{
    next_service_ = std::min(deadline_, registers_.next_event());
    refresh_attention();
}

void Machine::service_devices()
{
    const Cycles now = clock_.now();
    registers_.advance(now);
    if (now >= deadline_)
        request_stop(StopReason::time_limit);
    refresh_deadline();
}

// Between two blocks of a turn of the loop the idle detector follows: an
// event that fires here changes what the turn's earlier reads saw, so that
// turn cannot prove the loop idle. (A byte arriving just after the receiver
// read empty would otherwise let the wait pass unseen to the run's end.)
void Machine::service_devices_in_turn()
{
    if (registers_.next_event() <= clock_.now())
        skip_.idle().model_changed();
    service_devices();
}

void Machine::attend_block()
{
    if (stop_request_ || restart_emulation_) {
        restart_emulation_ = false;
        stop_before_block();
        return;
    }
    if (stop_inside_block())
        return;
    if (clock_.mode() == ClockMode::virtual_time) {
        if (clock_.now() >= next_service_)
            service_devices_in_turn();
    } else if (clock_.counted() >= wall_attention_) {
        wall_attention_ = clock_.counted() + wall_service_instructions;
        service_devices_in_turn();
        if (console_.host())
            console_.host()->service(*this);
    }
    if (skip_.idle().block(block_->pc(), block_->size(), block_->thumb))
        skip_.let_idle_time_pass();
    refresh_attention();
}

// An observer hears of a block only if it runs.
void Machine::attend_and_observe(std::uint32_t pc, std::uint32_t size)
{
    const bool tell = tell_next_ || !block_->quiet;
    tell_next_ = !block_->quiet;
    if (clock_.counted() >= attention_) {
        stopped_before_block_ = false;
        attend_block();
        if (stopped_before_block_)
            return;
    }
    if (counter_)
        count_run(*block_, pc);
    if (!tell)
        return;
    const bool thumb = block_->thumb;
    for (ExecutionObserver *observer : observers_)
        observer->block(pc, size, thumb);
}

// A block that would run past the run's deadline is stopped before it and
// run again with a hook on the instruction the deadline falls on, so that a
// run ends exactly on its deadline however the code falls into blocks.
bool Machine::stop_inside_block()
{
    const Cycles end = clock_.counted();
    const Cycles start = end - block_->instructions;
    if (clock_.mode() != ClockMode::virtual_time || end <= deadline_)
        return false;
    // Time reached the deadline inside the block before (it skipped there
    // while the firmware waited): this block is the next run's.
    if (start >= deadline_) {
        service_devices();
        stop_before_block();
        return true;
    }
    // Hooked already: the block runs up to the instruction.
    if (deadline_hook_)
        return true;
    const std::uint32_t at = instruction_after(static_cast<std::uint32_t>(deadline_ - start));
    uc_hook hook = 0;
    if (uc_hook_add(cpu_.engine(), &hook, UC_HOOK_CODE, reinterpret_cast<void *>(&MachineHooks::deadline), this, at, at) !=
        UC_ERR_OK)
        return false;
    deadline_hook_ = hook;
    deadline_at_ = at;
    uc_ctl_remove_cache(cpu_.engine(), at, std::uint64_t{at} + 4);
    // The run ends in this block: no loop of it is followed further.
    skip_.idle().forget();
    stop_before_block();
    return true;
}

// Emulation stops before the block's first instruction: it runs, and counts,
// when emulation resumes. The engine's pc may still be that of the block
// before, when that one jumped straight into this, so the resumption point
// is kept here.
void Machine::stop_before_block()
{
    stopped_before_block_ = true;
    clock_.uncount(block_->instructions);
    resume_at_ = block_->pc() | (block_->thumb ? 1u : 0u);
    uc_emu_stop(cpu_.engine());
}

// A block is counted whole as it starts: when emulation stops inside it, the
// instructions from pc on have not run, and run and count when it resumes.
void Machine::uncount_from(std::uint32_t pc)
{
    if (pc < block_->pc() || pc >= block_->pc() + block_->size())
        return;
    const std::uint32_t not_run = block_->instructions - instructions_before(pc);
    clock_.uncount(not_run);
    // What ends the block did not run: no branch to resolve.
    leaving_ = &uncounted_;
    tell_next_ = true;
    for (const auto &hook : execution_hooks_)
        hook->observer->cut(pc, not_run);
}

// A debugger's stop before the instruction at pc. The deadline that the
// block's end reaches was served as the block began: the run ends short of
// it, here, for the debugger's reason.
void Machine::stop_before(std::uint32_t pc, StopReason reason)
{
    uncount_from(pc);
    if (stop_request_ == StopReason::time_limit && clock_.now() < deadline_)
        stop_request_.reset();
    request_stop(reason);
    uc_emu_stop(cpu_.engine());
}

void Machine::on_deadline_instruction(std::uint32_t pc)
{
    uncount_from(pc);
    deadline_reached_ = true;
    service_devices();
    uc_emu_stop(cpu_.engine());
}

void Machine::drop_deadline_hook()
{
    if (!deadline_hook_)
        return;
    uc_hook_del(cpu_.engine(), *deadline_hook_);
    deadline_hook_.reset();
    deadline_reached_ = false;
    uc_ctl_remove_cache(cpu_.engine(), deadline_at_, std::uint64_t{deadline_at_} + 4);
}

void Machine::on_new_block(std::uint64_t address, std::uint32_t size)
{
    const auto pc = static_cast<std::uint32_t>(address);
    block_counts_[(address >> 1) % block_counts_.size()] = count_block(pc, size);
    on_block(address, size);
}

Machine::BlockCount Machine::count_block(std::uint32_t pc, std::uint32_t size) const
{
    BlockCount block{pc | std::uint64_t{size} << 32, size / 4, cpu_.thumb()};
    if (block.thumb)
        block.instructions = walk_thumb(thumb_code(pc, pc + size)).instructions;
    block.quiet = std::all_of(observers_.begin(), observers_.end(),
                              [&](ExecutionObserver *observer) { return observer->quiet(pc, size, block.thumb); });
    const BlockCounters counters = counter_ ? counter_->counters(pc, size, block.thumb) : BlockCounters{};
    block.runs = counters.runs ? counters.runs : &uncounted_;
    block.left = counters.left ? counters.left : &uncounted_;
    return block;
}

std::vector<std::uint16_t> Machine::thumb_code(std::uint32_t from, std::uint32_t to) const
{
    std::vector<std::uint16_t> code((to - from) / 2);
    if (uc_mem_read(cpu_.engine(), from, code.data(), code.size() * 2) != UC_ERR_OK)
        code.clear();
    return code;
}

std::uint32_t Machine::instructions_before(std::uint32_t pc) const
{
    if (!block_->thumb)
        return (pc - block_->pc()) / 4;
    return walk_thumb(thumb_code(block_->pc(), pc)).instructions;
}

std::uint32_t Machine::instruction_after(std::uint32_t n) const
{
    if (!block_->thumb)
        return block_->pc() + 4 * n;
    const ThumbWalk walk = walk_thumb(thumb_code(block_->pc(), block_->pc() + block_->size()), n);
    return block_->pc() + 2 * static_cast<std::uint32_t>(walk.halfwords);
}

void Machine::refresh_attention()
{
    if (skip_.idle().take_deleted_hook())
        restart_emulation_ = true;
    if (stop_request_ || restart_emulation_ || skip_.idle().watching())
        attention_ = 0;
    else if (clock_.mode() == ClockMode::virtual_time)
        attention_ = next_service_;
    else
        attention_ = wall_attention_;
}

}  // namespace kelto::sim
