// A whole board as a value: the core's registers, DRAM, every model, the
// clock, the console line and what the machine knows of its run, taken
// between two runs and restored into a machine of the same image.
//
// DRAM pages are shared between states where they did not change, so a
// state costs the pages written since the one before it. On disk a state
// names its image by a fingerprint (FNV-1a-64 of the image file's bytes) and
// its layout by a version; the payload has a checksum.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/state.hpp"
#include "machine/dram.hpp"

namespace kelto::sim {

struct BoardState {
    std::uint64_t image = 0;  // fingerprint of the image file
    // Core, machine, clock and models, as they saved themselves.
    std::vector<std::uint8_t> parts;
    DramPages dram;
};

// Raised with each change of what a state holds or how a file lays it out.
inline constexpr std::uint32_t state_format_version = 1;

// A state as part of a larger payload (a failure bundle holds one).
void write_board_state(StateWriter &out, const BoardState &state);
BoardState read_board_state(StateReader &in, std::uint64_t image);

std::vector<std::uint8_t> encode_state_file(const BoardState &state);
// Refuses (StateError, with the reason) a file of another format version,
// for another image, truncated or corrupt; never half-decodes one.
BoardState decode_state_file(std::span<const std::uint8_t> bytes, std::uint64_t image);

// Throw std::runtime_error with the path and the reason.
void write_state_file(const std::string &path, const BoardState &state);
BoardState read_state_file(const std::string &path, std::uint64_t image);

}  // namespace kelto::sim
