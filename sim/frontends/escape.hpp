// Bytes written so that a reader sees each one, whatever its value: in a
// message, a trace line, a failure's last console lines or the web page's
// JSON. One escaper, so that every place spells a byte the same way.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelto::sim::frontend {

enum class Notation {
    c_string,  // inside "...": \n \r \t \" \\, other unprintable bytes \xNN
    c_char,    // inside '...': as c_string, with \' instead of \"
    json,      // inside a JSON string: \" \\, other unprintable bytes \u00NN
    line,      // a console line as it showed: only control bytes as \xNN
};

std::string escaped(std::string_view bytes, Notation notation);

// Text in double quotes with control bytes escaped, for messages.
std::string quoted(std::string_view text);
// 'H', '\n', or '\x1b': the byte as C would write it.
std::string quoted_char(std::uint8_t byte);
// Bytes as a JSON string literal, each byte one character (U+0000-U+00FF),
// so that a console's non-ASCII bytes survive as they were sent.
std::string json_string(std::string_view bytes);

}  // namespace kelto::sim::frontend
