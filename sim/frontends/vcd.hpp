// A Value Change Dump (IEEE 1364) of the board's pins and PWM outputs on
// board time, for GTKWave or any logic-analyser view: every GPIO pin's
// level and function, and each PWM timer's output.
//
// A timer's output is worked out from its counter whenever the firmware
// changes the timer, not by ticking: each change starts a wave (the rest of
// the current count, then cycles of the reload buffers) whose edges are
// written as board time passes them. The output is high for the compare
// value's number of counts at the end of each cycle (inverted by the
// inverter bit), and low while the timer stands. The backlight's PWM pin, in
// its timer function, follows the timer; other pins in an alternate function
// read x.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "frontends/frontend.hpp"
#include "frontends/record_file.hpp"
#include "machine/machine.hpp"
#include "models/gpio.hpp"
#include "models/timer.hpp"

namespace kelto::sim::frontend {

// One timer's output from a moment on, until the timer next changes.
class Wave {
public:
    struct Edge {
        std::uint64_t ns;
        bool level;
    };

    Wave() = default;
    Wave(const TimerBlock::State &state, std::uint64_t start_ns, bool level_before);

    std::optional<Edge> next_edge();
    void take_edge();
    bool level() const { return level_; }

private:
    struct Cycle {
        std::uint64_t counts;
        std::uint64_t high;
    };
    std::optional<Edge> boundary() const;
    void step();

    bool counting_ = false;
    bool repeats_ = false;
    bool inverter_ = false;
    Cycle first_{1, 0}, steady_{1, 0};
    std::uint64_t start_ns_ = 0;
    double count_ns_ = 0;
    // Where the wave has got to: the cycle, and its start or its rise.
    std::uint64_t cycle_ = 0;
    unsigned phase_ = 0;
    bool level_ = false;
};

class Vcd final : public Frontend, public Probe, private AccessObserver {
public:
    // Throws std::runtime_error when the file cannot be written.
    explicit Vcd(const std::string &path);
    // Attached at once.
    Vcd(Machine &machine, const std::string &path);
    ~Vcd() override;
    Vcd(const Vcd &) = delete;
    Vcd &operator=(const Vcd &) = delete;

    // The pins may have changed without a register access (a button).
    void refresh();
    // Writes the waves up to now; the file is complete and readable.
    void flush();
    // Flushes; false, with a note and the end of the run, when some of the
    // file could not be written.
    bool finished(Board &board, int status) override;

    // The first machine gives the header and the values at this moment; a
    // later one (after a reset) carries on where the last left the file.
    void attach(Machine &machine) override;
    void detach() override;
    void service(Board &board) override;
    void board_changed(Board &board) override;

private:
    struct PinSignal {
        Pin pin;
        std::string level_id, function_id;
        char level;
        unsigned function;
    };
    static constexpr int pwm_timers = 4;

    void accessed(const Access &access, const Device &device) override;
    void written(const Access &access, const Device &device) override;
    void list_signals();
    void write_header();
    void write_initial_values();
    std::uint64_t now_ns();
    void stamp(std::uint64_t ns);
    void play_waves(std::uint64_t until_ns);
    void restart_waves();
    void scan_pin(PinSignal &signal, std::uint64_t now);
    void write_level(char level, const std::string &id);
    char pin_level(const PinSignal &signal) const;
    bool follows_timer(const PinSignal &signal) const;

    Machine *machine_ = nullptr;
    RecordFile out_;
    std::vector<PinSignal> pins_;
    // Where each port's pins start in pins_, by port number; the next port's
    // start ends them.
    std::array<std::size_t, 27> port_starts_{};
    // The pins the GPIO write under way changes: a pin toggled in a loop
    // costs a look at that pin, not at the whole chip.
    std::optional<GpioBlock::Touched> touched_;
    // The backlight's PWM pin, which follows its timer in its timer function.
    std::optional<std::size_t> backlight_;
    std::array<Wave, pwm_timers> waves_{};
    // No wave changes before this: most register writes pass the waves by.
    std::uint64_t next_edge_ns_ = 0;
    std::array<std::string, pwm_timers> timer_ids_;
    std::uint64_t last_ns_ = 0;
    bool stamped_ = false;
    // Board time starts again at 0 after a reset; the file's does not.
    std::uint64_t offset_ns_ = 0;
};

}  // namespace kelto::sim::frontend
