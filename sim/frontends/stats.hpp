// The figures a firmware developer asks for after a run: board time,
// instructions, the deepest stack, bytes on each UART and register accesses
// per peripheral.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "frontends/frontend.hpp"
#include "machine/machine.hpp"

namespace kelto::sim::frontend {

class Stats final : public Frontend, public Probe, private AccessObserver {
public:
    Stats() = default;
    // Attached at once.
    explicit Stats(Machine &machine);
    ~Stats() override;
    Stats(const Stats &) = delete;
    Stats &operator=(const Stats &) = delete;

    // Bytes below the initial stack pointer the firmware has written.
    std::uint32_t deepest_stack();
    // One figure a line, for stderr at the end of the run.
    std::string report();

    // Before the machine first runs: the stack's depth is found by what is
    // left of a pattern painted below the stack pointer now. A reset starts
    // the figures again on the new machine.
    void attach(Machine &machine) override;
    void detach() override;
    // Writes the report on stderr.
    bool finished(Board &board, int status) override;

private:
    void accessed(const Access &access, const Device &device) override;

    Machine *machine_ = nullptr;
    std::map<const Device *, std::uint64_t> accesses_;
};

}  // namespace kelto::sim::frontend
