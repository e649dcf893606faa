#include "frontends/vcd.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

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

std::string var_line(int width, const std::string &id, const std::string &name)
{
    return "$var wire " + std::to_string(width) + " " + id + " " + name + " $end\n";
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

Vcd::Vcd(const std::string &path) : out_("the waveforms", path) {}

Vcd::Vcd(Machine &machine, const std::string &path) : Vcd(path)
{
    attach(machine);
}

void Vcd::attach(Machine &machine)
{
    machine_ = &machine;
    machine.add_access_observer(*this);
    if (!stamped_) {
        list_signals();
        write_header();
        write_initial_values();
        return;
    }
    restart_waves();
    refresh();
}

void Vcd::detach()
{
    if (!machine_)
        return;
    flush();
    machine_->remove_access_observer(*this);
    machine_ = nullptr;
    // Board time starts again at 0 in the next machine.
    offset_ns_ = last_ns_;
}

void Vcd::list_signals()
{
    for (Pin pin : machine_->gpio().pins()) {
        if (pin == machine_->board().backlight_pwm)
            backlight_ = pins_.size();
        pins_.push_back(PinSignal{pin, {}, {}, 'x', 0});
    }
    for (std::size_t port = 0; port < port_starts_.size(); port++)
        port_starts_[port] = static_cast<std::size_t>(
            std::partition_point(pins_.begin(), pins_.end(),
                                 [&](const PinSignal &signal) { return signal.pin.port < port; }) -
            pins_.begin());
    std::size_t next_id = 0;
    for (PinSignal &signal : pins_) {
        signal.level_id = signal_id(next_id++);
        signal.function_id = signal_id(next_id++);
    }
    for (std::string &id : timer_ids_)
        id = signal_id(next_id++);
}

Vcd::~Vcd()
{
    detach();
}

void Vcd::write_header()
{
    out_.append("$version keltosim $end\n$timescale 1 ns $end\n$scope module board_" +
                std::to_string(machine_->board().id) + " $end\n");
    char port = 0;
    for (const PinSignal &signal : pins_) {
        const char letter = static_cast<char>('A' + signal.pin.port);
        if (letter != port) {
            out_.append(std::string(port ? "$upscope $end\n" : "") + "$scope module GP" + letter + " $end\n");
            port = letter;
        }
        const std::string name = std::string("GP") + letter + std::to_string(signal.pin.number);
        out_.append(var_line(1, signal.level_id, name));
        out_.append(var_line(4, signal.function_id, name + "_function"));
    }
    out_.append("$upscope $end\n$scope module timers $end\n");
    for (std::size_t timer = 0; timer < timer_ids_.size(); timer++)
        out_.append(var_line(1, timer_ids_[timer], "TOUT" + std::to_string(timer)));
    out_.append("$upscope $end\n$upscope $end\n$enddefinitions $end\n");
}

void Vcd::write_initial_values()
{
    stamp(now_ns());
    out_.append("$dumpvars\n");
    for (const std::string &id : timer_ids_)
        write_level('0', id);
    for (PinSignal &signal : pins_) {
        signal.function = machine_->gpio().pin_function(signal.pin).value_or(0);
        signal.level = pin_level(signal);
        write_level(signal.level, signal.level_id);
        out_.append(function_vector(signal.function) + " " + signal.function_id + "\n");
    }
    out_.append("$end\n");
    restart_waves();
}

void Vcd::write_level(char level, const std::string &id)
{
    out_.append(level);
    out_.append(id);
    out_.end_line();
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
    out_.append('#');
    out_.append_number(ns);
    out_.end_line();
    last_ns_ = ns;
    stamped_ = true;
}

void Vcd::written(const Access &, const Device &device)
{
    if (&device == &machine_->timer()) {
        play_waves(now_ns());
        restart_waves();
    } else if (&device == &machine_->gpio() && touched_ && touched_->pins != 0) {
        const std::uint64_t now = now_ns();
        play_waves(now);
        const std::size_t first = port_starts_[touched_->port], end = port_starts_[touched_->port + 1u];
        for (std::size_t index = first; index < end; index++) {
            if ((touched_->pins >> (index - first)) & 1)
                scan_pin(pins_[index], now);
        }
    }
}

void Vcd::accessed(const Access &access, const Device &device)
{
    if (access.write && &device == &machine_->gpio())
        touched_ = machine_->gpio().pins_touched(access.address - device.base(), access.value);
}

void Vcd::refresh()
{
    const std::uint64_t now = now_ns();
    play_waves(now);
    for (PinSignal &signal : pins_)
        scan_pin(signal, now);
}

void Vcd::flush()
{
    play_waves(now_ns());
    stamp(now_ns());
    out_.flush();
}

bool Vcd::finished(Board &board, int)
{
    if (machine_)
        flush();
    return out_.report(board);
}

void Vcd::service(Board &board)
{
    out_.report(board);
}

void Vcd::board_changed(Board &)
{
    if (machine_)
        refresh();
}

// Edges of all timers, in time order, up to a moment.
void Vcd::play_waves(std::uint64_t until_ns)
{
    if (until_ns < next_edge_ns_)
        return;
    for (;;) {
        Wave *earliest = nullptr;
        std::optional<Wave::Edge> edge;
        for (Wave &wave : waves_) {
            const std::optional<Wave::Edge> next = wave.next_edge();
            if (next && (!edge || next->ns < edge->ns)) {
                edge = next;
                earliest = &wave;
            }
        }
        if (!earliest || edge->ns > until_ns) {
            next_edge_ns_ = earliest ? edge->ns : std::numeric_limits<std::uint64_t>::max();
            return;
        }
        earliest->take_edge();
        stamp(edge->ns);
        const auto timer = static_cast<std::size_t>(earliest - waves_.data());
        write_level(edge->level ? '1' : '0', timer_ids_[timer]);
        if (backlight_ && follows_timer(pins_[*backlight_]) &&
            static_cast<std::size_t>(machine_->board().backlight_timer) == timer) {
            pins_[*backlight_].level = edge->level ? '1' : '0';
            write_level(pins_[*backlight_].level, pins_[*backlight_].level_id);
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
    next_edge_ns_ = 0;
    play_waves(now);
}

void Vcd::scan_pin(PinSignal &signal, std::uint64_t now)
{
    const unsigned function = machine_->gpio().pin_function(signal.pin).value_or(0);
    if (function != signal.function) {
        stamp(now);
        signal.function = function;
        out_.append(function_vector(function) + " " + signal.function_id);
        out_.end_line();
    }
    const char level = pin_level(signal);
    if (level != signal.level) {
        stamp(now);
        signal.level = level;
        write_level(level, signal.level_id);
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
