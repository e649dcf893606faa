// What a debugger does to the board, and nothing more: the GDB stub talks to
// this interface only. Breakpoints and watchpoints stay across a reset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frontends/frontend.hpp"
#include "machine/machine.hpp"

namespace kelto::sim::frontend {

// A stretch of the address space the firmware uses: DRAM, or one
// peripheral's register window.
struct MemoryRegion {
    std::uint32_t start;
    std::uint32_t length;
    std::string name;
    bool operator==(const MemoryRegion &) const = default;
};

class DebugTarget {
public:
    virtual ~DebugTarget() = default;

    // Run control; the board tells its front ends when it halts.
    virtual bool halted() const = 0;
    virtual void halt() = 0;
    virtual void resume() = 0;
    virtual void step() = 0;
    // main has returned: there is nothing more to run.
    virtual bool exited() const = 0;

    // r0-r15, then cpsr (Machine::cpsr_register).
    virtual std::uint32_t reg(int number) = 0;
    virtual void set_reg(int number, std::uint32_t value) = 0;
    // As much of the range as can be read, without side effects.
    virtual std::vector<std::uint8_t> read_memory(std::uint32_t address, std::size_t size) = 0;
    // A write on the board's bus, with the effects the firmware's stores
    // would have; the reason it is refused, if it is (Machine::store).
    virtual std::optional<std::string> write_memory(std::uint32_t address, const void *data, std::size_t size) = 0;
    // Every region the firmware may access, in order of address.
    virtual std::vector<MemoryRegion> memory_map() = 0;

    virtual void add_breakpoint(std::uint32_t address) = 0;
    virtual void remove_breakpoint(std::uint32_t address) = 0;
    virtual void add_watchpoint(std::uint32_t address, std::uint32_t length, WatchKind kind) = 0;
    virtual void remove_watchpoint(std::uint32_t address, std::uint32_t length, WatchKind kind) = 0;
    // The peripherals' registers with their fields in words (monitor regs):
    // those named by what, every one with what empty; empty for no match.
    virtual std::string registers_text(std::string_view what) = 0;

    // What the monitor commands act on: reset, buttons, the board's view,
    // notes, the end of the session.
    virtual Board &board() = 0;
};

}  // namespace kelto::sim::frontend
