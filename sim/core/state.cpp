#include "core/state.hpp"


namespace kelto::sim {

std::uint64_t fnv1a64(std::span<const std::uint8_t> bytes, std::uint64_t hash)
{
    for (std::uint8_t byte : bytes) {
        hash ^= byte;
        hash *= 0x100000001b3u;
    }
    return hash;
}

// Little-endian, whatever the host: a state file moves between machines.
void StateWriter::u32(std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        u8(static_cast<std::uint8_t>(value >> shift));
}

void StateWriter::u64(std::uint64_t value)
{
    u32(static_cast<std::uint32_t>(value));
    u32(static_cast<std::uint32_t>(value >> 32));
}

void StateWriter::text(std::string_view text)
{
    byte_list(text);
}

void StateWriter::word_list(std::span<const std::uint64_t> words)
{
    u64(words.size());
    for (std::uint64_t word : words)
        u64(word);
}

std::span<const std::uint8_t> StateReader::raw(std::size_t size)
{
    if (size > left())
        throw StateError("the state ends early");
    const std::span<const std::uint8_t> part = bytes_.subspan(at_, size);
    at_ += size;
    return part;
}

std::uint8_t StateReader::u8()
{
    return raw(1)[0];
}

bool StateReader::boolean()
{
    const std::uint8_t value = u8();
    if (value > 1)
        throw StateError("the state holds a flag that is neither 0 nor 1");
    return value == 1;
}

std::uint32_t StateReader::u32()
{
    const std::span<const std::uint8_t> part = raw(4);
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; i--)
        value = value << 8 | part[static_cast<std::size_t>(i)];
    return value;
}

std::uint64_t StateReader::u64()
{
    const std::uint64_t low = u32();
    return low | std::uint64_t{u32()} << 32;
}

std::size_t StateReader::count(std::size_t item_bytes)
{
    const std::uint64_t items = u64();
    if (items > left() / item_bytes)
        throw StateError("the state holds a count larger than its bytes");
    return static_cast<std::size_t>(items);
}

std::uint32_t StateReader::u32_at_most(std::uint32_t limit)
{
    const std::uint32_t value = u32();
    if (value > limit)
        throw StateError("the state holds a value out of range");
    return value;
}

std::string StateReader::text()
{
    const std::span<const std::uint8_t> part = raw(count(1));
    return std::string(part.begin(), part.end());
}

std::deque<std::uint8_t> StateReader::byte_deque()
{
    const std::span<const std::uint8_t> part = raw(count(1));
    return std::deque<std::uint8_t>(part.begin(), part.end());
}

std::vector<std::uint64_t> StateReader::word_list()
{
    std::vector<std::uint64_t> words(count(8));
    for (std::uint64_t &word : words)
        word = u64();
    return words;
}

void StateReader::expect_end() const
{
    if (left() != 0)
        throw StateError("the state holds bytes past its end");
}

}  // namespace kelto::sim
