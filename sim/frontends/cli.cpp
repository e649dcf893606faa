#include "frontends/cli.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

namespace kelto::sim::frontend {

const char help_text[] = R"(Usage: keltosim [options] IMAGE

Runs a firmware image on a simulated board 64 or board 24, with the board's
serial console on this terminal, on a pseudo-terminal or on stdin/stdout.

Options:
  --board 64|24        board to run on (default: from the image's link address)
  --serial stdio|pty   console on stdin/stdout (default) or on a new pty
  --clock wall|virtual board time follows the host, or is counted in
                       instructions and skips waits (default: wall with a
                       terminal or pty, virtual with pipes and scenarios;
                       with a debugger, wall is virtual paced to the host)
  --scenario FILE|DIR  drive the board from a YAML list of steps; given more
                       than once, or a directory (its *.yaml files in name
                       order), each scenario runs on a fresh board: a line
                       each and a count at the end
  -j N                 run N scenarios at once (default: the host's cores)
  --shard I/N          run only the I-th of N slices of the scenarios (CI)
  --junit FILE         write the scenarios' results as JUnit XML
  --boot-once          boot the board once, up to the wait_for that every
                       scenario begins with, and start each from there
  --expect TEXT        succeed as soon as TEXT appears on the console
  --fail-on TEXT       fail as soon as TEXT appears (may be repeated)
  --timeout SECONDS    stop after this much board time (and time spent
                       waiting on the host)
  --serial-log FILE    keep a copy of everything the console sent
  --web[=[HOST:]PORT]  show the board in a web browser, served on HOST:PORT
                       (default 127.0.0.1:8064; keltosim prints the address)
  --no-status          no status line for buttons and backlight
  --trace[=FILTER]     print register accesses on stderr: every one, or those
                       of the peripherals (uart, gpio, timer) and registers
                       (UTXH, GPNCON) in a comma list
  --trace-file FILE    write the trace to FILE instead
  --trace-limit SIZE   stop the trace, not the run, once it has written SIZE
                       bytes, plain or with K, M or G (default 1G)
  --stats              print figures of the run at its end: board time,
                       instructions, deepest stack, UART bytes, accesses
  --vcd FILE           record pins and PWM outputs as a waveform (VCD)
  --coverage FILE      add the lines, functions and branches of the
                       firmware's sources this run executed to FILE (lcov)
  --coverage-format lcov|cobertura
                       the file's format (default lcov)
  --profile FILE       write the board's time by call stack to FILE, as
                       folded stacks for flame graphs (a suite: every board's)
  --profile-format folded|speedscope
                       the profile's format (default folded)
  --restore FILE       go on from a board state saved from this image; in a
                       suite, each scenario without a restore: step does
  --save-at WHEN FILE  save the board's state to FILE once board time reaches
                       WHEN (seconds: 2.5, 2.5s, 300ms) or, if WHEN is no
                       time, once the console shows WHEN as text
  --bundle DIR         when the run fails (a fault, --fail-on, --expect, a
                       scenario's step), write a failure bundle to DIR: the
                       end of the run's recording, to replay
  --replay BUNDLE      run a failure bundle's failure again: the same
                       output, message and exit status at the same instruction
  --gdb [HOST:]PORT    serve GDB's remote protocol (host 127.0.0.1 unless
                       named); a fault halts the board for the debugger
  --history SIZE       with a debugger, the most memory the recording to go
                       back in takes (default 256M); older states are kept
                       ever more sparsely, the oldest history goes first
  -s                   the same as --gdb 1234
  -S                   with a GDB server: stand still at main's first
                       instruction until the debugger continues
  --escape KEY         the escape key at a terminal is Ctrl-KEY, a letter
                       (default a: Ctrl-A)
  --svd 64|24          write a CMSIS-SVD file of the board's chip's registers
                       on standard output, for debuggers' peripheral views
  --version            print keltosim's version
  -h, --help           this text

Keys at a terminal: Ctrl-A (or the --escape key) then u d l r (or 1-4) toggles
a button, 0 releases all, s shows the board, h shows the keys, x or q quits,
the escape key again sends it to the board.

Every option but --fail-on and --scenario may be given once.

Exit status: main's return value when main returns; 64 usage error,
65 expectation not met (any scenario of a suite failed), 66 input ended while the firmware waits for input,
67 time limit, 70 simulator fault, 74 console output, serial log, trace or
waveforms not delivered,
128+N stopped by signal N.
)";

namespace {

// Unlike the web view's, a GDB server's port is always given.
web::Address parse_gdb_address(std::string_view text)
{
    const auto colon = text.rfind(':');
    const std::string_view port = colon == std::string_view::npos ? text : text.substr(colon + 1);
    const bool port_given = !port.empty() && port.find_first_not_of("0123456789") == std::string_view::npos &&
                            (colon == std::string_view::npos || text.find(']') == std::string_view::npos ||
                             colon > text.find(']'));
    try {
        if (port_given)
            return web::parse_address(text);
    } catch (const std::invalid_argument &) {
    }
    throw UsageError("--gdb wants [HOST:]PORT, not '" + std::string(text) + "'");
}

double parse_timeout(std::string_view text)
{
    const std::optional<double> seconds = parse_seconds(text);
    if (!seconds || *seconds == 0)
        throw UsageError("--timeout wants a number of seconds above 0, " + seconds_range() + ", not '" +
                         std::string(text) + "'");
    return *seconds;
}

// The address is optional, so it only comes as --web=ADDRESS.
web::Address parse_web_address(std::optional<std::string_view> text)
{
    if (!text)
        return {};
    try {
        return web::parse_address(*text);
    } catch (const std::exception &error) {
        throw UsageError(std::string("--web ") + error.what());
    }
}

// A whole number from 1 to most, or nullopt.
std::optional<unsigned> parse_count(std::string_view text, unsigned most)
{
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > most)
        return std::nullopt;
    return value;
}

constexpr unsigned most_jobs = 1024;

unsigned parse_jobs(std::string_view text)
{
    if (const std::optional<unsigned> jobs = parse_count(text, most_jobs))
        return *jobs;
    throw UsageError("-j wants a number of scenarios at once from 1 to " + std::to_string(most_jobs) + ", not '" +
                     std::string(text) + "'");
}

Options::Shard parse_shard(std::string_view text)
{
    const auto slash = text.find('/');
    const std::optional<unsigned> count =
        slash == std::string_view::npos ? std::nullopt
                                        : parse_count(text.substr(slash + 1), std::numeric_limits<unsigned>::max());
    const std::optional<unsigned> index = count ? parse_count(text.substr(0, slash), *count) : std::nullopt;
    if (!index)
        throw UsageError("--shard wants I/N, the I-th of N slices (1 <= I <= N), not '" + std::string(text) + "'");
    return {*index, *count};
}

// Options that would silently replace their first value if given again.
// --fail-on and --scenario add up; -s is --gdb.
class OnceOnly {
public:
    void note(std::string_view name)
    {
        const std::string_view key = name == "-s" ? "--gdb" : name;
        if (key == "--fail-on" || key == "--scenario" || key == "-h" || key == "--help" || key == "--version")
            return;
        if (std::find(seen_.begin(), seen_.end(), key) != seen_.end())
            throw UsageError(std::string(key) + (key == "--gdb" ? " (or -s)" : "") + " may be given once");
        seen_.push_back(key);
    }

private:
    std::vector<std::string_view> seen_;
};

// As picocom takes it: the letter whose control key escapes.
std::uint8_t parse_escape(const std::string &text)
{
    if (text.size() != 1 || !std::isalpha(static_cast<unsigned char>(text[0])))
        throw UsageError("--escape wants a letter, as in '--escape b' for Ctrl-B, not '" + text + "'");
    return static_cast<std::uint8_t>(std::tolower(static_cast<unsigned char>(text[0])) & 0x1F);
}

// A bundle is replayed as it was recorded: on the virtual clock, with no
// input or check of its own.
void check_replay(const Options &options)
{
    if (!options.replay)
        return;
    const std::pair<bool, const char *> unfit[] = {
        {!options.scenarios.empty(), "--scenario"}, {options.restore.has_value(), "--restore"},
        {options.bundle.has_value(), "--bundle"},   {options.expect.has_value(), "--expect"},
        {!options.fail_on.empty(), "--fail-on"},    {options.timeout.has_value(), "--timeout"},
        {options.save_at.has_value(), "--save-at"}, {options.clock == ClockMode::wall_time, "--clock wall"},
        {options.serial == SerialMode::pty, "--serial pty"},
    };
    for (const auto &[given, name] : unfit)
        if (given)
            throw UsageError(std::string("--replay runs what the bundle holds and does not combine with ") + name);
}

}  // namespace

std::optional<double> parse_seconds(std::string_view text)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) || value < 0 ||
        value > Clock::max_seconds)
        return std::nullopt;
    return value;
}

std::optional<std::uint64_t> parse_size(std::string_view text)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    const std::string_view unit = text.substr(static_cast<std::size_t>(end - text.data()));
    static constexpr std::string_view units = "KMG";
    const std::size_t power = unit.empty() ? 0 : units.find(static_cast<char>(std::toupper(unit[0]))) + 1;
    if (error != std::errc() || value == 0 || unit.size() > 1 || (power == 0 && !unit.empty()) ||
        value > (std::numeric_limits<std::uint64_t>::max() >> (10 * power)))
        return std::nullopt;
    return value << (10 * power);
}

std::string seconds_range()
{
    char text[64];
    std::snprintf(text, sizeof text, "at most %.0f (about %.1f days)", Clock::max_seconds,
                  Clock::max_seconds / 86400);
    return text;
}

Options::SaveAt parse_save_at(std::string_view when, std::string_view file)
{
    if (when.empty() || file.empty())
        throw UsageError("--save-at wants SECONDS or TEXT, then a FILE");
    Options::SaveAt save_at{std::nullopt, std::nullopt, std::string(file)};
    const bool ms = when.ends_with("ms");
    const std::string_view number = when.substr(0, when.size() - (ms ? 2 : when.ends_with('s') ? 1 : 0));
    if (const std::optional<double> seconds = parse_seconds(number))
        save_at.seconds = ms ? *seconds / 1000 : *seconds;
    else
        save_at.text = std::string(when);
    return save_at;
}

Options parse_options(std::span<const std::string_view> args)
{
    Options options;
    std::vector<std::string_view> images;
    OnceOnly once;
    bool coverage_format = false, profile_format = false;
    for (std::size_t i = 0; i < args.size(); i++) {
        std::string_view arg = args[i];
        if (arg.starts_with("-") && arg != "-" && arg != "--")
            once.note(arg.substr(0, arg.starts_with("--") ? arg.find('=') : std::min<std::size_t>(2, arg.size())));
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            continue;
        }
        if (arg == "--version") {
            options.version = true;
            continue;
        }
        if (arg == "--no-status") {
            options.status = false;
            continue;
        }
        if (arg == "--trace" || arg.starts_with("--trace=")) {
            options.trace = true;
            options.trace_filter = arg.substr(std::min(arg.size(), std::string_view("--trace=").size()));
            continue;
        }
        if (arg == "--stats") {
            options.stats = true;
            continue;
        }
        if (arg == "--boot-once") {
            options.boot_once = true;
            continue;
        }
        if (arg == "-s") {
            options.gdb = web::Address{"127.0.0.1", 1234};
            continue;
        }
        if (arg == "-S") {
            options.gdb_start_halted = true;
            continue;
        }
        if (arg.starts_with("-j")) {
            if (arg.size() == 2 && ++i == args.size())
                throw UsageError("option -j needs a value");
            options.jobs = parse_jobs(arg.size() > 2 ? arg.substr(2) : args[i]);
            continue;
        }
        if (arg == "--") {
            for (i++; i < args.size(); i++)
                images.push_back(args[i]);
            break;
        }
        if (!arg.starts_with("-") || arg == "-") {
            images.push_back(arg);
            continue;
        }

        // Options with a value, as "--name value" or "--name=value".
        std::string_view name = arg;
        std::optional<std::string_view> value;
        if (const auto equals = arg.find('='); equals != std::string_view::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        }
        if (name == "--web") {
            options.web = parse_web_address(value);
            continue;
        }
        if (name == "--save-at") {
            if (!value && i + 1 < args.size())
                value = args[++i];
            if (!value || ++i == args.size())
                throw UsageError("--save-at wants SECONDS or TEXT, then a FILE");
            options.save_at = parse_save_at(*value, args[i]);
            continue;
        }
        static constexpr std::string_view valued[] = {
            "--board",    "--serial",          "--clock",   "--scenario",       "--expect",    "--fail-on",
            "--timeout",  "--trace-file",      "--trace-limit", "--vcd",        "--serial-log", "--gdb",
            "--escape",   "--svd",             "--restore", "--coverage",       "--coverage-format",
            "--profile",  "--profile-format",  "--shard",   "--junit", "--history",
            "--bundle",   "--replay"};
        if (std::find(std::begin(valued), std::end(valued), name) == std::end(valued))
            throw UsageError("unknown option '" + std::string(arg) + "'");
        if (!value) {
            if (++i == args.size())
                throw UsageError("option " + std::string(name) + " needs a value");
            value = args[i];
        }
        const std::string text(*value);
        if (name == "--board" || name == "--svd") {
            if (text != "64" && text != "24")
                throw UsageError(std::string(name) + " wants 64 or 24, not '" + text + "'");
            (name == "--board" ? options.board : options.svd) = std::stoi(text);
        } else if (name == "--escape") {
            options.escape = parse_escape(text);
        } else if (name == "--serial") {
            if (text == "stdio")
                options.serial = SerialMode::stdio;
            else if (text == "pty")
                options.serial = SerialMode::pty;
            else
                throw UsageError("--serial wants stdio or pty, not '" + text + "'");
        } else if (name == "--clock") {
            if (text == "wall")
                options.clock = ClockMode::wall_time;
            else if (text == "virtual")
                options.clock = ClockMode::virtual_time;
            else
                throw UsageError("--clock wants wall or virtual, not '" + text + "'");
        } else if (name == "--scenario") {
            options.scenarios.push_back(text);
        } else if (name == "--shard") {
            options.shard = parse_shard(text);
        } else if (name == "--junit") {
            options.junit = text;
        } else if (name == "--expect") {
            if (text.empty())
                throw UsageError("--expect wants some text");
            options.expect = text;
        } else if (name == "--fail-on") {
            if (text.empty())
                throw UsageError("--fail-on wants some text");
            options.fail_on.push_back(text);
        } else if (name == "--gdb") {
            options.gdb = parse_gdb_address(text);
        } else if (name == "--serial-log") {
            options.serial_log = text;
        } else if (name == "--trace-file") {
            options.trace_file = text;
        } else if (name == "--trace-limit") {
            options.trace_limit = parse_size(text);
            if (!options.trace_limit)
                throw UsageError("--trace-limit wants a number of bytes above 0, plain or with K, M or G, not '" +
                                 text + "'");
        } else if (name == "--vcd") {
            options.vcd = text;
        } else if (name == "--coverage" || name == "--profile") {
            (name == "--coverage" ? options.coverage : options.profile) = text;
        } else if (name == "--coverage-format") {
            if (text != "lcov" && text != "cobertura")
                throw UsageError("--coverage-format wants lcov or cobertura, not '" + text + "'");
            options.coverage_cobertura = text == "cobertura";
            coverage_format = true;
        } else if (name == "--profile-format") {
            if (text != "folded" && text != "speedscope")
                throw UsageError("--profile-format wants folded or speedscope, not '" + text + "'");
            options.profile_speedscope = text == "speedscope";
            profile_format = true;
        } else if (name == "--restore") {
            options.restore = text;
        } else if (name == "--bundle" || name == "--replay") {
            (name == "--bundle" ? options.bundle : options.replay) = text;
        } else if (name == "--history") {
            options.history = parse_size(text);
            if (!options.history)
                throw UsageError("--history wants a number of bytes above 0, plain or with K, M or G, not '" + text +
                                 "'");
        } else {
            options.timeout = parse_timeout(text);
        }
    }
    if (options.help || options.version)
        return options;
    if (options.svd && !images.empty())
        throw UsageError("--svd describes a chip and runs no image");
    if (options.svd)
        return options;
    if (images.empty())
        throw UsageError("no image given");
    if (images.size() > 1)
        throw UsageError("one image at a time (got '" + std::string(images[0]) + "' and '" + std::string(images[1]) +
                         "')");
    if ((options.jobs || options.shard || options.junit) && options.scenarios.empty())
        throw UsageError("-j, --shard and --junit go with --scenario");
    if (options.boot_once && options.scenarios.empty())
        throw UsageError("--boot-once goes with --scenario");
    if (!options.scenarios.empty() && options.serial == SerialMode::pty)
        throw UsageError("--scenario drives the console itself and does not combine with --serial pty");
    if (options.gdb_start_halted && !options.gdb)
        throw UsageError("-S waits for a debugger: give --gdb [HOST:]PORT or -s too");
    if (options.trace_file && !options.trace)
        throw UsageError("--trace-file goes with --trace");
    if (options.trace_limit && !options.trace)
        throw UsageError("--trace-limit goes with --trace");
    if (coverage_format && !options.coverage)
        throw UsageError("--coverage-format goes with --coverage");
    if (profile_format && !options.profile)
        throw UsageError("--profile-format goes with --profile");
    check_replay(options);
    options.image = images[0];
    return options;
}

bool suite_asked(const Options &options)
{
    return options.scenarios.size() > 1 || options.shard || options.junit || options.boot_once;
}

ClockMode default_clock(const Options &options, bool stdin_is_terminal)
{
    if (options.clock)
        return *options.clock;
    if (!options.scenarios.empty() || options.replay)
        return ClockMode::virtual_time;
    if (options.serial == SerialMode::pty || options.web || stdin_is_terminal)
        return ClockMode::wall_time;
    return ClockMode::virtual_time;
}

bool paced_for_recording(const Options &options, ClockMode clock)
{
    return (options.gdb || options.bundle) && clock == ClockMode::wall_time;
}

}  // namespace kelto::sim::frontend
