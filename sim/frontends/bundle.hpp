// A failure bundle: what it takes to see a failed run fail again, on
// another machine with the same image. The end of the run's recording (a
// state from shortly before the failure, the input from it on, the point of
// the failure) with what keltosim said of the failure and its exit status.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "machine/timeline.hpp"

namespace kelto::sim::frontend {

struct Bundle {
    Timeline::Excerpt recording;  // its end is the failure's point
    std::string reason;           // keltosim's message, without "keltosim: "
    int status = 0;
    // The strict checks stopped the board: the replay meets the fault itself
    // rather than being told of it.
    bool fault = false;
};

// Raised with each change of what a bundle holds or how it is laid out.
inline constexpr std::uint32_t bundle_format_version = 1;

std::vector<std::uint8_t> encode_bundle(const Bundle &bundle);
// Refuses (StateError, with the reason) a bundle of another format version,
// for another image, truncated or corrupt.
Bundle decode_bundle(std::span<const std::uint8_t> bytes, std::uint64_t image);

// Throw std::runtime_error with the path and the reason.
void write_bundle(const std::string &path, const Bundle &bundle);
Bundle read_bundle(const std::string &path, std::uint64_t image);

}  // namespace kelto::sim::frontend
