// keltosim: runs a firmware image on a simulated board, with its console on
// the user's terminal, a pseudo-terminal, a pipe or a scenario file.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "frontends/bundle.hpp"
#include "frontends/cli.hpp"
#include "keltosim_version.hpp"
#include "frontends/console.hpp"
#include "frontends/coverage.hpp"
#include "frontends/gdb/server.hpp"
#include "frontends/profile.hpp"
#include "frontends/scenario.hpp"
#include "frontends/scenario_runner.hpp"
#include "frontends/serial_log.hpp"
#include "frontends/session.hpp"
#include "frontends/stats.hpp"
#include "frontends/suite.hpp"
#include "frontends/terminal.hpp"
#include "frontends/trace.hpp"
#include "frontends/vcd.hpp"
#include "frontends/web/web_frontend.hpp"
#include "machine/board_state.hpp"
#include "machine/machine.hpp"
#include "models/svd.hpp"

using namespace kelto::sim;
using namespace kelto::sim::frontend;

namespace {

// The board and what the command line asks of it, loaded; a failure here is
// a usage error.
struct Setup {
    std::optional<Scenario> scenario;
    std::unique_ptr<Pty> pty;
    std::unique_ptr<Session> session;
    Trace *trace = nullptr;
};

// The records of the run, each watching the board through the session.
void add_records(Session &session, Setup &setup, const Options &options, bool shares_terminal)
{
    if (options.serial_log)
        session.adopt(std::make_unique<SerialLog>(*options.serial_log));
    // A debugger may switch the trace on later (monitor trace on).
    if (options.trace || options.gdb) {
        Trace &trace = session.adopt(
            std::make_unique<Trace>(options.trace_file, options.trace_limit.value_or(Trace::default_limit)));
        setup.trace = &trace;
        // On the console's terminal each trace line starts a line of its
        // own, as the notes do.
        if (!options.trace_file && shares_terminal)
            trace.start_lines_with([&session] { session.start_line(); });
        if (options.trace) {
            session.add_probe(trace);
            trace.enable(options.trace_filter);
        }
    }
    if (options.stats)
        session.add_probe(session.adopt(std::make_unique<Stats>()));
    if (options.vcd)
        session.add_probe(session.adopt(std::make_unique<Vcd>(*options.vcd)));
    if (options.coverage)
        session.add_probe(session.adopt(std::make_unique<Coverage>(
            KELTO_SOURCE_DIR, *options.coverage,
            options.coverage_cobertura ? CoverageFormat::cobertura : CoverageFormat::lcov)));
    if (options.profile)
        session.add_probe(session.adopt(std::make_unique<Profile>(
            *options.profile, options.profile_speedscope ? ProfileFormat::speedscope : ProfileFormat::folded)));
}

Setup load(const Options &options)
{
    Setup setup;
    if (!options.scenarios.empty())
        setup.scenario = load_scenario(options.scenarios.front());
    const bool stdin_terminal = ::isatty(STDIN_FILENO);
    auto machine = Machine::load(options.image, machine_options(options, stdin_terminal));
    // A scenario's own restore: goes before --restore, as in a suite.
    if (setup.scenario && setup.scenario->restore) {
        const Step &restore = *setup.scenario->restore;
        try {
            read_board(*machine, restore.text);
        } catch (const std::exception &error) {
            throw std::runtime_error(where(*setup.scenario, restore) + ": " + error.what());
        }
    } else if (options.restore) {
        read_board(*machine, *options.restore);
    }
    std::optional<Bundle> bundle;
    if (options.replay)
        bundle = read_bundle(*options.replay, machine->image().fingerprint());
    if (setup.scenario)
        check_against_board(*setup.scenario, machine->board());
    if (options.serial == SerialMode::pty)
        setup.pty = std::make_unique<Pty>();
    // A replay's input is the bundle's, as a scenario's is its steps'.
    const Link link = setup.scenario || bundle ? Link::output
                      : setup.pty              ? Link::pty
                      : stdin_terminal         ? Link::terminal
                                               : Link::pipe;
    setup.session = std::make_unique<Session>(std::move(machine), options);
    if (bundle)
        setup.session->replay(std::move(*bundle));
    if (setup.scenario)
        setup.session->name_bundle(std::filesystem::path(setup.scenario->name).stem().string());
    // The console first: its notes and output come before the others'.
    Console &console = setup.session->adopt(std::make_unique<Console>(options, link, setup.pty.get()));
    setup.session->notes_share_line(console.shares_terminal());
    add_records(*setup.session, setup, options, console.shares_terminal());
    return setup;
}

bool runs_suite(const Options &options)
{
    std::error_code error;
    return suite_asked(options) ||
           (options.scenarios.size() == 1 && std::filesystem::is_directory(options.scenarios.front(), error));
}

int run(const Options &options)
{
    if (runs_suite(options))
        return run_suite(options);
    Setup setup;
    try {
        setup = load(options);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "keltosim: %s\n", error.what());
        return exit_usage;
    }
    try {
        Session &session = *setup.session;
        if (options.web)
            session.adopt(std::make_unique<web::WebFrontend>(session, *options.web));
        if (options.gdb)
            session.adopt(std::make_unique<gdb::Server>(options, setup.trace));
        if (setup.scenario)
            session.adopt(std::make_unique<ScenarioRunner>(*setup.scenario));
        return session.run();
    } catch (const std::exception &error) {
        // The console has put the terminal back by now.
        std::fprintf(stderr, "keltosim: %s\n", error.what());
        return exit_fault;
    }
}

int write_svd(int board_id)
{
    const std::string text = chip_svd(*board_by_id(board_id), KELTOSIM_VERSION);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        std::perror("keltosim: cannot write the SVD file");
        return exit_output;
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    Options options;
    try {
        options = parse_options(args);
    } catch (const UsageError &error) {
        std::fprintf(stderr, "keltosim: %s\nTry 'keltosim --help'.\n", error.what());
        return exit_usage;
    }
    if (options.help) {
        std::fputs(help_text, stdout);
        return 0;
    }
    if (options.version) {
        std::puts("keltosim " KELTOSIM_VERSION);
        return 0;
    }
    if (options.svd)
        return write_svd(*options.svd);
    install_signal_handlers();
    const int status = run(options);
    if (const int number = pending_signal()) {
        // End the way the signal would have, for the shell's sake.
        std::signal(number, SIG_DFL);
        std::raise(number);
    }
    return status;
}
