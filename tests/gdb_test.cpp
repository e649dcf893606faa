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

#include "frontends/gdb/server.hpp"
#include "harness.hpp"

using namespace kelto::test;
using namespace kelto::sim::frontend;

namespace {

const char gdb_program[] = "gdb-multiarch";

bool have_gdb()
{
    return std::system("command -v gdb-multiarch >/dev/null 2>&1") == 0;
}

// Drives the board for the server the way a session does: runs the machine
// in slices between the front end's turns, and tells it of each halt. It
// starts halted at main, as keltosim -S does.
class TestBoard final : public Board {
public:
    explicit TestBoard(std::unique_ptr<Machine> machine) : machine_(std::move(machine)) {}

    Machine &machine() override { return *machine_; }
    void type(std::string_view bytes) override { machine_->feed_console(bytes); }
    void set_button(kelto::sim::Button button, bool held) override { machine_->set_button(button, held); }
    void pause() override
    {
        paused_ = tell_paused_ = true;
        machine_->stop();
    }
    void resume() override { paused_ = false; }
    void step() override { step_ = true; }
    bool paused() const override { return paused_; }
    void reset() override {}
    void halt_on_fault(bool on) override { machine_->set_halt_on_fault(on); }
    void quit(int status) override { quit_ = status; }
    void note(const std::string &text) override { notes += text + "\n"; }
    std::string report() override { return "board report\n"; }
    void post(std::function<void()> work) override { work(); }

    // One turn of running, then the halt it ended in, if any.
    void turn(Frontend &frontend)
    {
        if (paused_ && std::exchange(tell_paused_, false))
            frontend.halted(*this, Halt{Halt::Kind::paused, 0, 0, {}});
        if (quit_ || machine_->main_returned() || (paused_ && !step_))
            return;
        const bool stepping = std::exchange(step_, false);
        RunLimits limits;
        limits.seconds = 0.01;
        limits.until_waiting = false;
        const RunResult result = stepping ? machine_->step() : machine_->run(limits);
        using Kind = Halt::Kind;
        std::optional<Kind> kind;
        switch (result.reason) {
        case StopReason::returned: kind = Kind::exited; break;
        case StopReason::fault: kind = Kind::fault; break;
        case StopReason::breakpoint: kind = Kind::breakpoint; break;
        case StopReason::watchpoint: kind = Kind::watchpoint; break;
        case StopReason::step: kind = Kind::step; break;
        default: break;
        }
        if (!kind)
            return;
        paused_ = *kind != Kind::exited;
        frontend.halted(*this, Halt{*kind, result.address, result.value, result.message});
    }

    std::optional<int> quit_;
    std::string notes;

private:
    std::unique_ptr<Machine> machine_;
    bool paused_ = true;
    bool tell_paused_ = false;
    bool step_ = false;
};

struct GdbRun {
    std::string output;  // gdb's, stdout and stderr
    std::optional<int> quit;
    std::string console;
};

// Runs gdb with these commands against the board until gdb ends (at most a
// minute). interrupt_when, checked while the board runs, sends gdb a SIGINT
// once it holds, as Ctrl-C at gdb's terminal would.
GdbRun run_gdb(TestBoard &board, const std::vector<std::string> &commands,
               const std::function<bool(TestBoard &)> &interrupt_when = {})
{
    gdb::Server server("127.0.0.1", 0);
    std::vector<std::string> args = {gdb_program, "--batch", "--nx", board.machine().image().path(),
                                     "-ex", "set pagination off",
                                     "-ex", "target remote 127.0.0.1:" + std::to_string(server.port())};
    for (const std::string &command : commands) {
        args.push_back("-ex");
        args.push_back(command);
    }
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(out[1], STDERR_FILENO);
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, STDIN_FILENO);
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execvp(gdb_program, argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    GdbRun run;
    bool interrupted = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (bool open = true; open && std::chrono::steady_clock::now() < deadline;) {
        std::vector<pollfd> fds{{out[0], POLLIN, 0}};
        server.watch(fds);
        const bool running = !board.paused() && !board.machine().main_returned();
        ::poll(fds.data(), fds.size(), running ? 0 : 10);
        if (fds[0].revents) {
            char buffer[4096];
            const ssize_t got = ::read(out[0], buffer, sizeof buffer);
            if (got > 0)
                run.output.append(buffer, static_cast<std::size_t>(got));
            else
                open = false;
        }
        server.service(board);
        if (interrupt_when && running && !interrupted && interrupt_when(board))
            interrupted = ::kill(child, SIGINT) == 0;
        board.turn(server);
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(out[0]);
    run.quit = board.quit_;
    run.console = board.machine().console_output();
    return run;
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
    TestBoard board(load("consolefw-64"));
    board.type("32");  // the backlight menu, one step down
    const GdbRun run = run_gdb(board, {
        "break kelto_uart_init", "continue", "info args", "bt", "stepi", "print/x $pc",
        "delete", "print '(anonymous namespace)::brightness'",
        "set var '(anonymous namespace)::brightness' = 50", "print '(anonymous namespace)::brightness'",
        "watch *(unsigned int *)0x7F005420", "continue", "print/c $r0", "delete",
        "watch *(unsigned int *)0x7F00601C", "continue", "bt", "delete",
        "print '(anonymous namespace)::brightness'", "monitor time", "kill"});
    expect_in(run.output, {
        "Breakpoint 1, kelto_uart_init (chn=1, baud=115200)", "chn = 1", "baud = 115200",
        "#0  kelto_uart_init", "#1  ", "main ()",
        "$1 = 0x50080254",
        "$2 = 100", "$3 = 50",
        "watchpoint 2: *(unsigned int *)0x7F005420", "New value = 13", "kelto_uart_putc",
        "watchpoint 3: *(unsigned int *)0x7F00601C", "New value = 400", "kelto_timer_configure",
        "kelto_backlight_set_brightness (percent=40)",
        "board time"});
    EXPECT_EQ(run.quit, 128 + SIGKILL);
}

TEST_F(Gdb, InterruptAndButtons)
{
    TestBoard board(load("consolefw-64"));
    board.type("1");  // the button test
    const GdbRun run = run_gdb(board, {"monitor press up", "continue", "bt", "monitor release all", "monitor help", "kill"},
                               [](TestBoard &b) { return b.machine().console_output().find("Up key pressed") != std::string::npos; });
    expect_in(run.output, {"up held", "Program received signal SIGINT", "kelto_menu_button", "main ()",
                           "all buttons released", "press up|down|left|right"});
    EXPECT_NE(run.console.find("To exit button test"), std::string::npos) << run.console;
}

TEST_F(Gdb, HaltOnFaultThenExitCode)
{
    const std::uint32_t link = 0x50080000;
    // ldr r0, [pc, #4]; ldr r1, [r0], #4; bx lr; .word 0x10000000
    const std::string path = write_temp_file(
        "stray-read.elf", tiny_arm_image(link, {{link, {0xE59F0004, 0xE4901004, 0xE12FFF1E, 0x10000000}, 0, false}}));
    TestBoard board(Machine::load(path));
    board.halt_on_fault(true);
    const GdbRun run = run_gdb(board, {"continue", "bt", "print/x $pc", "print/x $r0", "set $r0 = 0x50080000",
                                       "continue"});
    expect_in(run.output, {"Program received signal SIGSEGV", "#0  0x50080004", "$1 = 0x50080004",
                           "$2 = 0x10000000", "exited with code 04"});
    std::remove(path.c_str());
}

}  // namespace
