#include "frontends/web/access.hpp"

#include <boost/asio/ip/address.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace kelto::sim::frontend::web {

namespace {

// An installed keltosim serves the page installed beside it; one run from
// its build tree serves the sources' page, so an edit shows on reload.
const std::string &page_directory()
{
    static const std::string directory = [] {
        std::error_code error;
        const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
        const std::filesystem::path installed = program.parent_path().parent_path() / "share/keltosim/web";
        if (!error && std::filesystem::exists(installed / "index.html", error))
            return installed.string();
        return std::string(KELTO_WEB_PAGE_DIR);
    }();
    return directory;
}

// The page's own files, and Debian's installed xterm.js modules.
std::string_view root_directory(std::string_view prefix)
{
    return prefix == "/page/" ? std::string_view(page_directory()) : std::string_view(KELTO_XTERM_DIR);
}

constexpr std::string_view root_prefixes[] = {"/page/", "/xterm/"};

std::string lowercase(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// localhost, 127.0.0.0/8 or [::1], as a browser writes them in a Host.
bool loopback_name(const std::string &name)
{
    boost::system::error_code error;
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
        const auto ip = boost::asio::ip::make_address_v6(name.substr(1, name.size() - 2), error);
        return !error && ip.is_loopback();
    }
    const auto ip = boost::asio::ip::make_address_v4(name, error);
    return name == "localhost" || (!error && ip.is_loopback());
}

// A host as keltosim holds it (an IPv6 address without brackets) against
// a Host's name.
bool same_host(const std::string &name, std::string_view host)
{
    if (host.empty())
        return false;
    const bool ipv6 = host.find(':') != std::string_view::npos;
    return name == lowercase(ipv6 ? "[" + std::string(host) + "]" : std::string(host));
}

// A relative path of plain names, nothing that climbs out of the root.
bool plain_path(std::string_view path)
{
    if (path.empty() || path.front() == '/' || path.find("..") != std::string_view::npos)
        return false;
    return std::all_of(path.begin(), path.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '.' || c == '_' || c == '-';
    });
}

}  // namespace

bool names_this_server(std::string_view host, const ServerNames &server)
{
    // An IPv6 address keeps its brackets; a port follows the name's end.
    const std::size_t name_end = host.starts_with('[') ? host.find(']') + 1 : host.find(':');
    const std::string name = lowercase(host.substr(0, name_end));
    const std::string_view port = name_end < host.size() ? host.substr(name_end) : std::string_view();
    if (name.empty() || (!port.empty() && port != ":" + std::to_string(server.port)))
        return false;
    return loopback_name(name) || same_host(name, server.named_host) || same_host(name, server.arrived_at);
}

bool admitted(std::string_view host, std::string_view origin, bool websocket, const ServerNames &server)
{
    // Only the page this server gave out may drive the board: a page from
    // another site open in the same browser would send its own Origin.
    return names_this_server(host, server) && (!websocket || origin == "http://" + std::string(host));
}

std::optional<std::string> file_for(std::string_view target)
{
    std::string_view path = target.substr(0, target.find('?'));
    if (path == "/")
        path = "/page/index.html";
    for (std::string_view prefix : root_prefixes) {
        if (!path.starts_with(prefix))
            continue;
        path.remove_prefix(prefix.size());
        if (!content_type(path) || !plain_path(path))
            return std::nullopt;
        return std::string(root_directory(prefix)) + "/" + std::string(path);
    }
    return std::nullopt;
}

const char *content_type(std::string_view path)
{
    static constexpr std::pair<std::string_view, const char *> types[] = {
        {".html", "text/html; charset=utf-8"}, {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},   {".svg", "image/svg+xml"},
        {".png", "image/png"},
    };
    for (auto [suffix, type] : types)
        if (path.ends_with(suffix))
            return type;
    return nullptr;
}

}  // namespace kelto::sim::frontend::web
