// The debugger's view of the board, over the machine the board runs now: a
// probe, so that it follows the board through resets and puts its
// breakpoints and watchpoints into each new machine.
#pragma once

#include <optional>
#include <vector>

#include "frontends/debug_target.hpp"

namespace kelto::sim::frontend {

class MachineTarget final : public DebugTarget, public Probe {
public:
    explicit MachineTarget(Board &board) : board_(board) {}

    bool halted() const override { return board_.paused(); }
    void halt() override { board_.pause(); }
    void resume() override { board_.resume(); }
    void step() override { board_.step(); }
    bool exited() const override { return machine_->main_returned(); }

    std::uint32_t reg(int number) override { return machine_->reg(number); }
    void set_reg(int number, std::uint32_t value) override { machine_->set_reg(number, value); }
    std::vector<std::uint8_t> read_memory(std::uint32_t address, std::size_t size) override;
    std::optional<std::string> write_memory(std::uint32_t address, const void *data, std::size_t size) override;
    std::vector<MemoryRegion> memory_map() override;

    void add_breakpoint(std::uint32_t address) override;
    void remove_breakpoint(std::uint32_t address) override;
    void add_watchpoint(std::uint32_t address, std::uint32_t length, WatchKind kind) override;
    void remove_watchpoint(std::uint32_t address, std::uint32_t length, WatchKind kind) override;

    std::string registers_text(std::string_view what) override;

    Board &board() override { return board_; }

    void attach(Machine &machine) override;
    void detach() override { machine_ = nullptr; }

private:
    struct Point {
        std::uint32_t address, length;
        std::optional<WatchKind> kind;  // none for a breakpoint
        bool operator==(const Point &) const = default;
    };
    void apply(const Point &point, bool insert);
    void change(const Point &point, bool insert);

    Board &board_;
    Machine *machine_ = nullptr;
    std::vector<Point> points_;
};

}  // namespace kelto::sim::frontend
