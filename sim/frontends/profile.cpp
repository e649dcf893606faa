#include "frontends/profile.hpp"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "machine/instructions.hpp"

namespace kelto::sim::frontend {

namespace {

std::string readable(const std::string &name)
{
    int status = 0;
    char *text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    std::string result = status == 0 && text ? text : name;
    std::free(text);
    return result;
}

std::string json_string(const std::string &text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + '"';
}

std::string folded_text(const std::map<std::string, Cycles> &stacks)
{
    std::string text;
    for (const auto &[stack, weight] : stacks)
        text += stack + " " + std::to_string(weight) + "\n";
    return text;
}

// Several profiles share the frames of one image; speedscope opens the first
// and lists the others to choose from.
std::string speedscope_file(const std::string &name, const std::string &frames, const std::vector<std::string> &profiles)
{
    std::string text = R"({"$schema":"https://www.speedscope.app/file-format-schema.json","exporter":"keltosim","name":)" +
                       json_string(name) + R"(,"activeProfileIndex":0,"shared":{"frames":[)" + frames +
                       R"(]},"profiles":[)";
    for (std::size_t p = 0; p < profiles.size(); p++)
        text += (p ? "," : "") + profiles[p];
    return text + "]}\n";
}

// Replaced whole: a profile is of the run that wrote it.
bool write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    return static_cast<bool>(out);
}

}  // namespace

Profile::Profile(std::string path, ProfileFormat format) : path_(std::move(path)), format_(format)
{
    nodes_.push_back(Node{0, 0});
}

Profile::Profile(Machine &machine) : Profile()
{
    attach(machine);
}

Profile::~Profile()
{
    detach();
}

void Profile::detach()
{
    if (!machine_)
        return;
    settle();
    machine_->remove_execution_observer(*this);
    machine_ = nullptr;
}

// Every machine of a session runs the same image.
void Profile::attach(Machine &machine)
{
    if (functions_.empty()) {
        for (const Symbol &symbol : machine.image().symbols())
            if (symbol.function)
                functions_.push_back(Function{symbol.address, symbol.size, readable(symbol.name)});
        std::sort(functions_.begin(), functions_.end(),
                  [](const Function &a, const Function &b) { return a.address < b.address; });
        functions_.push_back(Function{0, 0, "(no symbol)"});
        image_path_ = machine.image().path();
    }
    machine_ = &machine;
    stack_.clear();
    slots_.fill(Slot{});
    exit_ = Flow::next;
    last_ = machine.clock().counted();
    machine.add_execution_observer(*this);
}

std::uint32_t Profile::function_at(std::uint32_t pc) const
{
    const auto after = std::upper_bound(functions_.begin(), functions_.end() - 1, pc,
                                        [](std::uint32_t at, const Function &f) { return at < f.address; });
    const auto unknown = static_cast<std::uint32_t>(functions_.size() - 1);
    if (after == functions_.begin())
        return unknown;
    const Function &found = *std::prev(after);
    const bool inside = found.size == 0 || pc - found.address < found.size;
    return inside ? static_cast<std::uint32_t>(std::prev(after) - functions_.begin()) : unknown;
}

Profile::Slot Profile::fresh_slot(std::uint32_t pc, std::uint32_t size, bool thumb) const
{
    Slot slot;
    slot.key = pc | std::uint64_t{size} << 32;
    slot.end = pc + size;
    slot.function = function_at(pc);
    slot.starts_function = functions_[slot.function].address == pc;
    const std::vector<std::uint8_t> bytes = machine_->read_bytes(pc, size);
    if (thumb) {
        std::vector<std::uint16_t> code(size / 2);
        std::memcpy(code.data(), bytes.data(), code.size() * 2);
        const ThumbWalk all = walk_thumb(code);
        const ThumbWalk before_last = walk_thumb(code, all.instructions - 1);
        const std::uint16_t last = code[before_last.halfwords];
        const InstructionFlow flow = thumb_flow(last);
        slot.instructions = all.instructions;
        slot.exit = flow.flow;
        const std::uint32_t last_at = pc + 2 * static_cast<std::uint32_t>(before_last.halfwords);
        slot.quiet = stays_in(slot, flow, thumb_branch_target(last_at, last));
        return slot;
    }
    std::vector<std::uint32_t> code(size / 4);
    std::memcpy(code.data(), bytes.data(), code.size() * 4);
    const InstructionFlow flow = arm_flow(code.back());
    slot.instructions = static_cast<std::uint32_t>(code.size());
    slot.exit = flow.flow;
    // The ARMv4T call through a register: mov lr, pc then bx.
    if (slot.exit == Flow::indirect && code.size() >= 2 && arm_links_pc(code[code.size() - 2]))
        slot.exit = Flow::call;
    slot.quiet = stays_in(slot, flow, arm_branch_target(slot.end - 4, code.back()));
    return slot;
}

// Whichever way the block leaves, the next is of the same function and the
// stack as it was: the profile need not hear of it.
bool Profile::stays_in(const Slot &slot, const InstructionFlow &flow, std::uint32_t target) const
{
    if (flow.flow != Flow::next && flow.flow != Flow::branch)
        return false;
    const bool falls_through = flow.flow == Flow::next || flow.conditional;
    const bool branches = flow.flow == Flow::branch;
    return (!falls_through || function_at(slot.end) == slot.function) &&
           (!branches || function_at(target) == slot.function);
}

std::uint32_t Profile::child(std::uint32_t parent, std::uint32_t function)
{
    const auto [found, added] =
        children_.try_emplace(std::uint64_t{parent} << 32 | function, static_cast<std::uint32_t>(nodes_.size()));
    if (added)
        nodes_.push_back(Node{function, parent});
    return found->second;
}

// Moves the shadow stack to the block at pc, by how the last block left.
void Profile::enter(const Slot &slot, std::uint32_t pc)
{
    if (stack_.empty()) {
        stack_.push_back(Frame{child(0, slot.function), 0});
        return;
    }
    if (exit_ == Flow::call && pc != exit_end_ && stack_.size() < max_depth) {
        stack_.push_back(Frame{child(stack_.back().node, slot.function), exit_end_});
        return;
    }
    if (exit_ == Flow::indirect) {
        for (std::size_t i = stack_.size(); i-- > 1;) {
            if (stack_[i].return_address == pc) {
                stack_.resize(i);
                break;
            }
        }
    }
    Frame &top = stack_.back();
    if (nodes_[top.node].function == slot.function)
        return;
    // Not a call and not a return: a tail call, or a way back to a caller
    // the shadow stack did not see leave (a jump out of a nested call).
    if (!slot.starts_function) {
        for (std::size_t i = stack_.size() - 1; i-- > 0;) {
            if (nodes_[stack_[i].node].function == slot.function) {
                stack_.resize(i + 1);
                return;
            }
        }
    }
    top.node = child(nodes_[top.node].parent, slot.function);
}

void Profile::replace(Slot &slot, std::uint32_t pc, std::uint32_t size, bool thumb) const
{
    slot = fresh_slot(pc, size, thumb);
}

Profile::Slot &Profile::slot_of(std::uint32_t pc, std::uint32_t size, bool thumb)
{
    Slot &slot = slots_[(pc >> 1) % slots_.size()];
    if (slot.key != (pc | std::uint64_t{size} << 32)) [[unlikely]]
        replace(slot, pc, size, thumb);
    return slot;
}

bool Profile::quiet(std::uint32_t pc, std::uint32_t size, bool thumb)
{
    return slot_of(pc, size, thumb).quiet;
}

// Time is given out only when the stack may change: until then it all goes
// to the frame on top, so most blocks cost a look-up and a comparison, and
// a quiet block after a quiet one is not even told.
void Profile::block(std::uint32_t pc, std::uint32_t size, bool thumb)
{
    const Slot &slot = slot_of(pc, size, thumb);
    const bool same_frame = (exit_ != Flow::call || pc == exit_end_) && exit_ != Flow::indirect && !stack_.empty() &&
                            nodes_[stack_.back().node].function == slot.function;
    if (!same_frame) {
        // Time skipped since the last block was spent where the core was.
        const Cycles start = machine_->clock().counted() - slot.instructions;
        nodes_[stack_.empty() ? 0 : stack_.back().node].weight += start - last_;
        last_ = start;
        enter(slot, pc);
    }
    exit_ = slot.exit;
    exit_end_ = slot.end;
}

void Profile::cut(std::uint32_t, std::uint32_t)
{
    // The block's last instruction did not run: nothing is known of its
    // exit. What did not run the clock has taken back.
    exit_ = Flow::next;
}

// Nodes are the profile's own: they go as paths of functions, which are
// the image's.
struct Profile::Carry final : ObserverMark {
    std::vector<std::pair<std::vector<std::uint32_t>, Cycles>> stacks;
    std::vector<std::uint32_t> path;  // of the frames on the stack
    std::vector<std::uint32_t> return_addresses;
    Flow exit = Flow::next;
    std::uint32_t exit_end = 0;
    std::size_t bytes() const override
    {
        std::size_t total = sizeof *this + (path.size() + return_addresses.size()) * 4;
        for (const auto &[functions, weight] : stacks)
            total += sizeof stacks.front() + functions.size() * 4;
        return total;
    }
};

std::shared_ptr<const Profile::Carry> Profile::carry()
{
    settle();
    auto carry = std::make_shared<Carry>();
    for (std::uint32_t node = 0; node < nodes_.size(); node++)
        if (nodes_[node].weight)
            carry->stacks.emplace_back(path(node), nodes_[node].weight);
    if (!stack_.empty())
        carry->path = path(stack_.back().node);
    for (const Frame &frame : stack_)
        carry->return_addresses.push_back(frame.return_address);
    carry->exit = exit_;
    carry->exit_end = exit_end_;
    return carry;
}

void Profile::go_on_from(const Carry &carry)
{
    for (const auto &[functions, weight] : carry.stacks) {
        std::uint32_t node = 0;
        for (const std::uint32_t function : functions)
            node = child(node, function);
        nodes_[node].weight += weight;
    }
    stack_.clear();
    const std::size_t depth = std::min(carry.path.size(), carry.return_addresses.size());
    for (std::uint32_t frame = 0, node = 0; frame < depth; frame++) {
        node = child(node, carry.path[frame]);
        stack_.push_back(Frame{node, carry.return_addresses[frame]});
    }
    exit_ = carry.exit;
    exit_end_ = carry.exit_end;
    if (machine_)
        last_ = machine_->clock().counted();
}

std::shared_ptr<const ObserverMark> Profile::mark()
{
    return carry();
}

// Stacks first met after the mark stay, with nothing on them.
void Profile::rewind(const ObserverMark *mark)
{
    for (Node &node : nodes_)
        node.weight = 0;
    stack_.clear();
    exit_ = Flow::next;
    exit_end_ = 0;
    last_ = machine_ ? machine_->clock().counted() : 0;
    if (mark)
        go_on_from(static_cast<const Carry &>(*mark));
}

Cycles Profile::settle()
{
    if (machine_) {
        const Cycles now = machine_->clock().counted();
        nodes_[stack_.empty() ? 0 : stack_.back().node].weight += now - last_;
        last_ = now;
    }
    Cycles total = 0;
    for (const Node &node : nodes_)
        total += node.weight;
    return total;
}

std::vector<std::uint32_t> Profile::path(std::uint32_t node) const
{
    std::vector<std::uint32_t> functions;
    for (; node != 0; node = nodes_[node].parent)
        functions.push_back(nodes_[node].function);
    std::reverse(functions.begin(), functions.end());
    return functions;
}

std::map<std::string, Cycles> Profile::stacks() const
{
    std::map<std::string, Cycles> stacks;
    for (std::uint32_t node = 0; node < nodes_.size(); node++) {
        if (nodes_[node].weight == 0)
            continue;
        std::string stack;
        for (const std::uint32_t function : path(node))
            stack += (stack.empty() ? "" : ";") + functions_[function].name;
        stacks[stack.empty() ? "(before main)" : stack] += nodes_[node].weight;
    }
    return stacks;
}

std::string Profile::folded() const
{
    return folded_text(stacks());
}

std::string Profile::speedscope_frames() const
{
    std::string frames;
    for (std::size_t f = 0; f < functions_.size(); f++)
        frames += (f ? R"(,{"name":)" : R"({"name":)") + json_string(functions_[f].name) + "}";
    return frames;
}

std::string Profile::speedscope_profile(const std::string &name) const
{
    std::string samples, weights;
    Cycles total = 0;
    for (std::uint32_t node = 1; node < nodes_.size(); node++) {
        if (nodes_[node].weight == 0)
            continue;
        std::string stack;
        for (const std::uint32_t function : path(node))
            stack += (stack.empty() ? "" : ",") + std::to_string(function);
        samples += (samples.empty() ? "[" : ",[") + stack + "]";
        weights += (weights.empty() ? "" : ",") + std::to_string(nodes_[node].weight);
        total += nodes_[node].weight;
    }
    return R"({"type":"sampled","name":)" + json_string(name + " (board cycles)") +
           R"(,"unit":"none","startValue":0,"endValue":)" + std::to_string(total) + R"(,"samples":[)" + samples +
           R"(],"weights":[)" + weights + "]}";
}

std::string Profile::speedscope(const std::string &name) const
{
    return speedscope_file(name, speedscope_frames(), {speedscope_profile(name)});
}

bool Profile::finished(Board &board, int)
{
    if (path_.empty())
        return true;
    settle();
    const std::string text = format_ == ProfileFormat::folded ? folded() : speedscope(image_path_);
    if (write_file(path_, text))
        return true;
    board.note("the profile could not be written to " + path_);
    return false;
}

ProfileSum::ProfileSum(std::string path, ProfileFormat format) : path_(std::move(path)), format_(format) {}

void ProfileSum::add(std::size_t order, const std::string &name, Profile &profile)
{
    profile.settle();
    if (format_ == ProfileFormat::folded) {
        std::map<std::string, Cycles> stacks = profile.stacks();
        const std::lock_guard guard(lock_);
        for (const auto &[stack, cycles] : stacks)
            stacks_[stack] += cycles;
        return;
    }
    std::string frames = profile.speedscope_frames();
    std::string one = profile.speedscope_profile(name);
    const std::lock_guard guard(lock_);
    frames_ = std::move(frames);
    profiles_[order] = std::move(one);
}

std::string ProfileSum::text(const std::string &name) const
{
    const std::lock_guard guard(lock_);
    if (format_ == ProfileFormat::folded)
        return folded_text(stacks_);
    std::vector<std::string> profiles;
    for (const auto &[order, profile] : profiles_)
        profiles.push_back(profile);
    return speedscope_file(name, frames_, profiles);
}

bool ProfileSum::write(const std::string &name) const
{
    return write_file(path_, text(name));
}

std::unordered_map<std::string, Cycles> parse_folded(const std::string &text)
{
    std::unordered_map<std::string, Cycles> stacks;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const std::size_t space = line.rfind(' ');
        std::size_t used = 0;
        Cycles weight = 0;
        try {
            if (space != std::string::npos && space > 0)
                weight = std::stoull(line.substr(space + 1), &used);
        } catch (const std::logic_error &) {
        }
        if (used == 0 || space + 1 + used != line.size())
            throw std::runtime_error("not a folded stack: '" + line + "'");
        stacks[line.substr(0, space)] += weight;
    }
    return stacks;
}

}  // namespace kelto::sim::frontend
