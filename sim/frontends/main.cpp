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
#include "frontends/session.hpp"
#include "machine/machine.hpp"
#include "frontends/scenario.hpp"
#include "frontends/terminal.hpp"
#include "frontends/web/standalone.hpp"

using namespace kelto::sim;
using namespace kelto::sim::frontend;

namespace {

int run(const Options &options)
{
    std::optional<Scenario> scenario;
    std::unique_ptr<Machine> machine;
    std::unique_ptr<Pty> pty;
    try {
        if (options.scenario)
            scenario = load_scenario(*options.scenario);
        const bool stdin_terminal = ::isatty(STDIN_FILENO);
        machine = Machine::load(options.image, Machine::Options{options.board, default_clock(options, stdin_terminal)});
        if (options.serial == SerialMode::pty)
            pty = std::make_unique<Pty>();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "keltosim: %s\n", error.what());
        return exit_usage;
    }

    const Link link = scenario                 ? Link::scenario
                      : pty                    ? Link::pty
                      : ::isatty(STDIN_FILENO) ? Link::terminal
                                               : Link::pipe;
    try {
        Session session(*machine, options, link, pty.get(), scenario ? &*scenario : nullptr);
        return session.run();
    } catch (const std::exception &error) {
        // The session has put the terminal back by now.
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
    const int status = options.web ? web::run_web_only(options) : run(options);
    if (const int number = pending_signal()) {
        // End the way the signal would have, for the shell's sake.
        std::signal(number, SIG_DFL);
        std::raise(number);
    }
    return status;
}
