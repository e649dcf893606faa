#include "machine/idle.hpp"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "machine/cpu.hpp"
#include "machine/instructions.hpp"

namespace kelto::sim {

struct IdleHooks {
    static void stored(uc_engine *, uc_mem_type, std::uint64_t address, int size, std::int64_t value, void *user)
    {
        (void)value;
        static_cast<IdleDetector *>(user)->note_store(static_cast<std::uint32_t>(address), size);
    }
};

IdleDetector::IdleDetector(uc_struct *uc, std::uint32_t dram_base, std::uint32_t dram_size)
    : uc_(uc), dram_base_(dram_base), dram_size_(dram_size)
{
}

IdleDetector::~IdleDetector()
{
    if (store_hook_)
        uc_hook_del(uc_, *store_hook_);
}

void IdleDetector::forget()
{
    let_go();
    passed_over_.reset();
    unprovable_heads_.clear();
}

// Another read's block may make a better head: a loop that reads from
// several places has turns that repeat from one of them only.
void IdleDetector::let_go()
{
    if (store_hook_)
        disarm_store_check();
    passed_over_ = head_;
    head_.reset();
    differing_turns_ = 0;
    have_previous_ = false;
    repeats_ = 0;
    proven_ = false;
}

void IdleDetector::register_read(std::uint32_t block_pc, std::uint32_t address, std::uint32_t value, bool ticking)
{
    if (!head_) {
        if (block_pc != passed_over_) {
            head_ = block_pc;
            start_turn();
        }
        return;
    }
    if (current_.reads.size() >= max_turn_reads) {
        let_go();
        return;
    }
    current_.reads.emplace_back(address, value);
    ticking_ = ticking_ || ticking;
}

bool IdleDetector::turn_ended(std::uint32_t head_size, bool head_thumb)
{
    widen_code_range(*head_, head_size, head_thumb);
    read_core(current_);
    if (store_hook_ && !memory_restored())
        changed_ = true;
    const bool same = have_previous_ && !changed_ && current_ == previous_;
    if (!same) {
        repeats_ = 0;
        proven_ = false;
        if (store_hook_) {
            // Each check costs two translations of the loop: one try per head
            // and run.
            disarm_store_check();
            unprovable_heads_.push_back(*head_);
        }
        if (++differing_turns_ >= max_differing_turns) {
            let_go();
            return false;
        }
    } else {
        differing_turns_ = 0;
        repeats_++;
        if (store_hook_ && ++checked_turns_ == store_check_turns) {
            proven_ = true;
            disarm_store_check();
        }
    }
    std::swap(previous_, current_);
    have_previous_ = true;
    // A counter's reading changes by itself: such a wait is the timer
    // model's to shorten.
    if (same && !proven_ && !store_hook_ && !ticking_ &&
        std::find(unprovable_heads_.begin(), unprovable_heads_.end(), *head_) == unprovable_heads_.end()) {
        if (code_may_store())
            arm_store_check();
        else
            proven_ = true;
    }
    start_turn();
    return idle();
}

void IdleDetector::start_turn()
{
    current_.reads.clear();
    code_low_ = ~0u;
    code_high_ = 0;
    arm_code_ = thumb_code_ = false;
    ticking_ = false;
    blocks_ = 0;
    changed_ = false;
}

void IdleDetector::read_core(Turn &turn) const
{
    // r0-r14 and the CPSR: the pc is the head's at every turn.
    int ids[registers];
    for (unsigned i = 0; i < registers; i++)
        ids[i] = Cpu::engine_id(i + 1 < registers ? static_cast<int>(i) : Cpu::cpsr_register);
    void *values[registers];
    for (unsigned i = 0; i < registers; i++)
        values[i] = &turn.core[i];
    uc_reg_read_batch(uc_, ids, values, registers);
}

void IdleDetector::widen_code_range(std::uint32_t pc, std::uint32_t size, bool thumb)
{
    arm_code_ = arm_code_ || !thumb;
    thumb_code_ = thumb_code_ || thumb;
    code_low_ = pc < code_low_ ? pc : code_low_;
    code_high_ = pc + size > code_high_ ? pc + size : code_high_;
}

// Decodes the last turn's code (and whatever lies between its blocks) once:
// without a store there, the same registers and reads make the same turn,
// and the store hook's two translations are saved. Literal words that look
// like stores, and turns that change the core's state, only cost the hook.
bool IdleDetector::code_may_store() const
{
    const std::uint32_t low = code_low_ & ~3u;
    if (arm_code_ == thumb_code_ || code_high_ - low > max_decoded_bytes)
        return true;
    std::vector<std::uint32_t> words((code_high_ - low + 3) / 4);
    if (uc_mem_read(uc_, low, words.data(), words.size() * 4) != UC_ERR_OK)
        return true;
    if (thumb_code_) {
        std::vector<std::uint16_t> halves(words.size() * 2);
        std::memcpy(halves.data(), words.data(), halves.size() * 2);
        return thumb_may_store(halves);
    }
    return std::any_of(words.begin(), words.end(), arm_may_store);
}

// The hook only reaches blocks translated while it exists. The head block is
// running as it was translated before, so its stores go unchecked in the
// first turn: the proof takes the second.
void IdleDetector::arm_store_check()
{
    uc_hook hook = 0;
    if (uc_hook_add(uc_, &hook, UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(&IdleHooks::stored), this, 1, 0) !=
        UC_ERR_OK)
        return;
    store_hook_ = hook;
    checked_turns_ = 0;
    hooked_low_ = code_low_;
    hooked_high_ = code_high_;
    retranslate(hooked_low_, hooked_high_);
}

void IdleDetector::disarm_store_check()
{
    uc_hook_del(uc_, *store_hook_);
    store_hook_.reset();
    deleted_hook_ = true;
    stored_.clear();
    // Back to translations without the store hook's slow path.
    retranslate(hooked_low_, hooked_high_);
    hooked_low_ = ~0u;
    hooked_high_ = 0;
}

void IdleDetector::retranslate(std::uint32_t low, std::uint32_t high)
{
    if (low < high)
        uc_ctl_remove_cache(uc_, std::uint64_t{low}, std::uint64_t{high});
}

// Remembers what each byte stored to held before the turn's first store to
// it: a stack slot may take other values within a turn, as long as the turn
// leaves it as it found it.
void IdleDetector::note_store(std::uint32_t address, int size)
{
    if (changed_)
        return;
    // Only DRAM can be read back without a model seeing a read.
    const auto bytes = static_cast<std::uint32_t>(size);
    if (address < dram_base_ || address - dram_base_ + bytes > dram_size_ || bytes > 8) {
        changed_ = true;
        return;
    }
    std::uint8_t held[8];
    uc_mem_read(uc_, address, held, bytes);
    for (std::uint32_t i = 0; i < bytes; i++) {
        const bool seen = std::any_of(stored_.begin(), stored_.end(),
                                      [&](const StoredByte &byte) { return byte.address == address + i; });
        if (!seen)
            stored_.push_back(StoredByte{address + i, held[i]});
    }
    if (stored_.size() > max_turn_stored_bytes)
        changed_ = true;
}

bool IdleDetector::memory_restored()
{
    const bool restored = std::all_of(stored_.begin(), stored_.end(), [&](const StoredByte &byte) {
        std::uint8_t now = 0;
        uc_mem_read(uc_, byte.address, &now, 1);
        return now == byte.value;
    });
    stored_.clear();
    return restored;
}

}  // namespace kelto::sim
