#include "machine/cpu.hpp"

#include <unicorn/unicorn.h>

#include <stdexcept>
#include <string>

namespace kelto::sim {

namespace {

const int register_ids[Cpu::register_count] = {
    UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2,  UC_ARM_REG_R3,  UC_ARM_REG_R4,  UC_ARM_REG_R5,
    UC_ARM_REG_R6, UC_ARM_REG_R7, UC_ARM_REG_R8,  UC_ARM_REG_R9,  UC_ARM_REG_R10, UC_ARM_REG_R11,
    UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR, UC_ARM_REG_PC, UC_ARM_REG_CPSR};

constexpr std::uint32_t thumb_bit = 0x20;

int unicorn_model(CpuCore core)
{
    return core == CpuCore::arm1176 ? UC_CPU_ARM_1176 : UC_CPU_ARM_926;
}

}  // namespace

void check(int err, const char *what)
{
    if (err != UC_ERR_OK)
        throw std::runtime_error(std::string(what) + ": " + uc_strerror(static_cast<uc_err>(err)));
}

int Cpu::engine_id(int number)
{
    return register_ids[number];
}

Cpu::Cpu(CpuCore core)
{
    check(uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc_), "cannot start the emulator");
    const uc_err err = uc_ctl_set_cpu_model(uc_, unicorn_model(core));
    if (err != UC_ERR_OK) {
        uc_close(uc_);
        check(err, "cannot select the CPU core");
    }
}

Cpu::~Cpu()
{
    uc_close(uc_);
}

std::uint32_t Cpu::read(int number) const
{
    std::uint32_t value = 0;
    uc_reg_read(uc_, register_ids[number], &value);
    return value;
}

void Cpu::write(int number, std::uint32_t value)
{
    uc_reg_write(uc_, register_ids[number], &value);
}

CoreRegisters Cpu::core_registers() const
{
    CoreRegisters registers{};
    for (std::size_t n = 0; n < registers.size(); n++)
        uc_reg_read(uc_, register_ids[n], &registers[n]);
    return registers;
}

bool Cpu::thumb() const
{
    return (read(cpsr_register) & thumb_bit) != 0;
}

void Cpu::move_pc(std::uint32_t pc)
{
    write(pc_register, pc | (thumb() ? 1u : 0u));
}

}  // namespace kelto::sim
