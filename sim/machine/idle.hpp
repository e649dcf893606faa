// Finds the firmware going round a loop that can change nothing until the
// board does: the same register reads getting the same values, the core's
// registers the same at each turn, no register written and every store
// writing what memory already holds. Such a loop is a fixed point: until a
// model's next event or the host changes what it reads, the machine may let
// time pass without executing it.
//
// The loop is found cheaply: the block that made the first register read is
// taken as the loop's head, and each return to it ends a turn. Only once the
// turns repeat, and the code of the last turn holds a store, is one of them
// run with a store hook, which Unicorn applies only to blocks translated
// while it exists, so that turn's blocks are retranslated for it and once
// more after it. A firmware writing a line waits in a loop without stores
// between other code that has them: only the wait's own turn is looked at.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

struct uc_struct;

namespace kelto::sim {

class IdleDetector {
public:
    IdleDetector(uc_struct *uc, std::uint32_t dram_base, std::uint32_t dram_size);
    ~IdleDetector();
    IdleDetector(const IdleDetector &) = delete;
    IdleDetector &operator=(const IdleDetector &) = delete;

    // Forgets the loop: the host may have changed what the firmware reads.
    void forget();
    // Following a loop: every block must be shown to block().
    bool watching() const { return head_.has_value(); }
    // A store hook was deleted since the last call. Unicorn frees a deleted
    // hook only when emulation returns; until then every store of a block
    // translated with it walks past it, so the caller should let emulation
    // return soon.
    bool take_deleted_hook() { return std::exchange(deleted_hook_, false); }
    // Each executed block. True when the loop is proven idle at this turn.
    bool block(std::uint32_t pc, std::uint32_t size, bool thumb)
    {
        if (!head_)
            return false;
        if (pc == *head_)
            return turn_ended(size, thumb);
        widen_code_range(pc, size, thumb);
        // Translated before the hook existed, the block's stores go unseen.
        if (store_hook_ && (pc < hooked_low_ || pc + size > hooked_high_))
            changed_ = true;
        if (++blocks_ > max_turn_blocks)
            let_go();
        return false;
    }
    // ticking: the register's reading changes with time alone.
    void register_read(std::uint32_t block_pc, std::uint32_t address, std::uint32_t value, bool ticking);
    void register_written() { changed_ = true; }
    // A model's event (a byte arriving or leaving the line) changed what the
    // turn's earlier reads saw: the turn proves nothing.
    void model_changed() { changed_ = true; }
    // The last turn ended in a proven idle loop.
    bool idle() const { return proven_ && repeats_ >= settle_turns; }

    // Turns of the same loop before it counts as idle: enough for the
    // console's own blocked-input check (16 empty polls) to speak first.
    static constexpr unsigned settle_turns = 24;

private:
    friend struct IdleHooks;
    static constexpr std::uint32_t max_turn_blocks = 4096;
    // Turns run with the store hook before the loop counts as proven.
    static constexpr unsigned store_check_turns = 2;
    static constexpr std::size_t max_turn_reads = 64;
    static constexpr std::size_t max_turn_stored_bytes = 1024;
    // A turn's code spread wider than this is left to the store hook.
    static constexpr std::uint32_t max_decoded_bytes = 64 * 1024;
    // Differing turns after which another head is tried.
    static constexpr unsigned max_differing_turns = 8;
    static constexpr unsigned registers = 16;  // r0-r14 and the CPSR

    struct Turn {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> reads;
        std::uint32_t core[registers]{};
        bool operator==(const Turn &) const = default;
    };

    void let_go();
    bool turn_ended(std::uint32_t head_size, bool head_thumb);
    void start_turn();
    void read_core(Turn &turn) const;
    void widen_code_range(std::uint32_t pc, std::uint32_t size, bool thumb);
    bool code_may_store() const;
    void arm_store_check();
    void disarm_store_check();
    void retranslate(std::uint32_t low, std::uint32_t high);
    void note_store(std::uint32_t address, int size);
    bool memory_restored();

    uc_struct *uc_;
    std::uint32_t dram_base_, dram_size_;

    std::optional<std::uint32_t> head_;
    std::optional<std::uint32_t> passed_over_;  // the last head let go
    unsigned differing_turns_ = 0;
    bool ticking_ = false;
    Turn current_, previous_;
    bool have_previous_ = false;
    std::uint32_t blocks_ = 0;
    std::uint32_t code_low_ = ~0u, code_high_ = 0;      // the turn's blocks
    bool arm_code_ = false, thumb_code_ = false;         // the states they ran in
    std::uint32_t hooked_low_ = ~0u, hooked_high_ = 0;  // retranslated with the store hook
    bool changed_ = false;  // a register written, or a store that changed memory
    unsigned repeats_ = 0;
    bool proven_ = false;
    std::vector<std::uint32_t> unprovable_heads_;
    std::optional<std::size_t> store_hook_;
    bool deleted_hook_ = false;
    unsigned checked_turns_ = 0;
    struct StoredByte {
        std::uint32_t address;
        std::uint8_t value;
    };
    std::vector<StoredByte> stored_;
};

}  // namespace kelto::sim
