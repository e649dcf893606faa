#include "frontends/coverage.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "machine/control_flow.hpp"

namespace kelto::sim::frontend {

Coverage::Coverage(std::string root, std::string path, CoverageFormat format)
    : root_(std::move(root)), path_(std::move(path)), format_(format)
{
    if (!root_.empty() && root_.back() != '/')
        root_ += '/';
}

Coverage::Coverage(Machine &machine, std::string root) : Coverage(std::move(root))
{
    attach(machine);
}

Coverage::~Coverage()
{
    detach();
}

// Every machine of a session runs the same image.
void Coverage::load(const Machine &machine)
{
    image_ = machine.image();
    lines_ = LineTable::load(image_.path());
    for (const std::string &file : lines_.files())
        own_file_.push_back(file.starts_with(root_));
    find_instructions();
    loaded_ = true;
}

void Coverage::attach(Machine &machine)
{
    if (!loaded_)
        load(machine);
    machine_ = &machine;
    last_ = nullptr;
    machine.add_execution_observer(*this, watched_);
}

void Coverage::detach()
{
    if (machine_)
        machine_->remove_execution_observer(*this);
    machine_ = nullptr;
    last_ = nullptr;
}

std::uint32_t Coverage::code_word(std::uint32_t address) const
{
    for (const Segment &segment : image_.segments()) {
        if (address < segment.address || address - segment.address >= segment.bytes.size())
            continue;
        std::uint32_t word = 0;
        const std::size_t at = address - segment.address;
        std::memcpy(&word, &segment.bytes[at], std::min<std::size_t>(4, segment.bytes.size() - at));
        return word;
    }
    return 0;
}

// A BL/BLX pair runs as one instruction.
std::vector<std::uint32_t> Coverage::instruction_starts(std::uint32_t begin, std::uint32_t end, bool thumb) const
{
    std::vector<std::uint32_t> starts;
    for (std::uint32_t at = begin; at < end;) {
        starts.push_back(at);
        const bool pair = thumb && (code_word(at) & 0xF800u) == 0xF000u && at + 4 <= end;
        at += !thumb || pair ? 4 : 2;
    }
    return starts;
}

void Coverage::find_instructions()
{
    const auto &ranges = lines_.ranges();
    for (std::uint32_t r = 0; r < ranges.size(); r++) {
        if (!own_file_[ranges[r].file])
            continue;
        for (std::uint32_t at = ranges[r].begin; at < ranges[r].end;) {
            const CodeState state = lines_.state_at(at);
            if (state == CodeState::data) {
                at += 2;
                continue;
            }
            const std::uint32_t word = code_word(at);
            const InstructionFlow flow =
                state == CodeState::arm ? arm_flow(word) : thumb_flow(static_cast<std::uint16_t>(word));
            instructions_.push_back(Instruction{at, r, flow.conditional ? std::optional(flow.condition) : std::nullopt,
                                                flow.flow != Flow::next});
            if (flow.conditional && flow.flow == Flow::next) {
                watched_.push_back(at);
                conditions_[at] = Outcomes{};
            }
            const bool pair = state == CodeState::thumb && (word & 0xF800u) == 0xF000u;
            at += state == CodeState::arm || pair ? 4 : 2;
        }
    }
}

Coverage::Slot Coverage::fresh_slot(std::uint32_t pc, std::uint32_t size, bool thumb) const
{
    Slot slot;
    slot.key = pc | std::uint64_t{size} << 32;
    slot.end = pc + size;
    slot.thumb = thumb;
    const std::uint32_t last = instruction_starts(pc, pc + size, thumb).back();
    const std::uint32_t word = code_word(last);
    const InstructionFlow flow = thumb ? thumb_flow(static_cast<std::uint16_t>(word)) : arm_flow(word);
    slot.branch_at_end = flow.conditional && flow.flow != Flow::next;
    return slot;
}

void Coverage::spill(const Slot &slot)
{
    const auto [kept, added] = spilled_.try_emplace(slot.key, slot);
    if (!added) {
        kept->second.runs += slot.runs;
        kept->second.taken += slot.taken;
    }
}

void Coverage::block(std::uint32_t pc, std::uint32_t size, bool thumb)
{
    if (last_ && last_->branch_at_end && pc != last_->end)
        last_->taken++;
    last_condition_.reset();
    Slot &slot = slots_[(pc >> 1) % slots_.size()];
    const std::uint64_t key = pc | std::uint64_t{size} << 32;
    if (slot.key != key) [[unlikely]] {
        if (slot.runs)
            spill(slot);
        slot = fresh_slot(pc, size, thumb);
    }
    slot.runs++;
    last_ = &slot;
}

void Coverage::cut(std::uint32_t pc, std::uint32_t)
{
    if (!last_ || pc < static_cast<std::uint32_t>(last_->key) || pc >= last_->end)
        return;
    cuts_[{last_->key, pc}]++;
    if (last_condition_ && last_condition_->first == pc && last_condition_->second)
        conditions_[pc].passed--;
    last_condition_.reset();
    // What ends the block did not run: no branch to resolve.
    last_ = nullptr;
}

void Coverage::flags_at(std::uint32_t pc, std::uint32_t cpsr)
{
    const auto found = std::lower_bound(instructions_.begin(), instructions_.end(), pc,
                                        [](const Instruction &insn, std::uint32_t at) { return insn.address < at; });
    if (found == instructions_.end() || found->address != pc || !found->condition)
        return;
    const bool passed = condition_passed(*found->condition, cpsr);
    conditions_[pc].passed += passed;
    last_condition_ = {pc, passed};
}

std::map<std::uint32_t, std::uint64_t> Coverage::executions() const
{
    std::map<std::uint32_t, std::uint64_t> runs;
    auto add = [&](const Slot &slot) {
        if (!slot.runs)
            return;
        const auto pc = static_cast<std::uint32_t>(slot.key);
        for (const std::uint32_t at : instruction_starts(pc, slot.end, slot.thumb))
            runs[at] += slot.runs;
    };
    std::map<std::uint64_t, bool> thumb_blocks;
    for (const Slot &slot : slots_) {
        add(slot);
        thumb_blocks[slot.key] = slot.thumb;
    }
    for (const auto &[key, slot] : spilled_) {
        add(slot);
        thumb_blocks[key] = slot.thumb;
    }
    for (const auto &[cut, times] : cuts_) {
        const auto end = static_cast<std::uint32_t>(cut.first) + static_cast<std::uint32_t>(cut.first >> 32);
        for (const std::uint32_t at : instruction_starts(cut.second, end, thumb_blocks[cut.first]))
            runs[at] -= times;
    }
    return runs;
}

CoverageReport Coverage::report() const
{
    const std::map<std::uint32_t, std::uint64_t> runs = executions();
    auto runs_of = [&](std::uint32_t address) {
        const auto found = runs.find(address);
        return found == runs.end() ? std::uint64_t{0} : found->second;
    };
    std::map<std::uint32_t, std::uint64_t> taken_at_end;
    auto add_taken = [&](const Slot &slot) {
        if (slot.branch_at_end && slot.runs)
            taken_at_end[instruction_starts(static_cast<std::uint32_t>(slot.key), slot.end, slot.thumb).back()] +=
                slot.taken;
    };
    for (const Slot &slot : slots_)
        add_taken(slot);
    for (const auto &[key, slot] : spilled_)
        add_taken(slot);

    CoverageReport report;
    for (const Instruction &insn : instructions_) {
        const LineRange &range = lines_.ranges()[insn.range];
        LineCoverage &line = report.files[lines_.files()[range.file]].lines[range.line];
        const std::uint64_t count = runs_of(insn.address);
        line.hits = std::max(line.hits, count);
        if (!insn.condition)
            continue;
        const auto outcome = conditions_.find(insn.address);
        const std::uint64_t passed =
            insn.ends_flow ? taken_at_end[insn.address] : (outcome == conditions_.end() ? 0 : outcome->second.passed);
        line.branches.push_back(count ? std::optional(passed) : std::nullopt);
        line.branches.push_back(count ? std::optional(count - passed) : std::nullopt);
    }
    for (const Symbol &symbol : image_.symbols()) {
        const auto found = std::lower_bound(instructions_.begin(), instructions_.end(), symbol.address,
                                            [](const Instruction &insn, std::uint32_t at) { return insn.address < at; });
        if (!symbol.function || found == instructions_.end() || found->address != symbol.address)
            continue;
        const LineRange &range = lines_.ranges()[found->range];
        report.files[lines_.files()[range.file]].functions[symbol.name] =
            FunctionCoverage{range.line, runs_of(symbol.address)};
    }
    return report;
}

bool Coverage::finished(Board &board, int)
{
    if (path_.empty())
        return true;
    try {
        merge_into_file(path_, report(), format_);
        return true;
    } catch (const std::exception &error) {
        board.note("the coverage could not be written: " + std::string(error.what()));
        return false;
    }
}

}  // namespace kelto::sim::frontend
