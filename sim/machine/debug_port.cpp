#include "machine/debug_port.hpp"

#include <unicorn/unicorn.h>

#include <algorithm>

#include "machine/cpu.hpp"
#include "machine/machine.hpp"

namespace kelto::sim {

struct DebugHooks {
    static void breakpoint(uc_engine *, std::uint64_t address, std::uint32_t, void *user)
    {
        static_cast<DebugPort *>(user)->on_breakpoint(static_cast<std::uint32_t>(address));
    }

    static void instruction(uc_engine *, std::uint64_t address, std::uint32_t, void *user)
    {
        static_cast<DebugPort *>(user)->on_instruction(static_cast<std::uint32_t>(address));
    }

    static void watched(uc_engine *, uc_mem_type type, std::uint64_t address, int size, std::int64_t, void *user)
    {
        static_cast<DebugPort *>(user)->on_watched(static_cast<std::uint32_t>(address), static_cast<unsigned>(size),
                                                   type == UC_MEM_WRITE);
    }
};

DebugPort::DebugPort(Machine &machine, uc_struct *uc) : machine_(machine), uc_(uc) {}

void DebugPort::start_run(std::uint32_t pc, bool single_step)
{
    watch_hit_.reset();
    run_past_.reset();
    for (const auto &[address, hook] : breakpoints_)
        if (address == pc)
            run_past_ = pc;
    if (single_step) {
        stepping_ = true;
        stepped_ = false;
        update_hooks();
    }
}

void DebugPort::end_run()
{
    if (stepping_) {
        stepping_ = false;
        update_hooks();
    }
}

void DebugPort::add_breakpoint(std::uint32_t address)
{
    for (const auto &[at, hook] : breakpoints_)
        if (at == address)
            return;
    uc_hook hook;
    check(uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void *>(&DebugHooks::breakpoint), this, address,
                      address),
          "breakpoint");
    breakpoints_.emplace_back(address, hook);
    uc_ctl_remove_cache(uc_, address, std::uint64_t{address} + 4);
}

void DebugPort::remove_breakpoint(std::uint32_t address)
{
    for (auto it = breakpoints_.begin(); it != breakpoints_.end(); ++it) {
        if (it->first == address) {
            uc_hook_del(uc_, it->second);
            breakpoints_.erase(it);
            uc_ctl_remove_cache(uc_, address, std::uint64_t{address} + 4);
            return;
        }
    }
}

void DebugPort::on_breakpoint(std::uint32_t address)
{
    const bool run_past = run_past_ == address;
    run_past_.reset();
    if (run_past)
        return;
    // Unicorn looks for a stop right after a code hook: the instruction does
    // not run.
    machine_.stop_before(address, StopReason::breakpoint);
}

void DebugPort::add_watchpoint(std::uint32_t address, std::uint32_t length, WatchKind kind)
{
    watchpoints_.push_back(Watchpoint{address, std::max<std::uint32_t>(length, 1), kind});
    update_hooks();
}

void DebugPort::remove_watchpoint(std::uint32_t address, std::uint32_t length, WatchKind kind)
{
    length = std::max<std::uint32_t>(length, 1);
    auto found = std::find_if(watchpoints_.begin(), watchpoints_.end(), [&](const Watchpoint &w) {
        return w.address == address && w.length == length && w.kind == kind;
    });
    if (found != watchpoints_.end()) {
        watchpoints_.erase(found);
        update_hooks();
    }
}

// Watching and stepping cost only while they last: DRAM accesses go through
// memory hooks over the watched ranges (registers are seen by the MMIO path
// anyway), and a code hook on every instruction stops the core right after
// the one that made a watched access, or after the step's one instruction.
// (Unicorn's own instruction count is not used for steps: switching it off
// flushes its whole translation cache, which takes seconds.)
void DebugPort::update_hooks()
{
    for (std::size_t hook : watch_hooks_)
        uc_hook_del(uc_, hook);
    watch_hooks_.clear();
    uc_hook hook;
    if (!watchpoints_.empty() || stepping_) {
        check(uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void *>(&DebugHooks::instruction), this, 1, 0),
              "watchpoint");
        watch_hooks_.push_back(hook);
    }
    const BoardSpec &board = machine_.board();
    const std::uint64_t dram_end = std::uint64_t{board.dram_base} + board.dram_size;
    for (const Watchpoint &watch : watchpoints_) {
        const std::uint64_t last = std::uint64_t{watch.address} + watch.length - 1;
        if (last < board.dram_base || watch.address >= dram_end)
            continue;
        // Unicorn matches a hook's range against the first byte accessed:
        // start early enough for an access of up to 8 bytes that overlaps.
        const std::uint64_t first = watch.address - std::min<std::uint32_t>(watch.address, 7);
        const int types = watch.kind == WatchKind::write  ? UC_HOOK_MEM_WRITE
                          : watch.kind == WatchKind::read ? UC_HOOK_MEM_READ
                                                          : UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE;
        check(uc_hook_add(uc_, &hook, types, reinterpret_cast<void *>(&DebugHooks::watched), this, first, last),
              "watchpoint");
        watch_hooks_.push_back(hook);
    }
    machine_.memory_.drop_translations();
}

void DebugPort::on_watched(std::uint32_t address, unsigned size, bool write)
{
    if (watch_hit_)
        return;
    for (const Watchpoint &watch : watchpoints_) {
        const bool kind = watch.kind == WatchKind::access || (watch.kind == WatchKind::write) == write;
        if (kind && address < std::uint64_t{watch.address} + watch.length &&
            watch.address < std::uint64_t{address} + size) {
            watch_hit_ = WatchHit{std::max(address, watch.address), watch.kind};
            return;
        }
    }
}

// While watching or stepping: the instruction after a watched access, or
// after the step's, does not run.
void DebugPort::on_instruction(std::uint32_t pc)
{
    if (watch_hit_ || (stepping_ && std::exchange(stepped_, true)))
        machine_.stop_before(pc, watch_hit_ ? StopReason::watchpoint : StopReason::step);
}

}  // namespace kelto::sim
