// Where the board's time goes, by call stack, on the board's own clock: a
// shadow call stack follows calls (BL, BLX, mov lr, pc before bx), returns
// (to a return address on the stack through bx, pop, ldm, ldr or mov into
// the pc) and tail calls (a branch to another function's start replaces
// the top frame). Every cycle the clock counts, skipped idle time included,
// goes to the stack the core was in, so the counts repeat run for run and
// add up to the run's board time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "frontends/frontend.hpp"
#include "machine/control_flow.hpp"
#include "machine/execution_observer.hpp"

namespace kelto::sim::frontend {

enum class ProfileFormat { folded, speedscope };

class Profile final : public Frontend, public Probe, private ExecutionObserver {
public:
    // The shadow stack goes no deeper: a call beyond counts on the deepest
    // frame, so a runaway recursion (or a call that never returns, made
    // over and over) keeps the profile's memory bounded.
    static constexpr std::size_t max_depth = 1024;

    // The session's end writes the profile to the file at path, if one is named.
    explicit Profile(std::string path = {}, ProfileFormat format = ProfileFormat::folded);
    // Attached at once.
    explicit Profile(Machine &machine);
    ~Profile() override;
    Profile(const Profile &) = delete;
    Profile &operator=(const Profile &) = delete;

    // A reset starts the stack again from main on the new machine.
    void attach(Machine &machine) override;
    void detach() override;
    // Time on the clock until now is counted; the clock's cycles in all.
    Cycles settle();
    // Cycles by stack, "main;kelto_menu_main;udelay" to 123456.
    std::map<std::string, Cycles> stacks() const;
    // One line per stack: "main;kelto_menu_main;udelay 123456".
    std::string folded() const;
    // speedscope's file format, a "sampled" profile weighted in cycles.
    std::string speedscope(const std::string &name) const;
    // Its parts: the functions, and the profile that refers to them.
    std::string speedscope_frames() const;
    std::string speedscope_profile(const std::string &name) const;
    bool finished(Board &board, int status) override;
    // What it counted up to where its board stands, and the call stack
    // there, for a Profile on a board restored from there (a suite's shared
    // boot) to go on from, as if it had followed that run itself.
    struct Carry;
    std::shared_ptr<const Carry> carry();
    // Once attached, before its board runs.
    void go_on_from(const Carry &carry);

private:
    struct Function {
        std::uint32_t address, size;
        std::string name;  // demangled
    };
    struct Node {
        std::uint32_t function, parent;
        Cycles weight = 0;
    };
    struct Frame {
        std::uint32_t node;
        std::uint32_t return_address;
    };
    struct Slot {
        std::uint64_t key = 0;
        std::uint32_t instructions = 0;
        std::uint32_t end = 0;
        std::uint32_t function = 0;
        bool starts_function = false;
        // Leaves only for its own function, by no call and no return.
        bool quiet = false;
        Flow exit = Flow::next;
    };
    void block(std::uint32_t pc, std::uint32_t size, bool thumb) override;
    bool quiet(std::uint32_t pc, std::uint32_t size, bool thumb) override;
    Slot &slot_of(std::uint32_t pc, std::uint32_t size, bool thumb);
    void cut(std::uint32_t pc, std::uint32_t instructions) override;
    void machine_closed() override { machine_ = nullptr; }
    std::shared_ptr<const ObserverMark> mark() override;
    void rewind(const ObserverMark *mark) override;
    Slot fresh_slot(std::uint32_t pc, std::uint32_t size, bool thumb) const;
    bool stays_in(const Slot &slot, const InstructionFlow &flow, std::uint32_t target) const;
    [[gnu::noinline]] void replace(Slot &slot, std::uint32_t pc, std::uint32_t size, bool thumb) const;
    std::uint32_t function_at(std::uint32_t pc) const;
    std::uint32_t child(std::uint32_t parent, std::uint32_t function);
    void enter(const Slot &slot, std::uint32_t pc);
    std::vector<std::uint32_t> path(std::uint32_t node) const;

    Machine *machine_ = nullptr;
    std::string path_;
    ProfileFormat format_;
    std::string image_path_;
    std::vector<Function> functions_;  // by address; the last is "(no symbol)"
    std::vector<Node> nodes_;          // 0: above every stack
    std::unordered_map<std::uint64_t, std::uint32_t> children_;
    std::vector<Frame> stack_;
    std::array<Slot, 4096> slots_{};
    Cycles last_ = 0;  // the clock when time was last given out
    Flow exit_ = Flow::next;  // how the last block left
    std::uint32_t exit_end_ = 0;
};

// The profiles of a suite's boards as one file, the same whatever order
// the boards finish in: folded stacks summed by stack; in speedscope's
// format a profile per board, named after its scenario, in suite order.
class ProfileSum {
public:
    ProfileSum(std::string path, ProfileFormat format);
    // The board's profile, settled; boards on several threads may add at once.
    void add(std::size_t order, const std::string &name, Profile &profile);
    std::string text(const std::string &name) const;
    // Replaces the file; false if it cannot.
    bool write(const std::string &name) const;
    const std::string &path() const { return path_; }

private:
    std::string path_;
    ProfileFormat format_;
    mutable std::mutex lock_;
    std::map<std::string, Cycles> stacks_;
    std::string frames_;
    std::map<std::size_t, std::string> profiles_;
};

// Folded stacks read back, "a;b;c" to cycles, for tools and tests. Throws
// std::runtime_error on a line that is not a stack and a count.
std::unordered_map<std::string, Cycles> parse_folded(const std::string &text);

}  // namespace kelto::sim::frontend
