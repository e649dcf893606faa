// Where the web view listens.
#pragma once

#include <string>
#include <string_view>

namespace kelto::sim::frontend::web {

// Loopback by default: the page drives the board, so only this machine
// should reach it unless the user says otherwise.
struct Address {
    std::string host = "127.0.0.1";
    unsigned short port = 8064;
};

// "PORT", "HOST:PORT" or "HOST"; throws std::invalid_argument.
Address parse_address(std::string_view text);

}  // namespace kelto::sim::frontend::web
