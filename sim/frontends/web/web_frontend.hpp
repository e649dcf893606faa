// The board in a web browser: an HTTP and WebSocket server (Boost.Beast) on
// a thread of its own that serves a drawing of the board with its buttons,
// backlight, pins and serial console (xterm.js), and keeps every open tab up
// to date. Any tab may type, press buttons, pause, resume or reset; what
// the tabs ask waits in a bounded inbox (inbox.hpp) for the session's turn,
// and only requests addressed to this machine are answered (access.hpp).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "frontends/frontend.hpp"
#include "frontends/web/address.hpp"
#include "frontends/web/register_panel.hpp"

namespace kelto::sim::frontend::web {

class WebFrontend final : public Frontend {
public:
    // Listens at once (port 0 picks a free one); throws if it cannot. The
    // board must outlive this front end.
    WebFrontend(Board &board, const Address &address);
    ~WebFrontend() override;

    // Where to point a browser, e.g. "http://127.0.0.1:8064/".
    std::string url() const;

    bool finished(Board &board, int status) override;
    void service(Board &board) override;
    void console_output(Board &board, std::string_view bytes) override;
    void board_changed(Board &board) override;
    void halted(Board &board, const Halt &halt) override;
    // Someone at a browser may still act when no console input can come.
    bool holds_session() const override { return true; }

    class Server;

private:
    void publish_state(Board &board);
    void publish_panel();

    std::unique_ptr<Server> server_;
    RegisterPanel panel_;
    std::chrono::steady_clock::time_point last_state_{};
    std::chrono::steady_clock::time_point last_panel_{};
};

}  // namespace kelto::sim::frontend::web
