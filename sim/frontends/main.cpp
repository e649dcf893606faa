// keltosim: runs a firmware image on a simulated board, with its console on
// the user's terminal, a pseudo-terminal, a pipe or a scenario file.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "frontends/cli.hpp"
#include "frontends/console.hpp"
#include "frontends/coverage.hpp"
#include "frontends/display.hpp"
#include "frontends/gdb/server.hpp"
#include "frontends/profile.hpp"
#include "frontends/scenario.hpp"
#include "frontends/scenario_runner.hpp"
#include "frontends/serial_log.hpp"
#include "frontends/session.hpp"
#include "frontends/stats.hpp"
#include "frontends/terminal.hpp"
#include "frontends/trace.hpp"
#include "frontends/vcd.hpp"
#include "frontends/web/web_frontend.hpp"
#include "machine/machine.hpp"

using namespace kelto::sim;
using namespace kelto::sim::frontend;

namespace {

// What the command line asks for, loaded; a failure here is a usage error.
struct Setup {
    std::optional<Scenario> scenario;
    std::unique_ptr<Machine> machine;
    std::unique_ptr<Pty> pty;
    std::unique_ptr<SerialLog> serial_log;
    std::unique_ptr<Trace> trace;
    std::unique_ptr<Stats> stats;
    std::unique_ptr<Vcd> vcd;
    std::unique_ptr<Coverage> coverage;
    std::unique_ptr<Profile> profile;
};

Setup load(const Options &options)
{
    Setup setup;
    if (options.scenario)
        setup.scenario = load_scenario(*options.scenario);
    const bool stdin_terminal = ::isatty(STDIN_FILENO);
    setup.machine = Machine::load(options.image, Machine::Options{options.board, default_clock(options, stdin_terminal)});
    if (setup.scenario)
        check_against_board(*setup.scenario, setup.machine->board());
    if (options.serial == SerialMode::pty)
        setup.pty = std::make_unique<Pty>();
    if (options.serial_log)
        setup.serial_log = std::make_unique<SerialLog>(*options.serial_log);
    // A debugger may switch the trace on later (monitor trace on).
    if (options.trace || options.gdb)
        setup.trace = std::make_unique<Trace>(options.trace_file, options.trace_limit.value_or(Trace::default_limit));
    if (options.trace) {
        setup.trace->attach(*setup.machine);
        setup.trace->enable(options.trace_filter);
    }
    if (options.stats)
        setup.stats = std::make_unique<Stats>(*setup.machine);
    if (options.vcd)
        setup.vcd = std::make_unique<Vcd>(*setup.machine, *options.vcd);
    if (options.coverage)
        setup.coverage = std::make_unique<Coverage>(*setup.machine, KELTO_SOURCE_DIR);
    if (options.profile)
        setup.profile = std::make_unique<Profile>(*setup.machine);
    return setup;
}

bool loopback(const std::string &host)
{
    return host == "localhost" || host == "::1" || host.starts_with("127.");
}

// Through the session's notes: the console may have the terminal in raw mode.
void announce_gdb(Session &session, const web::Address &address, int port, const std::string &image)
{
    if (!loopback(address.host))
        session.note("warning: the GDB server listens on " + address.host +
                     ", where other machines can reach it and drive the board");
    const std::string at = std::to_string(port);
    session.note("GDB server on " + address.host + ":" + at + " (gdb-multiarch " + image + " -ex 'target remote :" +
                 at + "')");
}

int run(const Options &options)
{
    Setup setup;
    try {
        setup = load(options);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "keltosim: %s\n", error.what());
        return exit_usage;
    }

    const Link link = setup.scenario           ? Link::output
                      : setup.pty              ? Link::pty
                      : ::isatty(STDIN_FILENO) ? Link::terminal
                                               : Link::pipe;
    try {
        Session session(std::move(setup.machine), options);
        // The trace, the figures and the waveform watch the session's
        // machine: they go before it does.
        struct Watchers {
            Setup &setup;
            ~Watchers()
            {
                setup.trace.reset();
                setup.stats.reset();
                setup.vcd.reset();
                setup.coverage.reset();
                setup.profile.reset();
            }
        } watchers{setup};
        Console console(options, link, setup.pty.get());
        session.notes_share_line(console.shares_terminal());
        session.add_frontend(console);
        Trace *trace = options.trace ? setup.trace.get() : nullptr;
        for (Frontend *frontend : std::initializer_list<Frontend *>{setup.serial_log.get(), trace, setup.stats.get(),
                                                                     setup.vcd.get(), setup.coverage.get(),
                                                                     setup.profile.get()})
            if (frontend)
                session.add_frontend(*frontend);

        // After the session, so that it goes first: its thread uses the board.
        std::optional<web::WebFrontend> web_view;
        if (options.web) {
            web_view.emplace(session, *options.web);
            session.add_frontend(*web_view);
        }

        std::optional<gdb::Server> gdb_server;
        if (options.gdb) {
            gdb_server.emplace(options.gdb->host, options.gdb->port, setup.trace.get());
            session.add_frontend(*gdb_server);
            session.halt_on_fault(true);
            announce_gdb(session, *options.gdb, gdb_server->port(), options.image);
        }

        console.start(session);
        if (options.gdb_start_halted)
            session.pause();
        int status = setup.scenario ? run_scenario(session, *setup.scenario) : session.run();
        console.finish(session);
        // Each says what it lost; a run that lost a record does not succeed.
        bool recorded = !setup.serial_log || setup.serial_log->finish(session);
        recorded = (!setup.trace || setup.trace->finish(session)) && recorded;
        recorded = (!setup.vcd || setup.vcd->finish(session)) && recorded;
        recorded = (!setup.coverage ||
                    setup.coverage->finish(session, *options.coverage,
                                           options.coverage_cobertura ? CoverageFormat::cobertura : CoverageFormat::lcov)) &&
                   recorded;
        recorded = (!setup.profile ||
                    setup.profile->finish(session, *options.profile,
                                          options.profile_speedscope ? ProfileFormat::speedscope : ProfileFormat::folded)) &&
                   recorded;
        if (!recorded && status == 0)
            status = exit_output;
        if (setup.stats)
            write_message(setup.stats->report());
        return status;
    } catch (const std::exception &error) {
        // The console has put the terminal back by now.
        std::fprintf(stderr, "keltosim: %s\n", error.what());
        return exit_fault;
    }
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
    install_signal_handlers();
    const int status = run(options);
    if (const int number = pending_signal()) {
        // End the way the signal would have, for the shell's sake.
        std::signal(number, SIG_DFL);
        std::raise(number);
    }
    return status;
}
