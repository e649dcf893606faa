// How an instruction leaves: on to the next, by a branch, a call or a jump
// to a computed address, and whether it runs only under a condition. For
// coverage (branches taken or not) and profiles (the call stack), in both of
// the core's states. Neither emulated core has Thumb-2.
#pragma once

#include <cstdint>

namespace kelto::sim {

enum class Flow : std::uint8_t {
    next,      // on to the following instruction
    branch,    // to a fixed target (B)
    call,      // BL, BLX: the return address is the following instruction
    indirect,  // a computed pc: returns (bx lr, pop {pc}, ldm {pc}, mov pc, lr) and jumps through tables
};

struct InstructionFlow {
    Flow flow = Flow::next;
    bool conditional = false;  // runs, or branches, only when its condition holds
    unsigned condition = 14;   // 0 EQ ... 13 LE; 14 always
};

InstructionFlow arm_flow(std::uint32_t insn);
// Of a BL/BLX pair, the prefix: the pair runs as one instruction.
InstructionFlow thumb_flow(std::uint16_t insn);

// Where a B at address goes, in either state (Thumb: conditional or not).
std::uint32_t arm_branch_target(std::uint32_t address, std::uint32_t insn);
std::uint32_t thumb_branch_target(std::uint32_t address, std::uint16_t insn);

// The ARM condition (0-13) against the CPSR's N, Z, C and V flags.
bool condition_passed(unsigned condition, std::uint32_t cpsr);

// mov lr, pc: with a bx after it, the ARMv4T way of calling through a register.
inline bool arm_links_pc(std::uint32_t insn)
{
    return insn == 0xE1A0E00Fu;
}

}  // namespace kelto::sim
