// keltosim under a real debugger: gdb-multiarch in batch mode against the
// GDB server on a free loopback port, on the real images. Each gdb start
// costs time, so each test runs one gdb session through many checks.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "harness.hpp"

using namespace kelto::test;

namespace {

const char gdb_program[] = "gdb-multiarch";

bool have_gdb()
{
    return std::system("command -v gdb-multiarch >/dev/null 2>&1") == 0;
}

// A child process with its standard streams on pipes: stdin to write to,
// stdout and stderr read together.
struct Child {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    std::string said;

    explicit Child(std::vector<std::string> args)
    {
        int to[2], from[2];
        if (::pipe2(to, O_CLOEXEC) != 0 || ::pipe2(from, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        pid = ::fork();
        if (pid < 0)
            throw std::runtime_error("fork");
        if (pid == 0) {
            ::dup2(to[0], STDIN_FILENO);
            ::dup2(from[1], STDOUT_FILENO);
            ::dup2(from[1], STDERR_FILENO);
            std::vector<char *> argv;
            argv.reserve(args.size() + 1);
            for (std::string &arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(to[0]);
        ::close(from[1]);
        in = to[1];
        out = from[0];
    }
    ~Child()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        ::close(in);
        ::close(out);
    }
    // Reads what is there; false once the child has closed its output.
    bool read_some(int wait_ms)
    {
        pollfd fd{out, POLLIN, 0};
        if (::poll(&fd, 1, wait_ms) <= 0)
            return true;
        char buffer[4096];
        const ssize_t got = ::read(out, buffer, sizeof buffer);
        if (got > 0)
            said.append(buffer, static_cast<std::size_t>(got));
        return got > 0;
    }
    int wait()
    {
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

struct GdbRun {
    std::string gdb;       // gdb's output
    std::string keltosim;  // keltosim's console and messages
    int status;            // keltosim's exit status
};

// Runs keltosim with a GDB server on a free loopback port, then gdb with
// these commands against it, until both end (at most a minute).
// interrupt_when, looking at keltosim's output, sends gdb a SIGINT once it
// holds, as Ctrl-C at gdb's terminal would. typed goes to the console.
// gdb connects as connect says, with gdb_options before the image.
GdbRun run_gdb(const std::string &image, const std::vector<std::string> &keltosim_options,
               const std::vector<std::string> &commands, const std::string &typed = {},
               const std::function<bool(const std::string &)> &interrupt_when = {},
               const std::string &connect = "target remote", const std::vector<std::string> &gdb_options = {})
{
    std::vector<std::string> args = {KELTOSIM_PATH, "--gdb", "127.0.0.1:0"};
    args.insert(args.end(), keltosim_options.begin(), keltosim_options.end());
    args.push_back(image);
    Child keltosim(args);
    if (!typed.empty() && ::write(keltosim.in, typed.data(), typed.size()) < 0)
        throw std::runtime_error("cannot type");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const std::string announced = "GDB server on 127.0.0.1:";
    while (keltosim.said.find(announced) == std::string::npos && std::chrono::steady_clock::now() < deadline)
        if (!keltosim.read_some(100))
            break;
    const auto at = keltosim.said.find(announced);
    if (at == std::string::npos)
        return {"", keltosim.said, -1};
    const std::string port = std::to_string(std::stoi(keltosim.said.substr(at + announced.size())));

    std::vector<std::string> gdb_args = {gdb_program, "--batch", "--nx"};
    gdb_args.insert(gdb_args.end(), gdb_options.begin(), gdb_options.end());
    // As people type it: gdb then asks for localhost, which may be the IPv6
    // loopback address first.
    gdb_args.insert(gdb_args.end(), {image, "-ex", "set pagination off", "-ex", connect + " :" + port});
    for (std::string command : commands) {
        if (const auto at = command.find("{port}"); at != std::string::npos)
            command.replace(at, 6, port);
        gdb_args.push_back("-ex");
        gdb_args.push_back(command);
    }
    Child gdb(gdb_args);
    bool interrupted = false;
    while (std::chrono::steady_clock::now() < deadline && gdb.read_some(10)) {
        keltosim.read_some(0);
        if (interrupt_when && !interrupted && gdb.pid > 0 && interrupt_when(keltosim.said))
            interrupted = ::kill(gdb.pid, SIGINT) == 0;
    }
    while (std::chrono::steady_clock::now() < deadline && keltosim.read_some(10)) {
    }
    if (keltosim.read_some(0))
        ::kill(keltosim.pid, SIGKILL);  // still there: the test has failed anyway
    return {gdb.said, keltosim.said, keltosim.wait()};
}

void expect_in(const std::string &output, const std::vector<std::string> &texts)
{
    std::size_t from = 0;
    for (const std::string &text : texts) {
        const auto found = output.find(text, from);
        EXPECT_NE(found, std::string::npos) << "missing, in order: " << text << "\n--- gdb said:\n" << output;
        if (found != std::string::npos)
            from = found + text.size();
    }
}

class Gdb : public testing::Test {
protected:
    void SetUp() override
    {
        if (!have_gdb())
            GTEST_SKIP() << "gdb-multiarch is not installed (scripts/setup-debian installs it)";
    }
};

TEST_F(Gdb, BreakStepBacktraceVariablesAndWatchpoints)
{
    const GdbRun run = run_gdb(image_path("consolefw-64"), {"-S"}, {
        "break kelto_uart_init", "continue", "info args", "bt", "stepi", "print/x $pc",
        "delete", "print '(anonymous namespace)::brightness'",
        "set var '(anonymous namespace)::brightness' = 50", "print '(anonymous namespace)::brightness'",
        "monitor trace on UTXH", "watch *(unsigned int *)0x7F005420", "continue", "print/c $r0", "delete",
        "monitor trace off",
        "watch *(unsigned int *)0x7F00601C", "continue", "bt", "delete",
        "print '(anonymous namespace)::brightness'", "monitor time", "kill"},
        "32");  // the backlight menu, one step down
    expect_in(run.gdb, {
        "Breakpoint 1, kelto_uart_init (chn=1, baud=115200)", "chn = 1", "baud = 115200",
        "#0  kelto_uart_init", "#1  ", "main ()",
        "$1 = 0x50080254",
        "$2 = 100", "$3 = 50", "trace on for UTXH",
        "watchpoint 2: *(unsigned int *)0x7F005420", "New value = 13", "kelto_uart_putc",
        "watchpoint 3: *(unsigned int *)0x7F00601C", "New value = 400", "kelto_timer_configure",
        "kelto_backlight_set_brightness (percent=40)",
        "board time"});
    EXPECT_EQ(run.status, 128 + SIGKILL) << run.keltosim;
    expect_in(run.keltosim, {"GDB server on 127.0.0.1:", "send_raw", "UART1 UTXH"});
}

TEST_F(Gdb, InterruptAndButtons)
{
    const GdbRun run = run_gdb(
        image_path("consolefw-64"), {"-S"},
        {"monitor press up", "continue", "bt", "monitor release all", "monitor regs uart1", "monitor help",
         std::string("shell ") + gdb_program + " --batch --nx -ex 'target remote :{port}' 2>&1", "kill"},
        "1",  // the button test
        [](const std::string &said) { return said.find("Up key pressed") != std::string::npos; });
    expect_in(run.gdb, {"up held", "Program received signal SIGINT", "kelto_menu_button", "main ()",
                           "all buttons released", "UART1 at 0x7f005400", "UBRDIV    0x00000022  DIVISOR=0x22",
                           "press up|down|left|right",
                           "Remote failure reply: E.keltosim: a debugger is already connected"});
    expect_in(run.keltosim, {"To exit button test", "refused a second debugger"});
}

TEST_F(Gdb, HaltOnFaultThenExitCode)
{
    const std::uint32_t link = 0x50080000;
    // ldr r0, [pc, #4]; ldr r1, [r0], #4; bx lr; .word 0x10000000
    const std::string path = write_temp_file(
        "stray-read.elf", tiny_arm_image(link, {{link, {0xE59F0004, 0xE4901004, 0xE12FFF1E, 0x10000000}, 0, false}}));
    // Without -S the board runs into the fault at once and halts there.
    // Each step into a fault is answered (a step packet as an editor's
    // debugger sends it), a jump's at its target.
    const GdbRun run = run_gdb(path, {}, {"bt", "print/x $pc", "print/x $r0", "maint packet s", "print/x $pc",
                                          "set $pc = 0x50100000", "stepi", "stepi", "print/x $pc",
                                          "set $pc = 0x50080004", "set $r0 = 0x50080000", "continue"});
    expect_in(run.gdb, {"#0  0x50080004", "$1 = 0x50080004", "$2 = 0x10000000", "T0bthread:p1.1;", "$3 = 0x50080004",
                           "$4 = 0x50100000", "exited with code 04"});
    expect_in(run.keltosim, {"keltosim: fault: read of 0x10000000", "pc 0x50080004"});
    EXPECT_EQ(run.status, 4) << "main's value";
    std::remove(path.c_str());
}

// gdb's own record and reverse steps; the memory map gdb keeps to; a
// register written from gdb is the firmware's store, and a refused one says
// why at keltosim; after a reset gdb reads the registers again when told.
// All through the machine interface an editor's debugger speaks.
TEST_F(Gdb, RecordMemoryMapRegisterWritesAndMachineInterface)
{
    const std::string mi = "interpreter-exec mi2 ";
    const GdbRun run = run_gdb(image_path("consolefw-64"), {"-S"}, {
        "record", "stepi", "reverse-stepi", "record stop", "info mem", "x/x 0x10000000",
        mi + "\"-break-insert kelto_uart_putc\"", mi + "\"-exec-continue\"", mi + "\"-stack-list-frames\"",
        mi + "\"-data-list-register-values x 15\"", "set *(unsigned int *)0x7F005420 = 66",
        "set *(char *)0x7F005420 = 65", "delete", "break kelto_uart_read", "continue",
        "monitor reset", "maint flush register-cache", "print/x $pc", mi + "\"-exec-continue --reverse\"", "kill"},
        {}, {}, "target remote",
        {"--interpreter=mi2"});
    expect_in(run.gdb, {"addr=\"0x50080040\"", "addr=\"0x5008003c\"", "0x50000000 0x58000000", "0x7f005400 0x7f005430",
                        "0x7f008000 0x7f009000", "Cannot access memory at address 0x10000000",
                        "bkpt={number=\"1\"", "*stopped,reason=\"breakpoint-hit\"",
                        "stack=[frame={level=\"0\",addr=\"0x500802c8\",func=\"kelto_uart_putc\"", "func=\"main\"",
                        "register-values=[{number=\"15\",value=\"0x500802c8\"}]",
                        "Cannot access memory at address 0x7f005420", "Breakpoint 2, kelto_uart_read",
                        "the board starts again from main", "maint flush register-cache", "= 0x5008003c",
                        "No more reverse-execution history."});
    expect_in(run.keltosim, {"write of 1 byte(s) at 0x7f005420 (UTXH): registers are accessed as whole aligned words",
                             "B\r\nKelto Firmware"});
    EXPECT_EQ(run.status, 128 + SIGKILL) << run.keltosim;
}

// Under extended-remote gdb runs the board from main as often as it likes,
// after a kill or after main returns, and keltosim stays for it until gdb
// lets go; then main's value is keltosim's.
TEST_F(Gdb, ExtendedRemoteRunsAgainAfterKillAndExit)
{
    const std::uint32_t link = 0x50080000;
    // mov r0, #4; bx lr
    const std::string path =
        write_temp_file("returns-4.elf", tiny_arm_image(link, {{link, {0xE3A00004, 0xE12FFF1E}, 0, false}}));
    const GdbRun run = run_gdb(path, {"-S"}, {"continue", "break *0x50080004", "run", "print $r0", "kill", "run",
                                              "print $pc", "continue"},
                               {}, {}, "target extended-remote");
    expect_in(run.gdb, {"exited with code 04", "Breakpoint 1, 0x50080004", "$1 = 4", "killed",
                        "Breakpoint 1, 0x50080004", "$2 = (void (*)()) 0x50080004", "exited with code 04"});
    EXPECT_EQ(run.status, 4) << run.keltosim;
    std::remove(path.c_str());
}

}  // namespace

namespace {

// Back one instruction and forward again lands on the same registers; back
// to the last store into a peripheral register, then to the recording's start.
TEST_F(Gdb, GoingBackInTime)
{
    const GdbRun run = run_gdb(image_path("consolefw-64"), {"-S"}, {
        "break kelto_uart_init", "continue", "stepi", "stepi", "info registers", "stepi", "reverse-stepi",
        "info registers", "delete", "watch *(unsigned int *)0x7F00601C", "continue", "delete",
        "break kelto_uart_putc", "continue", "delete", "watch *(unsigned int *)0x7F00601C", "reverse-continue",
        "delete", "reverse-continue", "monitor time", "kill"}, "32");
    const std::string forward = "r0             0x";
    const auto first = run.gdb.find(forward);
    const auto second = run.gdb.find(forward, first + 1);
    ASSERT_NE(second, std::string::npos) << run.gdb;
    EXPECT_EQ(run.gdb.substr(first, run.gdb.find("cpsr", first) - first),
              run.gdb.substr(second, run.gdb.find("cpsr", second) - second));
    expect_in(run.gdb, {"New value = 900", "kelto_uart_putc", "Old value = 900", "New value = 0",
                        "kelto_timer_configure", "No more reverse-execution history.", "main ()", "recorded from 0"});
}

// A failure bundle under the debugger: the board waits at the bundle's
// state, continues into the recorded failure and goes back from there.
TEST_F(Gdb, ReplayedFailureStopsThereAndGoesBack)
{
    const std::string dir = testing::TempDir() + "/gdb-bundle", image = image_path("consolefw-64");
    const std::string make = "printf 32 | " KELTOSIM_PATH " --bundle " + dir + " --fail-on 'Exit to back' " + image;
    ASSERT_EQ(WEXITSTATUS(std::system((make + " >/dev/null 2>&1").c_str())), 65);
    const GdbRun run = run_gdb(image, {"--replay", dir + "/consolefw-64.bundle", "-S"},
                               {"monitor time", "continue", "reverse-stepi", "monitor time", "kill"});
    expect_in(run.gdb, {"recorded from", "Program received signal SIGTRAP", "recorded from"});
    expect_in(run.keltosim, {"replayed to instruction", "\"Exit to back\" appeared on the console"});
    EXPECT_EQ(run.keltosim.find("went otherwise"), std::string::npos) << run.keltosim;
}

// Thumb code under the debugger, back and forth with a profile and coverage
// on: the files say what a straight run's say.
TEST_F(Gdb, ThumbCodeBackAndForthCountedAsOneRun)
{
    const std::string image = image_path("greetfw-thumb"), dir = testing::TempDir() + "/gdb-thumb-";
    std::remove((dir + "straight.info").c_str());
    std::remove((dir + "debugged.info").c_str());
    const std::string straight = KELTOSIM_PATH " --profile " + dir + "straight.folded --coverage " + dir + "straight.info ";
    ASSERT_EQ(std::system((straight + image + " </dev/null >/dev/null").c_str()), 0);
    const GdbRun run = run_gdb(image, {"--profile", dir + "debugged.folded", "--coverage", dir + "debugged.info", "-S"},
                               {"break kelto_uart_write", "continue", "bt", "print/x $cpsr & 0x20", "continue",
                                "reverse-continue", "finish", "delete", "continue"});
    expect_in(run.gdb, {"Breakpoint 1, kelto_uart_write", "main ()", "$1 = 0x20", "Breakpoint 1, kelto_uart_write",
                        "Value returned is $2 = 13", "exited normally"});
    EXPECT_EQ(run.status, 0) << run.keltosim;
    for (const char *kind : {".folded", ".info"})
        EXPECT_EQ(read_file(dir + "debugged" + kind), read_file(dir + "straight" + kind)) << kind;
}

}  // namespace

namespace {

// The console's part of keltosim's output: from the splash to the last menu.
std::string console_part(const std::string &said)
{
    const auto from = said.find("Kelto Firmware");
    const auto to = said.rfind("x> Exit");
    return from == std::string::npos || to == std::string::npos ? said : said.substr(from, to - from);
}

// On the wall clock too: back to the last writes of a DRAM variable, then
// forward through the replayed past, stopping at each write, into the
// present. The console then holds the straight run's bytes, the stretch gone
// back over printed twice.
TEST_F(Gdb, BackToADramWriteAndForwardOnTheWallClock)
{
    const std::string typed = "322xx";  // the backlight stepped down twice
    const GdbRun run = run_gdb(image_path("consolefw-64"), {"-S", "--clock", "wall"}, {
        "break kelto_backlight_stepdown", "continue", "continue", "delete", "finish",
        "watch '(anonymous namespace)::brightness'", "reverse-continue", "reverse-continue", "continue", "continue",
        "delete", "continue"}, typed);
    expect_in(run.gdb, {"Old value = 80", "New value = 90", "set_brightness (percent=80)", "Old value = 90",
                        "New value = 100", "Old value = 100", "New value = 90", "Old value = 90", "New value = 80",
                        "exited normally"});
    Child straight({KELTOSIM_PATH, "--clock", "wall", image_path("consolefw-64")});
    ASSERT_EQ(::write(straight.in, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline && straight.read_some(100)) {
    }
    const std::string want = console_part(straight.said), got = console_part(run.keltosim);
    std::size_t common = 0;
    while (common < want.size() && common < got.size() && want[common] == got[common])
        common++;
    ASSERT_GE(got.size(), want.size()) << got;
    EXPECT_TRUE(want.ends_with(got.substr(common))) << "went back and forward:\n" << got << "\nstraight:\n" << want;
}

}  // namespace
