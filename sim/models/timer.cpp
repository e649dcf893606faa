#include "models/timer.hpp"

#include <algorithm>


namespace kelto::sim {

namespace {

// Bits of TCON that exist: timer 0's field with its dead-zone bit, the
// fields of timers 1-3, and timer 4's three bits.
constexpr std::uint32_t tcon_mask = 0x007FFF1F;
// Prescalers and dead-zone length; divider fields and DMA selection.
constexpr std::uint32_t tcfg_mask = 0x00FFFFFF;
// Share of the time a loop has already been polling by which the next
// reading moves the clock on: the most a delay can end late.

bool field_bit_of(std::uint32_t tcon, int timer, unsigned bit)
{
    return (tcon >> (TimerBlock::tcon_shift[static_cast<std::size_t>(timer)] + bit)) & 1;
}

std::uint32_t divider_field(std::uint32_t tcfg1, int timer)
{
    return (tcfg1 >> (4 * timer)) & 0xF;
}

constexpr auto rw = RegisterAccess::read_write;

constexpr Field prescaler_fields[] = {
    {"PRESCALER0", 0, 8, "prescaler of timers 0 and 1: PCLK / (value + 1)"},
    {"PRESCALER1", 8, 8, "prescaler of timers 2 to 4: PCLK / (value + 1)"},
    {"DEAD_ZONE", 16, 8, "dead-zone length"},
};
// Codes past the last divider select the external clock inputs, which the
// board does not drive.
#define KELTO_DIVIDERS(first, last_code)                                                          \
    {"DIVIDER0", 0, 4, "timer 0 input divider: " first " << value; " last_code " and up external"}, \
    {"DIVIDER1", 4, 4, "timer 1 input divider: " first " << value; " last_code " and up external"}, \
    {"DIVIDER2", 8, 4, "timer 2 input divider: " first " << value; " last_code " and up external"}, \
    {"DIVIDER3", 12, 4, "timer 3 input divider: " first " << value; " last_code " and up external"}, \
    {"DIVIDER4", 16, 4, "timer 4 input divider: " first " << value; " last_code " and up external"}, \
    {"DMA", 20, 4, "timer whose interrupt requests DMA"}
constexpr Field s3c6410_divider_fields[] = {KELTO_DIVIDERS("1", "5")};
constexpr Field s3c2450_divider_fields[] = {KELTO_DIVIDERS("2", "4")};
#undef KELTO_DIVIDERS
#define KELTO_TIMER_CONTROL(n, shift)                                                         \
    {"START" #n, (shift), 1, "timer " #n " counts", "timer " #n " on"},                         \
    {"UPDATE" #n, (shift) + 1, 1, "timer " #n " holds its buffers' values", "timer " #n " manual update"}
#define KELTO_TIMER_RELOAD(n, bit) {"RELOAD" #n, (bit), 1, "timer " #n " reloads at 0 (else one-shot)", "timer " #n " auto-reload"}
#define KELTO_TIMER_OUTPUT(n, shift)                                                          \
    KELTO_TIMER_CONTROL(n, shift), {"INVERT" #n, (shift) + 2, 1, "timer " #n " output inverted", "timer " #n " inverted"}, \
    KELTO_TIMER_RELOAD(n, (shift) + 3)
// Timer 4 has no output, so no inverter: its reload bit comes next.
constexpr Field control_fields[] = {
    KELTO_TIMER_OUTPUT(0, 0),  {"DEAD_ZONE", 4, 1, "dead zone on", "dead zone"},
    KELTO_TIMER_OUTPUT(1, 8),  KELTO_TIMER_OUTPUT(2, 12),
    KELTO_TIMER_OUTPUT(3, 16), KELTO_TIMER_CONTROL(4, 20),
    KELTO_TIMER_RELOAD(4, 22),
};
#undef KELTO_TIMER_OUTPUT
#undef KELTO_TIMER_RELOAD
#undef KELTO_TIMER_CONTROL

template <std::uint8_t Bits> struct CountFields {
    static constexpr Field buffer[] = {{"COUNT", 0, Bits, "count taken on at a manual update or reload"}};
    static constexpr Field compare[] = {{"COMPARE", 0, Bits, "the output goes high below this count"}};
    static constexpr Field observed[] = {{"COUNT", 0, Bits, "the counter now"}};
};

// Every register at reset reads 0; the counters stand until started.
template <std::uint8_t Bits> constexpr auto timer_registers(std::span<const Field> dividers)
{
    using T = TimerBlock;
    using Counts = CountFields<Bits>;
    std::array<Register, 3 + 3 * 4 + 2> table{};
    table[0] = {"TCFG0", T::TCFG0, 0, rw, "prescalers and dead-zone length", prescaler_fields};
    table[1] = {"TCFG1", T::TCFG1, 0, rw, "input dividers and DMA selection", dividers};
    table[2] = {"TCON", T::TCON, 0, rw, "timer control: start, update, inverter, reload", control_fields};
    std::size_t next = 3;
    for (int timer = 0; timer < T::timer_count; timer++) {
        const std::string_view digit = std::string_view("01234").substr(static_cast<std::size_t>(timer), 1);
        table[next++] = {RegisterName("TCNTB").append(digit), T::tcntb(timer), 0, rw, "count buffer", Counts::buffer};
        if (timer < 4)
            table[next++] = {RegisterName("TCMPB").append(digit), T::tcmpb(timer), 0, rw, "compare buffer",
                             Counts::compare};
        table[next++] = {RegisterName("TCNTO").append(digit), T::tcnto(timer), 0, RegisterAccess::read_only,
                         "count observation", Counts::observed};
    }
    return table;
}

constexpr auto s3c6410_registers = timer_registers<32>(s3c6410_divider_fields);
constexpr auto s3c2450_registers = timer_registers<16>(s3c2450_divider_fields);
static_assert(table_well_formed(s3c6410_registers, 0x44) && table_well_formed(s3c2450_registers, 0x44),
              "timer register tables");

}  // namespace

TimerBlock::TimerBlock(const BoardSpec &board) : Device("PWM timers", board.timer_base, 0x44), board_(board) {}

std::span<const Register> TimerBlock::registers() const
{
    if (board_.chip == Chip::s3c6410)
        return s3c6410_registers;
    return s3c2450_registers;
}

int TimerBlock::width(int timer) const
{
    if (timer == 4)
        return board_.timer4_bits;
    return board_.chip == Chip::s3c6410 ? 32 : 16;
}

std::uint32_t TimerBlock::mask(int timer) const
{
    return 0xFFFFFFFFu >> (32 - width(timer));
}

bool TimerBlock::tcon_bit(int timer, unsigned bit) const
{
    return field_bit_of(tcon_, timer, bit);
}

std::uint64_t TimerBlock::divisor(int timer) const
{
    const std::uint32_t prescaler = timer < 2 ? tcfg0_ & 0xFF : (tcfg0_ >> 8) & 0xFF;
    return (std::uint64_t{prescaler} + 1) * divider(tcfg1_, timer);
}

std::uint64_t TimerBlock::divider(std::uint32_t tcfg1, int timer) const
{
    // The S3C6410 counts its divider codes from /1, the S3C2450 from /2.
    const std::uint32_t field = divider_field(tcfg1, timer);
    return board_.chip == Chip::s3c6410 ? 1u << field : 2u << field;
}

std::string TimerBlock::describe_write(std::uint32_t offset, std::uint32_t value) const
{
    std::string text;
    if (offset == TCFG0) {
        const std::uint32_t changed = (tcfg0_ ^ value) & tcfg_mask;
        static const char *const fields[] = {"prescaler 0 (timers 0, 1)", "prescaler 1 (timers 2-4)", "dead zone"};
        for (unsigned field = 0; field < 3; field++) {
            if ((changed >> (8 * field)) & 0xFF)
                append_words(text, std::string(fields[field]) + " " + std::to_string((tcfg0_ >> (8 * field)) & 0xFF) +
                                       " -> " + std::to_string((value >> (8 * field)) & 0xFF));
        }
    } else if (offset == TCFG1) {
        text = describe_dividers(value);
    } else if (offset == TCON) {
        text = describe_tcon(tcon_, value & tcon_mask);
    }
    return text;
}

std::string TimerBlock::describe_dividers(std::uint32_t value) const
{
    std::string text;
    for (int timer = 0; timer < timer_count; timer++) {
        if (divider_field(tcfg1_, timer) == divider_field(value, timer))
            continue;
        append_words(text, "timer " + std::to_string(timer) + " divider /" + std::to_string(divider(tcfg1_, timer)) +
                               " -> " +
                               (divider_valid(value, timer) ? "/" + std::to_string(divider(value, timer))
                                                            : "external clock"));
    }
    return text;
}

std::string TimerBlock::describe_tcon(std::uint32_t old_tcon, std::uint32_t value)
{
    std::string text;
    if ((old_tcon ^ value) & (1u << 4))
        append_words(text, (value & (1u << 4)) ? "dead zone on" : "dead zone off");
    for (int timer = 0; timer < timer_count; timer++) {
        auto bit = [&](std::uint32_t tcon, unsigned field_bit) { return field_bit_of(tcon, timer, field_bit); };
        const unsigned reload_bit = timer == 4 ? 2 : 3;
        std::string changes;
        if (bit(value, 1) && !bit(old_tcon, 1))
            append_words(changes, "manual update");
        if (bit(value, 0) != bit(old_tcon, 0))
            append_words(changes, bit(value, 0) ? "start" : "stop");
        if (bit(value, reload_bit) != bit(old_tcon, reload_bit))
            append_words(changes, bit(value, reload_bit) ? "auto-reload" : "one-shot");
        if (timer != 4 && bit(value, 2) != bit(old_tcon, 2))
            append_words(changes, bit(value, 2) ? "inverter on" : "inverter off");
        if (!changes.empty())
            append_words(text, "timer " + std::to_string(timer) + " " + changes);
    }
    return text;
}

bool TimerBlock::divider_valid(std::uint32_t tcfg1, int timer) const
{
    // Codes past the last divider select the external clock inputs.
    return divider_field(tcfg1, timer) <= (board_.chip == Chip::s3c6410 ? 4u : 3u);
}

bool TimerBlock::dividers_valid(std::uint32_t tcfg1) const
{
    for (int timer = 0; timer < timer_count; timer++)
        if (!divider_valid(tcfg1, timer))
            return false;
    return true;
}

std::uint64_t TimerBlock::tick(int timer, Cycles now) const
{
    return bus().clock().ticks_of(board_.pclk_hz, now) / divisor(timer);
}

bool TimerBlock::read_may_change(std::uint32_t offset) const
{
    for (int timer = 0; timer < timer_count; timer++) {
        if (offset == tcnto(timer))
            return at(timer, bus().clock().now()).counting;
    }
    return false;
}

TimerBlock::Timer TimerBlock::at(int timer, Cycles now) const
{
    Timer t = timers_[static_cast<std::size_t>(timer)];
    const std::uint64_t current = tick(timer, now);
    if (t.counting) {
        const std::uint64_t passed = current - t.since;
        if (passed <= t.count) {
            t.count -= static_cast<std::uint32_t>(passed);
        } else if (!auto_reload(timer)) {
            // A one-shot stops at 0.
            t.count = 0;
            t.counting = false;
        } else {
            // Past 0 the counter reloads the buffer, and with it the compare
            // value: a cycle is count buffer + 1 counts.
            const std::uint64_t cycle = std::uint64_t{t.count_buffer} + 1;
            t.count = t.count_buffer - static_cast<std::uint32_t>((passed - t.count - 1) % cycle);
            t.period = t.count_buffer;
            t.compare = t.compare_buffer;
        }
    }
    t.since = current;
    return t;
}

void TimerBlock::settle(Cycles now)
{
    for (int timer = 0; timer < timer_count; timer++)
        timers_[static_cast<std::size_t>(timer)] = at(timer, now);
}

void TimerBlock::restamp(Cycles now)
{
    for (int timer = 0; timer < timer_count; timer++)
        timers_[static_cast<std::size_t>(timer)].since = tick(timer, now);
}

void TimerBlock::apply_tcon(std::uint32_t old_tcon, Cycles now)
{
    for (int timer = 0; timer < timer_count; timer++) {
        Timer &t = timers_[static_cast<std::size_t>(timer)];
        const bool was_running = field_bit_of(old_tcon, timer, 0) && !field_bit_of(old_tcon, timer, 1);
        if (manual_update(timer)) {
            // Held at the buffers for as long as the bit stays set.
            t.count = t.count_buffer;
            t.period = t.count_buffer;
            t.compare = t.compare_buffer;
            t.counting = false;
        } else if (start_bit(timer)) {
            // Starts from whatever the counter holds; a one-shot that has
            // run out stays stopped until started anew.
            if (!was_running) {
                t.counting = true;
                t.started = true;
            }
        } else {
            t.counting = false;
        }
        t.since = tick(timer, now);
    }
}

std::optional<std::uint32_t> TimerBlock::read(std::uint32_t offset)
{
    for (int timer = 0; timer < timer_count; timer++) {
        if (offset == tcnto(timer)) {
            auto &script = scripts_[static_cast<std::size_t>(timer)];
            if (!script.empty()) {
                force_count(timer, script.front());
                script.pop_front();
            }
        }
    }
    return peek(offset);
}

std::optional<std::uint32_t> TimerBlock::peek(std::uint32_t offset) const
{
    if (offset == TCFG0)
        return tcfg0_;
    if (offset == TCFG1)
        return tcfg1_;
    if (offset == TCON)
        return tcon_;
    for (int timer = 0; timer < timer_count; timer++) {
        const Timer &t = timers_[static_cast<std::size_t>(timer)];
        if (offset == tcntb(timer))
            return t.count_buffer;
        if (timer < 4 && offset == tcmpb(timer))
            return t.compare_buffer;
        if (offset == tcnto(timer))
            return at(timer, bus().clock().now()).count;
    }
    return std::nullopt;
}

bool TimerBlock::write(std::uint32_t offset, std::uint32_t value)
{
    const Cycles now = bus().clock().now();
    // Whatever changes applies from now: the counts so far stand.
    settle(now);
    if (offset == TCFG0) {
        tcfg0_ = value & tcfg_mask;
        restamp(now);
        return true;
    }
    if (offset == TCFG1) {
        if (!dividers_valid(value))
            bus().raise_fault("TCFG1 selects an external clock input for a timer, which the board does not drive",
                                  base() + offset, value, true);
        tcfg1_ = value & tcfg_mask;
        restamp(now);
        return true;
    }
    if (offset == TCON) {
        const std::uint32_t old = tcon_;
        tcon_ = value & tcon_mask;
        apply_tcon(old, now);
        return true;
    }
    for (int timer = 0; timer < timer_count; timer++) {
        Timer &t = timers_[static_cast<std::size_t>(timer)];
        if (offset == tcntb(timer)) {
            t.count_buffer = value & mask(timer);
            return true;
        }
        if (timer < 4 && offset == tcmpb(timer)) {
            t.compare_buffer = value & mask(timer);
            return true;
        }
    }
    // The count observation registers are read-only.
    return false;
}

TimerBlock::State TimerBlock::state(int timer)
{
    const Timer t = at(timer, bus().clock().now());
    return State{
        .counting = t.counting,
        .started = t.started,
        .start_bit = start_bit(timer),
        .auto_reload = auto_reload(timer),
        .inverter = inverter(timer),
        .count = t.count,
        .period = t.period,
        .compare = t.compare,
        .count_buffer = t.count_buffer,
        .compare_buffer = t.compare_buffer,
        .count_hz = static_cast<double>(board_.pclk_hz) / static_cast<double>(divisor(timer)),
    };
}

void TimerBlock::force_count(int timer, std::uint32_t value)
{
    settle(bus().clock().now());
    timers_[static_cast<std::size_t>(timer)].count = value & mask(timer);
}

void TimerBlock::script_counts(int timer, std::vector<std::uint32_t> values)
{
    scripts_[static_cast<std::size_t>(timer)].assign(values.begin(), values.end());
}

std::optional<Cycles> TimerBlock::counter_cycle(std::uint32_t offset) const
{
    for (int timer = 0; timer < timer_count; timer++) {
        if (offset != tcnto(timer))
            continue;
        const Timer &t = timers_[static_cast<std::size_t>(timer)];
        if (!t.counting || !auto_reload(timer))
            return never;
        const std::uint64_t cycle_ticks = (std::uint64_t{t.count_buffer} + 1) * divisor(timer);
        return bus().clock().time_of_tick(board_.pclk_hz, cycle_ticks);
    }
    return std::nullopt;
}

void TimerBlock::save(StateWriter &out) const
{
    for (std::uint32_t word : {tcfg0_, tcfg1_, tcon_})
        out.u32(word);
    for (const Timer &t : timers_) {
        for (std::uint32_t word : {t.count_buffer, t.compare_buffer, t.period, t.compare, t.count})
            out.u32(word);
        out.u64(t.since);
        out.boolean(t.counting);
        out.boolean(t.started);
    }
    for (const auto &script : scripts_)
        out.word_list(std::vector<std::uint64_t>(script.begin(), script.end()));
}

void TimerBlock::restore(StateReader &in)
{
    for (std::uint32_t *word : {&tcfg0_, &tcfg1_, &tcon_})
        *word = in.u32();
    for (Timer &t : timers_) {
        for (std::uint32_t *word : {&t.count_buffer, &t.compare_buffer, &t.period, &t.compare, &t.count})
            *word = in.u32();
        t.since = in.u64();
        t.counting = in.boolean();
        t.started = in.boolean();
    }
    for (auto &script : scripts_) {
        const std::vector<std::uint64_t> values = in.word_list();
        script.assign(values.begin(), values.end());
    }
    // A divider the firmware could never have set would divide by zero later.
    if (!dividers_valid(tcfg1_))
        throw StateError(name() + ": the state's dividers do not fit the model");
}

}  // namespace kelto::sim
