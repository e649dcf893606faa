// Which lines, functions and branches of the firmware's own sources a run
// executed, counted exactly: each instruction once per time it ran (a block
// cut short by a stop or fault counts only what ran), each conditional
// instruction's outcome from the flags it found, a conditional branch at a
// block's end taken when the next block starts elsewhere than after it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/elf_image.hpp"
#include "core/line_table.hpp"
#include "frontends/coverage_report.hpp"
#include "frontends/frontend.hpp"
#include "machine/execution_observer.hpp"

namespace kelto::sim::frontend {

class Coverage final : public Frontend, public Probe, private ExecutionObserver {
public:
    // Sources under root count as the firmware's own; the rest (the C
    // library, the compiler's helpers) are left out. The session's end adds
    // the report to the file at path, if one is named.
    explicit Coverage(std::string root, std::string path = {}, CoverageFormat format = CoverageFormat::lcov);
    // Attached at once.
    Coverage(Machine &machine, std::string root);
    ~Coverage() override;
    Coverage(const Coverage &) = delete;
    Coverage &operator=(const Coverage &) = delete;

    // A reset goes on counting on the new machine.
    void attach(Machine &machine) override;
    void detach() override;
    // What ran so far.
    CoverageReport report() const;
    // What it counted up to where its board stands, for a Coverage on a
    // board restored from there (a suite's shared boot) to go on from, as
    // if it had counted that run itself; the one it goes on from must be
    // attached still.
    struct Carry;
    std::shared_ptr<const Carry> carry() const;
    // Once attached, before its board runs.
    void go_on_from(const Carry &carry);
    // Adds the report to the file; false with a note if it cannot.
    bool finished(Board &board, int status) override;

private:
    struct Instruction {
        std::uint32_t address;
        std::uint32_t range;  // index into the line table's ranges
        std::optional<unsigned> condition;
        bool ends_flow;  // a branch, call or other write to the pc
    };
    // A block as the core ran it, and how often; the machine counts.
    struct Block {
        std::uint64_t runs = 0;
        std::uint64_t taken = 0;  // its last instruction branched away
        std::uint32_t end = 0;
        bool thumb = false;
        bool branch_at_end = false;
    };
    void load(const Machine &machine);
    bool counts_blocks() const override { return true; }
    BlockCounters counters(std::uint32_t pc, std::uint32_t size, bool thumb) override;
    void cut(std::uint32_t pc, std::uint32_t instructions) override;
    void flags_at(std::uint32_t pc, std::uint32_t cpsr) override;
    void machine_closed() override { machine_ = nullptr; }
    std::shared_ptr<const ObserverMark> mark() override;
    void rewind(const ObserverMark *mark) override;
    Block new_block(std::uint32_t pc, std::uint32_t size, bool thumb) const;
    void find_instructions();
    std::vector<std::uint32_t> instruction_starts(std::uint32_t begin, std::uint32_t end, bool thumb) const;
    std::vector<std::uint32_t> instruction_starts(std::uint32_t begin, std::uint32_t count) const;
    std::uint32_t code_word(std::uint32_t address) const;
    bool loaded(std::uint32_t address) const;
    std::map<std::uint32_t, std::uint64_t> executions() const;
    std::uint32_t watched_index(std::uint32_t pc) const;

    Machine *machine_ = nullptr;
    ElfImage image_;
    LineTable lines_;
    std::string root_;
    std::string path_;
    CoverageFormat format_ = CoverageFormat::lcov;
    bool loaded_ = false;
    std::vector<bool> own_file_;
    std::vector<Instruction> instructions_;  // of the own sources, by address
    std::vector<std::uint32_t> watched_;     // conditional, not ending a block
    // Where each watched instruction's count lies, found without a search:
    // its index in watched_ plus one, by (pc - watched_.front()) / 2.
    std::vector<std::uint32_t> watched_at_;
    std::vector<unsigned> watched_conditions_;
    std::vector<std::uint64_t> passed_;  // by index in watched_

    // Nodes stay where they are: the machine holds their counters' addresses.
    std::unordered_map<std::uint64_t, Block> blocks_;  // by pc and size
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint64_t> cuts_;  // first not run, how many: times
    struct Condition {
        std::uint32_t index;
        bool passed;
        Cycles counted;  // the clock as the instruction was about to run
    };
    std::optional<Condition> last_condition_;
};

}  // namespace kelto::sim::frontend
