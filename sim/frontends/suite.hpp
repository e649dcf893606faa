// A suite of scenarios: each on a fresh board of the same image, several at
// once, a line per scenario in suite order and a count at the end, for CI.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frontends/cli.hpp"
#include "frontends/coverage.hpp"
#include "frontends/profile.hpp"
#include "frontends/scenario.hpp"
#include "frontends/session.hpp"
#include "machine/board_state.hpp"

namespace kelto::sim::frontend {

class ProfileSum;

struct ScenarioResult {
    std::string name;  // the scenario file
    int status = 0;    // keltosim's exit status for this scenario alone
    // The step that failed or was under way when the run ended ("file:12").
    std::optional<std::string> step;
    double board_seconds = 0;
    double host_seconds = 0;
    std::string notes;          // keltosim's messages about the run
    std::string recent_output;  // the console's last lines, kept for a failure
    bool passed() const { return status == 0; }
};

// Where a scenario's board starts: a fresh board of the image, a saved
// one (--restore, a restore: step), or the suite's one boot (--boot-once),
// with how far that run had come and the steps it met.
struct Start {
    std::shared_ptr<const BoardState> board;  // none: a fresh board
    std::optional<Session::Progress> progress;
    std::size_t first_step = 0;
    std::string notes;  // keltosim's messages of the boot, ahead of the scenario's own
    // What --coverage and --profile counted of the boot, each scenario's own.
    std::shared_ptr<const Coverage::Carry> coverage;
    std::shared_ptr<const Profile::Carry> profile;
};

// The scenario files the options name, directories expanded to their
// *.yaml files in name order, every one read and checked against the
// image's board before any board starts, and so is every saved board they
// or --restore name. Problems are collected, each "file:line: what is
// wrong", rather than stopping at the first.
struct Suite {
    std::vector<Scenario> scenarios;
    std::map<std::string, Start> restored;  // by file
    std::vector<std::string> problems;
};
Suite load_suite(const Options &options);

// Names each scenario's failure bundle after its file, with a number when
// one before it in the suite has that name (smoke.yaml in two directories:
// smoke, smoke-2): unique in the suite, and the same on every run and shard.
void name_bundles(std::vector<Scenario> &scenarios);

// A saved board of the machine's image, checked by restoring it into the
// machine; throws std::runtime_error "file: why not".
std::shared_ptr<const BoardState> read_board(Machine &machine, const std::string &file);

// The machine the command line asks for: its board, and its clock (a
// recorded run on the wall clock is the virtual clock paced to the host).
Machine::Options machine_options(const Options &options, bool stdin_is_terminal);

// --boot-once: why the scenarios that start on a fresh board cannot share
// one boot, or nullopt. They must all begin with the same wait_for.
std::optional<std::string> why_not_boot_once(const std::vector<Scenario> &scenarios);
// Runs the scenario's first step from `from` and keeps the board where it
// passed; `from` itself when it did not, so that every scenario boots on
// its own and fails as it would have.
Start boot_once(const Options &options, const Scenario &scenario, const Start &from);

// The indices a shard runs: every N-th scenario from the I-th, so that
// the N shards together run the suite exactly once.
std::vector<std::size_t> shard_indices(std::size_t size, const Options::Shard &shard);

struct ScenarioRun {
    const Scenario *scenario;
    const Start *start;
};

// Runs the scenarios, `jobs` at a time, each on its own thread with its own
// board; hands each result to `report` in suite order as soon as it and all
// before it are done, on the calling thread. Each board's profile, if asked
// for, adds to `profiles`.
std::vector<ScenarioResult> run_scenarios(const Options &options, const std::vector<ScenarioRun> &runs,
                                          unsigned jobs,
                                          const std::function<void(const ScenarioResult &)> &report,
                                          ProfileSum *profiles = nullptr);

// "PASS file (1.250000 s of board time)", or FAIL with the step and the
// status when it is not a failed step's, and the messages below it.
std::string result_text(const ScenarioResult &result);

// keltosim with a suite of scenarios: the exit status (0 all passed, 65
// any failed, 64 a file could not be read or the options do not fit).
int run_suite(const Options &options);

}  // namespace kelto::sim::frontend
