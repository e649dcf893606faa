// The entry point every fuzz target defines. libFuzzer calls it with each
// input; in the host build replay.cpp calls it with the saved inputs, so the
// corpus and the inputs that once found a fault run with every test.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);
