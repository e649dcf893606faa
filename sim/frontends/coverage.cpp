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
    last_condition_.reset();
    machine.add_execution_observer(*this, watched_);
}

void Coverage::detach()
{
    if (machine_)
        machine_->remove_execution_observer(*this);
    machine_ = nullptr;
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

bool Coverage::loaded(std::uint32_t address) const
{
    return std::any_of(image_.segments().begin(), image_.segments().end(), [&](const Segment &segment) {
        return address >= segment.address && address - segment.address < segment.bytes.size();
    });
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

// The first `count` instructions from begin, in the state the line table
// gives it.
std::vector<std::uint32_t> Coverage::instruction_starts(std::uint32_t begin, std::uint32_t count) const
{
    const bool thumb = lines_.state_at(begin) == CodeState::thumb;
    std::vector<std::uint32_t> starts;
    for (std::uint32_t at = begin; starts.size() < count;) {
        starts.push_back(at);
        const bool pair = thumb && (code_word(at) & 0xF800u) == 0xF000u;
        at += !thumb || pair ? 4 : 2;
    }
    return starts;
}

void Coverage::find_instructions()
{
    const auto &ranges = lines_.ranges();
    std::vector<std::pair<std::uint32_t, unsigned>> watched;  // address, condition
    for (std::uint32_t r = 0; r < ranges.size(); r++) {
        // Code the linker discarded keeps its lines, at addresses no
        // segment loads: it is not the image's, and its bytes are not there
        // to decode.
        if (!own_file_[ranges[r].file] || !loaded(ranges[r].begin))
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
            if (flow.conditional && flow.flow == Flow::next)
                watched.emplace_back(at, flow.condition);
            const bool pair = state == CodeState::thumb && (word & 0xF800u) == 0xF000u;
            at += state == CodeState::arm || pair ? 4 : 2;
        }
    }
    std::sort(watched.begin(), watched.end());
    for (const auto &[address, condition] : watched) {
        watched_.push_back(address);
        watched_conditions_.push_back(condition);
    }
    passed_.assign(watched_.size(), 0);
    if (watched_.empty())
        return;
    watched_at_.assign((watched_.back() - watched_.front()) / 2 + 1, 0);
    for (std::uint32_t i = 0; i < watched_.size(); i++)
        watched_at_[(watched_[i] - watched_.front()) / 2] = i + 1;
}

// The index in watched_ plus one, 0 for an instruction not watched.
std::uint32_t Coverage::watched_index(std::uint32_t pc) const
{
    if (watched_.empty() || pc < watched_.front() || (pc - watched_.front()) / 2 >= watched_at_.size())
        return 0;
    return watched_at_[(pc - watched_.front()) / 2];
}

Coverage::Block Coverage::new_block(std::uint32_t pc, std::uint32_t size, bool thumb) const
{
    Block block;
    block.end = pc + size;
    block.thumb = thumb;
    const std::uint32_t last = instruction_starts(pc, pc + size, thumb).back();
    const std::uint32_t word = code_word(last);
    const InstructionFlow flow = thumb ? thumb_flow(static_cast<std::uint16_t>(word)) : arm_flow(word);
    block.branch_at_end = flow.conditional && flow.flow != Flow::next;
    return block;
}

// Once per block the machine meets: it counts the runs, and for a block
// that ends in a conditional branch, the branch taken.
BlockCounters Coverage::counters(std::uint32_t pc, std::uint32_t size, bool thumb)
{
    const auto [found, added] = blocks_.try_emplace(pc | std::uint64_t{size} << 32);
    if (added)
        found->second = new_block(pc, size, thumb);
    Block &block = found->second;
    return {&block.runs, block.branch_at_end ? &block.taken : nullptr};
}

struct Coverage::Carry final : ObserverMark {
    std::vector<std::pair<std::uint64_t, Block>> blocks;
    std::vector<std::uint64_t> passed;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint64_t> cuts;
    // The block whose way out the next block to run tells, and its end.
    std::optional<std::uint64_t> pending;
    std::uint32_t pending_end = 0;
    std::size_t bytes() const override
    {
        return sizeof *this + blocks.size() * sizeof blocks.front() + passed.size() * 8 + cuts.size() * 48;
    }
};

std::shared_ptr<const Coverage::Carry> Coverage::carry() const
{
    auto carry = std::make_shared<Carry>();
    const auto [pending, end] = machine_ ? machine_->pending_exit() : std::pair<std::uint64_t *, std::uint32_t>{};
    for (const auto &[key, block] : blocks_) {
        if (block.runs)
            carry->blocks.emplace_back(key, block);
        if (pending == &block.taken)
            carry->pending = key;
    }
    carry->pending_end = end;
    carry->passed = passed_;
    carry->cuts = cuts_;
    return carry;
}

void Coverage::go_on_from(const Carry &carry)
{
    for (const auto &[key, counted] : carry.blocks) {
        const auto [found, added] = blocks_.try_emplace(key, counted);
        found->second.runs = counted.runs;
        found->second.taken = counted.taken;
    }
    passed_ = carry.passed;
    cuts_ = carry.cuts;
    if (carry.pending && machine_)
        machine_->set_pending_exit(&blocks_.at(*carry.pending).taken, carry.pending_end);
}

std::shared_ptr<const ObserverMark> Coverage::mark()
{
    return carry();
}

// Blocks first met after the mark stay, counted none: the machine holds
// their counters' addresses.
void Coverage::rewind(const ObserverMark *mark)
{
    for (auto &[key, block] : blocks_)
        block.runs = block.taken = 0;
    std::fill(passed_.begin(), passed_.end(), 0);
    cuts_.clear();
    last_condition_.reset();
    if (mark)
        go_on_from(static_cast<const Carry &>(*mark));
}

void Coverage::cut(std::uint32_t pc, std::uint32_t instructions)
{
    cuts_[{pc, instructions}]++;
    // The instruction at pc had its flags looked at, then did not run.
    if (last_condition_ && watched_[last_condition_->index] == pc && last_condition_->passed && machine_ &&
        last_condition_->counted == machine_->clock().counted() + instructions)
        passed_[last_condition_->index]--;
    last_condition_.reset();
}

void Coverage::flags_at(std::uint32_t pc, std::uint32_t cpsr)
{
    const std::uint32_t index = watched_index(pc);
    if (index == 0)
        return;
    const bool passed = condition_passed(watched_conditions_[index - 1], cpsr);
    passed_[index - 1] += passed;
    last_condition_ = Condition{index - 1, passed, machine_ ? machine_->clock().counted() : 0};
}

std::map<std::uint32_t, std::uint64_t> Coverage::executions() const
{
    std::map<std::uint32_t, std::uint64_t> runs;
    for (const auto &[key, block] : blocks_)
        if (block.runs)
            for (const std::uint32_t at : instruction_starts(static_cast<std::uint32_t>(key), block.end, block.thumb))
                runs[at] += block.runs;
    for (const auto &[cut, times] : cuts_)
        for (const std::uint32_t at : instruction_starts(cut.first, cut.second))
            runs[at] -= times;
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
    for (const auto &[key, block] : blocks_)
        if (block.branch_at_end && block.runs)
            taken_at_end[instruction_starts(static_cast<std::uint32_t>(key), block.end, block.thumb).back()] +=
                block.taken;

    CoverageReport report;
    for (const Instruction &insn : instructions_) {
        const LineRange &range = lines_.ranges()[insn.range];
        LineCoverage &line = report.files[lines_.files()[range.file]].lines[range.line];
        const std::uint64_t count = runs_of(insn.address);
        line.hits = std::max(line.hits, count);
        if (!insn.condition)
            continue;
        const std::uint32_t watched = watched_index(insn.address);
        const std::uint64_t passed =
            insn.ends_flow ? taken_at_end[insn.address] : (watched ? passed_[watched - 1] : 0);
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
