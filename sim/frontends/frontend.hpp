// The one small interface between a session and its front ends. A session
// runs one board; any number of front ends (the console on a pipe, terminal
// or pty, a scenario, a debugger, a web page) watch it and act on it through
// this interface only, so a new front end plugs in beside the others without
// editing them. Only probes (the trace, the figures, the waveforms), which
// record the machine's own register accesses, are handed the machine.
//
// Everything here is called on the session's thread. A front end with a
// thread of its own hands its work over with Board::post and forwards the
// notifications it receives to its own thread.
#pragma once

#include <poll.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/board.hpp"
#include "frontends/board_view.hpp"
#include "machine/machine.hpp"

namespace kelto::sim::frontend {

// Why the board stands still.
struct Halt {
    enum class Kind : std::uint8_t {
        paused,      // someone paused it (a debugger's interrupt, the page's pause)
        breakpoint,  // execution reached a breakpoint
        watchpoint,  // a watched address was accessed; address says which
        step,        // a single step is done
        fault,       // the strict checks stopped the core; message holds the report
        exited,      // main returned value
    };
    Kind kind;
    std::uint32_t address = 0;
    std::uint32_t value = 0;
    std::string message;
};

// Watches the machine itself: registered through Board::add_probe, it is
// handed each machine the board runs, at registration and after every reset
// before that machine runs, and lets go of it before it goes.
class Probe {
public:
    virtual ~Probe() = default;
    virtual void attach(Machine &machine) = 0;
    virtual void detach() = 0;
};

class DebugTarget;

// What a front end that drives the run (a scenario) waits for before its
// next move: the session runs the board until the first of these, exactly
// at the moment it happens, then tells front ends through wait_over.
struct Wait {
    std::optional<double> seconds;  // of board time from now
    std::string text;               // console text past the previous match; empty: none
    bool until_input_wait = false;  // the firmware waits for console input nobody has written
};

enum class WaitEnd : std::uint8_t { time_passed, text_seen, input_wait, main_returned };

// One pin as the chip has it: GpioBlock's function code and the level.
struct PinState {
    unsigned function;
    bool level;
};

// The running board as a front end drives it.
class Board {
public:
    virtual ~Board() = default;

    // The board now: clock, time, buttons, backlight, pins, run state.
    virtual BoardView view() = 0;
    // Probes stay registered across resets; adding one twice adds it once.
    virtual void add_probe(Probe &probe) = 0;
    virtual void remove_probe(Probe &probe) = 0;
    // What a debugger acts on.
    virtual DebugTarget &debug_target() = 0;

    // Console input, fed to the firmware as it reads, never overrunning the
    // receive FIFO.
    virtual void type(std::string_view bytes) = 0;
    // Whether more console input is welcome now. Front ends read no more
    // than that, so input is read only as fast as the board takes it.
    virtual bool wants_input() const = 0;
    // The console's input has ended for good at its source (a pipe's end).
    virtual void input_ended() = 0;
    virtual void set_button(Button button, bool held) = 0;

    // Run control. While paused, time stands still on both clocks and the
    // board does not catch up afterwards.
    virtual void pause() = 0;
    virtual void resume() = 0;
    // One instruction, then front ends hear halted(step).
    virtual void step() = 0;
    virtual bool paused() const = 0;
    // Reloads the image and starts again from main, models reset.
    virtual void reset() = 0;
    // A strict-check fault halts the board at the faulting instruction
    // instead of ending the session (for debuggers).
    virtual void halt_on_fault(bool on) = 0;
    // Ends the session with this exit status, saying why (a failure's
    // reason; empty for an end that needs no word).
    virtual void quit(int status, const std::string &why) = 0;
    // One front end at a time may drive the run: the next wait replaces
    // the one before.
    virtual void wait(const Wait &wait) = 0;
    // The driving front end is done: the session ends as the board stands,
    // with main's value if it has returned.
    virtual void finish() = 0;

    // Writes the board's whole state to a file (machine/board_state.hpp);
    // asked during a run, at the run's end. The error, or empty.
    virtual std::string save_state(const std::string &path) = 0;

    // A message for the person at keltosim ("keltosim: ..." on stderr).
    virtual void note(const std::string &text) = 0;
    // Any pin, a plain input too; nullopt when the chip has no such pin.
    virtual std::optional<PinState> pin(Pin pin) = 0;
    // The last lines of console output with their board times, for a
    // failure message.
    virtual std::string recent_output() const = 0;
    // Why the session ended, as keltosim told the person (empty while it
    // runs, or when it ended without a word).
    virtual const std::string &ending() const = 0;
    // Thread-safe: runs work on the session's thread soon.
    virtual void post(std::function<void()> work) = 0;
};

class Frontend {
public:
    virtual ~Frontend() = default;

    // The session starts running the board.
    virtual void started(Board &board) { (void)board; }
    // The session ended with status. False when this front end lost some of
    // what it had to deliver (a record's lines): a run that would have
    // succeeded then fails with exit_output.
    virtual bool finished(Board &board, int status) { return (void)board, (void)status, true; }
    // Descriptors that should wake the session when readable.
    virtual void watch(std::vector<pollfd> &fds) { (void)fds; }
    // After a wake-up, and regularly while the board runs: take input, act.
    virtual void service(Board &board) { (void)board; }
    // Bytes the board's console sent, as they leave the line.
    virtual void console_output(Board &board, std::string_view bytes) { (void)board, (void)bytes; }
    // Buttons, backlight, pins, paused or running, or a reset changed.
    virtual void board_changed(Board &board) { (void)board; }
    // The board stopped and stands still until someone resumes it.
    virtual void halted(Board &board, const Halt &halt) { (void)board, (void)halt; }
    // The wait asked for with Board::wait is over.
    virtual void wait_over(Board &board, WaitEnd why) { (void)board, (void)why; }
    // True while this front end wants the session to go on even though no
    // console input can come (a web page or a debugger may still act).
    virtual bool holds_session() const { return false; }
    // True while this front end may start the board again once main has
    // returned (a debugger's run): the session waits for it instead of ending.
    virtual bool restarts_board() const { return false; }
};

}  // namespace kelto::sim::frontend
