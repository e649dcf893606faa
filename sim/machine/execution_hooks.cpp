// Observers of execution (coverage, profiles): told of blocks by the
// machine's block hook, of flags by code hooks of their own on the
// instructions they name.
#include <unicorn/unicorn.h>

#include <algorithm>
#include <stdexcept>

#include "machine/machine.hpp"

namespace kelto::sim {

struct ExecutionHooks {
    static void flags(uc_engine *uc, std::uint64_t address, std::uint32_t, void *user)
    {
        std::uint32_t cpsr = 0;
        uc_reg_read(uc, UC_ARM_REG_CPSR, &cpsr);
        static_cast<Machine::ExecutionHook *>(user)->observer->flags_at(static_cast<std::uint32_t>(address), cpsr);
    }
    static void add(uc_engine *uc, Machine::ExecutionHook &hook, int type, void *callback, std::uint64_t begin,
                    std::uint64_t end)
    {
        uc_hook added = 0;
        check(uc_hook_add(uc, &added, type, callback, &hook, begin, end), "execution hook");
        hook.hooks.push_back(added);
    }
};

// A code hook bounded to one instruction costs nothing elsewhere; code
// translated before it was added would run without it.
void Machine::add_execution_observer(ExecutionObserver &observer, const std::vector<std::uint32_t> &flags_at)
{
    if (observer.counts_blocks() && counter_)
        throw std::logic_error("one observer at a time counts blocks");
    ExecutionHook &hook = *execution_hooks_.emplace_back(std::make_unique<ExecutionHook>(ExecutionHook{&observer, this, {}}));
    uc_engine *uc = cpu_.engine();
    if (observer.counts_blocks()) {
        counter_ = &observer;
        leaving_ = &uncounted_;
    } else {
        observers_.push_back(&observer);
    }
    // Blocks met before have neither its counters nor its word on quiet.
    forget_block_counts();
    told_ = !observers_.empty();
    observed_ = told_ || counter_;
    for (const std::uint32_t pc : flags_at)
        ExecutionHooks::add(uc, hook, UC_HOOK_CODE, reinterpret_cast<void *>(&ExecutionHooks::flags), pc, pc);
    if (!flags_at.empty())
        memory_.drop_translations();
}

void Machine::remove_execution_observer(ExecutionObserver &observer)
{
    std::erase_if(execution_hooks_, [&](const auto &hook) {
        if (hook->observer != &observer)
            return false;
        for (const std::size_t added : hook->hooks)
            uc_hook_del(cpu_.engine(), added);
        return true;
    });
    std::erase(observers_, &observer);
    // What the machine holds of its counters goes with it.
    if (counter_ == &observer) {
        counter_ = nullptr;
        leaving_ = &uncounted_;
    }
    forget_block_counts();
    told_ = !observers_.empty();
    observed_ = told_ || counter_;
}

Machine::ObserverMarks Machine::mark_observers() const
{
    ObserverMarks marks;
    for (const auto &hook : execution_hooks_)
        if (std::shared_ptr<const ObserverMark> mark = hook->observer->mark())
            marks.marks.emplace_back(hook->observer, std::move(mark));
    return marks;
}

// After the board's state: observers look at its clock. The counting
// observer that took a mark puts back the way out it was waiting for.
void Machine::rewind_observers(const ObserverMarks &marks)
{
    set_pending_exit(nullptr, 0);
    for (const auto &hook : execution_hooks_) {
        const auto marked = std::find_if(marks.marks.begin(), marks.marks.end(),
                                         [&](const auto &mark) { return mark.first == hook->observer; });
        hook->observer->rewind(marked == marks.marks.end() ? nullptr : marked->second.get());
    }
}

std::size_t Machine::ObserverMarks::bytes() const
{
    std::size_t total = sizeof *this;
    for (const auto &[observer, mark] : marks)
        total += mark->bytes();
    return total;
}

}  // namespace kelto::sim
