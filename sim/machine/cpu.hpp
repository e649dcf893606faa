// The emulated core: Unicorn's engine with the board's CPU, and the core's
// registers by the numbers a debugger gives them (r0-r15, then cpsr).
#pragma once

#include <cstdint>

#include "core/board.hpp"
#include "core/state.hpp"
#include "machine/instructions.hpp"

struct uc_struct;

namespace kelto::sim {

// Throws std::runtime_error naming what failed, unless err is Unicorn's OK.
void check(int err, const char *what);

class Cpu {
public:
    static constexpr int pc_register = 15;
    static constexpr int cpsr_register = 16;
    static constexpr int register_count = 17;
    // Unicorn's id of a register by its number.
    static int engine_id(int number);

    explicit Cpu(CpuCore core);
    ~Cpu();
    Cpu(const Cpu &) = delete;
    Cpu &operator=(const Cpu &) = delete;

    uc_struct *engine() const { return uc_; }
    std::uint32_t read(int number) const;
    void write(int number, std::uint32_t value);
    // r0-r14 as the instruction being run finds them.
    CoreRegisters core_registers() const;
    bool thumb() const;
    // Writes the pc with the core's state kept: the engine takes the state
    // from bit 0 of a pc written to it.
    void move_pc(std::uint32_t pc);

    // Saving and restoring the board (machine_state.cpp).
    void save(StateWriter &out) const;
    void restore(StateReader &in);

private:
    uc_struct *uc_ = nullptr;
};

}  // namespace kelto::sim
