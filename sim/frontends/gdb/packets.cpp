#include "frontends/gdb/packets.hpp"

#include <charconv>
#include <cstdio>

namespace kelto::sim::frontend::gdb {

namespace {

constexpr char interrupt_byte = 0x03;
constexpr char escape_byte = '}';

int digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::uint8_t checksum(std::string_view text)
{
    unsigned sum = 0;
    for (char c : text)
        sum += static_cast<std::uint8_t>(c);
    return static_cast<std::uint8_t>(sum);
}

}  // namespace

void PacketReader::feed(std::string_view bytes)
{
    // What was taken goes before the buffer grows, so it holds at most one
    // packet and what arrived with it.
    buffer_.erase(0, start_);
    start_ = 0;
    buffer_.append(bytes);
}

std::optional<Incoming> PacketReader::next()
{
    for (; start_ < buffer_.size(); start_++) {
        const char first = buffer_[start_];
        if (first == '+' || first == '-' || first == interrupt_byte) {
            start_++;
            return Incoming{first == '+'   ? Incoming::Kind::ack
                            : first == '-' ? Incoming::Kind::nack
                                           : Incoming::Kind::interrupt,
                            {}};
        }
        if (first == '$')
            return take_packet();
        // Anything else between packets is noise.
    }
    return std::nullopt;
}

// The payload may hold '#' only escaped, so the first one ends it. Each byte
// is looked at once however the packet arrives.
std::optional<Incoming> PacketReader::take_packet()
{
    const std::size_t payload = start_ + 1;
    const auto hash = buffer_.find('#', payload + scanned_);
    scanned_ = (hash == std::string::npos ? buffer_.size() : hash) - payload;
    if (scanned_ > max_payload) {
        buffer_.clear();
        start_ = scanned_ = 0;
        return Incoming{Incoming::Kind::oversize, {}};
    }
    if (hash == std::string::npos || buffer_.size() < hash + 3)
        return std::nullopt;
    std::string text = buffer_.substr(payload, scanned_);
    scanned_ = 0;
    start_ = hash + 3;
    const int high = digit(buffer_[hash + 1]), low = digit(buffer_[hash + 2]);
    if (high < 0 || low < 0 || checksum(text) != high * 16 + low)
        return Incoming{Incoming::Kind::corrupt, {}};
    return Incoming{Incoming::Kind::packet, std::move(text)};
}

std::string frame(std::string_view payload)
{
    std::string body;
    for (char c : payload) {
        if (c == '$' || c == '#' || c == escape_byte || c == '*') {
            body += escape_byte;
            body += static_cast<char>(c ^ 0x20);
        } else {
            body += c;
        }
    }
    char sum[4];
    std::snprintf(sum, sizeof sum, "%02x", checksum(body));
    return "$" + body + "#" + sum;
}

std::string unescape(std::string_view data)
{
    std::string bytes;
    for (std::size_t i = 0; i < data.size(); i++)
        bytes += data[i] == escape_byte && i + 1 < data.size() ? static_cast<char>(data[++i] ^ 0x20) : data[i];
    return bytes;
}

std::string to_hex(std::string_view bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (char c : bytes) {
        hex += digits[static_cast<std::uint8_t>(c) >> 4];
        hex += digits[static_cast<std::uint8_t>(c) & 15];
    }
    return hex;
}

std::string to_hex(const std::vector<std::uint8_t> &bytes)
{
    return to_hex(std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
}

std::optional<std::string> from_hex(std::string_view hex)
{
    if (hex.size() % 2)
        return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = digit(hex[i]), low = digit(hex[i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

std::optional<std::uint32_t> parse_hex(std::string_view text)
{
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string word_hex(std::uint32_t value)
{
    const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 24)};
    return to_hex(std::string_view(bytes, 4));
}

std::optional<std::uint32_t> parse_word_hex(std::string_view hex)
{
    const std::optional<std::string> bytes = from_hex(hex);
    if (!bytes || bytes->size() != 4)
        return std::nullopt;
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; i--)
        value = (value << 8) | static_cast<std::uint8_t>((*bytes)[static_cast<std::size_t>(i)]);
    return value;
}

}  // namespace kelto::sim::frontend::gdb
