// The GDB remote serial protocol's framing, apart from any socket or board:
// "$payload#cs" packets with a two-digit checksum, '}' escapes in binary
// data, acknowledgements and the interrupt byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelto::sim::frontend::gdb {

// What arrives from the debugger, one item at a time.
struct Incoming {
    enum class Kind : std::uint8_t {
        packet,     // a packet with a good checksum; payload holds it
        corrupt,    // a packet whose checksum did not match: ask again
        ack,        // '+'
        nack,       // '-': send the last packet again
        interrupt,  // Ctrl-C (0x03) outside a packet
        oversize,   // a packet longer than max_payload: the debugger breaks the protocol
    };
    Kind kind;
    std::string payload;
};

// Splits the byte stream from the debugger into packets and control bytes.
class PacketReader {
public:
    // The longest payload taken, as the stub announces it (PacketSize).
    static constexpr std::size_t max_payload = 0x4000;

    void feed(std::string_view bytes);
    // The next complete item, in order of arrival. After an oversize packet
    // the rest of what arrived is dropped.
    std::optional<Incoming> next();

private:
    std::optional<Incoming> take_packet();

    std::string buffer_;
    std::size_t start_ = 0;    // the first byte not taken yet
    std::size_t scanned_ = 0;  // bytes of an open packet known to hold no '#'
};

// "$payload#cs", with the characters the framing reserves escaped.
std::string frame(std::string_view payload);
// Binary data as the X packet carries it: '}' escapes undone.
std::string unescape(std::string_view data);

std::string to_hex(std::string_view bytes);
std::string to_hex(const std::vector<std::uint8_t> &bytes);
// Hex digits to bytes; nullopt on an odd count or a non-hex digit.
std::optional<std::string> from_hex(std::string_view hex);
// A number in hex, as addresses and lengths are written; nullopt if not one.
std::optional<std::uint32_t> parse_hex(std::string_view text);
// A register or word in the target's (little-endian) byte order, as hex.
std::string word_hex(std::uint32_t value);
std::optional<std::uint32_t> parse_word_hex(std::string_view hex);

}  // namespace kelto::sim::frontend::gdb
