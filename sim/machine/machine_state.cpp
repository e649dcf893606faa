// The machine's side of saving a board: what the machine itself knows of the
// run, the core, DRAM, and each model and the clock through their own save.
#include <unicorn/unicorn.h>

#include <cstring>

#include "machine/board_state.hpp"
#include "machine/dram.hpp"
#include "machine/machine.hpp"

namespace kelto::sim {

namespace {

// The core as the firmware can reach it: the images run in one mode with
// soft float, have no exception vectors and never switch modes, so neither
// VFP nor other modes' banked registers can hold anything of theirs. The pc
// is the machine's, where a suspended main resumes.
constexpr int saved_registers[] = {UC_ARM_REG_CPSR, UC_ARM_REG_SPSR, UC_ARM_REG_R0,  UC_ARM_REG_R1, UC_ARM_REG_R2,
                                   UC_ARM_REG_R3,   UC_ARM_REG_R4,   UC_ARM_REG_R5,  UC_ARM_REG_R6, UC_ARM_REG_R7,
                                   UC_ARM_REG_R8,   UC_ARM_REG_R9,   UC_ARM_REG_R10, UC_ARM_REG_R11, UC_ARM_REG_R12,
                                   UC_ARM_REG_SP,   UC_ARM_REG_LR};

constexpr std::uint32_t cpsr_mode = 0x1F;
constexpr std::uint32_t cpsr_jazelle = 1u << 24;

}  // namespace

BoardState Machine::save_state()
{
    StateWriter out;
    save_parts(out);
    return BoardState{image_.fingerprint(), out.take(), memory_.dram().snapshot()};
}

void Machine::restore_state(const BoardState &state)
{
    if (state.image != image_.fingerprint())
        throw StateError("the state is of another image");
    for (const DramPage &page : state.dram)
        if (page.index >= memory_.dram().page_count() || !page.bytes)
            throw StateError("the state holds DRAM the " + std::string(board_.name) + " does not have");
    // A state that fails half-way is undone with the board's own.
    StateWriter before;
    save_parts(before);
    try {
        StateReader in(state.parts);
        restore_parts(in);
        in.expect_end();
    } catch (const StateError &) {
        StateReader in(before.bytes());
        restore_parts(in);
        throw;
    }
    // The code may differ from what the engine translated where the bytes
    // changed, and what the block counts and the idle detector remember is
    // of another run.
    memory_.drop_translations(memory_.dram().restore(state.dram));
    forget_block_counts();
    block_ = &no_block_;
    skip_.idle().forget();
    stop_request_.reset();
}

void Machine::save_parts(StateWriter &out)
{
    out.u32(static_cast<std::uint32_t>(board_.id));
    cpu_.save(out);
    out.boolean(main_started_);
    out.boolean(main_returned_);
    out.u32(main_pc_);
    out.text(jumped_from_);
    out.boolean(fault_.has_value());
    if (fault_) {
        out.text(fault_->message);
        for (std::uint32_t word : {fault_->address, fault_->value, fault_->pc})
            out.u32(word);
    }
    memory_.save(out);
    io_.save(out);
    console_.save(out);
    skip_.save(out);
    clock_.save(out);
    registers_.save(out);
}

void Machine::restore_parts(StateReader &in)
{
    if (in.u32() != static_cast<std::uint32_t>(board_.id))
        throw StateError("the state is of another board");
    cpu_.restore(in);
    main_started_ = in.boolean();
    main_returned_ = in.boolean();
    main_pc_ = in.u32();
    cpu_.move_pc(main_pc_);
    jumped_from_ = in.text();
    fault_.reset();
    if (in.boolean()) {
        fault_ = Fault{in.text()};
        for (std::uint32_t *word : {&fault_->address, &fault_->value, &fault_->pc})
            *word = in.u32();
    }
    memory_.restore(in);
    io_.restore(in);
    console_.restore(in);
    skip_.restore(in);
    clock_.restore(in);
    registers_.restore(in);
}

void Cpu::save(StateWriter &out) const
{
    for (int id : saved_registers) {
        std::uint32_t value = 0;
        uc_reg_read(uc_, id, &value);
        out.u32(value);
    }
}

void Cpu::restore(StateReader &in)
{
    std::uint32_t core[std::size(saved_registers)];
    for (std::uint32_t &value : core)
        value = in.u32();
    // The firmware never leaves its mode or enters Jazelle state; the engine
    // aborts the process on a mode that does not exist.
    if ((core[0] & (cpsr_mode | cpsr_jazelle)) != (read(cpsr_register) & cpsr_mode))
        throw StateError("the state's core is in a mode the firmware cannot reach");
    for (std::size_t n = 0; n < std::size(saved_registers); n++)
        uc_reg_write(uc_, saved_registers[n], &core[n]);
}

void AddressSpace::save(StateWriter &out) const
{
    out.u32(scratch_next_);
}

void AddressSpace::restore(StateReader &in)
{
    const std::uint32_t scratch_next = in.u32();
    if (scratch_next < board_.dram_base || scratch_next > stack_limit())
        throw StateError("the state's scratch memory lies outside its place");
    scratch_next_ = scratch_next;
}

void BoardIo::save(StateWriter &out) const
{
    out.u32(buttons_);
    out.boolean(backlight_shown_.has_value());
    out.u32(static_cast<std::uint32_t>(backlight_shown_.value_or(0)));
}

void BoardIo::restore(StateReader &in)
{
    buttons_ = in.u32_at_most((1u << std::size(all_buttons)) - 1);
    const bool lit = in.boolean();
    const std::uint32_t shown = in.u32_at_most(100);
    backlight_shown_ = lit ? std::optional(static_cast<int>(shown)) : std::nullopt;
}

void ConsolePort::save(StateWriter &out) const
{
    out.u32(poll_streak_);
    out.u64(empty_polls_);
    out.u64(triggers_.size());
    for (const Trigger &trigger : triggers_) {
        out.text(trigger.text);
        out.text(trigger.bytes);
        out.u64(trigger.from);
    }
}

void ConsolePort::restore(StateReader &in)
{
    poll_streak_ = in.u32();
    empty_polls_ = in.u64();
    // The smallest trigger: two lengths and a position.
    triggers_.resize(in.count(std::size_t{24}));
    for (Trigger &trigger : triggers_) {
        trigger.text = in.text();
        trigger.bytes = in.text();
        trigger.from = in.u64();
    }
}

void TimeSkip::save(StateWriter &out) const
{
    out.boolean(idle_for_ever_at_.has_value());
    for (std::uint32_t word : {idle_for_ever_at_.value_or(0), poll_pc_, poll_address_})
        out.u32(word);
    for (std::uint64_t word : {poll_access_, poll_since_, skipped_})
        out.u64(word);
}

void TimeSkip::restore(StateReader &in)
{
    const bool stuck = in.boolean();
    const std::uint32_t at = in.u32();
    idle_for_ever_at_ = stuck ? std::optional(at) : std::nullopt;
    for (std::uint32_t *word : {&poll_pc_, &poll_address_})
        *word = in.u32();
    for (std::uint64_t *word : {&poll_access_, &poll_since_, &skipped_})
        *word = in.u64();
}

void RegisterBus::save(StateWriter &out) const
{
    out.u64(accesses_made_);
    for (const auto &device : devices_)
        device->save(out);
}

void RegisterBus::restore(StateReader &in)
{
    accesses_made_ = in.u64();
    for (const auto &device : devices_)
        device->restore(in);
}

// ---------------------------------------------------------------------------
// State files

namespace {

constexpr FileFrame state_frame{std::string_view("KELTOST\x1a", 8), state_format_version, "state"};

}  // namespace

void write_board_state(StateWriter &out, const BoardState &state)
{
    out.byte_list(state.parts);
    out.u64(state.dram.size());
    for (const DramPage &page : state.dram) {
        out.u32(page.index);
        out.raw(*page.bytes);
    }
}

BoardState read_board_state(StateReader &in, std::uint64_t image)
{
    BoardState state;
    state.image = image;
    const std::span<const std::uint8_t> parts = in.raw(in.count(1));
    state.parts.assign(parts.begin(), parts.end());
    state.dram.resize(in.count(4 + dram_page_size));
    for (std::size_t n = 0; n < state.dram.size(); n++) {
        DramPage &page = state.dram[n];
        page.index = in.u32();
        if (n > 0 && page.index <= state.dram[n - 1].index)
            throw StateError("the state's DRAM pages are out of order");
        auto copy = std::make_shared<std::array<std::uint8_t, dram_page_size>>();
        const std::span<const std::uint8_t> page_bytes = in.raw(dram_page_size);
        std::copy(page_bytes.begin(), page_bytes.end(), copy->begin());
        page.bytes = std::move(copy);
    }
    return state;
}

std::vector<std::uint8_t> encode_state_file(const BoardState &state)
{
    StateWriter payload;
    write_board_state(payload, state);
    return frame_file(state_frame, state.image, payload.bytes());
}

BoardState decode_state_file(std::span<const std::uint8_t> bytes, std::uint64_t image)
{
    StateReader payload(unframe_file(state_frame, bytes, image));
    BoardState state = read_board_state(payload, image);
    payload.expect_end();
    return state;
}

void write_state_file(const std::string &path, const BoardState &state)
{
    write_file_whole(path, encode_state_file(state), state_frame.noun);
}

BoardState read_state_file(const std::string &path, std::uint64_t image)
{
    return read_framed_file(state_frame, path, [image](std::span<const std::uint8_t> bytes) {
        return decode_state_file(bytes, image);
    });
}

}  // namespace kelto::sim
