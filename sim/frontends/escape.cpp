#include "frontends/escape.hpp"

#include <cstdio>

namespace kelto::sim::frontend {

namespace {

bool printable(unsigned char byte)
{
    return byte >= 0x20 && byte < 0x7F;
}

// The short C escape for a byte that has one, or nothing.
const char *c_escape(unsigned char byte, Notation notation)
{
    switch (byte) {
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    case '\\': return "\\\\";
    case '"': return notation == Notation::c_string ? "\\\"" : nullptr;
    case '\'': return notation == Notation::c_char ? "\\'" : nullptr;
    default: return nullptr;
    }
}

void append_escaped(std::string &out, unsigned char byte, Notation notation)
{
    char text[8];
    switch (notation) {
    case Notation::json:
        if (printable(byte) && byte != '"' && byte != '\\') {
            out += static_cast<char>(byte);
            return;
        }
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
            return;
        }
        std::snprintf(text, sizeof text, "\\u%04x", byte);
        break;
    case Notation::line:
        if (byte >= 0x20 && byte != 0x7F) {
            out += static_cast<char>(byte);
            return;
        }
        std::snprintf(text, sizeof text, "\\x%02x", byte);
        break;
    case Notation::c_string:
    case Notation::c_char:
        if (const char *short_form = c_escape(byte, notation)) {
            out += short_form;
            return;
        }
        if (printable(byte)) {
            out += static_cast<char>(byte);
            return;
        }
        std::snprintf(text, sizeof text, "\\x%02x", byte);
        break;
    }
    out += text;
}

}  // namespace

std::string escaped(std::string_view bytes, Notation notation)
{
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes)
        append_escaped(out, static_cast<unsigned char>(c), notation);
    return out;
}

std::string quoted(std::string_view text)
{
    return "\"" + escaped(text, Notation::c_string) + "\"";
}

std::string quoted_char(std::uint8_t byte)
{
    const char c = static_cast<char>(byte);
    return "'" + escaped(std::string_view(&c, 1), Notation::c_char) + "'";
}

std::string json_string(std::string_view bytes)
{
    return "\"" + escaped(bytes, Notation::json) + "\"";
}

}  // namespace kelto::sim::frontend
