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

MemoryAccess single_access(bool load, std::uint32_t address)
{
    return MemoryAccess{load, address, address};
}

MemoryAccess block_access(bool load, std::uint32_t first, std::uint32_t words)
{
    return MemoryAccess{load, first, first + 4 * (words ? words - 1 : 0)};
}

std::uint32_t arm_shifted(std::uint32_t insn, std::uint32_t rm)
{
    const unsigned amount = (insn >> 7) & 31;
    switch ((insn >> 5) & 3) {
    case 0: return rm << amount;
    case 1: return amount ? rm >> amount : 0u;
    case 2: return amount ? static_cast<std::uint32_t>(static_cast<std::int32_t>(rm) >> amount) : (rm >> 31 ? ~0u : 0u);
    default: return amount ? (rm >> amount) | (rm << (32 - amount)) : rm;
    }
}

std::uint32_t arm_indexed(std::uint32_t insn, std::uint32_t base, std::uint32_t offset)
{
    const bool pre = (insn >> 24) & 1;
    const bool up = (insn >> 23) & 1;
    return pre ? (up ? base + offset : base - offset) : base;
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
        // The same decoding that finds an access's address; here only its direction counts.
        const std::optional<MemoryAccess> narrow = thumb_access(code[at], 0, CoreRegisters{});
        if ((narrow && !narrow->load) || (thumb_wide(code[at]) && !thumb_bl_prefix(code[at]) && !after_prefix))
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

std::optional<MemoryAccess> arm_access(std::uint32_t insn, std::uint32_t at, const CoreRegisters &registers)
{
    auto reg = [&](unsigned n) { return n == 15 ? at + 8 : registers[n]; };
    const bool load = (insn >> 20) & 1;
    const std::uint32_t base = reg((insn >> 16) & 15);
    const std::uint32_t kind = (insn >> 25) & 7;
    if (kind == 2 || (kind == 3 && !((insn >> 4) & 1))) {  // ldr, str, ldrb, strb
        const std::uint32_t offset = kind == 3 ? arm_shifted(insn, reg(insn & 15)) : (insn & 0xFFF);
        return single_access(load, arm_indexed(insn, base, offset));
    }
    const std::uint32_t extra = (insn >> 5) & 3;  // h, sb, sh; without L: ldrd, strd
    if (kind == 0 && (insn & 0x90) == 0x90 && extra != 0) {
        const std::uint32_t offset = ((insn >> 22) & 1) ? (((insn >> 4) & 0xF0) | (insn & 0xF)) : reg(insn & 15);
        const std::uint32_t address = arm_indexed(insn, base, offset);
        const bool doubleword = !load && extra >= 2;
        return doubleword ? block_access(extra == 2, address, 2) : single_access(load, address);
    }
    if (kind == 4) {  // ldm, stm, push, pop
        const bool pre = (insn >> 24) & 1;
        const bool up = (insn >> 23) & 1;
        const auto words = static_cast<std::uint32_t>(__builtin_popcount(insn & 0xFFFF));
        const std::uint32_t first = up ? (pre ? base + 4 : base) : (pre ? base - 4 * words : base - 4 * words + 4);
        return block_access(load, first, words);
    }
    return std::nullopt;
}

// Thumb-1 only; the halves of a BL pair are no access.
std::optional<MemoryAccess> thumb_access(std::uint16_t insn, std::uint32_t at, const CoreRegisters &registers)
{
    auto low = [&](unsigned shift) { return registers[(insn >> shift) & 7]; };
    const bool load = (insn >> 11) & 1;
    const std::uint32_t sp = registers[13];
    if ((insn & 0xF800) == 0x4800)  // ldr rd, [pc, #imm]: pc is word-aligned
        return single_access(true, ((at + 4) & ~3u) + 4 * (insn & 0xFF));
    if ((insn & 0xF000) == 0x5000)  // [rn, rm]: str, strh, strb, then the loads
        return single_access(((insn >> 9) & 7) >= 3, low(3) + low(6));
    if ((insn & 0xE000) == 0x6000)  // ldr, str, ldrb, strb [rn, #imm]
        return single_access(load, low(3) + ((insn >> 6) & 31) * (((insn >> 12) & 1) ? 1 : 4));
    if ((insn & 0xF000) == 0x8000)  // ldrh, strh [rn, #imm]
        return single_access(load, low(3) + ((insn >> 6) & 31) * 2);
    if ((insn & 0xF000) == 0x9000)  // ldr, str [sp, #imm]
        return single_access(load, sp + 4 * (insn & 0xFF));
    if ((insn & 0xF600) == 0xB400) {  // push, pop: bit 8 adds lr or pc
        const auto words = static_cast<std::uint32_t>(__builtin_popcount(insn & 0x1FF));
        return block_access(load, load ? sp : sp - 4 * words, words);
    }
    if ((insn & 0xF000) == 0xC000)  // ldmia, stmia
        return block_access(load, low(8), static_cast<std::uint32_t>(__builtin_popcount(insn & 0xFF)));
    return std::nullopt;
}

}  // namespace kelto::sim
