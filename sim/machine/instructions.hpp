// What the machine needs to know of the instructions themselves, in both of
// the core's states: how many a span of code holds, whether one may store,
// and which can never let the firmware move on.
//
// Counts follow the engine, which executes each instruction whole. Neither
// emulated core has Thumb-2: a 32-bit Thumb encoding other than the BL/BLX
// pair is undefined there. A BL/BLX pair (a prefix with 0b11110 in its top
// bits, then its suffix) runs as one instruction and counts as one; only a
// prefix that ends a block, as at the end of a page, runs and counts alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kelto::sim {

struct ThumbWalk {
    std::uint32_t instructions = 0;
    std::size_t halfwords = 0;
};

// Walks Thumb code from its start, over at most `limit` instructions.
ThumbWalk walk_thumb(std::span<const std::uint16_t> code, std::uint32_t limit = ~0u);

// Errs on the side of a store: literal data between the instructions only
// costs a closer look.
bool arm_may_store(std::uint32_t insn);
bool thumb_may_store(std::span<const std::uint16_t> code);

// A branch to itself, or a wait for an interrupt that on these boards never
// comes.
bool arm_endless(std::uint32_t insn);
bool thumb_endless(std::uint16_t insn);

// r0 to r14 as the instruction finds them; the decoders know what it reads
// as the pc.
using CoreRegisters = std::array<std::uint32_t, 15>;

// The words a load or store reaches: from the one holding `first` to the one
// holding `last`.
struct MemoryAccess {
    bool load = false;
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    bool reaches(std::uint32_t address) const { return address >= (first & ~3u) && address <= last + 3; }
};

// The access the load or store at `at` makes with these registers; nothing
// for any other instruction.
std::optional<MemoryAccess> arm_access(std::uint32_t insn, std::uint32_t at, const CoreRegisters &registers);
std::optional<MemoryAccess> thumb_access(std::uint16_t insn, std::uint32_t at, const CoreRegisters &registers);

}  // namespace kelto::sim
