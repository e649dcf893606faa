#include "frontends/gdb/server.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "frontends/terminal.hpp"

namespace kelto::sim::frontend::gdb {

namespace {

constexpr int send_wait_ms = 2000;
// The pause after a failed accept; the session still wakes at least this
// often to service the front ends.
constexpr auto accept_retry = std::chrono::milliseconds(50);
// Refused debuggers answered at once; more are closed unanswered.
constexpr std::size_t max_refused = 4;
constexpr auto refused_for = std::chrono::seconds(2);
constexpr std::string_view refusal = "E.keltosim: a debugger is already connected";

void set_nonblocking(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

bool loopback(const std::string &host)
{
    return host == "localhost" || host == "::1" || host.starts_with("127.");
}

}  // namespace

Server::Server(const Options &options, Trace *trace) : options_(options), stub_(trace)
{
    const std::string &host = options.gdb->host;
    port_ = listen_on(host, options.gdb->port);
    // gdb's "target remote :1234" asks for localhost, which may be the IPv6
    // loopback address first: listen there too, on the same port.
    if (host == "127.0.0.1") {
        try {
            listen_on("::1", port_);
        } catch (const std::runtime_error &) {
            // No IPv6 loopback here: 127.0.0.1 alone serves.
        }
    }
}

int Server::listen_on(const std::string &host, int port)
{
    int listener = -1;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    if (const int error = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); error != 0)
        throw std::runtime_error("gdb server: " + host + ": " + ::gai_strerror(error));
    std::string failure = "no address";
    for (addrinfo *address = found; address && listener < 0; address = address->ai_next) {
        const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (fd < 0)
            continue;
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, address->ai_addr, address->ai_addrlen) == 0 && ::listen(fd, 1) == 0) {
            listener = fd;
        } else {
            failure = std::strerror(errno);
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    if (listener < 0)
        throw std::runtime_error("gdb server: cannot listen on " + host + ":" + service + ": " + failure);
    set_nonblocking(listener);
    listeners_.push_back(listener);
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    ::getsockname(listener, reinterpret_cast<sockaddr *>(&bound), &size);
    return ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
}

Server::~Server()
{
    if (client_ >= 0)
        ::close(client_);
    for (const Refused &refused : refused_)
        ::close(refused.fd);
    for (const int listener : listeners_)
        ::close(listener);
}

void Server::watch(std::vector<pollfd> &fds)
{
    if (accepting())
        for (const int listener : listeners_)
            fds.push_back(pollfd{listener, POLLIN, 0});
    if (client_ >= 0)
        fds.push_back(pollfd{client_, POLLIN, 0});
    for (const Refused &refused : refused_)
        fds.push_back(pollfd{refused.fd, POLLIN, 0});
}

void Server::started(Board &board)
{
    board.halt_on_fault(true);
    const std::string &host = options_.gdb->host;
    if (!loopback(host))
        board.note("warning: the GDB server listens on " + host +
                   ", where other machines can reach it and drive the board");
    const std::string at = std::to_string(port_);
    board.note("GDB server on " + host + ":" + at + " (gdb-multiarch " + options_.image + " -ex 'target remote :" +
               at + "')");
    if (options_.gdb_start_halted)
        board.pause();
}

void Server::service(Board &board)
{
    accept_clients(board);
    if (client_ >= 0)
        read_client(board);
    answer_refused();
}

void Server::accept_clients(Board &board)
{
    for (const int listener : listeners_)
        if (accepting())
            accept_clients(board, listener);
}

void Server::accept_clients(Board &board, int listener)
{
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                accept_resumes_ = std::chrono::steady_clock::now() + accept_retry;
            return;
        }
        if (client_ >= 0) {
            refuse(board, fd);
            continue;
        }
        client_ = fd;
        set_nonblocking(client_);
        const int on = 1;
        ::setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        reader_ = PacketReader();
        last_sent_.clear();
        stub_.attach(board.debug_target());
        board.note("a debugger connected; the board stands still until it continues");
    }
}

void Server::read_client(Board &board)
{
    char buffer[4096];
    const ssize_t got = ::recv(client_, buffer, sizeof buffer, 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        board.note("the debugger went away; the board runs on");
        disconnect(board, true);
        return;
    }
    if (got > 0)
        reader_.feed(std::string_view(buffer, static_cast<std::size_t>(got)));
    while (client_ >= 0) {
        const std::optional<Incoming> item = reader_.next();
        if (!item)
            return;
        switch (item->kind) {
        case Incoming::Kind::ack: break;
        case Incoming::Kind::nack: write_all(client_, last_sent_, send_wait_ms); break;
        case Incoming::Kind::corrupt: write_all(client_, "-", send_wait_ms); break;
        case Incoming::Kind::interrupt: stub_.interrupt(board.debug_target()); break;
        case Incoming::Kind::oversize:
            board.note("the debugger sent a packet longer than the " + std::to_string(PacketReader::max_payload) +
                       " bytes agreed; keltosim lets it go and the board runs on");
            disconnect(board, true);
            break;
        case Incoming::Kind::packet: {
            if (!stub_.no_ack())
                write_all(client_, "+", send_wait_ms);
            const std::optional<std::string> reply = stub_.handle(board.debug_target(), item->payload);
            if (reply)
                send(*reply);
            if (stub_.closing())
                disconnect(board, false);
            break;
        }
        }
    }
}

void Server::refuse(Board &board, int fd)
{
    board.note("refused a second debugger: one is already connected");
    if (refused_.size() >= max_refused) {
        ::close(fd);
        return;
    }
    set_nonblocking(fd);
    refused_.push_back(Refused{fd, PacketReader(), std::chrono::steady_clock::now() + refused_for});
}

void Server::answer_refused()
{
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(refused_, [&](Refused &refused) {
        char buffer[4096];
        const ssize_t got = ::recv(refused.fd, buffer, sizeof buffer, 0);
        bool done = now >= refused.until || got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR);
        if (got > 0)
            refused.reader.feed(std::string_view(buffer, static_cast<std::size_t>(got)));
        while (const std::optional<Incoming> item = refused.reader.next()) {
            if (item->kind == Incoming::Kind::packet)
                done |= !write_all(refused.fd, "+" + frame(refusal), send_wait_ms);
            done |= item->kind == Incoming::Kind::oversize;
        }
        if (done)
            ::close(refused.fd);
        return done;
    });
}

void Server::halted(Board &, const Halt &halt)
{
    const std::optional<std::string> reply = stub_.halted(halt);
    if (reply && client_ >= 0)
        send(*reply);
}

void Server::send(const std::string &payload)
{
    last_sent_ = frame(payload);
    write_all(client_, last_sent_, send_wait_ms);
}

void Server::disconnect(Board &board, bool release)
{
    if (release)
        stub_.release(board.debug_target());
    ::close(client_);
    client_ = -1;
}

}  // namespace kelto::sim::frontend::gdb
