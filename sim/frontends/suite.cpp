#include "frontends/suite.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "frontends/coverage.hpp"
#include "frontends/display.hpp"
#include "frontends/junit.hpp"
#include "frontends/profile.hpp"
#include "frontends/scenario_runner.hpp"
#include "frontends/session.hpp"
#include "frontends/terminal.hpp"

namespace kelto::sim::frontend {

namespace {

// A failure's messages kept for the report: the failing step and the
// console's last lines fit many times over.
constexpr std::size_t notes_limit = 8192;

std::unique_ptr<Machine> load_machine(const Options &options)
{
    return Machine::load(options.image, machine_options(options, false));
}

// The files a --scenario names: itself, or a directory's *.yaml files.
std::vector<std::string> scenario_files(const std::string &path, std::vector<std::string> &problems)
{
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(path, error))
        return {path};
    std::vector<std::string> files;
    for (const fs::directory_entry &entry : fs::directory_iterator(path, error))
        if (entry.path().extension() == ".yaml" && !entry.is_directory(error))
            files.push_back(entry.path().string());
    if (error)
        problems.push_back(path + ": " + error.message());
    else if (files.empty())
        problems.push_back(path + ": no *.yaml scenario files in this directory");
    std::sort(files.begin(), files.end());
    return files;
}

// Why an option cannot serve a suite, or nullopt: each of these records or
// serves one board.
std::optional<std::string> unfit_for_suite(const Options &options)
{
    const std::pair<bool, const char *> single[] = {
        {options.serial_log.has_value(), "--serial-log"}, {options.trace, "--trace"},
        {options.vcd.has_value(), "--vcd"},               {options.stats, "--stats"},
        {options.web.has_value(), "--web"},               {options.gdb.has_value(), "--gdb"},
        {options.save_at.has_value(), "--save-at"},
    };
    for (const auto &[given, name] : single)
        if (given)
            return std::string(name) + " watches one board and does not combine with a suite of scenarios";
    // The boot's board time goes on in every scenario only where it is
    // counted.
    if (options.boot_once && default_clock(options, false) != ClockMode::virtual_time)
        return "--boot-once starts every scenario at the boot's board time, which only --clock virtual keeps";
    return std::nullopt;
}

// A board restored from a state goes into the spare machine, when there is
// one: a restore replaces all of a machine's board, and costs a fraction of
// opening another emulator.
std::unique_ptr<Session> start_session(const Options &options, const Start &start, std::unique_ptr<Machine> &spare)
{
    std::unique_ptr<Machine> machine =
        start.board && spare ? std::move(spare) : load_machine(options);
    if (start.board)
        machine->restore_state(*start.board);
    auto session = std::make_unique<Session>(std::move(machine), options);
    if (start.progress)
        session->go_on_from(*start.progress);
    return session;
}

// The saved board at the file once, with the problem prefixed by where it
// was named.
void add_restored(Suite &suite, Machine &machine, const std::string &file, const std::string &named_at)
{
    if (suite.restored.contains(file))
        return;
    try {
        suite.restored.emplace(file, Start{read_board(machine, file), {}, 0, {}, {}, {}});
    } catch (const std::exception &error) {
        suite.problems.push_back(named_at + error.what());
    }
}

// A scenario that starts from a saved board leaves its machine as the spare.
ScenarioResult run_one(const Options &options, const Scenario &scenario, const Start &start,
                       std::unique_ptr<Machine> &spare, std::size_t order, ProfileSum *profiles)
{
    ScenarioResult result;
    result.name = scenario.name;
    result.notes = start.notes;
    const auto started = std::chrono::steady_clock::now();
    try {
        const std::unique_ptr<Session> owned = start_session(options, start, spare);
        Session &session = *owned;
        session.keep_notes(result.notes);
        session.name_bundle(scenario.bundle_name);
        ScenarioRunner runner(scenario, start.first_step);
        session.add_frontend(runner);
        // Each board adds its coverage to the one file, under the file's lock.
        Coverage *coverage = options.coverage ? &session.adopt(std::make_unique<Coverage>(
                                                     KELTO_SOURCE_DIR, *options.coverage,
                                                     options.coverage_cobertura ? CoverageFormat::cobertura
                                                                                : CoverageFormat::lcov))
                                              : nullptr;
        Profile *profile = profiles ? &session.adopt(std::make_unique<Profile>()) : nullptr;
        if (coverage)
            session.add_probe(*coverage);
        if (profile)
            session.add_probe(*profile);
        // A board restored from the shared boot counts the boot as its own.
        if (coverage && start.coverage)
            coverage->go_on_from(*start.coverage);
        if (profile && start.profile)
            profile->go_on_from(*start.profile);
        result.status = session.run();
        if (profile)
            profiles->add(order, scenario.name, *profile);
        if (!result.passed()) {
            result.step = runner.step_reached();
            result.recent_output = session.recent_output();
        }
        result.board_seconds = session.view().seconds;
        if (start.board)
            spare = session.hand_back();
    } catch (const std::exception &error) {
        result.status = exit_fault;
        result.notes += std::string("keltosim: ") + error.what() + "\n";
    }
    if (result.notes.size() > notes_limit)
        result.notes.resize(notes_limit);
    result.host_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return result;
}

}  // namespace

Machine::Options machine_options(const Options &options, bool stdin_is_terminal)
{
    const ClockMode clock = default_clock(options, stdin_is_terminal);
    const bool paced = paced_for_recording(options, clock);
    return Machine::Options{options.board, paced ? ClockMode::virtual_time : clock, false, paced};
}

Suite load_suite(const Options &options)
{
    Suite suite;
    std::unique_ptr<Machine> machine;
    try {
        machine = load_machine(options);
    } catch (const std::exception &error) {
        suite.problems.emplace_back(error.what());
    }
    if (machine && options.restore)
        add_restored(suite, *machine, *options.restore, "");
    for (const std::string &given : options.scenarios) {
        for (const std::string &file : scenario_files(given, suite.problems)) {
            try {
                Scenario scenario = load_scenario(file);
                if (machine)
                    check_against_board(scenario, machine->board());
                if (machine && scenario.restore)
                    add_restored(suite, *machine, scenario.restore->text, where(scenario, *scenario.restore) + ": ");
                suite.scenarios.push_back(std::move(scenario));
            } catch (const std::exception &error) {
                suite.problems.emplace_back(error.what());
            }
        }
    }
    name_bundles(suite.scenarios);
    return suite;
}

void name_bundles(std::vector<Scenario> &scenarios)
{
    std::set<std::string> taken;
    for (Scenario &scenario : scenarios) {
        const std::string stem = std::filesystem::path(scenario.name).stem().string();
        scenario.bundle_name = stem;
        for (int number = 2; !taken.insert(scenario.bundle_name).second; number++)
            scenario.bundle_name = stem + "-" + std::to_string(number);
    }
}

std::shared_ptr<const BoardState> read_board(Machine &machine, const std::string &file)
{
    auto state = std::make_shared<const BoardState>(read_state_file(file, machine.image().fingerprint()));
    try {
        machine.restore_state(*state);
    } catch (const StateError &error) {
        throw std::runtime_error(file + ": " + error.what());
    }
    return state;
}

std::optional<std::string> why_not_boot_once(const std::vector<Scenario> &scenarios)
{
    const Scenario *first = nullptr;
    for (const Scenario &scenario : scenarios) {
        if (scenario.restore)
            continue;
        const Step &step = scenario.steps.front();
        if (!first && step.action != Step::Action::wait_for)
            return "--boot-once: " + where(scenario, step) + " begins with " + describe(step) +
                   "; the scenarios that boot must all begin with the same wait_for";
        if (!first) {
            first = &scenario;
            continue;
        }
        const Step &booted = first->steps.front();
        if (step.action != booted.action || step.text != booted.text || step.seconds != booted.seconds)
            return "--boot-once: " + where(scenario, step) + " begins with " + describe(step) + ", where " +
                   where(*first, booted) + " begins with " + describe(booted) +
                   " (timeout included); the scenarios that boot must all begin with the same wait_for";
    }
    return std::nullopt;
}

Start boot_once(const Options &options, const Scenario &scenario, const Start &from)
{
    const Scenario first_step{scenario.name, {}, {scenario.steps.front()}};
    Start booted{nullptr, std::nullopt, 1, from.notes, {}, {}};
    // A boot that fails is run again by every scenario, each keeping its own
    // failure: the shared one keeps none.
    Options boot = options;
    boot.bundle.reset();
    try {
        // Counted once here, and taken up by every scenario that starts here;
        // they go after the session that holds them.
        Coverage coverage(KELTO_SOURCE_DIR);
        Profile profile;
        std::unique_ptr<Machine> none;
        const std::unique_ptr<Session> session = start_session(boot, from, none);
        session->keep_notes(booted.notes);
        ScenarioRunner runner(first_step);
        session->add_frontend(runner);
        if (options.coverage)
            session->add_probe(coverage);
        if (options.profile)
            session->add_probe(profile);
        if (session->run() != 0 || runner.step_reached())
            return from;
        booted.board = std::make_shared<const BoardState>(session->machine().save_state());
        booted.progress = session->progress();
        if (options.coverage)
            booted.coverage = coverage.carry();
        if (options.profile)
            booted.profile = profile.carry();
    } catch (const std::exception &) {
        return from;
    }
    return booted;
}

std::vector<std::size_t> shard_indices(std::size_t size, const Options::Shard &shard)
{
    std::vector<std::size_t> indices;
    for (std::size_t i = shard.index - 1; i < size; i += shard.count)
        indices.push_back(i);
    return indices;
}

// Each worker has a board of its own: a Machine with its own Unicorn
// instance (the engine keeps all emulation state per instance) and a
// Session with its own wake-up pipe. What they share is read only (the
// options, the scenarios, the image's path) or guarded: the result slots by
// `lock`, the next index by an atomic, the signal flag is an atomic too.
// The image is loaded once before any worker starts, so libelf's one-time
// set-up is done by then.
std::vector<ScenarioResult> run_scenarios(const Options &options, const std::vector<ScenarioRun> &runs,
                                          unsigned jobs,
                                          const std::function<void(const ScenarioResult &)> &report,
                                          ProfileSum *profiles)
{
    std::vector<ScenarioResult> results(runs.size());
    std::vector<bool> done(runs.size());
    std::mutex lock;
    std::condition_variable finished;
    std::atomic<std::size_t> next{0};
    const unsigned workers = std::clamp<unsigned>(jobs, 1, static_cast<unsigned>(std::max<std::size_t>(1, runs.size())));
    unsigned working = workers;
    std::vector<std::jthread> threads;
    for (unsigned w = 0; w < workers; w++) {
        threads.emplace_back([&] {
            std::unique_ptr<Machine> spare;
            for (std::size_t i; !pending_signal() && (i = next++) < runs.size();) {
                ScenarioResult result = run_one(options, *runs[i].scenario, *runs[i].start, spare, i, profiles);
                const std::lock_guard guard(lock);
                results[i] = std::move(result);
                done[i] = true;
                finished.notify_all();
            }
            const std::lock_guard guard(lock);
            working--;
            finished.notify_all();
        });
    }
    // A scenario a signal kept from starting is left out.
    std::size_t reported = 0;
    for (; reported < runs.size(); reported++) {
        std::unique_lock guard(lock);
        finished.wait(guard, [&] { return done[reported] || working == 0; });
        if (!done[reported])
            break;
        guard.unlock();
        report(results[reported]);
    }
    threads.clear();
    results.resize(reported);
    return results;
}

std::string result_text(const ScenarioResult &result)
{
    char time[64];
    std::snprintf(time, sizeof time, " (%.6f s of board time)\n", result.board_seconds);
    std::string text = (result.passed() ? "PASS " : "FAIL ") + result.name;
    if (result.step)
        text += " at " + *result.step;
    if (!result.passed() && result.status != exit_expectation)
        text += ", status " + std::to_string(result.status);
    text += time;
    for (std::size_t start = 0; !result.passed() && start < result.notes.size();) {
        const std::size_t end = std::min(result.notes.find('\n', start), result.notes.size());
        text += "    " + result.notes.substr(start, end - start) + "\n";
        start = end + 1;
    }
    return text;
}

namespace {

// Where the scenarios without a restore: of their own start: --restore's
// board or a fresh one, taken through the first step with --boot-once.
Start start_of_booted(const Options &options, const Suite &suite)
{
    Start fresh = options.restore ? suite.restored.at(*options.restore) : Start{};
    const auto first = std::find_if(suite.scenarios.begin(), suite.scenarios.end(),
                                     [](const Scenario &scenario) { return !scenario.restore; });
    if (!options.boot_once || first == suite.scenarios.end())
        return fresh;
    Start booted = boot_once(options, *first, fresh);
    if (!booted.progress && !pending_signal())
        std::fprintf(stderr, "keltosim: --boot-once: the boot did not pass %s; every scenario boots on its own\n",
                     where(*first, first->steps.front()).c_str());
    return booted;
}

}  // namespace

int run_suite(const Options &options)
{
    const Suite suite = load_suite(options);
    std::vector<std::string> problems = suite.problems;
    if (const std::optional<std::string> unfit = unfit_for_suite(options))
        problems.insert(problems.begin(), *unfit);
    if (const std::optional<std::string> why = options.boot_once ? why_not_boot_once(suite.scenarios) : std::nullopt)
        problems.push_back(*why);
    for (const std::string &problem : problems)
        std::fprintf(stderr, "keltosim: %s\n", problem.c_str());
    if (!problems.empty())
        return exit_usage;

    const auto started = std::chrono::steady_clock::now();
    const Start booted = start_of_booted(options, suite);
    std::vector<ScenarioRun> chosen;
    for (std::size_t i : shard_indices(suite.scenarios.size(), options.shard.value_or(Options::Shard{}))) {
        const Scenario &scenario = suite.scenarios[i];
        chosen.push_back({&scenario, scenario.restore ? &suite.restored.at(scenario.restore->text) : &booted});
    }
    bool delivered = true;
    std::optional<ProfileSum> profiles;
    if (options.profile)
        profiles.emplace(*options.profile, options.profile_speedscope ? ProfileFormat::speedscope : ProfileFormat::folded);
    const std::vector<ScenarioResult> results =
        run_scenarios(options, chosen, options.jobs.value_or(std::max(1u, std::thread::hardware_concurrency())),
                      [&](const ScenarioResult &result) {
                          delivered = write_all(STDOUT_FILENO, result_text(result), -1) && delivered;
                      },
                      profiles ? &*profiles : nullptr);
    const auto failed = static_cast<std::size_t>(
        std::count_if(results.begin(), results.end(), [](const ScenarioResult &r) { return !r.passed(); }));
    delivered = write_all(STDOUT_FILENO, std::to_string(results.size() - failed) + " passed, " +
                                             std::to_string(failed) + " failed\n",
                          -1) &&
                delivered;
    if (!delivered)
        std::fprintf(stderr, "keltosim: cannot write the results to standard output: %s\n", std::strerror(errno));
    if (options.junit) {
        const double host_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        try {
            write_junit(*options.junit, file_name(options.image), results, host_seconds);
        } catch (const std::exception &error) {
            std::fprintf(stderr, "keltosim: %s\n", error.what());
            delivered = false;
        }
    }
    if (profiles && !profiles->write(options.image)) {
        std::fprintf(stderr, "keltosim: the profile could not be written to %s\n", profiles->path().c_str());
        delivered = false;
    }
    if (const int number = pending_signal())
        return 128 + number;
    if (!delivered)
        return exit_output;
    return failed == 0 ? 0 : exit_expectation;
}

}  // namespace kelto::sim::frontend
