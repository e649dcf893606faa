// keltosim as a GDB remote target: a TCP listener for one debugger at a
// time, speaking the remote serial protocol (packets.hpp) and acting on the
// board through the stub (stub.hpp).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "frontends/cli.hpp"
#include "frontends/frontend.hpp"
#include "frontends/gdb/packets.hpp"
#include "frontends/gdb/stub.hpp"

namespace kelto::sim::frontend::gdb {

class Server final : public Frontend {
public:
    // Listens on --gdb's address at once (port 0: any free port); throws
    // std::runtime_error when it cannot. The trace is what `monitor trace`
    // switches.
    Server(const Options &options, Trace *trace = nullptr);
    ~Server() override;
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    int port() const { return port_; }

    // Faults halt the board for the debugger; with -S the board waits for it.
    void started(Board &board) override;
    void watch(std::vector<pollfd> &fds) override;
    void service(Board &board) override;
    void halted(Board &board, const Halt &halt) override;
    // A connected debugger keeps the session going.
    bool holds_session() const override { return client_ >= 0; }
    // Under extended-remote the debugger's run starts the board again.
    bool restarts_board() const override { return client_ >= 0 && stub_.extended(); }

private:
    void accept_clients(Board &board);
    void accept_clients(Board &board, int listener);
    bool accepting() const { return std::chrono::steady_clock::now() >= accept_resumes_; }
    // Binds and listens; the port bound (port 0 picks a free one).
    int listen_on(const std::string &host, int port);
    void read_client(Board &board);
    // A second debugger is answered in the protocol, so gdb says why, and
    // let go once it gives up or after a while.
    void refuse(Board &board, int fd);
    void answer_refused();
    void send(const std::string &payload);
    void disconnect(Board &board, bool release);

    const Options &options_;
    std::vector<int> listeners_;
    int client_ = -1;
    int port_ = 0;
    PacketReader reader_;
    Stub stub_;
    std::string last_sent_;  // for a debugger that asks again
    struct Refused {
        int fd;
        PacketReader reader;
        std::chrono::steady_clock::time_point until;
    };
    std::vector<Refused> refused_;
    // Until then the listeners are neither watched nor accepted from: an
    // accept that failed for want of descriptors would fail again at once,
    // and the connection left waiting would wake the session without end.
    std::chrono::steady_clock::time_point accept_resumes_{};
};

}  // namespace kelto::sim::frontend::gdb
