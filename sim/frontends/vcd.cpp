#include "frontends/vcd.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "models/gpio.hpp"

namespace kelto::sim::frontend {

namespace {

// Short identifiers from the printable characters, as VCD writers do.
std::string signal_id(std::size_t index)
{
    constexpr std::size_t first = '!', count = '~' - '!' + 1;
    std::string id;
    do {
        id += static_cast<char>(first + index % count);
        index /= count;
    } while (index > 0);
    return id;
}

std::string function_vector(unsigned function)
{
    std::string bits = "b";
    for (int bit = 3; bit >= 0; bit--)
        bits += ((function >> bit) & 1) ? '1' : '0';
    return bits;
}

}  // namespace

Wave::Wave(const TimerBlock::State &state, std::uint64_t start_ns, bool level_before)
    : counting_(state.counting), repeats_(state.auto_reload), inverter_(state.inverter),
      first_{std::uint64_t{state.count} + 1, std::min<std::uint64_t>(state.compare, std::uint64_t{state.count} + 1)},
      steady_{std::uint64_t{state.count_buffer} + 1,
              std::min<std::uint64_t>(state.compare_buffer, std::uint64_t{state.count_buffer} + 1)},
      start_ns_(start_ns), count_ns_(1e9 / state.count_hz), level_(level_before)
{
}

// The next place where the level may change: each cycle starts low (high if
// it is high throughout) and rises for its last `high` counts. A cycle that
// rises at its start or not at all gives a boundary with the level it
// already has, which next_edge passes over.
std::optional<Wave::Edge> Wave::boundary() const
{
    auto at = [&](std::uint64_t count, bool high) {
        return Edge{start_ns_ + static_cast<std::uint64_t>(std::llround(static_cast<double>(count) * count_ns_)),
                    high != inverter_};
    };
    if (!counting_)
        return phase_ == 0 && cycle_ == 0 ? std::optional(at(0, false)) : std::nullopt;
    if (cycle_ > 0 && !repeats_)
        return phase_ == 0 && cycle_ == 1 ? std::optional(at(first_.counts, false)) : std::nullopt;
    const Cycle &cycle = cycle_ == 0 ? first_ : steady_;
    const bool constant = cycle.high == 0 || cycle.high == cycle.counts;
    if (cycle_ > 1 && constant)
        return std::nullopt;
    const std::uint64_t start = cycle_ == 0 ? 0 : first_.counts + (cycle_ - 1) * steady_.counts;
    const std::uint64_t low = cycle.counts - cycle.high;
    if (phase_ == 0)
        return at(start, low == 0);
    return at(start + low, cycle.high > 0);
}

void Wave::step()
{
    phase_ ^= 1;
    if (phase_ == 0)
        cycle_++;
}

std::optional<Wave::Edge> Wave::next_edge()
{
    for (std::optional<Edge> edge = boundary(); edge; edge = boundary()) {
        if (edge->level != level_)
            return edge;
        step();
    }
    return std::nullopt;
}

void Wave::take_edge()
{
    if (const std::optional<Edge> edge = next_edge()) {
        level_ = edge->level;
        step();
    }
}

Vcd::Vcd(Machine &machine, const std::string &path) : machine_(&machine), out_(std::fopen(path.c_str(), "w"))
{
    if (!out_)
        throw std::runtime_error("cannot write the waveforms to " + path);
    for (Pin pin : machine.gpio().pins())
        pins_.push_back(PinSignal{pin, {}, {}, 'x', 0});
    std::size_t next_id = 0;
    for (PinSignal &signal : pins_) {
        signal.level_id = signal_id(next_id++);
        signal.function_id = signal_id(next_id++);
    }
    for (std::string &id : timer_ids_)
        id = signal_id(next_id++);
    write_header();
    write_initial_values();
    machine.add_access_observer(*this);
}

Vcd::~Vcd()
{
    flush();
    machine_->remove_access_observer(*this);
    std::fclose(out_);
}

void Vcd::write_header()
{
    std::fprintf(out_, "$version keltosim $end\n$timescale 1 ns $end\n$scope module board_%d $end\n",
                 machine_->board().id);
    char port = 0;
    for (const PinSignal &signal : pins_) {
        const char letter = static_cast<char>('A' + signal.pin.port);
        if (letter != port) {
            std::fprintf(out_, "%s$scope module GP%c $end\n", port ? "$upscope $end\n" : "", letter);
            port = letter;
        }
        std::fprintf(out_, "$var wire 1 %s GP%c%u $end\n$var wire 4 %s GP%c%u_function $end\n",
                     signal.level_id.c_str(), letter, signal.pin.number, signal.function_id.c_str(), letter,
                     signal.pin.number);
    }
    std::fprintf(out_, "$upscope $end\n$scope module timers $end\n");
    for (int timer = 0; timer < pwm_timers; timer++)
        std::fprintf(out_, "$var wire 1 %s TOUT%d $end\n", timer_ids_[static_cast<std::size_t>(timer)].c_str(), timer);
    std::fprintf(out_, "$upscope $end\n$upscope $end\n$enddefinitions $end\n");
}

void Vcd::write_initial_values()
{
    stamp(now_ns());
    std::fprintf(out_, "$dumpvars\n");
    for (const std::string &id : timer_ids_)
        std::fprintf(out_, "0%s\n", id.c_str());
    for (PinSignal &signal : pins_) {
        signal.function = machine_->gpio().pin_function(signal.pin).value_or(0);
        signal.level = pin_level(signal);
        std::fprintf(out_, "%c%s\n%s %s\n", signal.level, signal.level_id.c_str(),
                     function_vector(signal.function).c_str(), signal.function_id.c_str());
    }
    std::fprintf(out_, "$end\n");
    restart_waves();
}

std::uint64_t Vcd::now_ns()
{
    Clock &clock = machine_->clock();
    return offset_ns_ + clock.to_ns(clock.now());
}

void Vcd::stamp(std::uint64_t ns)
{
    ns = std::max(ns, last_ns_);
    if (stamped_ && ns == last_ns_)
        return;
    std::fprintf(out_, "#%llu\n", static_cast<unsigned long long>(ns));
    last_ns_ = ns;
    stamped_ = true;
}

void Vcd::written(const Access &, const Device &device)
{
    if (&device == &machine_->timer()) {
        play_waves(now_ns());
        restart_waves();
    } else if (&device == &machine_->gpio()) {
        play_waves(now_ns());
        scan_pins();
    }
}

void Vcd::refresh()
{
    play_waves(now_ns());
    scan_pins();
}

void Vcd::flush()
{
    play_waves(now_ns());
    stamp(now_ns());
    std::fflush(out_);
}

void Vcd::board_changed(Board &board)
{
    if (&board.machine() != machine_) {
        // The old machine is gone, and its observers with it.
        offset_ns_ = last_ns_;
        machine_ = &board.machine();
        machine_->add_access_observer(*this);
        restart_waves();
    }
    refresh();
}

// Edges of all timers, in time order, up to a moment.
void Vcd::play_waves(std::uint64_t until_ns)
{
    for (;;) {
        Wave *earliest = nullptr;
        std::optional<Wave::Edge> edge;
        for (Wave &wave : waves_) {
            const std::optional<Wave::Edge> next = wave.next_edge();
            if (next && next->ns <= until_ns && (!edge || next->ns < edge->ns)) {
                edge = next;
                earliest = &wave;
            }
        }
        if (!earliest)
            return;
        earliest->take_edge();
        stamp(edge->ns);
        const auto timer = static_cast<std::size_t>(earliest - waves_.data());
        std::fprintf(out_, "%d%s\n", edge->level ? 1 : 0, timer_ids_[timer].c_str());
        for (PinSignal &signal : pins_) {
            if (follows_timer(signal) && static_cast<std::size_t>(machine_->board().backlight_timer) == timer) {
                signal.level = edge->level ? '1' : '0';
                std::fprintf(out_, "%c%s\n", signal.level, signal.level_id.c_str());
            }
        }
    }
}

void Vcd::restart_waves()
{
    const std::uint64_t now = now_ns();
    for (int timer = 0; timer < pwm_timers; timer++) {
        Wave &wave = waves_[static_cast<std::size_t>(timer)];
        wave = Wave(machine_->timer().state(timer), now, wave.level());
    }
    play_waves(now);
}

void Vcd::scan_pins()
{
    const GpioBlock &gpio = machine_->gpio();
    for (PinSignal &signal : pins_) {
        const unsigned function = gpio.pin_function(signal.pin).value_or(0);
        if (function != signal.function) {
            stamp(now_ns());
            signal.function = function;
            std::fprintf(out_, "%s %s\n", function_vector(function).c_str(), signal.function_id.c_str());
        }
        const char level = pin_level(signal);
        if (level != signal.level) {
            stamp(now_ns());
            signal.level = level;
            std::fprintf(out_, "%c%s\n", level, signal.level_id.c_str());
        }
    }
}

bool Vcd::follows_timer(const PinSignal &signal) const
{
    return signal.pin == machine_->board().backlight_pwm && signal.function == GpioBlock::function_alt1;
}

char Vcd::pin_level(const PinSignal &signal) const
{
    if (follows_timer(signal))
        return waves_[static_cast<std::size_t>(machine_->board().backlight_timer)].level() ? '1' : '0';
    if (signal.function > GpioBlock::function_output)
        return 'x';
    return machine_->gpio().pin_level(signal.pin) ? '1' : '0';
}

}  // namespace kelto::sim::frontend
