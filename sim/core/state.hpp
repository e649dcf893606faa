// The board's state as bytes: a small writer that models and the clock save
// themselves through, and a reader that restores them and never reads past
// its input. Every count a reader takes is checked against the bytes left
// before anything is allocated for it, so a corrupt state fails with a
// StateError instead of a crash or a huge allocation.
#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kelto::sim {

struct StateError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// FNV-1a, 64 bits: not a cryptographic hash, but enough to tell one image or
// one payload from another, and small enough to need no library.
inline constexpr std::uint64_t fnv1a64_basis = 0xcbf29ce484222325u;
std::uint64_t fnv1a64(std::span<const std::uint8_t> bytes, std::uint64_t hash = fnv1a64_basis);

// Files of board states (state files, failure bundles) share a frame: a
// magic, a format version, the fingerprint of the image they belong to, and
// their payload's size and FNV-1a-64 checksum.
struct FileFrame {
    std::string_view magic;  // 8 bytes
    std::uint32_t version;
    std::string_view noun;  // what the file holds, for messages: "state"
};
std::vector<std::uint8_t> frame_file(const FileFrame &frame, std::uint64_t image,
                                     std::span<const std::uint8_t> payload);
// The payload of a file of this frame and image; refuses (StateError, with
// the reason) a file of another kind or version, for another image,
// truncated or corrupt.
std::span<const std::uint8_t> unframe_file(const FileFrame &frame, std::span<const std::uint8_t> bytes,
                                           std::uint64_t image);
// Written beside the file and renamed over it: a reader never sees half a
// file, and a failed write leaves the last one. Throws std::runtime_error
// with the path and the reason.
void write_file_whole(const std::string &path, std::span<const std::uint8_t> bytes, std::string_view noun);
// No file of states is larger than a board's DRAM and a little more.
inline constexpr std::uintmax_t max_state_file_bytes = std::uintmax_t{1} << 30;
// A regular file of at most max_state_file_bytes; throws std::runtime_error
// otherwise.
std::vector<std::uint8_t> read_file_bounded(const FileFrame &frame, const std::string &path);
// The file's bytes decoded; every refusal a std::runtime_error with the path.
template <class Decode> auto read_framed_file(const FileFrame &frame, const std::string &path, Decode decode)
{
    const std::vector<std::uint8_t> bytes = read_file_bounded(frame, path);
    try {
        return decode(std::span<const std::uint8_t>(bytes));
    } catch (const StateError &error) {
        throw std::runtime_error(path + ": " + error.what());
    }
}

class StateWriter {
public:
    void u8(std::uint8_t value) { bytes_.push_back(value); }
    void boolean(bool value) { u8(value ? 1 : 0); }
    void u32(std::uint32_t value);
    void u64(std::uint64_t value);
    void raw(std::span<const std::uint8_t> bytes) { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }
    void text(std::string_view text);
    template <class Bytes> void byte_list(const Bytes &bytes)
    {
        u64(bytes.size());
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    }
    void word_list(std::span<const std::uint64_t> words);

    const std::vector<std::uint8_t> &bytes() const { return bytes_; }
    std::vector<std::uint8_t> take() { return std::move(bytes_); }

private:
    std::vector<std::uint8_t> bytes_;
};

class StateReader {
public:
    explicit StateReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::uint8_t u8();
    bool boolean();
    std::uint32_t u32();
    std::uint64_t u64();
    std::span<const std::uint8_t> raw(std::size_t size);
    std::string text();
    std::deque<std::uint8_t> byte_deque();
    std::vector<std::uint64_t> word_list();
    // A count of items of this many bytes each, checked against what is left.
    std::size_t count(std::size_t item_bytes);
    // The value, refused unless it is at most limit.
    std::uint32_t u32_at_most(std::uint32_t limit);

    std::size_t left() const { return bytes_.size() - at_; }
    // Refuses bytes nobody read: a state of another layout.
    void expect_end() const;

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

}  // namespace kelto::sim
