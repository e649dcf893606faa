// Command line of keltosim: options, exit statuses and the help text.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.hpp"
#include "frontends/web/address.hpp"

namespace kelto::sim::frontend {

// Exit statuses of keltosim besides main's own return value. They sit above
// the small values firmware returns, in the range sysexits(3) uses, so a
// script can tell them apart from main's result.
enum ExitStatus : int {
    exit_usage = 64,        // bad command line, unreadable image or scenario
    exit_expectation = 65,  // --fail-on text seen, --expect text or a scenario step not met
    exit_input_ended = 66,  // input ended while the firmware waits for more
    exit_time_limit = 67,   // --timeout of board time passed
    exit_fault = 70,        // the simulator's strict checks stopped the board
    exit_output = 74,       // the console's output could not be delivered
};

enum class SerialMode { stdio, pty };

struct Options {
    std::string image;
    std::optional<int> board;
    SerialMode serial = SerialMode::stdio;
    std::optional<ClockMode> clock;  // default: see default_clock
    // --scenario, in the order given: files, or directories whose *.yaml
    // files run in name order. More than one, or a directory, is a suite.
    std::vector<std::string> scenarios;
    std::optional<unsigned> jobs;  // -j: scenarios at once; default: the host's cores
    struct Shard {
        unsigned index = 1;  // from 1
        unsigned count = 1;
    };
    std::optional<Shard> shard;        // --shard I/N
    std::optional<std::string> junit;  // --junit FILE
    // --boot-once: the scenarios that boot share one boot up to the
    // wait_for they all begin with.
    bool boot_once = false;
    std::optional<std::string> expect;
    std::vector<std::string> fail_on;
    std::optional<double> timeout;  // seconds of board time
    std::optional<std::string> serial_log;
    std::optional<web::Address> web;  // --web: where the web view listens
    // --gdb [HOST:]PORT or -s: a GDB server (on 127.0.0.1:1234 with -s);
    // -S: the board waits for it at main's first instruction.
    std::optional<web::Address> gdb;
    bool gdb_start_halted = false;
    // --history: the most memory the recording to go back in may take.
    std::optional<std::uint64_t> history;
    bool status = true;
    bool trace = false;
    std::string trace_filter;               // empty: every register
    std::optional<std::string> trace_file;  // default: stderr
    std::optional<std::uint64_t> trace_limit;  // bytes; default: Trace::default_limit
    bool stats = false;
    std::optional<std::string> vcd;
    // Coverage of the firmware's sources, added to FILE; the profile, written.
    std::optional<std::string> coverage;
    bool coverage_cobertura = false;
    std::optional<std::string> profile;
    bool profile_speedscope = false;
    // --restore: the board goes on from a saved state.
    std::optional<std::string> restore;
    // --save-at: the state is written once board time reaches seconds or the
    // console shows text.
    struct SaveAt {
        std::optional<double> seconds;
        std::optional<std::string> text;
        std::string file;
    };
    std::optional<SaveAt> save_at;
    // --bundle: a failed run is recorded into a bundle in this directory;
    // --replay: a bundle's failure is run again.
    std::optional<std::string> bundle;
    std::optional<std::string> replay;
    bool help = false;
    bool version = false;
    std::optional<int> svd;  // --svd 64|24: the board's chip described, no run
    // --escape KEY: the byte that starts a command at a terminal (Ctrl-KEY).
    std::uint8_t escape = 0x01;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A span of board time as a user writes it, on the command line or in a
// scenario: a decimal number of seconds from 0 to Clock::max_seconds, or
// nullopt. Larger times would not fit the clock's count of cycles.
std::optional<double> parse_seconds(std::string_view text);
// A number of bytes as a user writes it: plain, or with K, M or G for
// binary kilo-, mega- and gigabytes ("100M"); nullopt unless it is above 0
// and fits 64 bits.
std::optional<std::uint64_t> parse_size(std::string_view text);
// The range parse_seconds takes, for messages: "... at most 1000000 (about 11.6 days)".
std::string seconds_range();

// --save-at's first value: seconds of board time ("2.5", "2.5s", "300ms"),
// or else text to look for.
Options::SaveAt parse_save_at(std::string_view when, std::string_view file);

// The arguments after the program name. Throws UsageError.
Options parse_options(std::span<const std::string_view> args);

// Whether the scenarios run as a suite (a line per scenario and a closing
// count) rather than as one scenario with its console on standard output:
// more than one, a shard, a JUnit report or --boot-once. A directory is told apart
// once the file system has been looked at.
bool suite_asked(const Options &options);

// People at a terminal or behind a pty want the board to keep their time;
// scripts want repeatable runs that skip the waiting.
ClockMode default_clock(const Options &options, bool stdin_is_terminal);
// A recorded run (a debugger's, to go back in, or one kept for a failure
// bundle) needs a counted clock: on the wall clock it is the virtual clock
// paced to the host, which keeps the wall clock's real time.
bool paced_for_recording(const Options &options, ClockMode clock);

extern const char help_text[];

}  // namespace kelto::sim::frontend
