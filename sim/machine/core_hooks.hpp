// Unicorn's C callbacks into the machine, installed once at start-up (the
// deadline's as a run needs it).
#pragma once

#include <unicorn/unicorn.h>

#include <cstdint>

namespace kelto::sim {

struct MachineHooks {
    static void block(uc_engine *uc, std::uint64_t address, std::uint32_t size, void *user);
    static bool invalid(uc_engine *uc, uc_mem_type type, std::uint64_t address, int size, std::int64_t value,
                        void *user);
    static void exception(uc_engine *uc, std::uint32_t number, void *user);
    static void deadline(uc_engine *uc, std::uint64_t address, std::uint32_t size, void *user);
    static bool invalid_instruction(uc_engine *uc, void *user);
};

}  // namespace kelto::sim
