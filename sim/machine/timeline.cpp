#include "machine/timeline.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "models/uart.hpp"

namespace kelto::sim {

namespace {

// What a state costs beyond the one before it: its parts, the DRAM pages
// it does not share, and the observers' counts kept with it.
std::size_t state_cost(const BoardState &state, const Machine::ObserverMarks &counts, const BoardState *before)
{
    std::size_t pages = 0;
    auto shared = before ? before->dram.begin() : DramPages::const_iterator{};
    for (const DramPage &page : state.dram) {
        while (before && shared != before->dram.end() && shared->index < page.index)
            ++shared;
        if (!before || shared == before->dram.end() || shared->bytes != page.bytes)
            pages++;
    }
    return state.parts.size() + pages * dram_page_size + counts.bytes();
}

Machine &restored(Machine &machine, const BoardState &state)
{
    machine.restore_state(state);
    return machine;
}

// An excerpt replays only in the order it was recorded, within its span.
void check_order(const Timeline::Excerpt &excerpt, Cycles start)
{
    Cycles input = start;
    for (const Timeline::Input &next : excerpt.inputs) {
        if (next.time < input || next.time > excerpt.end.time)
            throw StateError("the recording's inputs are out of order");
        input = next.time;
    }
    for (std::size_t n = 1; n < excerpt.runs.size(); n++)
        if (excerpt.runs[n].start <= excerpt.runs[n - 1].start)
            throw StateError("the recording's runs are out of order");
    if (excerpt.end.time < start)
        throw StateError("the recording ends before its state");
}

// What an input or a run takes in the recording.
std::size_t record_cost(std::size_t bytes)
{
    return bytes + 48;
}

}  // namespace

Timeline::Timeline(Machine &machine, HostLink &host, Options options)
    : machine_(machine), host_(host), options_(options)
{
    end_ = now();
    take_state();
    machine_.set_host(this);
    machine_.set_input_observer(this);
}

Timeline::Timeline(Machine &machine, HostLink &host, Options options, const Excerpt &excerpt)
    : Timeline(restored(machine, excerpt.state), host, options)
{
    check_order(excerpt, now().time);
    inputs_.assign(excerpt.inputs.begin(), excerpt.inputs.end());
    runs_.assign(excerpt.runs.begin(), excerpt.runs.end());
    for (const Input &input : inputs_)
        memory_ += record_cost(input.bytes.size());
    memory_ += runs_.size() * record_cost(0);
    end_ = excerpt.end;
}

Timeline::~Timeline()
{
    machine_.set_input_observer(nullptr);
    if (machine_.host() == this)
        machine_.set_host(&host_);
}

Timeline::Position Timeline::now() const
{
    Clock &clock = machine_.clock();
    return Position{clock.now(), clock.instructions()};
}

bool Timeline::in_past() const
{
    return cursor_ < input_count() || machine_.clock().now() < end_.time;
}

// ---------------------------------------------------------------------------
// Recording

void Timeline::between_runs()
{
    if (in_past()) {
        apply_due(false);
        return;
    }
    end_ = now();
    if (end_.instructions - states_.back().at.instructions >= options_.interval)
        take_state();
}

void Timeline::take_state()
{
    const std::uint64_t number = states_.empty() ? 0 : states_.back().number + 1;
    Saved saved{now(), machine_.save_state(), machine_.mark_observers(), input_count(), 0, number};
    saved.cost = state_cost(saved.state, saved.counts, states_.empty() ? nullptr : &states_.back().state);
    memory_ += saved.cost;
    states_.push_back(std::move(saved));
    thin();
    while (memory_ > options_.memory_limit && states_.size() > 1)
        drop_oldest();
}

// A state is kept while its number is a multiple of a spacing that doubles
// with each band of age, each band as many states long as the recent one:
// the recording reaches far back in bounded memory, one step back costing
// more the older the point. Once dropped a state would never be kept again,
// each spacing dividing the next. The oldest state stays: the start.
void Timeline::thin()
{
    for (std::size_t index = states_.size() - 1; index-- > 1;)
        if (!keeps(states_[index].number, states_.back().number, options_.recent))
            drop_state(index);
}

bool Timeline::keeps(std::uint64_t number, std::uint64_t newest, std::uint64_t recent)
{
    return number % std::bit_floor((newest - number) / std::max<std::uint64_t>(recent, 1) + 1) == 0;
}

// The state goes; the one after it then holds alone the pages the two
// shared.
void Timeline::drop_state(std::size_t index)
{
    Saved &next = states_[index + 1];
    memory_ -= states_[index].cost + next.cost;
    next.cost = state_cost(next.state, next.counts, index > 0 ? &states_[index - 1].state : nullptr);
    memory_ += next.cost;
    states_.erase(states_.begin() + static_cast<std::ptrdiff_t>(index));
}

// The oldest state goes with the inputs and runs before the next one.
void Timeline::drop_oldest()
{
    drop_state(0);
    const Saved &oldest = states_.front();
    while (first_input_ < oldest.input) {
        memory_ -= record_cost(inputs_.front().bytes.size());
        inputs_.pop_front();
        first_input_++;
    }
    while (runs_.size() > 1 && runs_[1].start <= oldest.at.time) {
        memory_ -= record_cost(0);
        runs_.pop_front();
    }
}

void Timeline::record(Input input)
{
    if (replaying_)
        return;
    if (in_past())
        cut_future();
    memory_ += record_cost(input.bytes.size());
    inputs_.push_back(std::move(input));
    cursor_ = input_count();
}

// Something new reaches the board in the past: what it did next is no more.
void Timeline::cut_future()
{
    const Position at = now();
    if (cut_note_) {
        char text[128];
        std::snprintf(text, sizeof text, "input at %.6f s of a run recorded to %.6f s: the rest of the recording is dropped",
                      machine_.clock().to_seconds(at.time), machine_.clock().to_seconds(end_.time));
        cut_note_(text);
    }
    while (input_count() > cursor_) {
        memory_ -= record_cost(inputs_.back().bytes.size());
        inputs_.pop_back();
    }
    while (!runs_.empty() && runs_.back().start > at.time) {
        memory_ -= record_cost(0);
        runs_.pop_back();
    }
    while (states_.size() > 1 && states_.back().at.time > at.time) {
        memory_ -= states_.back().cost;
        states_.pop_back();
    }
    end_ = at;
}

void Timeline::console_fed(std::string_view bytes)
{
    record(Input{machine_.clock().now(), in_pump_, Input::Kind::console, 0, 0, std::string(bytes)});
}

void Timeline::button_set(Button button, bool held)
{
    record(Input{machine_.clock().now(), in_pump_, Input::Kind::button, static_cast<std::uint32_t>(button), held, {}});
}

void Timeline::memory_patched(std::uint32_t address, const void *data, std::size_t size)
{
    record(Input{machine_.clock().now(), in_pump_, Input::Kind::memory, address, 0,
                 std::string(static_cast<const char *>(data), size)});
}

void Timeline::register_set(int number, std::uint32_t value)
{
    record(Input{machine_.clock().now(), in_pump_, Input::Kind::reg, static_cast<std::uint32_t>(number), value, {}});
}

void Timeline::run_started(Cycles horizon)
{
    if (replaying_ || silent_ || in_past())
        return;
    if (!runs_.empty() && runs_.back().start == machine_.clock().now())
        runs_.back().horizon = horizon;  // one that ran nothing
    else {
        memory_ += record_cost(0);
        runs_.push_back(Run{machine_.clock().now(), horizon});
    }
}

void Timeline::replay_limits(RunLimits &limits) const
{
    if (!in_past() && !silent_)
        return;
    const Cycles now = machine_.clock().now();
    Cycles until = std::min(limits.until.value_or(never), next_input());
    auto next = std::upper_bound(runs_.begin(), runs_.end(), now, [](Cycles time, const Run &run) { return time < run.start; });
    if (next != runs_.end())
        until = std::min(until, next->start);
    if (next != runs_.begin())
        limits.skip_until = std::prev(next)->horizon;
    // A run starts afresh only where the recorded one did: elsewhere (after
    // a stop at a breakpoint, or at a point gone to) it goes on as that one
    // did, what the machine followed of the firmware's waits and all.
    limits.resumes = next == runs_.begin() || std::prev(next)->start != now;
    limits.until = until;
    limits.seconds.reset();
    limits.idle_seconds.reset();
}

// ---------------------------------------------------------------------------
// The host, live or replayed

// In the past a firmware waiting for input gets what it got then; one that
// waited for nothing stood there until the recording's end, or an
// interrupt: the run stops where it did.
HostLink::Pump Timeline::pump(Machine &machine, int wait_ms)
{
    if (in_past() || silent_) {
        if (!machine.console().transmitter_idle())
            return Pump::nothing;
        if (apply_due(true))
            return Pump::fed;
        // The recorded run stood here only if something came at this time
        // (an input, or the recording's end); else it let the wait pass.
        const Cycles time = machine.clock().now();
        if ((cursor_ < input_count() && input(cursor_).time <= time) || end_.time <= time) {
            machine.stop();
            return Pump::nothing;
        }
        if (silent_ || cursor_ < input_count())
            return Pump::nothing;
        end_ = now();  // the recording waited here: the present
    }
    in_pump_ = true;
    const Pump pumped = host_.pump(machine, wait_ms);
    in_pump_ = false;
    return pumped;
}

void Timeline::service(Machine &machine)
{
    if (!silent_)
        host_.service(machine);
}

void Timeline::transmitted(Machine &machine, std::uint8_t byte)
{
    if (!silent_)
        host_.transmitted(machine, byte);
}

// ---------------------------------------------------------------------------
// Replaying

Cycles Timeline::next_input() const
{
    const Cycles input = next_between_input();
    return input != never || !in_past() ? input : std::max(end_.time, machine_.clock().now());
}

Cycles Timeline::next_between_input() const
{
    for (std::size_t index = cursor_; index < input_count(); index++)
        if (!input(index).in_pump)
            return input(index).time;
    return never;
}

// The inputs due now; those fed inside a wait only from one (in_pump), but
// any the replay has already run past as well.
bool Timeline::apply_due(bool in_pump)
{
    const Cycles time = machine_.clock().now();
    bool applied = false;
    while (cursor_ < input_count()) {
        const Input &next = input(cursor_);
        if (next.time > time || (next.time == time && next.in_pump != in_pump))
            break;
        apply(next);
        cursor_++;
        applied = true;
    }
    return applied;
}

void Timeline::apply(const Input &input)
{
    replaying_ = true;
    switch (input.kind) {
    case Input::Kind::console: machine_.feed_console(input.bytes); break;
    case Input::Kind::button: machine_.set_button(static_cast<Button>(input.where), input.value != 0); break;
    case Input::Kind::memory: machine_.patch(input.where, input.bytes.data(), input.bytes.size()); break;
    case Input::Kind::reg: machine_.set_reg(static_cast<int>(input.where), input.value); break;
    }
    replaying_ = false;
}

const Timeline::Saved &Timeline::latest_state(Cycles before) const
{
    auto after = std::upper_bound(states_.begin(), states_.end(), before,
                                  [](Cycles time, const Saved &saved) { return time < saved.at.time; });
    return after == states_.begin() ? states_.front() : *std::prev(after);
}

void Timeline::restore(const Saved &saved)
{
    machine_.restore_state(saved.state);
    machine_.rewind_observers(saved.counts);
    cursor_ = saved.input;
}

// Runs on as the recording ran, the runs cut at each input between runs,
// to the point before any input at it;
// stops at breakpoints and watchpoints on the way are gathered.
void Timeline::replay_to(Cycles time, std::vector<Hit> *hits)
{
    // As fast as it goes: paced, the replay would take the host time it
    // stands for.
    Clock &clock = machine_.clock();
    const bool paced = clock.paced();
    clock.pace(false);
    silent_ = true;
    for (;;) {
        // Inputs at the point itself stay for the run that goes on from it.
        if (machine_.clock().now() >= time)
            break;
        const bool applied = apply_due(false);
        const Position before = now();
        if (machine_.main_returned())
            break;
        RunLimits limits;
        limits.until = time;
        limits.until_waiting = false;
        replay_limits(limits);
        const RunResult result = machine_.run(limits);
        const Position after = now();
        if (hits && (result.reason == StopReason::breakpoint || result.reason == StopReason::watchpoint)) {
            const bool breakpoint = result.reason == StopReason::breakpoint;
            hits->push_back(Hit{after, Stop{breakpoint ? Stop::Kind::breakpoint : Stop::Kind::watchpoint,
                                            breakpoint ? machine_.reg(15) : result.address, result.watch}});
        }
        if (result.reason == StopReason::returned || result.reason == StopReason::fault ||
            (after.time == before.time && after.instructions == before.instructions && !applied))
            break;
    }
    silent_ = false;
    clock.pace(paced);
}

// From a state before now where there is one, so that a replay of the
// excerpt has a way to go. The inputs replayed or recorded so far: in the
// past, those still ahead are not yet part of the run that got here.
Timeline::Excerpt Timeline::excerpt() const
{
    const Position to = now();
    const Saved &from = latest_state(to.time == 0 ? 0 : to.time - 1);
    Excerpt excerpt{from.state, {}, {}, to};
    for (std::size_t index = from.input; index < std::min(cursor_, input_count()); index++)
        excerpt.inputs.push_back(input(index));
    auto run = std::upper_bound(runs_.begin(), runs_.end(), from.at.time,
                                [](Cycles time, const Run &run) { return time < run.start; });
    if (run != runs_.begin())
        --run;
    for (; run != runs_.end() && run->start <= to.time; ++run)
        excerpt.runs.push_back(*run);
    return excerpt;
}

Timeline::Stop Timeline::go_to(Cycles time)
{
    time = std::clamp(time, start().time, end_.time);
    restore(latest_state(time));
    replay_to(time);
    return Stop{time == start().time ? Stop::Kind::begin : Stop::Kind::arrived};
}

// The latest point before the instruction that brought the board here.
Timeline::Stop Timeline::step_back()
{
    const Position here = now();
    if (here.instructions <= start().instructions || here.time <= start().time) {
        go_to(start().time);
        return Stop{Stop::Kind::begin};
    }
    latest_with_at_most(here.instructions - 1, here.time);
    return Stop{};
}

Timeline::Stop Timeline::go_to_instruction(std::uint64_t instructions)
{
    if (instructions <= start().instructions)
        return go_to(start().time);
    latest_with_at_most(instructions, end_.time + 1);
    return Stop{};
}

// The latest point before the given time with no more than so many
// instructions run: the cycle before, unless time was skipped there, then
// found by halving.
void Timeline::latest_with_at_most(std::uint64_t instructions, Cycles before)
{
    std::size_t index = states_.size();
    while (index > 1 && (states_[index - 1].at.instructions > instructions || states_[index - 1].at.time >= before))
        index--;
    const Saved &from = states_[index - 1];
    Cycles low = from.at.time;
    Cycles high = std::max(low, before - 1);
    restore(from);
    replay_to(high);
    // A point the firmware's wait skipped over has the count of the skip's
    // start, so the instruction before it ran just before that start: one
    // replay more instead of halving across the whole wait.
    while (now().instructions > instructions) {
        const Clock::Skip skip = machine_.clock().last_skip();
        if (skip.to != now().time || skip.from <= low + 1 || skip.from - 1 >= high)
            break;
        high = skip.from - 1;
        restore(from);
        replay_to(high);
    }
    if (now().instructions <= instructions)
        return;
    while (high - low > 1) {
        const Cycles middle = low + (high - low) / 2;
        restore(from);
        replay_to(middle);
        (now().instructions <= instructions ? low : high) = middle;
    }
    restore(from);
    replay_to(low);
}

// From the latest state back, each stretch run again up to where the one
// after it starts: the last hit of the latest stretch that has one.
Timeline::Stop Timeline::continue_back()
{
    const Position here = now();
    Cycles bound = here.time;
    for (std::size_t index = states_.size(); index > 0; index--) {
        const Saved &from = states_[index - 1];
        if (from.at.time >= here.time)
            continue;
        std::vector<Hit> hits;
        restore(from);
        if (machine_.breakpoint_at(machine_.reg(15)))
            hits.push_back(Hit{from.at, Stop{Stop::Kind::breakpoint, machine_.reg(15)}});
        replay_to(bound, &hits);
        std::erase_if(hits, [&](const Hit &hit) { return hit.at.time >= here.time; });
        if (!hits.empty()) {
            restore(from);
            replay_to(hits.back().at.time);
            return hits.back().stop;
        }
        bound = from.at.time;
    }
    go_to(start().time);
    return Stop{Stop::Kind::begin};
}

}  // namespace kelto::sim
