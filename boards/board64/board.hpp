// Board 64: S3C6410 (ARM1176), console on UART channel 1.
#pragma once

#include <stdint.h>

namespace board {

constexpr uint32_t pclk_hz = 66'000'000;

// UART channel bases, indexed by channel number.
constexpr uint32_t uart_base[4] = {0x7F005000, 0x7F005400, 0x7F005800, 0x7F005C00};

// Heap for the standard library, in DRAM above the image. The limit leaves
// the top of the 128 MiB of DRAM to the loader's stack.
constexpr uintptr_t heap_start = 0x52000000;
constexpr uintptr_t heap_limit = 0x53000000;

static_assert(heap_start % 4 == 0 && heap_limit % 4 == 0, "the heap break moves in words");
static_assert(heap_start < heap_limit && heap_limit <= 0x58000000, "heap inside DRAM");

}  // namespace board
