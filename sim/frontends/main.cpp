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
#include "frontends/display.hpp"
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
    if (options.trace) {
        setup.trace = std::make_unique<Trace>(options.trace_file);
        setup.trace->attach(*setup.machine);
        setup.trace->enable(options.trace_filter);
    }
    if (options.stats)
        setup.stats = std::make_unique<Stats>(*setup.machine);
    if (options.vcd)
        setup.vcd = std::make_unique<Vcd>(*setup.machine, *options.vcd);
    return setup;
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
        // The board's observers let go of it before the session, which owns
        // it, ends.
        struct Release {
            Setup &setup;
            ~Release() { setup.trace.reset(), setup.stats.reset(), setup.vcd.reset(); }
        } release{setup};
        Console console(options, link, setup.pty.get());
        session.add_frontend(console);
        for (Frontend *frontend : std::initializer_list<Frontend *>{setup.serial_log.get(), setup.trace.get(),
                                                                     setup.stats.get(), setup.vcd.get()})
            if (frontend)
                session.add_frontend(*frontend);

        // After the session, so that it goes first: its thread uses the board.
        std::optional<web::WebFrontend> web_view;
        if (options.web) {
            web_view.emplace(session, *options.web);
            session.add_frontend(*web_view);
        }

        console.start(session);
        int status = setup.scenario ? run_scenario(session, *setup.scenario) : session.run();
        console.finish(session);
        if (setup.serial_log && !setup.serial_log->finish(session) && status == 0)
            status = exit_output;
        if (setup.trace)
            setup.trace->flush();
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
