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

#include <cstddef>
#include <cstdint>
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

}  // namespace kelto::sim
