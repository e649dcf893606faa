// The host's terminals: raw mode on the controlling terminal (always undone,
// whichever way the program ends), a status row kept clear of the serial
// stream, the signals that end a session, and a pseudo-terminal for the
// board's console.
#pragma once

#include <string>
#include <string_view>

namespace kelto::sim::frontend {

// SIGINT, SIGTERM and SIGHUP are recorded for the run loop, which then stops
// the board and cleans up; a second one restores the terminal and exits at
// once. SIGPIPE is ignored: a closed output shows up as a write error.
// SIGWINCH is recorded for the status row.
void install_signal_handlers();
int pending_signal();  // 0 when none
bool take_resize();

// Writes everything, waiting out a full non-blocking descriptor for up to
// wait_ms; with a negative wait_ms for as long as the reader takes, and a
// signal ends the wait (errno EINTR). False on any other error (errno says
// which).
bool write_all(int fd, std::string_view bytes, int wait_ms = 1000);
// The same, taking what was written off the front of bytes, so that the
// caller can carry on with the rest after a time-out.
bool write_all(int fd, std::string &bytes, int wait_ms);

// Keys reach the program one by one, nothing is echoed, no signal keys, and
// output goes out unchanged (the firmware sends its own CR LF).
class RawMode {
public:
    explicit RawMode(int fd);  // throws std::system_error
    ~RawMode();
    RawMode(const RawMode &) = delete;
    RawMode &operator=(const RawMode &) = delete;

    // Whether some terminal is raw now: messages then need CR LF.
    static bool active();
};

// One status row at the bottom of a terminal that also shows the serial
// stream: the rows above it become the scrolling region, so the firmware's
// output scrolls past without overwriting it.
class StatusBar {
public:
    explicit StatusBar(int fd);
    ~StatusBar();
    StatusBar(const StatusBar &) = delete;
    StatusBar &operator=(const StatusBar &) = delete;

    // False when the terminal does not tell its size or is too small.
    bool usable() const { return rows_ >= 3; }
    void show(const std::string &text);
    // After the terminal changed its size.
    void resized();

private:
    void reserve();
    void draw();
    void release();

    int fd_;
    int rows_ = 0;
    int columns_ = 0;
    std::string text_;
};

// A pseudo-terminal whose far side a terminal program (picocom, screen)
// opens. The slave side starts raw, so nothing echoes the board's output
// back as input before the program sets its own modes.
class Pty {
public:
    Pty();  // throws std::system_error
    ~Pty();
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;

    int fd() const { return master_; }
    const std::string &path() const { return path_; }
    // Whether any process has the far side open; the master reports a
    // hang-up while none does.
    bool peer_connected() const;

private:
    int master_ = -1;
    std::string path_;
};

}  // namespace kelto::sim::frontend
