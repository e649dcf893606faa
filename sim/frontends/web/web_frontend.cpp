#include "frontends/web/web_frontend.hpp"

// Asio 1.74 uses std::exchange without including <utility> itself.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "frontends/console.hpp"
#include "frontends/debug_target.hpp"
#include "frontends/web/access.hpp"
#include "frontends/web/inbox.hpp"
#include "frontends/web/messages.hpp"

namespace kelto::sim::frontend::web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

namespace {

// A page's requests are a few bytes; a larger message is not from our page.
constexpr std::size_t largest_message = 4096;
constexpr std::size_t largest_http_request = 8192;
// Console output a newly opened tab replays, so that it shows what is on
// the screen of the tabs opened before.
constexpr std::size_t history_limit = std::size_t{256} * 1024;
// Messages waiting for a tab that does not read them; past this the tab is
// dropped rather than holding the others back or filling memory.
constexpr std::size_t backlog_limit = 8 << 20;
// How long the server waits before accepting again after a failure, such
// as running out of file descriptors, that would otherwise fail at once
// again and again.
constexpr auto accept_retry = 50ms;
// How often the board time on the page moves while the board runs.
constexpr auto state_interval = 250ms;
// How often the register panel may change: often enough to watch a
// register move, seldom enough to read it.
constexpr auto panel_interval = 400ms;
// How long keltosim waits at its end for the pages to hear why.
constexpr auto farewell_limit = 1s;

std::optional<std::string> read_file(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Beast 1.74 has Boost's string_view of its own.
std::string_view standard(beast::string_view text)
{
    return {text.data(), text.size()};
}

using HttpRequest = http::request<http::string_body>;
using HttpResponse = http::response<http::string_body>;

HttpResponse respond(const HttpRequest &request, http::status status, std::string body, const char *type)
{
    HttpResponse response(status, request.version());
    response.set(http::field::server, "keltosim");
    response.set(http::field::content_type, type);
    response.set(http::field::cache_control, "no-cache");
    response.keep_alive(request.keep_alive());
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

HttpResponse serve_file(const HttpRequest &request)
{
    if (request.method() != http::verb::get)
        return respond(request, http::status::method_not_allowed, "GET only\n", "text/plain");
    if (const auto path = file_for(standard(request.target())))
        if (auto body = read_file(*path))
            return respond(request, http::status::ok, std::move(*body), content_type(*path));
    return respond(request, http::status::not_found, "not found\n", "text/plain");
}

// The page draws what a command did from the next state message.
void apply(Board &board, const web::Request &request)
{
    switch (request.kind) {
    case web::Request::Kind::type: board.type(request.bytes); break;
    case web::Request::Kind::command: carry_out(board, request.command); break;
    }
}

bool is_input(const web::Request &request)
{
    return request.kind == web::Request::Kind::type || moves_buttons(request.command);
}

// The address a connection came in on, as a browser writes it in a Host:
// an IPv4 client of a dual-stack socket names the IPv4 address.
std::string arrival_address(const tcp::socket &socket)
{
    beast::error_code error;
    auto ip = socket.local_endpoint(error).address();
    if (error)
        return {};
    if (ip.is_v6() && ip.to_v6().is_v4_mapped())
        ip = asio::ip::make_address_v4(asio::ip::v4_mapped, ip.to_v6());
    return ip.to_string();
}

}  // namespace

class Tab;

// Runs on its own thread; everything below touches the tabs only there.
class WebFrontend::Server {
public:
    Server(Board &board, const Address &address, std::string initial_state);
    ~Server();

    tcp::endpoint endpoint() const { return endpoint_; }

    // The last message of a kind that a newly opened tab is sent too.
    enum class Kept { no, state, registers, halt };

    // From the session's thread.
    void console(std::string_view bytes);
    void publish(std::string message, Kept kept);
    bool tabs_open() const { return tab_count_ > 0; }
    // The board runs again: a tab opened from now on hears of no halt.
    void forget_halt();
    // Carries out what the pages asked, as far as the board takes it.
    void deliver(Board &board);

    // On the server's thread.
    void join(const std::shared_ptr<Tab> &tab);
    void leave(const std::shared_ptr<Tab> &tab);
    Inbox::Admission perform(web::Request request) { return inbox_.put(std::move(request)); }
    // A tab that found the inbox full reads on once the session took it.
    void park(const std::shared_ptr<Tab> &tab) { parked_.push_back(tab); }
    ServerNames names(const tcp::socket &socket) const
    {
        return ServerNames{named_host_, endpoint_.port(), arrival_address(socket)};
    }

private:
    void accept();
    void accept_later();
    void read_on();
    void flush_console();
    void broadcast(const std::shared_ptr<const std::string> &message);
    void close_tabs();
    void note_if_closed();
    bool may_change_past(Board &board);

    Inbox inbox_;
    std::string named_host_;
    asio::io_context io_;
    tcp::acceptor acceptor_{io_};
    asio::steady_timer accept_timer_{io_};
    tcp::endpoint endpoint_;
    std::set<std::shared_ptr<Tab>> tabs_;
    std::vector<std::shared_ptr<Tab>> parked_;
    std::string history_;
    // Where the board stood in its recorded past when input there was asked about.
    std::optional<std::uint64_t> asked_at_;
    std::string state_;
    std::string registers_;
    std::string halt_;
    std::atomic<std::size_t> tab_count_ = 0;

    // At the end: the tabs are closed once they have every message.
    bool closing_ = false;
    std::mutex closed_mutex_;
    std::condition_variable closed_signal_;
    bool closed_ = false;

    std::mutex pending_mutex_;
    std::string pending_console_;  // from the session, not yet sent

    std::thread thread_;
};

// One open page, on its WebSocket.
class Tab : public std::enable_shared_from_this<Tab> {
public:
    Tab(tcp::socket socket, WebFrontend::Server &server) : ws_(std::move(socket)), server_(server) {}

    void start(const HttpRequest &upgrade)
    {
        ws_.read_message_max(largest_message);
        ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws_.async_accept(upgrade, [self = shared_from_this()](beast::error_code error) {
            if (error)
                return;
            self->server_.join(self);
            self->read();
        });
    }

    void read()
    {
        ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error) {
                self->server_.leave(self);
                return;
            }
            if (self->take_message())
                self->read();
            else
                self->server_.park(self);
        });
    }

    void send(std::shared_ptr<const std::string> message)
    {
        if (closing_)
            return;
        if (queued_bytes_ + message->size() > backlog_limit) {
            drop();
            return;
        }
        queued_bytes_ += message->size();
        queue_.push_back(std::move(message));
        if (queue_.size() == 1)
            write();
    }

private:
    // Whether to read on now: not while the inbox is full.
    bool take_message()
    {
        const std::string message = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        auto request = ws_.got_text() ? parse_request(message) : std::nullopt;
        if (!request) {
            refuse("unknown request");
            return true;
        }
        const std::size_t typed = request->bytes.size();
        switch (server_.perform(std::move(*request))) {
        case Inbox::Admission::taken: break;
        case Inbox::Admission::full: return false;
        case Inbox::Admission::refused:
            refuse("typing faster than the board reads: " + std::to_string(typed) + " bytes were not typed");
            break;
        }
        return true;
    }

    void refuse(std::string_view why) { send(std::make_shared<const std::string>(refusal_message(why))); }

    void write()
    {
        ws_.text(true);
        ws_.async_write(asio::buffer(*queue_.front()), [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error) {
                self->server_.leave(self);
                return;
            }
            self->queued_bytes_ -= self->queue_.front()->size();
            self->queue_.pop_front();
            if (!self->queue_.empty())
                self->write();
            else if (self->finishing_)
                self->close();
        });
    }

public:
    // Closes the socket once everything queued is sent.
    void finish()
    {
        finishing_ = true;
        if (queue_.empty())
            close();
    }

private:
    void close()
    {
        ws_.async_close(websocket::close_code::normal,
                        [self = shared_from_this()](beast::error_code) { self->server_.leave(self); });
    }

    void drop()
    {
        closing_ = true;
        server_.leave(shared_from_this());
        beast::get_lowest_layer(ws_).close();
    }

    websocket::stream<beast::tcp_stream> ws_;
    WebFrontend::Server &server_;
    beast::flat_buffer buffer_;
    std::deque<std::shared_ptr<const std::string>> queue_;
    std::size_t queued_bytes_ = 0;
    bool closing_ = false;
    bool finishing_ = false;
};

// One HTTP connection: files, until it asks for the WebSocket.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, WebFrontend::Server &server) : stream_(std::move(socket)), server_(server) {}

    void read()
    {
        parser_.emplace();
        parser_->header_limit(largest_http_request);
        parser_->body_limit(largest_http_request);
        stream_.expires_after(30s);
        http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (!error)
                self->answer(self->parser_->release());
        });
    }

private:
    void answer(const HttpRequest &request)
    {
        const bool upgrade = websocket::is_upgrade(request);
        const bool allowed = admitted(standard(request[http::field::host]), standard(request[http::field::origin]),
                                      upgrade, server_.names(stream_.socket()));
        if (!allowed || (upgrade && request.target() != "/ws")) {
            reply(respond(request, http::status::forbidden, "this board answers only its own page on this machine\n",
                          "text/plain"));
        } else if (!upgrade) {
            reply(serve_file(request));
        } else {
            stream_.expires_never();
            std::make_shared<Tab>(stream_.release_socket(), server_)->start(request);
        }
    }

    void reply(HttpResponse response)
    {
        auto shared = std::make_shared<HttpResponse>(std::move(response));
        http::async_write(stream_, *shared, [self = shared_from_this(), shared](beast::error_code error, std::size_t) {
            if (!error && shared->keep_alive())
                self->read();
            else
                self->stream_.socket().shutdown(tcp::socket::shutdown_send, error);
        });
    }

    beast::tcp_stream stream_;
    WebFrontend::Server &server_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
};

WebFrontend::Server::Server(Board &board, const Address &address, std::string initial_state)
    : inbox_([&board] { board.post([] {}); }), named_host_(address.host), state_(std::move(initial_state))
{
    const auto endpoint = *tcp::resolver(io_).resolve(address.host, std::to_string(address.port)).begin();
    acceptor_.open(endpoint.endpoint().protocol());
    acceptor_.set_option(asio::socket_base::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen();
    endpoint_ = acceptor_.local_endpoint();
    accept();
    thread_ = std::thread([this] { io_.run(); });
}

WebFrontend::Server::~Server()
{
    asio::post(io_, [this] { close_tabs(); });
    {
        std::unique_lock lock(closed_mutex_);
        closed_signal_.wait_for(lock, farewell_limit, [this] { return closed_; });
    }
    io_.stop();
    thread_.join();
}

void WebFrontend::Server::close_tabs()
{
    closing_ = true;
    beast::error_code ignored;
    acceptor_.close(ignored);
    accept_timer_.cancel();
    for (const auto &tab : std::vector(tabs_.begin(), tabs_.end()))
        tab->finish();
    note_if_closed();
}

void WebFrontend::Server::leave(const std::shared_ptr<Tab> &tab)
{
    tabs_.erase(tab);
    tab_count_ = tabs_.size();
    if (closing_)
        note_if_closed();
}

void WebFrontend::Server::note_if_closed()
{
    if (!tabs_.empty())
        return;
    std::lock_guard lock(closed_mutex_);
    closed_ = true;
    closed_signal_.notify_all();
}

void WebFrontend::Server::accept()
{
    acceptor_.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (error) {
            accept_later();
            return;
        }
        std::make_shared<Connection>(std::move(socket), *this)->read();
        accept();
    });
}

void WebFrontend::Server::accept_later()
{
    accept_timer_.expires_after(accept_retry);
    accept_timer_.async_wait([this](beast::error_code) { accept(); });
}

void WebFrontend::Server::deliver(Board &board)
{
    Inbox::Delivery delivery = inbox_.take(board.wants_input());
    for (const web::Request &request : delivery.requests)
        if (!is_input(request) || may_change_past(board))
            apply(board, request);
    if (!delivery.typed.empty() && may_change_past(board))
        board.type(delivery.typed);
    if (delivery.room_again)
        asio::post(io_, [this] { read_on(); });
}

// As at a terminal: input in the recorded past is asked about first, on
// every page and where keltosim writes its notes.
bool WebFrontend::Server::may_change_past(Board &board)
{
    const std::optional<std::string> question = past_input_question(board.debug_target().timeline(), asked_at_);
    if (!question)
        return true;
    board.note(*question);
    publish(notice_message(*question), Kept::no);
    return false;
}

void WebFrontend::Server::read_on()
{
    for (const auto &tab : std::exchange(parked_, {}))
        tab->read();
}

void WebFrontend::Server::join(const std::shared_ptr<Tab> &tab)
{
    tabs_.insert(tab);
    tab_count_ = tabs_.size();
    if (!history_.empty())
        tab->send(std::make_shared<const std::string>(console_message(history_)));
    tab->send(std::make_shared<const std::string>(state_));
    for (const std::string *kept : {&registers_, &halt_})
        if (!kept->empty())
            tab->send(std::make_shared<const std::string>(*kept));
}

void WebFrontend::Server::console(std::string_view bytes)
{
    // Bytes arrive one or a few at a time; one message takes all that came
    // before the server's thread got round to sending.
    std::lock_guard lock(pending_mutex_);
    const bool flush_queued = !pending_console_.empty();
    pending_console_ += bytes;
    if (!flush_queued)
        asio::post(io_, [this] { flush_console(); });
}

void WebFrontend::Server::flush_console()
{
    std::string bytes;
    {
        std::lock_guard lock(pending_mutex_);
        bytes.swap(pending_console_);
    }
    history_ += bytes;
    if (history_.size() > history_limit)
        history_.erase(0, history_.size() - history_limit / 2);
    broadcast(std::make_shared<const std::string>(console_message(bytes)));
}

void WebFrontend::Server::publish(std::string message, Kept kept)
{
    asio::post(io_, [this, message = std::move(message), kept] {
        if (kept == Kept::state)
            state_ = message;
        else if (kept == Kept::registers)
            registers_ = message;
        else if (kept == Kept::halt)
            halt_ = message;
        broadcast(std::make_shared<const std::string>(message));
    });
}

void WebFrontend::Server::forget_halt()
{
    asio::post(io_, [this] { halt_.clear(); });
}

void WebFrontend::Server::broadcast(const std::shared_ptr<const std::string> &message)
{
    // A tab dropped while sending leaves the set: walk a copy.
    for (const auto &tab : std::vector(tabs_.begin(), tabs_.end()))
        tab->send(message);
}

WebFrontend::WebFrontend(Board &board, const Address &address)
    : server_(std::make_unique<Server>(board, address, state_message(board.view())))
{
    board.add_probe(panel_);
    board.note("the board is in your web browser at " + url());
    if (!server_->endpoint().address().is_loopback())
        board.note("warning: the web view listens on " + server_->endpoint().address().to_string() +
                   ", where anyone who reaches this machine can drive the board");
}

WebFrontend::~WebFrontend() = default;

std::string WebFrontend::url() const
{
    const auto endpoint = server_->endpoint();
    const auto ip = endpoint.address();
    const std::string host = ip.is_v6() ? "[" + ip.to_string() + "]" : ip.to_string();
    return "http://" + host + ":" + std::to_string(endpoint.port()) + "/";
}

void WebFrontend::publish_state(Board &board)
{
    last_state_ = std::chrono::steady_clock::now();
    if (!board.paused())
        server_->forget_halt();
    server_->publish(state_message(board.view()), Server::Kept::state);
}

void WebFrontend::publish_panel()
{
    last_panel_ = std::chrono::steady_clock::now();
    if (auto message = panel_.update())
        server_->publish(std::move(*message), Server::Kept::registers);
}

bool WebFrontend::finished(Board &board, int status)
{
    publish_state(board);
    server_->publish(ended_message(status, board.ending()), Server::Kept::no);
    return true;
}

void WebFrontend::service(Board &board)
{
    server_->deliver(board);
    panel_.watch(server_->tabs_open());
    const auto now = std::chrono::steady_clock::now();
    if (!board.paused() && now - last_state_ >= state_interval)
        publish_state(board);
    if (server_->tabs_open() && now - last_panel_ >= panel_interval)
        publish_panel();
}

void WebFrontend::console_output(Board &, std::string_view bytes)
{
    server_->console(bytes);
}

void WebFrontend::board_changed(Board &board)
{
    publish_state(board);
}

void WebFrontend::halted(Board &board, const Halt &halt)
{
    publish_state(board);
    server_->publish(halted_message(halt), Server::Kept::halt);
}

}  // namespace kelto::sim::frontend::web
