#include "machine/control_flow.hpp"

namespace kelto::sim {

namespace {

constexpr unsigned always = 14;

// A data-processing instruction that writes the pc: not a comparison (which
// has no destination), not a multiply or extra load/store (bits 7 and 4 set
// in the register form).
bool arm_data_writes_pc(std::uint32_t insn)
{
    if ((insn & 0x0C000000u) != 0 || ((insn >> 12) & 0xF) != 15)
        return false;
    const unsigned opcode = (insn >> 21) & 0xF;
    const bool comparison = opcode >= 8 && opcode <= 11;
    const bool extension = (insn & 0x02000090u) == 0x00000090u;
    return !comparison && !extension;
}

Flow arm_flow_kind(std::uint32_t insn)
{
    if ((insn & 0x0E000000u) == 0x0A000000u)
        return (insn & 0x01000000u) || (insn >> 28) == 0xF ? Flow::call : Flow::branch;
    if ((insn & 0x0FFFFFF0u) == 0x012FFF30u)
        return Flow::call;  // blx register
    if ((insn & 0x0FFFFFF0u) == 0x012FFF10u)
        return Flow::indirect;  // bx
    const bool load_pc = (insn & 0x0C10F000u) == 0x0410F000u && (insn & 0x02000010u) != 0x02000010u;
    const bool load_multiple_pc = (insn & 0x0E108000u) == 0x08108000u;
    if (load_pc || load_multiple_pc || arm_data_writes_pc(insn))
        return Flow::indirect;
    return Flow::next;
}

}  // namespace

InstructionFlow arm_flow(std::uint32_t insn)
{
    const unsigned condition = insn >> 28;
    InstructionFlow flow{arm_flow_kind(insn), condition < always, condition < always ? condition : always};
    return flow;
}

InstructionFlow thumb_flow(std::uint16_t insn)
{
    if ((insn & 0xF000u) == 0xD000u && ((insn >> 8) & 0xF) < always)
        return {Flow::branch, true, (insn >> 8) & 0xFu};
    if ((insn & 0xF800u) == 0xE000u)
        return {Flow::branch, false, always};
    if ((insn & 0xF800u) == 0xF000u || (insn & 0xFF87u) == 0x4780u)
        return {Flow::call, false, always};  // bl/blx pair, blx register
    const bool bx = (insn & 0xFF87u) == 0x4700u;
    const bool pop_pc = (insn & 0xFF00u) == 0xBD00u;
    const bool high_register_to_pc = (insn & 0xFC87u) == 0x4487u && (insn & 0x0300u) != 0x0100u;  // add/mov, not cmp
    if (bx || pop_pc || high_register_to_pc)
        return {Flow::indirect, false, always};
    return {};
}

std::uint32_t arm_branch_target(std::uint32_t address, std::uint32_t insn)
{
    const auto offset = static_cast<std::int32_t>(insn << 8) >> 6;
    return address + 8 + static_cast<std::uint32_t>(offset);
}

std::uint32_t thumb_branch_target(std::uint32_t address, std::uint16_t insn)
{
    const bool conditional = (insn & 0xF000u) == 0xD000u;
    const std::int32_t offset = conditional ? static_cast<std::int8_t>(insn & 0xFFu) * 2
                                            : (static_cast<std::int32_t>(static_cast<std::uint32_t>(insn) << 21) >> 20);
    return address + 4 + static_cast<std::uint32_t>(offset);
}

bool condition_passed(unsigned condition, std::uint32_t cpsr)
{
    const bool n = cpsr >> 31 & 1, z = cpsr >> 30 & 1, c = cpsr >> 29 & 1, v = cpsr >> 28 & 1;
    bool holds = true;
    switch (condition >> 1) {
    case 0: holds = z; break;
    case 1: holds = c; break;
    case 2: holds = n; break;
    case 3: holds = v; break;
    case 4: holds = c && !z; break;
    case 5: holds = n == v; break;
    case 6: holds = !z && n == v; break;
    default: return true;
    }
    // Odd conditions are the even ones negated.
    return (condition & 1) ? !holds : holds;
}

}  // namespace kelto::sim
