#include "frontends/console.hpp"

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "frontends/display.hpp"
#include "frontends/debug_target.hpp"
#include "machine/timeline.hpp"

namespace kelto::sim::frontend {

namespace {

// How long one write to a pty may wait before the console looks again
// whether a terminal is still on its far side.
constexpr int pty_write_ms = 100;

}  // namespace

Console::Console(const Options &options, Link link, Pty *pty)
    : options_(options), link_(link), pty_(pty), decoder_(options.escape), escape_name_(key_name(options.escape))
{
    const bool stdin_terminal = ::isatty(STDIN_FILENO);
    switch (link_) {
    case Link::pipe:
    case Link::terminal: serial_fd_ = STDIN_FILENO; break;
    case Link::pty:
        serial_fd_ = pty_->fd();
        if (stdin_terminal)
            keys_fd_ = STDIN_FILENO;
        break;
    case Link::output: break;
    }
    interactive_ = link_ == Link::terminal || link_ == Link::pty;
    if (interactive_ && stdin_terminal)
        raw_ = std::make_unique<RawMode>(STDIN_FILENO);
    notes_share_line_ = link_ != Link::pty && ::isatty(STDOUT_FILENO) && ::isatty(STDERR_FILENO);
    if (link_ == Link::terminal && options_.status && notes_share_line_) {
        bar_ = std::make_unique<StatusBar>(STDERR_FILENO);
        if (!bar_->usable())
            bar_.reset();
    }
}

Console::~Console() = default;

void Console::started(Board &board)
{
    if (interactive_) {
        const BoardView view = board.view();
        status_ = status_line(board);
        board.note(view.image + " on " + view.board + " (" + view.chip + "), " + clock_text(view.clock, view.paced) +
                   (raw_ ? "; " + escape_name_ + " h for help, " + escape_name_ + " x to quit" : ""));
        if (bar_)
            bar_->show(status_);
    }
    if (link_ == Link::pty && !pty_->peer_connected()) {
        // On standard output, where a script that starts keltosim finds it.
        std::string said = "keltosim: the console is on " + pty_->path() + " (connect with: picocom -b 115200 " +
                           pty_->path() + "); the board starts when a terminal opens it";
        said += RawMode::active() && ::isatty(STDOUT_FILENO) ? "\r\n" : "\n";
        write_all(STDOUT_FILENO, std::string_view(said));
        waiting_for_peer_ = true;
        board.pause();
    }
}

bool Console::finished(Board &board, int)
{
    // Output it could not deliver has ended the run already.
    flush(board);
    return true;
}

void Console::watch(std::vector<pollfd> &fds)
{
    const bool serial_open = serial_fd_ >= 0 && !serial_ended_ && (link_ != Link::pty || peer_connected_);
    if (serial_open)
        fds.push_back(pollfd{serial_fd_, POLLIN, 0});
    if (keys_fd_ >= 0)
        fds.push_back(pollfd{keys_fd_, POLLIN, 0});
}

void Console::service(Board &board)
{
    check_peer(board);
    std::vector<pollfd> fds;
    watch(fds);
    if (!fds.empty() && ::poll(fds.data(), fds.size(), 0) > 0) {
        for (const pollfd &fd : fds) {
            // A descriptor that is not open (keltosim <&-) reports POLLNVAL:
            // the read then fails and ends that input, instead of a poll
            // that returns at once for ever.
            if (!(fd.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
                continue;
            if (fd.fd == keys_fd_)
                read_keys(board);
            else
                read_serial(board);
        }
    }
    flush(board);
    refresh_status(board);
}

void Console::console_output(Board &board, std::string_view bytes)
{
    if (link_ == Link::pty && !peer_connected_)
        return;  // nobody is there to read it, as on a line with no terminal
    // Written at once, so that it comes before any message that follows.
    out_.append(bytes);
    flush(board);
}

void Console::board_changed(Board &board)
{
    refresh_status(board);
}

void Console::read_serial(Board &board)
{
    if (link_ != Link::terminal && !board.wants_input())
        return;
    char buffer[4096];
    // Only as much as the board is about to take: a pipe that never ends
    // costs no memory.
    const ssize_t got = ::read(serial_fd_, buffer, link_ == Link::terminal ? sizeof buffer : 256);
    if (got > 0) {
        if (link_ == Link::terminal) {
            for (ssize_t i = 0; i < got; i++)
                handle_key(board, static_cast<std::uint8_t>(buffer[i]));
        } else if (link_ == Link::pipe || may_change_past(board)) {
            board.type(std::string_view(buffer, static_cast<std::size_t>(got)));
        }
        return;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    switch (link_) {
    case Link::pipe:
        serial_ended_ = true;
        board.input_ended();
        break;
    case Link::terminal:
        serial_ended_ = true;
        flush(board);
        board.quit(128 + SIGHUP, "");
        break;
    case Link::pty: check_peer(board); break;
    case Link::output: break;
    }
}

void Console::read_keys(Board &board)
{
    char buffer[256];
    const ssize_t got = ::read(keys_fd_, buffer, sizeof buffer);
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
        // The controlling terminal is gone; the pty's terminal carries on.
        keys_fd_ = -1;
        return;
    }
    for (ssize_t i = 0; i < got; i++)
        handle_key(board, static_cast<std::uint8_t>(buffer[i]));
}

std::optional<std::string> past_input_question(const Timeline *timeline, std::optional<std::uint64_t> &asked_at)
{
    if (!timeline || !timeline->in_past()) {
        asked_at.reset();
        return std::nullopt;
    }
    const std::uint64_t at = timeline->now().instructions;
    if (asked_at == at)
        return std::nullopt;
    asked_at = at;
    const Clock &clock = timeline->clock();
    char where[96];
    std::snprintf(where, sizeof where, "the board is at %.6f s of a run recorded to %.6f s",
                  clock.to_seconds(timeline->now().time), clock.to_seconds(timeline->end().time));
    return std::string(where) +
           ": input here drops the recorded future. Type again to go on from here, or continue in the "
           "debugger to replay the recording (what was just typed went nowhere)";
}

bool Console::may_change_past(Board &board)
{
    const std::optional<std::string> question = past_input_question(board.debug_target().timeline(), asked_at_);
    if (question)
        board.note(*question);
    return !question;
}

void Console::handle_key(Board &board, std::uint8_t byte)
{
    const std::optional<KeyCommand> command = decoder_.take(byte);
    if (!command)
        return;
    using Kind = KeyCommand::Kind;
    switch (command->kind) {
    case Kind::send:
        if (link_ == Link::terminal) {
            if (may_change_past(board))
                board.type(std::string(1, static_cast<char>(command->byte)));
        } else if (!hinted_) {
            hinted_ = true;
            board.note("keys typed here only command the simulator; the console is on " + pty_->path() +
                       " (" + escape_name_ + " h for help)");
        }
        break;
    case Kind::board: {
        if (moves_buttons(command->command) && !may_change_past(board))
            break;
        // The status row shows what a button key did; the report is asked for.
        const std::string said = carry_out(board, command->command);
        if (command->command.kind == BoardCommand::Kind::board)
            board.note(said);
        break;
    }
    case Kind::quit: board.quit(0, ""); break;
    case Kind::help: board.note(key_help(decoder_.escape())); break;
    case Kind::unknown: {
        char shown[8];
        std::snprintf(shown, sizeof shown, command->byte >= 0x20 && command->byte < 0x7F ? "%c" : "0x%02x",
                      command->byte);
        board.note(escape_name_ + " " + shown + " is no command; " + escape_name_ + " h lists them");
        break;
    }
    }
}

void Console::check_peer(Board &board)
{
    if (link_ != Link::pty)
        return;
    const bool connected = pty_->peer_connected();
    if (connected == peer_connected_)
        return;
    peer_connected_ = connected;
    if (connected && waiting_for_peer_) {
        waiting_for_peer_ = false;
        board.note("a terminal opened " + pty_->path());
        board.resume();
        return;
    }
    board.note(connected ? "a terminal opened " + pty_->path()
                         : "the terminal on " + pty_->path() + " hung up; output is dropped until one opens it again");
    if (!connected)
        out_.clear();
}

void Console::flush(Board &board)
{
    if (out_.empty() || output_failed_)
        return;
    if (link_ == Link::pty) {
        // A terminal that is connected but slow holds the board up, as a
        // slow reader of standard output does; only one that has hung up
        // loses output.
        while (!out_.empty() && !write_all(pty_->fd(), out_, pty_write_ms)) {
            if (errno != EAGAIN && errno != EINTR)
                break;
            check_peer(board);
            if (!peer_connected_ || pending_signal())
                break;
        }
        out_.clear();
        return;
    }
    // A slow reader (a pager, a paused pipe) holds the board up rather than
    // losing output; a reader that has gone, or a full disk, ends the run.
    if (write_all(STDOUT_FILENO, out_, -1) || errno == EINTR)
        return;
    output_failed_ = true;
    out_.clear();
    if (errno == EPIPE) {
        // The reader went away (keltosim | head): end quietly, as the
        // signal would have ended it.
        board.quit(128 + SIGPIPE, "");
        return;
    }
    board.quit(exit_output, std::string("cannot write the console's output to standard output: ") + std::strerror(errno));
}

void Console::refresh_status(Board &board)
{
    if (!interactive_ || !options_.status)
        return;
    const std::string text = status_line(board);
    if (text == status_)
        return;
    status_ = text;
    if (bar_)
        bar_->show(text);
    else
        board.note(text);
}

std::string Console::status_line(Board &board)
{
    return status_text(board.view()) + (raw_ ? " | " + escape_name_ + " h: help" : "");
}

}  // namespace kelto::sim::frontend
