#include "machine/instructions.hpp"

namespace kelto::sim {

namespace {

bool thumb_bl_prefix(std::uint16_t half)
{
    return (half >> 11) == 0x1E;
}

// The top five bits of the first half of any 32-bit Thumb encoding.
bool thumb_wide(std::uint16_t half)
{
    return (half >> 11) >= 0x1D;
}

bool thumb_narrow_store(std::uint16_t half)
{
    const bool immediate = (half & 0xE800) == 0x6000;   // str, strb #imm
    const bool halfword = (half & 0xF800) == 0x8000;    // strh #imm
    const bool indexed = (half & 0xFC00) == 0x5000 ||   // str, strh [rn, rm]
                         (half & 0xFE00) == 0x5400;     // strb [rn, rm]
    const bool stack = (half & 0xF800) == 0x9000;       // str [sp, #imm]
    const bool push = (half & 0xFE00) == 0xB400;
    const bool multiple = (half & 0xF800) == 0xC000;    // stmia
    return immediate || halfword || indexed || stack || push || multiple;
}

}  // namespace

ThumbWalk walk_thumb(std::span<const std::uint16_t> code, std::uint32_t limit)
{
    ThumbWalk walk;
    while (walk.halfwords < code.size() && walk.instructions < limit) {
        const bool pair = thumb_bl_prefix(code[walk.halfwords]) && walk.halfwords + 1 < code.size();
        walk.halfwords += pair ? 2 : 1;
        walk.instructions++;
    }
    return walk;
}

bool arm_may_store(std::uint32_t insn)
{
    const bool load = (insn >> 20) & 1;
    const std::uint32_t kind = (insn >> 25) & 7;
    const bool single = kind == 2 || (kind == 3 && !((insn >> 4) & 1));  // str, strb
    const bool extra = kind == 0 && (insn & 0x90) == 0x90;               // strh, strd, swp, strex
    const bool block = kind == 4;                                         // stm, push
    const bool coprocessor = kind == 6;                                   // stc
    return ((single || block || coprocessor) && !load) || extra;
}

// Any 32-bit encoding but a BL/BLX pair may be a Thumb-2 store (str.w,
// strd, stm.w, push.w, stc): a core with Thumb-2 would run it.
bool thumb_may_store(std::span<const std::uint16_t> code)
{
    for (std::size_t at = 0; at < code.size(); at++) {
        const bool after_prefix = at > 0 && thumb_bl_prefix(code[at - 1]);
        if (thumb_narrow_store(code[at]) || (thumb_wide(code[at]) && !thumb_bl_prefix(code[at]) && !after_prefix))
            return true;
    }
    return false;
}

bool arm_endless(std::uint32_t insn)
{
    constexpr std::uint32_t branch_to_self = 0xEAFFFFFE;
    constexpr std::uint32_t wait_for_interrupt = 0xE320F003;  // ARMv6K and ARMv7
    // The older cores' form: mcr p15, 0, rX, c7, c0, 4, with any rX.
    return insn == branch_to_self || insn == wait_for_interrupt || (insn & 0xFFFF0FFF) == 0xEE070F90;
}

bool thumb_endless(std::uint16_t insn)
{
    constexpr std::uint16_t branch_to_self = 0xE7FE;
    constexpr std::uint16_t wait_for_interrupt = 0xBF30;
    return insn == branch_to_self || insn == wait_for_interrupt;
}

}  // namespace kelto::sim
