// What a debugger asks of the core, in the manner of a hardware probe:
// breakpoints, watchpoints and single steps, each paid for in emulation
// speed only while it is set.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

struct uc_struct;

namespace kelto::sim {

class Machine;

// What a watchpoint looks for.
enum class WatchKind : std::uint8_t { write, read, access };

class DebugPort {
public:
    struct WatchHit {
        std::uint32_t address;
        WatchKind kind;
    };

    DebugPort(Machine &machine, uc_struct *uc);
    DebugPort(const DebugPort &) = delete;
    DebugPort &operator=(const DebugPort &) = delete;

    void add_breakpoint(std::uint32_t address);
    void remove_breakpoint(std::uint32_t address);
    bool breakpoint_at(std::uint32_t address) const
    {
        return std::any_of(breakpoints_.begin(), breakpoints_.end(), [&](const auto &point) { return point.first == address; });
    }
    void add_watchpoint(std::uint32_t address, std::uint32_t length, WatchKind kind);
    void remove_watchpoint(std::uint32_t address, std::uint32_t length, WatchKind kind);

    // A run starts at pc: one at a breakpoint runs past it.
    void start_run(std::uint32_t pc, bool single_step);
    void end_run();
    // The run that ends at pc has come to a breakpoint there, not the one it
    // started at and has yet to run past.
    bool arrived_at_breakpoint(std::uint32_t pc) const { return breakpoint_at(pc) && run_past_ != pc; }
    const std::optional<WatchHit> &watch_hit() const { return watch_hit_; }
    // An access the core made, DRAM or register.
    void accessed(std::uint32_t address, unsigned size, bool write)
    {
        if (!watchpoints_.empty())
            on_watched(address, size, write);
    }

private:
    friend struct DebugHooks;
    void on_breakpoint(std::uint32_t address);
    void on_instruction(std::uint32_t pc);
    void on_watched(std::uint32_t address, unsigned size, bool write);
    void update_hooks();

    Machine &machine_;
    uc_struct *uc_;
    std::vector<std::pair<std::uint32_t, std::size_t>> breakpoints_;  // address, Unicorn hook
    std::optional<std::uint32_t> run_past_;  // the breakpoint a run starts at
    struct Watchpoint {
        std::uint32_t address;
        std::uint32_t length;
        WatchKind kind;
    };
    std::vector<Watchpoint> watchpoints_;
    std::vector<std::size_t> watch_hooks_;  // Unicorn hooks while watching or stepping
    bool stepping_ = false;
    bool stepped_ = false;  // the step's instruction has begun
    std::optional<WatchHit> watch_hit_;
};

}  // namespace kelto::sim
