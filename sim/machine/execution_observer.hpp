// Told of every block of code the core executes, for coverage and profiles.
// The machine counts time with a block hook of its own that must stay cheap;
// an observer gets a hook of its own, added only while it is registered, so
// that a run without one pays nothing for it.
#pragma once

#include <cstdint>

namespace kelto::sim {

class ExecutionObserver {
public:
    virtual ~ExecutionObserver() = default;
    // A block starts, in the state it runs in; it counts as run whole
    // unless cut() follows.
    virtual void block(std::uint32_t pc, std::uint32_t size, bool thumb) = 0;
    // The last block stopped before its instruction at pc: that one and the
    // `instructions` after it up to the block's end did not run.
    virtual void cut(std::uint32_t pc, std::uint32_t instructions) = 0;
    // An instruction asked for at registration is about to run, with the
    // flags it finds in the CPSR.
    virtual void flags_at(std::uint32_t pc, std::uint32_t cpsr) { (void)pc, (void)cpsr; }
    // The machine is going away; what the observer has seen stays.
    virtual void machine_closed() {}
};

}  // namespace kelto::sim
