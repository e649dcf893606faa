// The board's memory as the core and the tests see it: DRAM mapped with the
// image's code pages read-only, the image loaded as the boot loader would,
// the stack at the top and scratch memory for tests below it.
#pragma once

#include <memory>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/board.hpp"
#include "core/elf_image.hpp"

struct uc_struct;

namespace kelto::sim {

class RegisterBus;
class Dram;
class StateWriter;
class StateReader;

class AddressSpace {
public:
    // Maps DRAM and loads the image. Throws std::runtime_error.
    AddressSpace(uc_struct *uc, const BoardSpec &board, const ElfImage &image);
    ~AddressSpace();

    std::uint32_t read_word(std::uint32_t address);
    void write_word(std::uint32_t address, std::uint32_t value);
    std::vector<std::uint8_t> read_bytes(std::uint32_t address, std::size_t size);
    void write_bytes(std::uint32_t address, const void *data, std::size_t size);
    bool in_dram(std::uint32_t address, std::size_t size) const;

    std::uint32_t scratch(std::size_t size);
    std::uint32_t stack_top() const { return stack_top_; }
    std::uint32_t stack_limit() const;
    void paint_stack(std::uint32_t window);
    std::uint32_t painted_stack_depth(std::uint32_t window);

    // DRAM, then the registers through the models' peek.
    std::vector<std::uint8_t> inspect(std::uint32_t address, std::size_t size, const RegisterBus &registers);
    // Writes DRAM, code pages included, and drops what was translated from it.
    bool patch(std::uint32_t address, const void *data, std::size_t size);
    // Every translation of DRAM is made again.
    void drop_translations();
    // Those of these DRAM pages (Dram's, in ascending order).
    void drop_translations(const std::vector<std::uint32_t> &pages);
    Dram &dram() { return *dram_; }
    // For the machine, to free DRAM only after the engine has closed:
    // unmapping 128 MiB from a live engine flushes it page by page.
    std::unique_ptr<Dram> release_dram();
    // The scratch memory handed out (machine_state.cpp).
    void save(StateWriter &out) const;
    void restore(StateReader &in);

private:
    void map_dram();
    void load_image();

    uc_struct *uc_;
    const BoardSpec &board_;
    const ElfImage &image_;
    std::uint32_t stack_top_;
    std::uint32_t scratch_next_;
    std::unique_ptr<Dram> dram_;
};

}  // namespace kelto::sim
