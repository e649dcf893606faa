// The keltosim program run as a user or a script runs it: through pipes, a
// scenario file, a pseudo-terminal as its controlling terminal, and its own
// pseudo-terminal console. Host-side time-outs only keep a broken build from
// hanging the suite; nothing here depends on how fast the host is.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "frontends/cli.hpp"
#include "harness.hpp"

namespace kelto::test {
namespace {

using sim::frontend::exit_expectation;
using sim::frontend::exit_fault;
using sim::frontend::exit_input_ended;
using sim::frontend::exit_output;
using sim::frontend::exit_time_limit;
using sim::frontend::exit_usage;

constexpr auto host_patience = std::chrono::seconds(120);

// Exit code, or 128 + the signal that ended the process.
int decode(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Appends what the descriptor has within timeout_ms; false at its end.
bool read_some(int fd, std::string &into, int timeout_ms)
{
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, timeout_ms) <= 0)
        return true;
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got <= 0)
        return false;
    into.append(buffer, static_cast<std::size_t>(got));
    return true;
}

// Reads until the text stands in `into` after `from`; false if it never comes.
bool read_until(int fd, std::string &into, const std::string &text, std::size_t from = 0)
{
    const auto deadline = std::chrono::steady_clock::now() + host_patience;
    while (into.find(text, from) == std::string::npos)
        if (!read_some(fd, into, 200) || std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

[[noreturn]] void exec_keltosim(const std::vector<std::string> &args)
{
    std::vector<char *> argv{const_cast<char *>(KELTOSIM_PATH)};
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(KELTOSIM_PATH, argv.data());
    ::_exit(127);
}

struct Finished {
    int status = -1;
    std::string out, err;
};

// How keltosim's standard streams are set up besides the pipes.
struct Streams {
    bool no_stdin = false;              // no standard input open at all
    bool stdin_stays_open = false;      // the input pipe is held open, silent, until keltosim ends
    const char *stdout_path = nullptr;  // standard output to this file instead of a pipe
    bool stdout_reader_gone = false;    // standard output to a pipe whose reader has gone
    std::chrono::seconds patience = host_patience;
};

// Runs keltosim with the input on a pipe, closed once written unless the
// streams say otherwise.
Finished run_keltosim(const std::vector<std::string> &args, const std::string &input = {}, Streams streams = {})
{
    int in[2], out[2], err[2];
    EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (streams.no_stdin)
            ::close(0);
        else
            ::dup2(in[0], 0);
        int gone[2];
        if (streams.stdout_path)
            ::dup2(::open(streams.stdout_path, O_WRONLY), 1);
        else if (streams.stdout_reader_gone && ::pipe(gone) == 0 && ::close(gone[0]) == 0)
            ::dup2(gone[1], 1);
        else
            ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        exec_keltosim(args);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    // Small inputs fit the pipe whether or not anyone reads yet.
    EXPECT_EQ(::write(in[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    if (!streams.stdin_stays_open)
        ::close(in[1]);

    Finished finished;
    const auto deadline = std::chrono::steady_clock::now() + streams.patience;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&finished.out, &finished.err};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (::poll(fds, 2, 1000) <= 0)
            continue;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buffer[4096];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                open--;
            }
        }
    }
    if (open > 0) {
        ADD_FAILURE() << "keltosim did not finish; killed";
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (streams.stdin_stays_open)
        ::close(in[1]);
    finished.status = decode(status);
    for (const pollfd &fd : fds)
        if (fd.fd >= 0)
            ::close(fd.fd);
    return finished;
}

std::string image(const char *name)
{
    return image_path(name);
}

// A scenario file in the test's scratch directory.
std::string write_file(const std::string &name, const std::string &text)
{
    std::string path = testing::TempDir() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string empty_directory()
{
    std::string path = testing::TempDir() + "/empty";
    std::filesystem::create_directories(path);
    return path;
}

bool ends_with(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The greeting image with its first segment moved to the top MiB of
// board 24's DRAM, where the loader puts its stack.
std::string image_in_loader_stack()
{
    std::ifstream in(image("greetfw"), std::ios::binary);
    std::string elf((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::uint32_t phoff = 0;
    std::memcpy(&phoff, elf.data() + 28, 4);     // e_phoff of an ELF32 header
    const std::uint32_t address = 0x33F00000;  // p_vaddr of the first program header
    std::memcpy(elf.data() + phoff + 8, &address, 4);
    return write_file("in-loader-stack.elf", elf);
}

const std::string menu = "\r\nMain menu\r\n1> Button Test\r\nx> Exit\r\n";

// ---------------------------------------------------------------------------
// Pipes

// Neither runs a board: the version line, and a chip's SVD file.
TEST(Program, VersionAndSvdNeedNoImage)
{
    const Finished version = run_keltosim({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_TRUE(version.out.starts_with("keltosim ") && version.out.size() > 10 && version.out.ends_with("\n"))
        << version.out;
    const Finished svd = run_keltosim({"--svd", "24"});
    EXPECT_EQ(svd.status, 0);
    EXPECT_NE(svd.out.find("<name>S3C2450</name>"), std::string::npos);
}

TEST(Pipes, GreetingComesOutByteForByteAndMainsResultIsTheStatus)
{
    const Finished run = run_keltosim({image("greetfw")});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Hello World!\nHello World!\nHello World!\n");
    EXPECT_EQ(run.err, "") << "a successful scripted run is quiet";
    // The trace, the figures and the waveform end with the run, not after it.
    const std::string dir = testing::TempDir();
    const Finished watched = run_keltosim(
        {"--trace", "--trace-file", dir + "/greet.trace", "--stats", "--vcd", dir + "/greet.vcd", image("greetfw")});
    EXPECT_EQ(watched.status, 0) << watched.err;
}

TEST(Pipes, KeysReachTheMenuInOrderAndXEndsMain)
{
    // '1' opens the button test, 'q' ends it unseen, '2' is no item, 'x' ends main.
    const Finished run = run_keltosim({image("pollfw-64")}, "1q2x");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "\r\nKelto Firmware - 13:11:24 Feb  9 2011\r\n\r\n" + menu + "1 is selected\r\n" +
                           "To exit button test, press any key (in keyboard)\r\n" + menu + "2 is selected\r\nNo item\r\n" +
                           menu + "x is selected\r\n");
}

TEST(Pipes, StateSavedAtTheMenuAnswersTheNextKeyAtOnceWhenRestored)
{
    const std::string state = testing::TempDir() + "/menu.state";
    const Finished saved = run_keltosim({"--save-at", "x> Exit", state, image("consolefw-64")});
    const Finished resumed = run_keltosim({"--restore", state, image("consolefw-64")}, "x");
    EXPECT_EQ(resumed.status, 0) << saved.err << resumed.err;
    EXPECT_EQ(resumed.out, "\r\nx is selected\r\n");
    const Finished refused = run_keltosim({"--restore", state, image("consolefw-24")}, "x");
    EXPECT_EQ(refused.status, 64);
    EXPECT_NE(refused.err.find(state + ": a state of another image"), std::string::npos) << refused.err;
}

TEST(Pipes, ScriptedTypingNeverOverrunsTheReceiver)
{
    // Many more keys than the 64-byte FIFO holds, all written before the
    // firmware has read any.
    const std::string keys(200, '2');
    const Finished run = run_keltosim({image("pollfw-64")}, keys + "x");
    EXPECT_EQ(run.status, 0) << run.err;
    std::size_t answered = 0;
    for (std::size_t at = 0; (at = run.out.find("2 is selected\r\nNo item", at)) != std::string::npos; at++)
        answered++;
    EXPECT_EQ(answered, keys.size());
}

TEST(Pipes, InputEndingWhileTheFirmwareWaitsHasItsOwnStatus)
{
    for (const std::string input : {"", "2"}) {
        const Finished run = run_keltosim({image("pollfw-64")}, input);
        EXPECT_EQ(run.status, exit_input_ended) << input;
        EXPECT_TRUE(ends_with(run.out, menu)) << "everything sent before stopping";
        EXPECT_EQ(run.err, "keltosim: input ended while the firmware waits for console input\n");
    }
}

// The button tests poll the console between scans and never block on it:
// ended input must still end the run rather than leave it spinning.
TEST(Pipes, InputEndingInsideAButtonTestHasItsOwnStatus)
{
    for (const char *name : {"pollfw-64", "consolefw-64"}) {
        const Finished run = run_keltosim({image(name)}, "1");
        EXPECT_EQ(run.status, exit_input_ended) << name;
        EXPECT_TRUE(ends_with(run.out, "To exit button test, press any key (in keyboard)\r\n")) << name;
        EXPECT_EQ(run.err, "keltosim: input ended while the firmware waits for console input\n") << name;
    }
}

TEST(Pipes, NoStandardInputAtAllIsInputThatHasEnded)
{
    const Finished run = run_keltosim({image("pollfw-64")}, {}, {.no_stdin = true});
    EXPECT_EQ(run.status, exit_input_ended);
    EXPECT_TRUE(ends_with(run.out, menu)) << "everything sent before stopping";
    EXPECT_EQ(run.err, "keltosim: input ended while the firmware waits for console input\n");
}

TEST(Pipes, ExpectSucceedsTheMomentItsTextAppears)
{
    const Finished run = run_keltosim({"--expect", "x> Exit", image("pollfw-64")});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(ends_with(run.out, "x> Exit")) << "stopped right there, before the line feed";

    const Finished missed = run_keltosim({"--expect", "Goodbye", image("greetfw")});
    EXPECT_EQ(missed.status, exit_expectation);
    EXPECT_EQ(missed.err, "keltosim: main returned 0 before \"Goodbye\" appeared\n");
}

TEST(Pipes, FailOnStopsAtItsText)
{
    const Finished run = run_keltosim({"--fail-on", "Nothing", "--fail-on", "No item", image("pollfw-64")}, "2x");
    EXPECT_EQ(run.status, exit_expectation);
    EXPECT_TRUE(ends_with(run.out, "No item"));
    EXPECT_EQ(run.err, "keltosim: \"No item\" appeared on the console\n");
}

TEST(Pipes, TimeoutCountsBoardTime)
{
    // The button test polls for ever without waiting for input.
    const Finished run = run_keltosim({"--timeout", "0.05", image("pollfw-64")}, "1");
    EXPECT_EQ(run.status, exit_time_limit);
    EXPECT_EQ(run.err, "keltosim: time limit: 0.05 s of board time passed\n");
}

// A program at board 64's link address that switches on the console's
// transmitter, puts the text into its FIFO and then, if it is to crash,
// loads a word from 0x10000000, which is neither DRAM nor a register, at
// 0x5008003c; else returns 5 from main.
std::string printing_image(const std::string &text, bool crash)
{
    const std::uint32_t link = 0x50080000, nop = 0xE1A00000;
    std::vector<std::uint32_t> words = {
        0xE59F0040,                // ldr r0, =0x7F005400 (UART 1)
        0xE3A01003, 0xE5801000,    // ULCON = 3: 8N1
        0xE3A01022, 0xE5801028,    // UBRDIV = 34
        0xE3A01001, 0xE5801008,    // UFCON = 1: FIFOs on
        0xE3A01005, 0xE5801004,    // UCON = 5: polled receiver and transmitter
        0xE28F2024,                // adr r2, text
        0xE4D21001, 0xE3510000,    // loop: ldrb r1, [r2], #1; cmp r1, #0
        0x15801020, 0x1AFFFFFB,    // strne r1, [r0, #0x20] (UTXH); bne loop
        crash ? 0xE59F100C : nop,  // ldr r1, =0x10000000
        crash ? 0xE5911000 : nop,  // ldr r1, [r1]
        0xE3A00005, 0xE12FFF1E,    // mov r0, #5; bx lr
        0x7F005400, 0x10000000,
    };
    std::string bytes = text + std::string(4 - text.size() % 4, '\0');
    for (std::size_t at = 0; at < bytes.size(); at += 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, bytes.data() + at, 4);
        words.push_back(word);
    }
    return tiny_arm_image(link, {{link, words, 0, false}});
}

// A program at board 64's link address that makes GPN9 an output and
// toggles it for ever.
std::string toggling_image()
{
    const std::uint32_t link = 0x50080000;
    return tiny_arm_image(link, {{link,
                                  {0xE59F0018, 0xE3A01701, 0xE5801830,  // r0 = GPIO; GPNCON: pin 9 output
                                   0xE3A01C02, 0xE5801834,              // loop: GPNDAT = 0x200
                                   0xE3A01000, 0xE5801834, 0xEAFFFFFA,  // GPNDAT = 0; b loop
                                   0x7F008000},
                                  0, false}});
}

// How runs end other than with main returning 0: each status, what came out
// before it and what keltosim says.
TEST(Pipes, EndingsHaveTheirStatusAndMessage)
{
    const std::string crash = write_file("crash", printing_image("about to crash\n", true));
    const std::string five = write_file("five", printing_image("all done\n", false));
    const std::string log = testing::TempDir() + "/serial.log";
    const std::string toggling = write_file("toggling", toggling_image());
    const std::string menu = write_file("menu.yaml", "- wait_for: \"x> Exit\"\n");
    const struct {
        std::vector<std::string> args;
        std::string input;
        Streams streams;
        int status;
        std::string out_end;
        std::vector<std::string> err;  // parts of it; none: nothing at all
    } runs[] = {
        // What the firmware put into the FIFO still goes out before the report.
        {{"--serial-log", log, crash}, "", {}, exit_fault, "about to crash\n",
         {"keltosim: fault: read of 0x10000000", "pc 0x5008003c"}},
        {{"--fail-on", "is selected", image("consolefw-64")}, "x", {}, exit_expectation, "x is selected\r\n",
         {"keltosim: \"is selected\" appeared on the console\n"}},
        // main has returned, so what it queued goes out whole.
        {{"--expect", "all done", five}, "", {}, 0, "all done\n", {}},
        {{five}, "", {}, 5, "all done\n", {"keltosim: main returned 5\n"}},
        {{image("greetfw")}, "", {.stdout_path = "/dev/full"}, exit_output, "",
         {"keltosim: cannot write the console's output to standard output: No space left on device\n"}},
        {{image("greetfw")}, "", {.stdout_reader_gone = true}, 128 + SIGPIPE, "", {}},
        // A record that cannot be written fails the run, at its end or at
        // once when it fills its buffer; one that reaches its limit does not.
        {{"--trace", "--trace-file", "/dev/full", image("greetfw")}, "", {}, exit_output, "Hello World!\n",
         {"keltosim: cannot write the trace to /dev/full: No space left on device\n"}},
        {{"--vcd", "/dev/full", toggling}, "", {}, exit_output, "",
         {"keltosim: cannot write the waveforms to /dev/full: No space left on device\n"}},
        {{"--scenario", menu, "--scenario", menu, "--profile", "/dev/full", image("consolefw-64")}, "", {}, exit_output,
         "2 passed, 0 failed\n", {"keltosim: the profile could not be written to /dev/full\n"}},
        {{"--trace", "--trace-file", testing::TempDir() + "/greet.trace", "--trace-limit", "1K", image("greetfw")},
         "", {}, 0, "Hello World!\n",
         {"keltosim: the trace reached its limit of 1 KiB (--trace-limit) and stopped; the run goes on\n"}},
        // Waiting on a pipe that stays open but silent counts towards the limit.
        {{"--timeout", "2", image("consolefw-64")}, "",
         {.stdin_stays_open = true, .patience = std::chrono::seconds(20)}, exit_time_limit, "x> Exit\r\n",
         {"keltosim: time limit: 2 s of board time and waiting on the host passed\n"}},
    };
    for (const auto &c : runs) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const Finished run = run_keltosim(c.args, c.input, c.streams);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_TRUE(ends_with(run.out, c.out_end)) << run.out;
        if (c.err.empty()) {
            EXPECT_EQ(run.err, "");
        }
        for (const std::string &part : c.err)
            EXPECT_NE(run.err.find(part), std::string::npos) << run.err;
        if (c.args.front() == "--serial-log") {
            std::ifstream logged(log, std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(logged), {}), run.out) << "the log is stdout's copy";
        }
    }
}

TEST(Pipes, FirmwareIdleForEverEndsTheRunOrWaitsForTheTimeout)
{
    const std::uint32_t link = 0x50080000;
    const std::string elf = write_file("branch-to-itself", tiny_arm_image(link, {{link, {0xEAFFFFFE}, 0, false}}));
    const std::string note = "keltosim: the firmware is idle for ever at 0x50080000\n";
    const Finished open_ended = run_keltosim({elf});
    EXPECT_EQ(open_ended.status, exit_input_ended);
    EXPECT_EQ(open_ended.err, note);
    const Finished limited = run_keltosim({"--timeout", "100000", elf});
    EXPECT_EQ(limited.status, exit_time_limit);
    EXPECT_EQ(limited.err, note + "keltosim: time limit: 100000 s of board time passed\n");
}

TEST(Pipes, UsageErrors)
{
    const Finished unknown = run_keltosim({"--colour", image("greetfw")});
    EXPECT_EQ(unknown.status, exit_usage);
    EXPECT_EQ(unknown.err, "keltosim: unknown option '--colour'\nTry 'keltosim --help'.\n");
    const std::string greeted = testing::TempDir() + "/greeted.state";
    run_keltosim({"--save-at", "0", greeted, image("greetfw")});
    const std::string menu_first = write_file("menu-first.yaml", "- wait_for: \"x> Exit\"\n");
    // Each refused before the board starts, with the reason on stderr.
    const struct {
        std::vector<std::string> args;
        std::string error;
    } refused[] = {
        {{testing::TempDir() + "/no-such-image"}, "cannot open the image: No such file or directory"},
        {{testing::TempDir()}, "is a directory, not an image file"},
        {{image("greetfw") + ".bin"}, "raw binary; run the ELF image beside it, " + image("greetfw") + "\n"},
        {{"--board", "64", image("greetfw")}, "lies outside the board 64's DRAM"},
        {{image_in_loader_stack()}, "reaches into 0x33f00000-0x33ffffff, the top MiB of the board 24's DRAM"},
        {{"--timeout", "1e11", image("greetfw")}, "--timeout wants a number of seconds above 0, at most 1000000"},
        {{"--scenario", empty_directory(), image("greetfw")}, "no *.yaml scenario files in this directory"},
        {{"--stats", "--scenario", "a.yaml", "--scenario", "b.yaml", image("greetfw")},
         "--stats watches one board and does not combine with a suite of scenarios"},
        {{"--scenario", write_file("no-port.yaml", "- wait: 1\n- expect_pin: {port: N, pin: 0, level: 1}\n"),
          image("consolefw-24")},
         "no-port.yaml:2: expect_pin GPN0 high: the board 24's S3C2450 has no port N"},
        {{"--scenario", write_file("greeted.yaml", "- restore: " + greeted + "\n- wait: 1\n"), image("consolefw-24")},
         "greeted.yaml:1: " + greeted + ": a state of another image"},
        {{"--restore", write_file("damaged.state", "damaged"), "--scenario", menu_first, "--scenario", menu_first,
          image("consolefw-64")},
         "damaged.state: not a keltosim state file"},
        {{"--boot-once", "--scenario", menu_first, "--scenario", write_file("x-first.yaml", "- write: \"x\"\n"),
          image("consolefw-64")},
         "--boot-once: " + testing::TempDir() + "/x-first.yaml:1 begins with write \"x\", where " + menu_first +
             ":1 begins with wait_for \"x> Exit\""},
    };
    for (const auto &c : refused) {
        const Finished run = run_keltosim(c.args);
        EXPECT_EQ(run.status, exit_usage) << c.error;
        EXPECT_NE(run.err.find(c.error), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "") << c.error;
    }
    const Finished help = run_keltosim({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: keltosim [options] IMAGE"));
}

// ---------------------------------------------------------------------------
// Scenarios

TEST(Scenarios, HoldingUpInTheButtonTestIsReported)
{
    const std::string path = write_file("up.yaml", R"(
- wait_for: "x> Exit"
- write: "1"
- wait_for: "press any key"
- hold: up
- wait_for: "Up key pressed"
  timeout: 1
- release: up
- wait: 0.01
- write: "q"
- wait_for: "x> Exit"
- write: "x"
- expect_exit: 0
)");
    const Finished run = run_keltosim({"--scenario", path, image("pollfw-64")});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("Up key pressed\r\n"), std::string::npos);
    EXPECT_TRUE(ends_with(run.out, "x is selected\r\n"));
}

TEST(Scenarios, AnUnmetWaitSaysWhereAndWhatTheConsoleSaid)
{
    const std::string path = write_file("down.yaml", "- write: \"1\"\n- wait_for: \"Down key pressed\"\n  timeout: 0.02\n");
    const Finished run = run_keltosim({"--scenario", path, image("pollfw-64")});
    EXPECT_EQ(run.status, exit_expectation);
    EXPECT_TRUE(run.err.starts_with("keltosim: " + path +
                                    ":2: wait_for \"Down key pressed\": not seen within 0.02 s of board time; "))
        << run.err;
    // The last lines as text, each with its board time.
    EXPECT_NE(run.err.find(" s  To exit button test, press any key (in keyboard)\n"), std::string::npos) << run.err;

    // Text that cannot come, because the firmware waits for a key nobody
    // writes, fails at once instead of at the time-out.
    const std::string idle = write_file("idle.yaml", "- wait_for: \"Up key pressed\"\n  timeout: 1000\n");
    const Finished waiting = run_keltosim({"--scenario", idle, image("pollfw-64")});
    EXPECT_EQ(waiting.status, exit_expectation);
    EXPECT_NE(waiting.err.find("the firmware waits for console input"), std::string::npos) << waiting.err;
}

TEST(Scenarios, WaitForLooksOnlyPastThePreviousMatch)
{
    // The menu appears once before '2' and once after "No item".
    const std::string path = write_file("twice.yaml", R"(
- wait_for: "x> Exit"
- wait_for: "x> Exit"
  timeout: 0.05
)");
    const Finished run = run_keltosim({"--scenario", path, image("pollfw-64")});
    EXPECT_EQ(run.status, exit_expectation) << "one menu cannot match twice";

    const std::string again = write_file("again.yaml", R"(
- wait_for: "x> Exit"
- write: "2"
- wait_for: "No item"
- wait_for: "x> Exit"
)");
    EXPECT_EQ(run_keltosim({"--scenario", again, image("pollfw-64")}).status, 0);
}

TEST(Scenarios, BacklightAndPinsOfTheConsoleFirmware)
{
    const std::string path = write_file("backlight.yaml", R"(
- wait_for: "x> Exit"
- write: "3"
- wait_for: "x> Exit to back"
- write: "2"
- wait_for: "x> Exit to back"
- expect_backlight: 90
- expect_pin: {port: N, pin: 9, level: 1, function: output}
- expect_pin: {port: F, pin: 15, function: alt1}
- expect_backlight: 80
)");
    const Finished run = run_keltosim({"--scenario", path, image("consolefw-64")});
    EXPECT_EQ(run.status, exit_expectation);
    EXPECT_EQ(run.err, "keltosim: " + path + ":10: expect_backlight 80 %: the backlight is 90 %\n");
}

TEST(Scenarios, FileErrorsAreUsageErrorsWithTheLine)
{
    const std::string path = write_file("typo.yaml", "- write: \"1\"\n- wiat_for: \"x\"\n");
    const Finished run = run_keltosim({"--scenario", path, image("pollfw-64")});
    EXPECT_EQ(run.status, exit_usage);
    EXPECT_EQ(run.err, "keltosim: " + path + ":2: unknown key 'wiat_for'; did you mean 'wait_for'?\n");
    EXPECT_EQ(run.out, "") << "the board does not start";
}

// ---------------------------------------------------------------------------
// Suites

// A junitparser reading of the report, as a CI system would read it.
constexpr const char *junit_check = R"(
import sys
from junitparser import JUnitXml, Failure, Properties
suite = next(iter(JUnitXml.fromfile(sys.argv[1])))
cases = {case.name: case for case in suite}
assert (suite.tests, suite.failures) == (3, 1), (suite.tests, suite.failures)
failed = cases[sys.argv[2] + "/b-fails.yaml"]
failure = failed.result[0]
assert isinstance(failure, Failure) and failure.message.startswith(failed.name + ":3: wait_for"), failure.message
assert "é is selected" in failure.text, failure.text
assert all(case.classname == "consolefw-64" and case.time >= 0 for case in cases.values())
assert [p.name for p in failed.child(Properties)] == ["board_time"]
)";

TEST(Suites, EachScenarioOnItsOwnBoardWithALineEachAndAJUnitReport)
{
    const std::string dir = testing::TempDir() + "/suite";
    std::filesystem::create_directories(dir);
    write_file("suite/a-menu.yaml", "- wait_for: \"x> Exit\"\n");
    write_file("suite/b-fails.yaml", "- wait_for: \"x> Exit\"\n- write: \"\\xe9\"\n- wait_for: \"never\"\n  timeout: 0.05\n");
    write_file("suite/c-exit.yaml", "- write: \"x\"\n- expect_exit: 0\n");
    write_file("suite/notes.txt", "not a scenario");
    const std::string junit = testing::TempDir() + "/suite.xml";
    const std::string coverage[] = {testing::TempDir() + "/suite-1.info", testing::TempDir() + "/suite-3.info"};
    for (const std::string &file : coverage)
        std::remove(file.c_str());
    const std::string profile[] = {testing::TempDir() + "/suite-1.folded", testing::TempDir() + "/suite-3.folded"};
    const Finished run = run_keltosim({"--scenario", dir, "--junit", junit, "-j", "1", "--coverage", coverage[0],
                                       "--profile", profile[0], image("consolefw-64")});
    EXPECT_EQ(run.status, exit_expectation) << run.err;
    EXPECT_TRUE(run.out.starts_with("PASS " + dir + "/a-menu.yaml (0.0")) << run.out;
    EXPECT_NE(run.out.find("\nFAIL " + dir + "/b-fails.yaml at " + dir + "/b-fails.yaml:3 (0.0"), std::string::npos);
    EXPECT_NE(run.out.find("\n    keltosim: " + dir + "/b-fails.yaml:3: wait_for \"never\": the firmware waits"), std::string::npos);
    EXPECT_TRUE(ends_with(run.out, "s of board time)\n2 passed, 1 failed\n")) << run.out;
    const std::string script = write_file("junit_check.py", junit_check);
    EXPECT_EQ(std::system(("/usr/bin/python3 " + script + " " + junit + " " + dir).c_str()), 0);
    EXPECT_EQ(std::system(("xmllint --noout " + junit).c_str()), 0);

    // Boards on threads of their own give what one board after another
    // gave, their coverage and profiles added up in one file too.
    EXPECT_EQ(run_keltosim({"--scenario", dir, "-j", "3", "--coverage", coverage[1], "--profile", profile[1],
                            image("consolefw-64")})
                  .out,
              run.out);
    EXPECT_NE(read_file(coverage[0]).find("\nDA:"), std::string::npos);
    EXPECT_EQ(read_file(coverage[0]), read_file(coverage[1]));
    EXPECT_NE(read_file(profile[0]).find("main;"), std::string::npos);
    EXPECT_EQ(read_file(profile[0]), read_file(profile[1]));
    // Files are all read before any board starts.
    const Finished unread = run_keltosim({"--scenario", dir, "--scenario", dir + "/none.yaml", image("consolefw-64")});
    EXPECT_EQ(unread.status, exit_usage);
    EXPECT_EQ(unread.out, "");
}

// A failure in CI, a scenario's step in a suite or a fault, comes back from
// its bundle without the scenario: the same message, status and instruction.
TEST(Bundles, ReplayTheFailureAtTheSameInstruction)
{
    const std::string dir = testing::TempDir() + "/bundled";
    std::filesystem::create_directories(dir + "/suite");
    write_file("bundled/suite/ok.yaml", "- wait_for: \"x> Exit\"\n");
    write_file("bundled/suite/dim.yaml", "- wait_for: \"x> Exit\"\n- write: \"3\"\n- wait_for: \"x> Exit to back\"\n"
                                        "- hold: up\n- write: \"2\"\n- wait_for: \"x> Exit to back\"\n"
                                        "- expect_backlight: 50\n");
    const std::string crash = write_file("crash", printing_image("about to crash\n", true));
    const struct {
        std::vector<std::string> args;
        std::string image, bundle, reason;
        int status;
    } failures[] = {
        {{"--scenario", dir + "/suite"}, image("consolefw-64"), "dim", "dim.yaml:7: expect_backlight 50 %", exit_expectation},
        {{}, crash, "crash", "keltosim: fault: read of 0x10000000", exit_fault},
        {{"--clock", "wall", "--fail-on", "Kelto"}, image("consolefw-24"), "consolefw-24", "\"Kelto\" appeared",
         exit_expectation},
    };
    const std::regex failed_at("keltosim: failure bundle written to (\\S+) \\(the failure at (instruction \\d+ at )");
    for (const auto &f : failures) {
        SCOPED_TRACE(f.bundle);
        std::vector<std::string> args = {"--bundle", dir + "/out"};
        args.insert(args.end(), f.args.begin(), f.args.end());
        args.push_back(f.image);
        const Finished run = run_keltosim(args);
        const std::string said = run.out + run.err;
        std::smatch match;
        ASSERT_TRUE(std::regex_search(said, match, failed_at)) << said;
        EXPECT_EQ(match[1], dir + "/out/" + f.bundle + ".bundle");
        EXPECT_EQ(run.status, f.status);
        const Finished replay = run_keltosim({"--replay", match[1], f.image});
        EXPECT_EQ(replay.status, f.status) << replay.err;
        EXPECT_NE(said.find(f.reason), std::string::npos) << said;
        EXPECT_NE(replay.err.find(f.reason), std::string::npos) << replay.err;
        EXPECT_NE(replay.err.find("keltosim: replayed to " + match[2].str()), std::string::npos) << replay.err;
    }
    EXPECT_EQ(run_keltosim({"--replay", dir + "/out/crash.bundle", image("consolefw-64")}).status, exit_usage);
    // A shared boot that fails keeps no bundle: the scenario, booting again, keeps its own.
    write_file("bundled/never.yaml", "- wait_for: \"never\"\n  timeout: 0.01\n");
    std::filesystem::remove_all(dir + "/boot");
    run_keltosim({"--boot-once", "--bundle", dir + "/boot", "--scenario", dir + "/never.yaml", image("consolefw-64")});
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir + "/boot"), {}), 1);
}

// Boards restored from one boot give what boards booted each on their own
// gave: the board time goes on, --timeout counts from the boot, a failure
// quotes the boot's console lines. A scenario may start from a saved menu.
TEST(Suites, BootOnceGivesWhatABootEachGave)
{
    const std::string dir = testing::TempDir() + "/boot";
    std::filesystem::create_directories(dir);
    run_keltosim({"--save-at", "x> Exit", dir + "/menu.state", image("consolefw-64")});
    write_file("boot/a-backlight.yaml", "- wait_for: \"x> Exit\"\n- write: \"3\"\n- wait_for: \"x> Exit to back\"\n");
    write_file("boot/b-fails.yaml", "- wait_for: \"x> Exit\"\n- wait_for: \"never\"\n");
    write_file("boot/c-timer.yaml", "- wait_for: \"x> Exit\"\n- write: \"2\"\n- wait_for: \"Test 9\"\n");
    write_file("boot/d-restored.yaml", "- restore: menu.state\n- write: \"x\"\n- expect_exit: 0\n");
    // The coverage and the profile count the boot for every scenario.
    const auto suite = [&](const std::string &boot_once) {
        std::remove((dir + ".info").c_str());
        const Finished run = run_keltosim({boot_once, "--scenario", dir, "--timeout", "5", "-j", "2", "--junit",
                                           dir + ".xml", "--coverage", dir + ".info", "--profile", dir + ".folded",
                                           image("consolefw-64")});
        return std::tuple(run.status, run.out, std::regex_replace(read_file(dir + ".xml"), std::regex(" time=\"[0-9.]+\""), ""),
                          read_file(dir + ".info"), read_file(dir + ".folded"));
    };
    const auto cold = suite("--clock=virtual");
    const auto [status, out, junit, coverage, profile] = cold;
    EXPECT_EQ(suite("--boot-once"), cold);
    EXPECT_NE(profile.find("main;kelto_uart_init "), std::string::npos) << profile;
    EXPECT_EQ(status, exit_expectation);
    EXPECT_NE(out.find("FAIL " + dir + "/b-fails.yaml at " + dir + "/b-fails.yaml:2 ("), std::string::npos) << out;
    EXPECT_NE(out.find("FAIL " + dir + "/c-timer.yaml at " + dir + "/c-timer.yaml:3, status 67 (5.0"),
              std::string::npos) << out;
    EXPECT_NE(out.find("\nPASS " + dir + "/d-restored.yaml ("), std::string::npos) << out;
    const Finished alone = run_keltosim({"--scenario", dir + "/d-restored.yaml", image("consolefw-64")});
    EXPECT_EQ(alone.out, "\r\nx is selected\r\n") << alone.err;
}

// ---------------------------------------------------------------------------
// keltosim on a terminal: a pseudo-terminal plays the user's terminal.

class Terminal {
public:
    explicit Terminal(const std::vector<std::string> &args)
    {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 80;
        if (::openpty(&master_, &slave_, nullptr, nullptr, &size) != 0)
            throw std::runtime_error("no pseudo-terminal");
        ::tcgetattr(slave_, &before_);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setsid();
            ::ioctl(slave_, TIOCSCTTY, 0);
            for (int fd = 0; fd < 3; fd++)
                ::dup2(slave_, fd);
            ::close(master_);
            ::close(slave_);
            exec_keltosim(args);
        }
    }

    ~Terminal()
    {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(master_);
        ::close(slave_);
    }

    // Reads until the text has appeared since the last call.
    bool wait_for(const std::string &text)
    {
        if (!read_until(master_, seen_, text, mark_))
            return false;
        mark_ = seen_.find(text, mark_) + text.size();
        return true;
    }

    void type(const std::string &keys) { ASSERT_EQ(::write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size())); }

    std::optional<int> wait_exit()
    {
        const auto deadline = std::chrono::steady_clock::now() + host_patience;
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) != pid_) {
            if (std::chrono::steady_clock::now() > deadline)
                return std::nullopt;
            read_some(master_, seen_, 100);
        }
        exited_ = true;
        // Whatever it wrote last.
        for (std::size_t size = 0; size != seen_.size();) {
            size = seen_.size();
            read_some(master_, seen_, 100);
        }
        return decode(status);
    }

    pid_t pid() const { return pid_; }
    const std::string &seen() const { return seen_; }

    // The terminal modes keltosim found are back.
    void expect_modes_restored() const
    {
        termios after{};
        ::tcgetattr(slave_, &after);
        EXPECT_EQ(after.c_iflag, before_.c_iflag);
        EXPECT_EQ(after.c_oflag, before_.c_oflag);
        EXPECT_EQ(after.c_lflag, before_.c_lflag);
        EXPECT_EQ(after.c_cflag, before_.c_cflag);
        EXPECT_EQ(0, std::memcmp(after.c_cc, before_.c_cc, sizeof after.c_cc));
        // The status row's scrolling region is given back too.
        const auto region = seen_.rfind("\033[1;23r");
        ASSERT_NE(region, std::string::npos) << "the status row was never set up";
        EXPECT_NE(seen_.find("\033[r", region), std::string::npos);
    }

private:
    int master_ = -1, slave_ = -1;
    pid_t pid_ = -1;
    bool exited_ = false;
    termios before_{};
    std::string seen_;
    std::size_t mark_ = 0;
};

TEST(TerminalSession, EscapeKeysHoldButtonsShowTheBoardAndQuit)
{
    Terminal terminal({image("pollfw-64")});
    ASSERT_TRUE(terminal.wait_for("Ctrl-A x to quit"));
    ASSERT_TRUE(terminal.wait_for("x> Exit\r\n"));
    terminal.type("1");
    ASSERT_TRUE(terminal.wait_for("press any key (in keyboard)\r\n"));
    terminal.type("\001u");
    EXPECT_TRUE(terminal.wait_for("buttons held: up |")) << "status row";
    EXPECT_TRUE(terminal.wait_for("Up key pressed\r\n"));
    terminal.type("\001s");
    EXPECT_TRUE(terminal.wait_for("GPN0 input low (button up)"));
    // Released, then any key ends the button test; Ctrl-A Ctrl-A is that key.
    terminal.type("\001u\001\001");
    EXPECT_TRUE(terminal.wait_for("buttons held: none |"));
    EXPECT_TRUE(terminal.wait_for("x> Exit\r\n"));
    terminal.type("\001x");
    EXPECT_EQ(terminal.wait_exit(), 0);
    terminal.expect_modes_restored();
    EXPECT_EQ(terminal.seen().find("x is selected"), std::string::npos) << "Ctrl-A x is not a key for the board";
}

TEST(TerminalSession, EscapeKeysGiveTheirTexts)
{
    Terminal terminal({image("pollfw-64")});
    ASSERT_TRUE(terminal.wait_for("x> Exit\r\n"));
    const std::pair<const char *, const char *> keys[] = {
        {"\001h", "  0         release all buttons"},
        {"\001?", "  x q       quit"},
        {"\001s", "board 64 (S3C6410), pollfw-64, "},
        {"\001z", "Ctrl-A z is no command; Ctrl-A h lists them"},
        {"\001\x7f", "Ctrl-A 0x7f is no command"},
        {"\001u\001" "2", "buttons held: up down |"},
        {"\001s", "buttons held: up, down"},
        {"\001" "0", "buttons held: none |"},
    };
    for (const auto &[typed, text] : keys) {
        terminal.type(typed);
        EXPECT_TRUE(terminal.wait_for(text)) << text;
    }
    terminal.type("\001q");
    EXPECT_EQ(terminal.wait_exit(), 0);
    EXPECT_EQ(terminal.seen().find("is selected"), std::string::npos) << "no escape key reached the board";
}

// Ctrl-B, as --escape b chooses, named wherever the keys are; Ctrl-A is the
// board's.
TEST(TerminalSession, AnotherEscapeKeyIsNamedAndObeyed)
{
    Terminal terminal({"--escape", "b", image("pollfw-64")});
    ASSERT_TRUE(terminal.wait_for("Ctrl-B x to quit"));
    EXPECT_TRUE(terminal.wait_for("| Ctrl-B h: help"));
    ASSERT_TRUE(terminal.wait_for("x> Exit\r\n"));
    terminal.type("\002h");
    EXPECT_TRUE(terminal.wait_for("  Ctrl-B    send Ctrl-B to the board"));
    terminal.type("\001" "1");
    EXPECT_TRUE(terminal.wait_for("press any key (in keyboard)")) << "Ctrl-A and 1 went to the board";
    terminal.type("\002x");
    EXPECT_EQ(terminal.wait_exit(), 0);
}

// The trace on the console's terminal: each of its lines starts a line,
// however the console's own lines were cut.
TEST(TerminalSession, TraceLinesStartTheirOwnLines)
{
    Terminal terminal({"--trace=UTXH", "--no-status", image("pollfw-64")});
    ASSERT_TRUE(terminal.wait_for("'E'"));
    ASSERT_TRUE(terminal.wait_for("'t'"));  // the last line waits, as a fold may, for the next access
    terminal.type("\001x");
    EXPECT_EQ(terminal.wait_exit(), 0);
    const std::string &seen = terminal.seen();
    const std::regex line_start(R"(\r?\n *[0-9]+\.[0-9]{9}  $)");
    int lines = 0;
    for (auto at = seen.find("UART1 UTXH"); at != std::string::npos; at = seen.find("UART1 UTXH", at + 1), lines++) {
        const std::size_t start = seen.rfind('\n', at);
        ASSERT_NE(start, std::string::npos);
        const std::string head = seen.substr(start, at - start);
        const auto location = head.find("  ", head.find('.'));
        EXPECT_TRUE(std::regex_match(head.substr(0, location + 2), line_start)) << head;
    }
    EXPECT_GT(lines, 20);
}

TEST(TerminalSession, MainReturningEndsTheSessionWithItsResult)
{
    Terminal terminal({image("pollfw-64")});
    ASSERT_TRUE(terminal.wait_for("x> Exit\r\n"));
    terminal.type("x");
    EXPECT_EQ(terminal.wait_exit(), 0);
    EXPECT_TRUE(terminal.wait_for("x is selected\r\n"));
    terminal.expect_modes_restored();
}

TEST(TerminalSession, SignalRestoresTheTerminal)
{
    Terminal terminal({image("pollfw-64")});
    ASSERT_TRUE(terminal.wait_for("x> Exit\r\n"));
    ::kill(terminal.pid(), SIGTERM);
    EXPECT_EQ(terminal.wait_exit(), 128 + SIGTERM);
    terminal.expect_modes_restored();
}

// The session under test leads its own session, so the kernel does not
// really stop it (its process group is orphaned); what can be checked here is
// that a stop and a continue leave it working with the terminal raw again.
TEST(TerminalSession, StopAndContinueLeaveTheSessionWorking)
{
    Terminal terminal({image("pollfw-64")});
    ASSERT_TRUE(terminal.wait_for("x> Exit\r\n"));
    ::kill(terminal.pid(), SIGTSTP);
    ::kill(terminal.pid(), SIGCONT);
    terminal.type("2");
    ASSERT_TRUE(terminal.wait_for("2 is selected\r\n")) << "keys reach the board again";
    terminal.type("\x01x");
    EXPECT_EQ(terminal.wait_exit(), 0);
    terminal.expect_modes_restored();
}

// ---------------------------------------------------------------------------
// The console on keltosim's own pseudo-terminal.

TEST(PtyConsole, BoardStartsForTheFirstTerminalAndSurvivesItsHangUp)
{
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(out[1], 1);
        ::dup2(null, 2);
        exec_keltosim({"--serial", "pty", image("pollfw-64")});
    }
    ::close(out[1]);
    // The path is whole only once the ')' after it has come: /dev/pts/1 may
    // still grow into /dev/pts/12.
    const std::string lead = "connect with: picocom -b 115200 ";
    std::string said;
    std::string pty;
    char c;
    while (pty.empty() && ::read(out[0], &c, 1) == 1) {
        said += c;
        const auto from = said.find(lead);
        if (from != std::string::npos && c == ')')
            pty = said.substr(from + lead.size(), said.size() - 1 - from - lead.size());
    }
    ::close(out[0]);
    ASSERT_TRUE(pty.starts_with("/dev/pts/")) << said;

    int peer = ::open(pty.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(peer, 0);
    std::string start;
    EXPECT_TRUE(read_until(peer, start, "x> Exit\r\n"));
    EXPECT_TRUE(start.starts_with("\r\nKelto Firmware")) << "nothing was lost before the terminal came";
    ::close(peer);

    peer = ::open(pty.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(::write(peer, "2", 1), 1);
    std::string answer;
    EXPECT_TRUE(read_until(peer, answer, "2 is selected\r\nNo item\r\n"));
    ASSERT_EQ(::write(peer, "x", 1), 1);
    const auto deadline = std::chrono::steady_clock::now() + host_patience;
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) != pid && std::chrono::steady_clock::now() < deadline)
        if (!read_some(peer, answer, 100))
            ::usleep(100'000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    ::close(peer);
}

}  // namespace
}  // namespace kelto::test
