#include "machine/core_hooks.hpp"

#include <iterator>
#include <string>

#include "machine/hex.hpp"
#include "machine/machine.hpp"

namespace kelto::sim {

void MachineHooks::block(uc_engine *, std::uint64_t address, std::uint32_t size, void *user)
{
    static_cast<Machine *>(user)->on_block(address, size);
}

bool MachineHooks::invalid(uc_engine *, uc_mem_type type, std::uint64_t address64, int size, std::int64_t value, void *user)
{
    auto &machine = *static_cast<Machine *>(user);
    const auto address = static_cast<std::uint32_t>(address64);
    const auto word = static_cast<std::uint32_t>(value);
    std::string message;
    switch (type) {
    case UC_MEM_WRITE_PROT:
        message = "store of " + hex(word) + " (" + std::to_string(size) + " bytes) into the image's code at " +
                  machine.describe(address);
        break;
    case UC_MEM_FETCH_UNMAPPED:
    case UC_MEM_FETCH_PROT: machine.fault_on_jump(address); return false;
    case UC_MEM_READ_UNMAPPED:
        message = "read of " + hex(address) + ", which is neither DRAM nor a modelled register";
        break;
    case UC_MEM_WRITE_UNMAPPED:
        message = "write of " + hex(word) + " to " + hex(address) + ", which is neither DRAM nor a modelled register";
        break;
    default:
        message = "invalid memory access at " + hex(address);
        break;
    }
    machine.raise_fault(message, address, word, type == UC_MEM_WRITE_PROT || type == UC_MEM_WRITE_UNMAPPED);
    return false;
}

void MachineHooks::exception(uc_engine *uc, std::uint32_t number, void *user)
{
    static const char *const names[] = {"", "undefined instruction", "software interrupt", "prefetch abort",
                                        "data abort", "IRQ", "FIQ", "breakpoint"};
    auto &machine = *static_cast<Machine *>(user);
    const char *name = number < std::size(names) ? names[number] : "exception";
    // The pc is the instruction's, except after a software interrupt.
    std::uint32_t pc = 0, cpsr = 0;
    uc_reg_read(uc, UC_ARM_REG_PC, &pc);
    uc_reg_read(uc, UC_ARM_REG_CPSR, &cpsr);
    if (number == 2)
        pc -= (cpsr & 0x20) ? 2 : 4;
    machine.fault_at(std::string("CPU exception: ") + name + " (the image has no exception vectors)", pc, number,
                     pc);
    uc_emu_stop(uc);
}

void MachineHooks::deadline(uc_engine *, std::uint64_t address, std::uint32_t, void *user)
{
    static_cast<Machine *>(user)->on_deadline_instruction(static_cast<std::uint32_t>(address));
}

bool MachineHooks::invalid_instruction(uc_engine *uc, void *user)
{
    auto &machine = *static_cast<Machine *>(user);
    std::uint32_t pc = 0;
    uc_reg_read(uc, UC_ARM_REG_PC, &pc);
    machine.fault_at("undefined instruction", pc, 0, pc);
    return false;
}

void Machine::install_hooks()
{
    uc_engine *uc = cpu_.engine();
    uc_hook hook;
    check(uc_hook_add(uc, &hook, UC_HOOK_BLOCK, reinterpret_cast<void *>(&MachineHooks::block), this, 1, 0),
          "block hook");
    check(uc_hook_add(uc, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void *>(&MachineHooks::invalid), this, 1, 0),
          "memory hook");
    check(uc_hook_add(uc, &hook, UC_HOOK_INTR, reinterpret_cast<void *>(&MachineHooks::exception), this, 1, 0),
          "exception hook");
    check(uc_hook_add(uc, &hook, UC_HOOK_INSN_INVALID, reinterpret_cast<void *>(&MachineHooks::invalid_instruction),
                      this, 1, 0),
          "instruction hook");
}

}  // namespace kelto::sim
