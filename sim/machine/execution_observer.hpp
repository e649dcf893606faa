// Told of every block of code the core executes, for coverage and profiles.
// The machine counts time with a block hook that must stay cheap: it looks
// at observers only while one is registered, so that a run without one pays
// the test of a flag for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kelto::sim {

// What an observer had counted at some point of a run, to go back to.
class ObserverMark {
public:
    virtual ~ObserverMark() = default;
    // The memory it takes.
    virtual std::size_t bytes() const = 0;
};

// Counts the machine keeps for an observer, in the observer's memory: how
// often a block ran, and how often the block after it started elsewhere
// than at its end (for a block that ends in a branch, the branch taken).
// Either may be null.
struct BlockCounters {
    std::uint64_t *runs = nullptr;
    std::uint64_t *left = nullptr;
};

class ExecutionObserver {
public:
    virtual ~ExecutionObserver() = default;
    // A block starts, in the state it runs in; it counts as run whole
    // unless cut() follows. Not called for an observer that counts, nor for
    // a quiet block after a quiet one.
    virtual void block(std::uint32_t pc, std::uint32_t size, bool thumb) { (void)pc, (void)size, (void)thumb; }
    // A block that leaves only for code the observer need not hear of: of
    // two quiet blocks that run one after the other the second is not told.
    // The machine asks when it first meets a block, and again after it has
    // forgotten it.
    virtual bool quiet(std::uint32_t pc, std::uint32_t size, bool thumb)
    {
        (void)pc, (void)size, (void)thumb;
        return false;
    }
    // An observer that counts blocks instead of hearing of each: the machine
    // asks for a block's counters when it first meets it, and again after
    // it has forgotten it, and increments them inline, which costs a block
    // a fraction of a call.
    virtual bool counts_blocks() const { return false; }
    virtual BlockCounters counters(std::uint32_t pc, std::uint32_t size, bool thumb)
    {
        (void)pc, (void)size, (void)thumb;
        return {};
    }
    // The last block stopped before its instruction at pc: that one and the
    // `instructions` after it up to the block's end did not run.
    virtual void cut(std::uint32_t pc, std::uint32_t instructions) = 0;
    // An instruction asked for at registration is about to run, with the
    // flags it finds in the CPSR.
    virtual void flags_at(std::uint32_t pc, std::uint32_t cpsr) { (void)pc, (void)cpsr; }
    // Its counts as they stand, for a recording of the run that takes the
    // board's state here: going back there, the recording puts them back
    // with the board, so that what runs again is not counted twice and what
    // a changed past dropped is not counted at all. Null: nothing to keep.
    // An observer that came after a mark was taken goes back there as if it
    // had come there: to nothing counted (a null mark). A counting observer
    // puts back, with its counts, the way out of the block it counted last.
    virtual std::shared_ptr<const ObserverMark> mark() { return nullptr; }
    virtual void rewind(const ObserverMark *mark) { (void)mark; }
    // The machine is going away; what the observer has seen stays.
    virtual void machine_closed() {}
};

}  // namespace kelto::sim
