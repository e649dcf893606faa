// The board's console on the host: standard input and output (a pipe or the
// user's terminal), or a pseudo-terminal for picocom and friends, with the
// escape keys and the status row at a terminal.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "frontends/cli.hpp"
#include "frontends/frontend.hpp"
#include "frontends/keys.hpp"
#include "frontends/terminal.hpp"

namespace kelto::sim {
class Timeline;
}

namespace kelto::sim::frontend {

// Where the console's bytes come from and go to.
enum class Link {
    pipe,      // stdin and stdout, not a terminal
    terminal,  // the user's terminal on stdin and stdout, raw, with escape keys
    pty,       // a pseudo-terminal; a terminal on stdin only takes escape keys
    output,    // output on stdout only; the input comes from elsewhere (a scenario)
};

// A person who types while a debugger holds the board in its recorded past
// is asked first, since input there drops the recorded future: the question
// when what was typed must go nowhere; nothing when it may go in (the board
// is in the present, or the question was asked at this very point). A script
// on a pipe cannot answer, so its input goes in at once.
std::optional<std::string> past_input_question(const Timeline *timeline, std::optional<std::uint64_t> &asked_at);

class Console final : public Frontend {
public:
    // The pty with Link::pty.
    Console(const Options &options, Link link, Pty *pty = nullptr);
    ~Console() override;

    // Shows the banner and, on a pty, holds the board until a terminal
    // opens it.
    void started(Board &board) override;
    // Writes what is still buffered.
    bool finished(Board &board, int status) override;
    void watch(std::vector<pollfd> &fds) override;
    void service(Board &board) override;
    void console_output(Board &board, std::string_view bytes) override;
    void board_changed(Board &board) override;

    // Whether messages share the terminal with the console's output.
    bool shares_terminal() const { return notes_share_line_; }

private:
    void read_serial(Board &board);
    void read_keys(Board &board);
    void handle_key(Board &board, std::uint8_t byte);
    bool may_change_past(Board &board);
    void check_peer(Board &board);
    void flush(Board &board);
    void refresh_status(Board &board);
    std::string status_line(Board &board);

    const Options &options_;
    Link link_;
    Pty *pty_;
    int serial_fd_ = -1;  // console input: stdin or the pty
    int keys_fd_ = -1;    // a terminal that only takes escape keys
    std::unique_ptr<RawMode> raw_;
    std::unique_ptr<StatusBar> bar_;
    EscapeDecoder decoder_;
    std::string escape_name_;  // "Ctrl-A"
    bool notes_share_line_ = false;
    bool interactive_ = false;
    bool serial_ended_ = false;
    // Where the board stood in its recorded past when a key there asked
    // whether to drop the recorded future.
    std::optional<std::uint64_t> asked_at_;
    bool output_failed_ = false;
    bool peer_connected_ = false;
    bool waiting_for_peer_ = false;
    bool hinted_ = false;
    std::string out_;
    std::string status_;
};

}  // namespace kelto::sim::frontend
