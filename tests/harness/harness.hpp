// Test harness over the board simulator: load a delivered image, drive the
// console and buttons, call firmware functions by symbol, and look at the
// register accesses they made.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "machine/machine.hpp"
#include "models/uart.hpp"

namespace kelto::test {

using sim::Access;
using sim::Machine;
using sim::RunLimits;
using sim::RunResult;
using sim::StopReason;

// Path of an image in the build's image directory.
std::string image_path(std::string_view name);

// Loads an image on the virtual clock; fails the test if it cannot.
std::unique_ptr<Machine> load(std::string_view image, std::optional<int> board = std::nullopt);

// Runs until the text appears on the console (from now on); a failed
// expectation shows what the console said instead.
RunResult run_until_text(Machine &machine, const std::string &text, double max_seconds = 30);
// Runs until the firmware waits for console input with all output sent.
RunResult run_until_waiting(Machine &machine, double max_seconds = 30);
// Runs for a span of board time, whatever the firmware does.
RunResult run_for(Machine &machine, double seconds);
// Runs until main returns.
RunResult run_to_end(Machine &machine, double max_seconds = 60);

// Calls a function and returns r0; fails the test unless it returned.
std::uint32_t call(Machine &machine, std::string_view symbol, const std::vector<std::uint32_t> &args = {},
                   double max_seconds = 10);

// Console output from a position onwards.
std::string output_since(const Machine &machine, std::size_t from);

// Register accesses, filtered.
std::vector<Access> writes(const Machine &machine);
std::vector<Access> reads(const Machine &machine);
std::vector<Access> accesses_to(const Machine &machine, std::uint32_t address);

// A compact listing of accesses, e.g. "W 7f005400=00000003", for readable
// comparisons.
std::vector<std::string> listing(const std::vector<Access> &accesses);
std::string describe(const RunResult &result);

}  // namespace kelto::test

namespace kelto::test {

// Lets board time pass with the core held, as if the firmware were busy
// elsewhere: bytes on the line arrive in the receive FIFOs and the
// transmitters drain.
void settle(Machine &machine, double seconds);

// Copies bytes into fresh target memory and returns their address.
std::uint32_t place(Machine &machine, std::string_view bytes);

// One UART frame on a channel, at the rate it is programmed for.
double frame_seconds(Machine &machine, int channel = 1);

// Stops the run at the first sign of waiting instead of skipping time, so a
// call that would block comes back as waiting_for_input.
RunResult call_until_waiting(Machine &machine, std::string_view symbol, const std::vector<std::uint32_t> &args = {});

// Calls a function that is expected to be stopped by the simulator's checks.
RunResult call_expecting_fault(Machine &machine, std::string_view symbol, const std::vector<std::uint32_t> &args = {});

}  // namespace kelto::test

namespace kelto::test {

// Names a parameterised test after its parameter's `name` member, made fit
// for a test name: "drivertest-64" gives drivertest_64, "uartmod.o" uartmod.
std::string test_name(std::string_view name);
struct NamedParam {
    template <class Param> std::string operator()(const testing::TestParamInfo<Param> &info) const
    {
        return test_name(info.param.name);
    }
};

}  // namespace kelto::test

namespace kelto::test {

// A loadable segment of a hand-made image.
struct TinySegment {
    std::uint32_t address;
    std::vector<std::uint32_t> words;  // file contents
    std::uint32_t memory_size;         // at least the words; the rest is .bss
    bool writable;
};

// The bytes of a minimal ARM executable (EABI 5) made of these segments, for
// checks on images the project's build would never make.
std::string tiny_arm_image(std::uint32_t entry, const std::vector<TinySegment> &segments);
// A file's bytes; none if it cannot be read.
std::string read_file(const std::string &path);
// Writes bytes to a file in the test's temporary directory; its path.
std::string write_temp_file(const std::string &name, const std::string &bytes);
// A machine on a hand-made image, whose file goes once it is loaded.
std::unique_ptr<Machine> load_tiny(std::uint32_t entry, const std::vector<TinySegment> &segments,
                                   const Machine::Options &options = {});

}  // namespace kelto::test
