// The session's side of failure bundles: --bundle keeps the end of a failed
// run's recording, --replay runs it again up to its failure.
#include <filesystem>

#include "frontends/display.hpp"
#include "frontends/session.hpp"

namespace kelto::sim::frontend {

namespace {

// A failed check of the run's own: the strict checks, --fail-on, --expect
// or a scenario's step. Signals and a user's quit are no failure to replay.
bool check_failed(Event event, int status, const Options &options)
{
    switch (event) {
    case Event::fault:
    case Event::fail_seen: return true;
    case Event::quit: return status == exit_expectation;
    case Event::signal: return false;
    default: return options.expect && status != 0;
    }
}

std::string position_text(Clock &clock, Timeline::Position at)
{
    return "instruction " + std::to_string(at.instructions) + " at " + seconds_text(clock.to_seconds(at.time)) +
           " of board time";
}

}  // namespace

void Session::start_recording(const Timeline::Excerpt *excerpt)
{
    Timeline::Options recording;
    // Without a debugger only the end of the run is ever replayed: fewer
    // states keep the cost of a CI run with --bundle low.
    if (!options_.gdb)
        recording.interval = Cycles{1} << 26;
    if (options_.history)
        recording.memory_limit = static_cast<std::size_t>(*options_.history);
    auto &host = static_cast<HostLink &>(*this);
    // The one before lets go of the machine first.
    timeline_.reset();
    timeline_ = excerpt ? std::make_unique<Timeline>(*machine_, host, recording, *excerpt)
                        : std::make_unique<Timeline>(*machine_, host, recording);
    timeline_->on_cut([this](const std::string &text) { note(text); });
}

void Session::keep_failure(Event event, const Verdict &verdict)
{
    if (!options_.bundle || !timeline_ || !check_failed(event, verdict.status, options_))
        return;
    const std::string name = bundle_name_.empty() ? file_name(options_.image) : bundle_name_;
    const std::string path = (std::filesystem::path(*options_.bundle) / (name + ".bundle")).string();
    try {
        std::filesystem::create_directories(*options_.bundle);
        const Bundle bundle{timeline_->excerpt(), ending_, verdict.status, event == Event::fault};
        write_bundle(path, bundle);
        note("failure bundle written to " + path + " (the failure at " +
             position_text(machine_->clock(), bundle.recording.end) + "); replay it with: keltosim --replay " + path +
             " " + options_.image);
    } catch (const std::exception &error) {
        note(std::string("cannot write the failure bundle: ") + error.what());
    }
}

void Session::replay(Bundle bundle)
{
    start_recording(&bundle.recording);
    target_.set_timeline(timeline_.get());
    started_at_ = machine_->clock().now();
    replay_ = std::move(bundle);
}

// The failure's point; for a fault, which the board meets at that point,
// one cycle further, to notice a replay that passed it.
Cycles Session::replay_end() const
{
    return replay_->recording.end.time + (replay_->fault ? 1 : 0);
}

// The run goes no further than the failure's point.
void Session::limit_replay(RunLimits &limits) const
{
    if (!replay_ || replay_arrived_)
        return;
    limits.until = std::min(limits.until.value_or(never), replay_end());
}

// The recorded run stopped where the host stopped it (a text seen, a wait
// for input); the replay stops at the same call from the board.
bool Session::stop_at_replay_end()
{
    if (!replay_ || replay_arrived_ || replay_->fault || machine_->clock().now() < replay_->recording.end.time)
        return false;
    stop_machine();
    return true;
}

// The replay at the failure's point ends the run, as the failure did;
// with a debugger the board stands still there instead, to look back from.
std::optional<Event> Session::replay_reached(bool &told_paused)
{
    if (!replay_ || replay_arrived_ || last_.reason == StopReason::fault)
        return std::nullopt;
    if (machine_->clock().now() < replay_end())
        return std::nullopt;
    replay_arrived_ = true;
    if (!options_.gdb)
        return Event::finished;
    const Verdict said = replayed(Verdict{0, {}}, Event::finished);
    note(said.note);
    pause();
    told_paused = true;
    halt(Halt{Halt::Kind::breakpoint, machine_->current_pc(), 0, {}});
    return std::nullopt;
}

// A replayed fault under a debugger halts instead of ending the session:
// whether it is the recorded one is said as the board halts there.
void Session::replayed_fault()
{
    if (!replay_ || replay_arrived_ || !replay_->fault)
        return;
    replay_arrived_ = true;
    const Verdict said = replayed(Verdict{0, {}}, Event::fault);
    if (said.status != 0)
        note(said.note);
}

// The recorded failure, once the board is where it failed: the fault the
// board met again, or the recorded message and status.
Verdict Session::replayed(const Verdict &verdict, Event event)
{
    Clock &clock = machine_->clock();
    const Timeline::Position at{clock.now(), clock.instructions()};
    const Timeline::Position failed = replay_->recording.end;
    const bool there = at.time == failed.time && at.instructions == failed.instructions;
    if (there && (replay_->fault ? event == Event::fault : replay_arrived_)) {
        note("replayed to " + position_text(clock, at));
        return replay_->fault ? verdict : Verdict{replay_->status, replay_->reason};
    }
    return Verdict{exit_fault, "the replay went otherwise than the recorded run: it ended at " +
                                   position_text(clock, at) + ", where the recorded run failed at " +
                                   position_text(clock, failed) + " with: " + replay_->reason};
}

}  // namespace kelto::sim::frontend
