// Fault reports: where the core stopped and what it was doing there.
#include <unicorn/unicorn.h>

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>

#include "machine/hex.hpp"
#include "machine/instructions.hpp"
#include "machine/machine.hpp"

namespace kelto::sim {

namespace {

std::string demangled(const std::string &name)
{
    int status = 0;
    char *text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status != 0 || !text)
        return name;
    std::string result = text;
    std::free(text);
    return result;
}

}  // namespace

std::string Machine::describe(std::uint32_t address) const
{
    if (!image_.covering(address))
        return hex(address);
    return hex(address) + " (" + code_location(address) + ")";
}

std::string Machine::code_location(std::uint32_t address) const
{
    const std::optional<Symbol> symbol = image_.covering(address);
    if (!symbol)
        return hex(address);
    char offset[16];
    std::snprintf(offset, sizeof offset, "+0x%x", address - symbol->address);
    return demangled(symbol->name) + offset;
}

std::string Machine::where(std::uint32_t pc) const
{
    return "pc " + describe(pc);
}

void Machine::raise_fault(std::string message, std::uint32_t address, std::uint32_t value, bool write)
{
    if (fault_)
        return;
    // Every report of a store names what was stored.
    if (write && message.find(hex(value)) == std::string::npos)
        message += " (value " + hex(value) + ")";
    fault_at(message, address, value, locate_access(address, write));
}

// The core stops at once: Unicorn abandons the instruction making the access,
// so the registers are as the instruction found them.
void Machine::fault_at(const std::string &message, std::uint32_t address, std::uint32_t value, std::uint32_t pc)
{
    if (fault_)
        return;
    uc_emu_stop(cpu_.engine());
    // The faulting instruction and the rest of its block do not run (a jump's
    // target lies outside it).
    uncount_from(pc);
    char time[48];
    std::snprintf(time, sizeof time, "%.9f s", clock_.to_seconds(clock_.now()));
    const std::string report = message + ", at " + where(pc) + ", at " + time + " of board time";
    fault_ = Fault{report, address, value, pc};
    request_stop(StopReason::fault, report);
}

// The jump has happened, as on a core whose fetch aborts: the board halts at
// its target with the registers it left. A jump from the run's first
// instruction came from whatever set the pc.
void Machine::fault_on_jump(std::uint32_t target)
{
    if (fault_)
        return;
    if (block_->size())
        jumped_from_ = code_location(instruction_after(block_->instructions - 1));
    fault_at("jump to " + hex(target) + ", where the image has no code, from " + jumped_from_, target, 0, target);
}

// Unicorn reports the start of the translated block, not the instruction, for
// a memory access. The registers are current, though, so the instruction is
// found by decoding the block's loads and stores and matching the address.
std::uint32_t Machine::locate_access(std::uint32_t address, bool write) const
{
    const CoreRegisters registers = cpu_.core_registers();
    const std::uint32_t step = block_->thumb ? 2 : 4;
    for (std::uint32_t at = block_->pc(); at < block_->pc() + block_->size(); at += step) {
        std::uint32_t insn = 0;
        if (uc_mem_read(cpu_.engine(), at, &insn, step) != UC_ERR_OK)
            break;
        const std::optional<MemoryAccess> access = block_->thumb
                                                       ? thumb_access(static_cast<std::uint16_t>(insn), at, registers)
                                                       : arm_access(insn, at, registers);
        if (access && access->load == !write && access->reaches(address))
            return at;
    }
    return block_->pc();
}

}  // namespace kelto::sim
