#include "frontends/terminal.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <system_error>

namespace kelto::sim::frontend {

namespace {

// State the signal handler may need to undo. The saved modes are written
// before the descriptor that makes the handler use them, with a signal fence
// between so that the compiler cannot reverse the two; the handler reads
// them in the opposite order.
// Read by every board of a suite, each on its own thread: a lock-free
// atomic is both safe in a handler and free of data races between threads.
std::atomic<int> g_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);
volatile std::sig_atomic_t g_resize = 0;
volatile std::sig_atomic_t g_raw_fd = -1;
volatile std::sig_atomic_t g_bar_fd = -1;
termios g_saved{};
termios g_raw{};

// Save cursor, drop the scrolling region, restore cursor: the region would
// otherwise outlive the program in the user's shell.
constexpr char release_region[] = "\0337\033[r\0338";
// The same, clearing the status row as well; made when the row is set up,
// since a handler cannot format its row number.
char g_release_row[48];
volatile std::sig_atomic_t g_release_row_length = 0;

void restore_from_handler()
{
    if (g_bar_fd >= 0) {
        const std::size_t length = static_cast<std::size_t>(g_release_row_length);
        std::atomic_signal_fence(std::memory_order_acquire);
        const ssize_t written = length ? ::write(g_bar_fd, g_release_row, length)
                                       : ::write(g_bar_fd, release_region, sizeof release_region - 1);
        (void)written;
    }
    if (g_raw_fd >= 0) {
        std::atomic_signal_fence(std::memory_order_acquire);
        ::tcsetattr(g_raw_fd, TCSANOW, &g_saved);
    }
}

void on_signal(int number)
{
    if (g_signal.load() != 0) {
        // The run loop did not get round to it: someone insists.
        restore_from_handler();
        ::_exit(128 + number);
    }
    g_signal.store(number);
}

void on_resize(int)
{
    g_resize = 1;
}

// A stop from outside (raw mode turns Ctrl-Z into a byte for the board):
// give the user's shell its terminal back, stop for real, and take the
// terminal again when continued. Only async-signal-safe calls.
void on_stop(int)
{
    const int saved_errno = errno;
    restore_from_handler();

    struct sigaction stop {};
    sigemptyset(&stop.sa_mask);
    stop.sa_handler = SIG_DFL;
    struct sigaction ours {};
    ::sigaction(SIGTSTP, &stop, &ours);
    sigset_t tstp;
    sigemptyset(&tstp);
    sigaddset(&tstp, SIGTSTP);
    ::sigprocmask(SIG_UNBLOCK, &tstp, nullptr);
    ::raise(SIGTSTP);
    // Continued.
    ::sigaction(SIGTSTP, &ours, nullptr);
    if (g_raw_fd >= 0) {
        std::atomic_signal_fence(std::memory_order_acquire);
        ::tcsetattr(g_raw_fd, TCSANOW, &g_raw);
    }
    // The status row's scrolling region was given back: the session sets
    // it up again as after a resize.
    if (g_bar_fd >= 0)
        g_resize = 1;
    errno = saved_errno;
}

[[noreturn]] void throw_errno(const std::string &what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

void install_signal_handlers()
{
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking poll returns at once with EINTR.
    action.sa_handler = on_signal;
    for (int number : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(number, &action, nullptr);
    action.sa_handler = on_resize;
    ::sigaction(SIGWINCH, &action, nullptr);
    action.sa_handler = on_stop;
    ::sigaction(SIGTSTP, &action, nullptr);
    action.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &action, nullptr);
}

int pending_signal()
{
    return g_signal.load();
}

bool take_resize()
{
    if (!g_resize)
        return false;
    g_resize = 0;
    return true;
}

namespace {

// Writes from the front of bytes, advancing it past what was written.
bool write_from(int fd, std::string_view &bytes, int wait_ms)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd ready{fd, POLLOUT, 0};
            const int polled = ::poll(&ready, 1, wait_ms);
            if (polled < 0 && errno == EINTR && wait_ms >= 0)
                continue;
            if (polled == 0)
                errno = EAGAIN;
            if (polled <= 0 || (ready.revents & (POLLERR | POLLHUP)))
                return false;
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace

bool write_all(int fd, std::string_view bytes, int wait_ms)
{
    return write_from(fd, bytes, wait_ms);
}

bool write_all(int fd, std::string &bytes, int wait_ms)
{
    std::string_view rest(bytes);
    const bool done = write_from(fd, rest, wait_ms);
    const int saved_errno = errno;
    bytes.erase(0, bytes.size() - rest.size());
    errno = saved_errno;
    return done;
}

RawMode::RawMode(int fd)
{
    termios saved{};
    if (::tcgetattr(fd, &saved) != 0)
        throw_errno("reading the terminal's modes");
    termios raw = saved;
    ::cfmakeraw(&raw);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    g_saved = saved;
    g_raw = raw;
    std::atomic_signal_fence(std::memory_order_release);
    g_raw_fd = fd;
    // TCSANOW rather than TCSAFLUSH: keys typed ahead are kept for the board.
    if (::tcsetattr(fd, TCSANOW, &raw) != 0) {
        g_raw_fd = -1;
        throw_errno("setting the terminal to raw mode");
    }
}

RawMode::~RawMode()
{
    const int fd = g_raw_fd;
    g_raw_fd = -1;
    // TCSANOW: waiting for output to drain could hang on a terminal no one
    // reads any more.
    ::tcsetattr(fd, TCSANOW, &g_saved);
}

bool RawMode::active()
{
    return g_raw_fd >= 0;
}

StatusBar::StatusBar(int fd) : fd_(fd)
{
    reserve();
}

StatusBar::~StatusBar()
{
    release();
}

void StatusBar::reserve()
{
    winsize size{};
    if (::ioctl(fd_, TIOCGWINSZ, &size) != 0 || size.ws_row < 3 || size.ws_col < 10) {
        rows_ = columns_ = 0;
        return;
    }
    rows_ = size.ws_row;
    columns_ = size.ws_col;
    // A line feed and back up: if the cursor sits on the last row, what is
    // there scrolls up instead of ending under the status row.
    const std::string setup =
        "\n\033[A\0337\033[1;" + std::to_string(rows_ - 1) + "r\0338";
    const std::string release_row = "\0337\033[r\033[" + std::to_string(rows_) + ";1H\033[2K\0338";
    g_release_row_length = 0;
    std::atomic_signal_fence(std::memory_order_release);
    release_row.copy(g_release_row, sizeof g_release_row);
    std::atomic_signal_fence(std::memory_order_release);
    g_release_row_length = static_cast<std::sig_atomic_t>(std::min(release_row.size(), sizeof g_release_row));
    // Published first: a signal that lands while the region is being set
    // must still take it back (dropping a region not yet set is harmless).
    g_bar_fd = fd_;
    write_all(fd_, setup);
    draw();
}

void StatusBar::release()
{
    if (!usable())
        return;
    g_bar_fd = -1;
    write_all(fd_, "\0337\033[r\033[" + std::to_string(rows_) + ";1H\033[2K\0338");
    rows_ = columns_ = 0;
}

void StatusBar::draw()
{
    if (!usable() || text_.empty())
        return;
    const std::string shown = text_.substr(0, static_cast<std::size_t>(columns_ - 1));
    write_all(fd_, "\0337\033[" + std::to_string(rows_) + ";1H\033[2K\033[7m" + shown + "\033[0m\0338");
}

void StatusBar::show(const std::string &text)
{
    text_ = text;
    draw();
}

void StatusBar::resized()
{
    release();
    reserve();
}

Pty::Pty()
{
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0)
        throw_errno("opening a pseudo-terminal");
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        ::close(master_);
        throw_errno("unlocking the pseudo-terminal");
    }
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        ::close(master_);
        throw_errno("naming the pseudo-terminal");
    }
    path_ = name;
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);

    // The modes stay with the pair after the slave is closed again.
    const int slave = ::open(name, O_RDWR | O_NOCTTY);
    if (slave < 0) {
        ::close(master_);
        throw_errno("opening " + path_);
    }
    termios modes{};
    ::tcgetattr(slave, &modes);
    ::cfmakeraw(&modes);
    ::cfsetispeed(&modes, B115200);
    ::cfsetospeed(&modes, B115200);
    ::tcsetattr(slave, TCSANOW, &modes);
    ::close(slave);
}

Pty::~Pty()
{
    if (master_ >= 0)
        ::close(master_);
}

bool Pty::peer_connected() const
{
    pollfd ready{master_, POLLIN, 0};
    if (::poll(&ready, 1, 0) < 0)
        return false;
    return !(ready.revents & POLLHUP);
}

}  // namespace kelto::sim::frontend
