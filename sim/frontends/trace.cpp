#include "frontends/trace.hpp"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include <unistd.h>

#include "models/uart.hpp"

namespace kelto::sim::frontend {

namespace {

// Longest loop of reads that still folds: a poll of a status register and a
// data register, or of two ports, with room to spare.
constexpr std::size_t max_loop = 4;

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::vector<std::string> split_words(const std::string &filter)
{
    std::vector<std::string> words;
    std::size_t start = 0;
    while (start <= filter.size()) {
        const std::size_t comma = std::min(filter.find(',', start), filter.size());
        if (comma > start)
            words.push_back(lower(filter.substr(start, comma - start)));
        start = comma + 1;
    }
    return words;
}

bool names_register(const Device &device, std::uint32_t offset, const std::string &word)
{
    const std::string name = lower(device.name());
    return name.find(word) != std::string::npos || lower(device.register_name(offset)) == word;
}

bool names_something(const std::vector<const Device *> &devices, const std::string &word)
{
    for (const Device *device : devices) {
        for (std::uint32_t offset = 0; offset < device->size(); offset += 4) {
            if (names_register(*device, offset, word))
                return true;
        }
    }
    return false;
}

// 'H', '\n', or '\x1b': the byte as C would write it.
std::string quoted_char(std::uint32_t value)
{
    const auto byte = static_cast<unsigned char>(value);
    switch (byte) {
    case '\n': return "'\\n'";
    case '\r': return "'\\r'";
    case '\t': return "'\\t'";
    case '\'': return "'\\''";
    case '\\': return "'\\\\'";
    default: break;
    }
    if (std::isprint(byte))
        return std::string("'") + static_cast<char>(byte) + "'";
    char text[8];
    std::snprintf(text, sizeof text, "'\\x%02x'", byte);
    return text;
}

}  // namespace

Trace::Trace(std::optional<std::string> path)
    : out_(path ? std::fopen(path->c_str(), "w") : stderr), owns_out_(path.has_value())
{
    if (!out_)
        throw std::runtime_error("cannot write the trace to " + *path);
    // A terminal in raw mode does not return the carriage at a line feed.
    if (::isatty(::fileno(out_)))
        line_end_ = "\r\n";
}

Trace::~Trace()
{
    flush();
    if (machine_)
        machine_->remove_access_observer(*this);
    if (owns_out_)
        std::fclose(out_);
}

void Trace::attach(Machine &machine)
{
    machine_ = &machine;
    machine.add_access_observer(*this);
    selected_.clear();
    locations_.clear();
    loop_.clear();
}

void Trace::board_changed(Board &board)
{
    // A reset replaces the machine; the old one is gone with its observers.
    if (&board.machine() != machine_)
        attach(board.machine());
}

void Trace::enable(const std::string &filter)
{
    std::vector<std::string> words = split_words(filter);
    if (machine_) {
        for (const std::string &word : words) {
            if (!names_something(machine_->devices(), word))
                throw std::invalid_argument("no peripheral or register is called '" + word + "'");
        }
    }
    flush();
    filter_ = std::move(words);
    selected_.clear();
    enabled_ = true;
}

void Trace::disable()
{
    flush();
    enabled_ = false;
}

bool Trace::selected(const Access &access, const Device &device)
{
    if (filter_.empty())
        return true;
    const auto [found, added] = selected_.try_emplace(access.address, false);
    if (added) {
        const std::uint32_t offset = access.address - device.base();
        found->second = std::any_of(filter_.begin(), filter_.end(),
                                    [&](const std::string &word) { return names_register(device, offset, word); });
    }
    return found->second;
}

void Trace::accessed(const Access &access, const Device &device)
{
    if (!enabled_ || !selected(access, device))
        return;
    if (!access.write) {
        fold(access, device);
        return;
    }
    write_loop();
    const std::uint32_t offset = access.address - device.base();
    std::string words = device.describe_write(offset, access.value);
    if (offset == UartChannel::UTXH && dynamic_cast<const UartChannel *>(&device))
        words = quoted_char(access.value);
    write_line(access.time, access.pc, device, access.address, true, access.value, words);
}

// Reads collect into a loop: while no register in it has been seen twice the
// loop may grow; once it repeats, each read must be the one the loop expects
// next, or the loop is written out and a new one starts.
void Trace::fold(const Access &access, const Device &device)
{
    if (!loop_.empty()) {
        Read &expected = loop_[next_];
        if (expected.address == access.address && expected.pc == access.pc) {
            expected.count++;
            expected.last = access.value;
            expected.last_time = access.time;
            next_ = (next_ + 1) % loop_.size();
            return;
        }
        const bool forming = next_ == 0 && std::all_of(loop_.begin(), loop_.end(), [&](const Read &read) {
                                 return read.count == 1 && !(read.address == access.address && read.pc == access.pc);
                             });
        if (!forming || loop_.size() == max_loop)
            write_loop();
    }
    loop_.push_back(Read{access.address, access.pc, &device, access.time, access.time, access.value, access.value, 1});
    next_ = 0;
}

void Trace::flush()
{
    write_loop();
    std::fflush(out_);
}

void Trace::write_loop()
{
    for (const Read &read : loop_) {
        std::string words;
        const std::uint32_t offset = read.address - read.device->base();
        if (offset == UartChannel::URXH && dynamic_cast<const UartChannel *>(read.device))
            words = quoted_char(read.first);
        if (read.count > 1) {
            char text[96];
            std::snprintf(text, sizeof text, "x%llu until %.9f, last 0x%08x",
                          static_cast<unsigned long long>(read.count),
                          machine_->clock().to_seconds(read.last_time), read.last);
            append_words(words, text);
        }
        write_line(read.first_time, read.pc, *read.device, read.address, false, read.first, words);
    }
    loop_.clear();
    next_ = 0;
}

void Trace::write_line(Cycles time, std::uint32_t pc, const Device &device, std::uint32_t address, bool write,
                       std::uint32_t value, const std::string &words)
{
    const std::string name = device.register_name(address - device.base());
    const std::string reg = name.empty() ? device.name() : device.name() + " " + name;
    std::fprintf(out_, "%12.9f  %-30s %-18s %s 0x%08x%s%s%s", machine_->clock().to_seconds(time),
                 location(pc).c_str(), reg.c_str(), write ? "<-" : "->", value, words.empty() ? "" : "  ",
                 words.c_str(), line_end_);
}

const std::string &Trace::location(std::uint32_t pc)
{
    auto found = locations_.find(pc);
    if (found == locations_.end())
        found = locations_.emplace(pc, machine_->code_location(pc)).first;
    return found->second;
}

}  // namespace kelto::sim::frontend
