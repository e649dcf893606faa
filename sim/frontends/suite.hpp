// A suite of scenarios: each on a fresh board of the same image, several at
// once, a line per scenario in suite order and a count at the end, for CI.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "frontends/cli.hpp"
#include "frontends/scenario.hpp"

namespace kelto::sim::frontend {

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

// The scenario files the options name, directories expanded to their
// *.yaml files in name order, every one read and checked against the
// image's board before any board starts. Problems are collected, each
// "file:line: what is wrong", rather than stopping at the first.
struct Suite {
    std::vector<Scenario> scenarios;
    std::vector<std::string> problems;
};
Suite load_suite(const Options &options);

// Names each scenario's failure bundle after its file, with a number when
// one before it in the suite has that name (smoke.yaml in two directories:
// smoke, smoke-2): unique in the suite, and the same on every run and shard.
void name_bundles(std::vector<Scenario> &scenarios);

// The indices a shard runs: every N-th scenario from the I-th, so that
// the N shards together run the suite exactly once.
std::vector<std::size_t> shard_indices(std::size_t size, const Options::Shard &shard);

// Runs the scenarios, `jobs` at a time, each on its own thread with its own
// board; hands each result to `report` in suite order as soon as it and all
// before it are done, on the calling thread.
std::vector<ScenarioResult> run_scenarios(const Options &options, const std::vector<const Scenario *> &scenarios,
                                          unsigned jobs,
                                          const std::function<void(const ScenarioResult &)> &report);

// "PASS file (1.250000 s of board time)", or FAIL with the step and the
// status when it is not a failed step's, and the messages below it.
std::string result_text(const ScenarioResult &result);

// keltosim with a suite of scenarios: the exit status (0 all passed, 65
// any failed, 64 a file could not be read or the options do not fit).
int run_suite(const Options &options);

}  // namespace kelto::sim::frontend
