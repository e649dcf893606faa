// Who the web view answers, and which files it gives out. A page from
// another site may send requests to this server from the person's own
// browser; with DNS rebinding it may even name itself in both Host and
// Origin. So the server answers only requests addressed to one of the names
// that mean this machine's server, and takes orders on its WebSocket only
// from its own page.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelto::sim::frontend::web {

// How a browser may address this server.
struct ServerNames {
    std::string named_host;  // the host the user gave --web, if any
    unsigned short port = 0;  // where it listens
    // The address the request's connection came in on (an IP literal
    // cannot be rebound, so it is this server whatever it is).
    std::string arrived_at;
};

// Whether a Host header names this server: a loopback name or address
// (localhost, 127.0.0.0/8, [::1]), the host named with --web or the
// address the connection reached, without a port or with this server's.
bool names_this_server(std::string_view host, const ServerNames &server);

// Whether to answer a request at all: files for any Host that names this
// server, the WebSocket also only for the page this server gave out.
bool admitted(std::string_view host, std::string_view origin, bool websocket, const ServerNames &server);

// The file on disk a GET for target serves, if any: the page, its parts and
// the terminal's modules, and nothing outside their directories.
std::optional<std::string> file_for(std::string_view target);

// The Content-Type for a file that file_for gave.
const char *content_type(std::string_view path);

}  // namespace kelto::sim::frontend::web
