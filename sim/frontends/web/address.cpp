#include "frontends/web/address.hpp"

#include <stdexcept>

namespace kelto::sim::frontend::web {

namespace {

bool all_digits(std::string_view text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

unsigned short port_number(std::string_view text)
{
    if (!all_digits(text) || text.size() > 5 || std::stoul(std::string(text)) > 65535)
        throw std::invalid_argument("wants a port from 0 to 65535, not '" + std::string(text) + "'");
    return static_cast<unsigned short>(std::stoul(std::string(text)));
}

}  // namespace

Address parse_address(std::string_view text)
{
    Address address;
    if (all_digits(text)) {
        address.port = port_number(text);
        return address;
    }
    // An IPv6 address has colons of its own and comes in brackets.
    const auto host_end = text.starts_with("[") ? text.find(']') : text.rfind(':');
    std::string_view host = text.substr(0, host_end);
    if (text.starts_with("[")) {
        if (host_end == std::string_view::npos)
            throw std::invalid_argument("no ']' after the IPv6 address in '" + std::string(text) + "'");
        host.remove_prefix(1);
        text.remove_prefix(host_end + 1);
    } else {
        text.remove_prefix(host_end == std::string_view::npos ? text.size() : host_end);
    }
    if (host.empty())
        throw std::invalid_argument("wants [HOST:]PORT, not '" + std::string(text) + "'");
    address.host = host;
    if (!text.empty()) {
        if (!text.starts_with(":"))
            throw std::invalid_argument("wants ':' and a port after the host");
        address.port = port_number(text.substr(1));
    }
    return address;
}

}  // namespace kelto::sim::frontend::web
