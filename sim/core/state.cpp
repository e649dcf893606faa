#include "core/state.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

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

namespace {

// Magic, version, image, payload size and checksum.
constexpr std::size_t frame_bytes = 8 + 4 + 8 + 8 + 8;

std::string hex64(std::uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::span<const std::uint8_t> as_bytes(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t *>(text.data()), text.size()};
}

}  // namespace

std::vector<std::uint8_t> frame_file(const FileFrame &frame, std::uint64_t image, std::span<const std::uint8_t> payload)
{
    StateWriter file;
    file.raw(as_bytes(frame.magic));
    file.u32(frame.version);
    file.u64(image);
    file.u64(payload.size());
    file.u64(fnv1a64(payload));
    file.raw(payload);
    return file.take();
}

std::span<const std::uint8_t> unframe_file(const FileFrame &frame, std::span<const std::uint8_t> bytes,
                                           std::uint64_t image)
{
    const std::string noun(frame.noun);
    StateReader file(bytes);
    const std::span<const std::uint8_t> magic = as_bytes(frame.magic);
    if (bytes.size() < frame_bytes || !std::equal(magic.begin(), magic.end(), file.raw(magic.size()).begin()))
        throw StateError("not a keltosim " + noun + " file");
    if (const std::uint32_t version = file.u32(); version != frame.version)
        throw StateError("a " + noun + " of format version " + std::to_string(version) + ", where this keltosim reads " +
                         std::to_string(frame.version) + " only");
    if (const std::uint64_t of = file.u64(); of != image)
        throw StateError("a " + noun + " of another image (fingerprint " + hex64(of) + ", where this image's is " +
                         hex64(image) + ")");
    const std::uint64_t size = file.u64();
    const std::uint64_t checksum = file.u64();
    if (size != file.left())
        throw StateError(size > file.left() ? "the " + noun + " file is truncated"
                                            : "the " + noun + " file has bytes past its end");
    const std::span<const std::uint8_t> payload = file.raw(file.left());
    if (fnv1a64(payload) != checksum)
        throw StateError("the " + noun + " file is corrupt (its checksum does not match)");
    return payload;
}

void write_file_whole(const std::string &path, std::span<const std::uint8_t> bytes, std::string_view noun)
{
    const std::string temporary = path + ".part";
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    file.close();
    if (!file || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        std::remove(temporary.c_str());
        throw std::runtime_error(path + ": cannot write the " + std::string(noun) + ": " + why);
    }
}

std::vector<std::uint8_t> read_file_bounded(const FileFrame &frame, const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    struct stat status {};
    if (!file || ::stat(path.c_str(), &status) != 0)
        throw std::runtime_error(path + ": cannot read the " + std::string(frame.noun) + ": " + std::strerror(errno));
    if (!S_ISREG(status.st_mode) || static_cast<std::uintmax_t>(status.st_size) > max_state_file_bytes)
        throw std::runtime_error(path + ": not a keltosim " + std::string(frame.noun) + " file");
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

}  // namespace kelto::sim
