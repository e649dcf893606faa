// The only way the firmware touches a peripheral: one whole 32-bit word at a
// physical address, read or written as a volatile access.
#pragma once

#include <stdint.h>

inline uint32_t reg_read(uint32_t address)
{
    return *reinterpret_cast<volatile uint32_t *>(address);
}

inline void reg_write(uint32_t address, uint32_t value)
{
    *reinterpret_cast<volatile uint32_t *>(address) = value;
}

// Changes some bits of a register: one read, then one write of the whole
// word with the bits of clear cleared and those of set set.
inline void reg_modify(uint32_t address, uint32_t clear, uint32_t set)
{
    reg_write(address, (reg_read(address) & ~clear) | set);
}
