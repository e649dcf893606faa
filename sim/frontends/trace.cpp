#include "frontends/trace.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

#include "frontends/escape.hpp"
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

template <class... Values> std::string formatted(const char *format, Values... values)
{
    std::string text(160, '\0');
    const int length = std::snprintf(text.data(), text.size(), format, values...);
    text.resize(static_cast<std::size_t>(std::max(length, 0)));
    if (text.size() >= 160)
        std::snprintf(text.data(), text.size() + 1, format, values...);
    return text;
}

// "1 GiB", "100 MiB", "1000 bytes": a limit as it was most likely given.
std::string size_text(std::uint64_t bytes)
{
    for (const auto &[unit, name] : {std::pair{std::uint64_t{1} << 30, "GiB"}, {std::uint64_t{1} << 20, "MiB"},
                                     {std::uint64_t{1} << 10, "KiB"}}) {
        if (bytes % unit == 0)
            return std::to_string(bytes / unit) + " " + name;
    }
    return std::to_string(bytes) + " bytes";
}

// Width of the location column: longer names are cut to it, so the
// registers and values stay in their columns.
constexpr std::size_t location_width = 30;

// "(anonymous namespace)::send_raw(unsigned long)+0x18" fitted to the column:
// without its parameters first, then without the anonymous namespace, then
// its start cut, keeping the offset.
std::string fitted_location(std::string location)
{
    if (location.size() <= location_width)
        return location;
    const std::size_t offset = std::min(location.rfind("+0x"), location.size());
    if (offset > 0 && location[offset - 1] == ')') {
        int depth = 0;
        for (std::size_t i = offset; i-- > 0;) {
            depth += location[i] == ')' ? 1 : location[i] == '(' ? -1 : 0;
            if (depth == 0) {
                location.erase(i, offset - i);
                break;
            }
        }
    }
    static constexpr std::string_view anonymous = "(anonymous namespace)::";
    if (const auto at = location.find(anonymous); location.size() > location_width && at != std::string::npos)
        location.erase(at, anonymous.size());
    if (location.size() <= location_width)
        return location;
    return "..." + location.substr(location.size() - (location_width - 3));
}

}  // namespace

Trace::Trace(const std::optional<std::string> &path, std::uint64_t limit)
    : out_("the trace", path), limit_(limit)
{
    // A terminal in raw mode does not return the carriage at a line feed.
    if (out_.is_terminal())
        line_end_ = "\r\n";
}

Trace::~Trace()
{
    // The session may be going too: what is left is written as it stands.
    start_line_ = nullptr;
    detach();
}

void Trace::attach(Machine &machine)
{
    machine_ = &machine;
    if (!full_)
        machine.add_access_observer(*this);
    selected_.clear();
    locations_.clear();
    loop_.clear();
}

void Trace::detach()
{
    if (!machine_)
        return;
    flush();
    machine_->remove_access_observer(*this);
    machine_ = nullptr;
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
    if (enabled_ && !full_ && selected(access, device))
        fold(access, device);
}

// Accesses collect into a loop: while no place in it has been seen twice the
// loop may grow; once it comes round, each access must repeat the one the
// loop expects next, or the loop is written out and a new one starts.
void Trace::fold(const Access &access, const Device &device)
{
    if (!loop_.empty()) {
        // A free-running counter's reading moves on while a loop waits on it.
        const bool counter = !access.write && device.read_may_change(access.address - device.base());
        const auto repeats = [&](const Entry &entry) {
            return entry.address == access.address && entry.pc == access.pc && entry.write == access.write &&
                   (entry.last == access.value || counter);
        };
        Entry &expected = loop_[next_];
        if (repeats(expected)) {
            expected.count++;
            expected.last = access.value;
            expected.last_time = access.time;
            next_ = (next_ + 1) % loop_.size();
            return;
        }
        const bool forming = next_ == 0 && std::all_of(loop_.begin(), loop_.end(), [&](const Entry &entry) {
                                 return entry.count == 1 && !repeats(entry);
                             });
        if (!forming || loop_.size() == max_loop)
            write_loop();
    }
    loop_.push_back(entry(access, device));
    next_ = 0;
}

// A write is put in words before it applies, while the model still holds
// what it replaces.
Trace::Entry Trace::entry(const Access &access, const Device &device) const
{
    const std::uint32_t offset = access.address - device.base();
    const bool uart = dynamic_cast<const UartChannel *>(&device) != nullptr;
    std::string words;
    if (uart && offset == (access.write ? UartChannel::UTXH : UartChannel::URXH))
        words = quoted_char(static_cast<std::uint8_t>(access.value));
    else if (access.write)
        words = device.describe_write(offset, access.value);
    return Entry{access.address, access.pc,   access.write, &device, access.time, access.time,
                 access.value,   access.value, 1,           std::move(words)};
}

void Trace::flush()
{
    write_loop();
    out_.flush();
}

bool Trace::finished(Board &board, int)
{
    flush();
    service(board);
    return !out_.failed();
}

void Trace::service(Board &board)
{
    out_.report(board);
    if (!full_ || full_noted_)
        return;
    full_noted_ = true;
    // Not from inside the access it was reached at: the machine is going
    // through its observers then.
    board.remove_probe(*this);
    board.note("the trace reached its limit of " + size_text(limit_) + " (--trace-limit) and stopped; the run goes on");
}

void Trace::write_loop()
{
    for (const Entry &entry : loop_)
        write_line(entry);
    loop_.clear();
    next_ = 0;
}

void Trace::write_line(const Entry &entry)
{
    if (full_ || out_.failed())
        return;
    const Device &device = *entry.device;
    std::string words = entry.words;
    if (entry.count > 1) {
        append_words(words, formatted("x%llu until %.9f", static_cast<unsigned long long>(entry.count),
                                      machine_->clock().to_seconds(entry.last_time)));
        if (entry.last != entry.first)
            words += formatted(", last 0x%08x", entry.last);
    }
    const std::string name = device.register_name(entry.address - device.base());
    const std::string reg = name.empty() ? device.name() : device.name() + " " + name;
    const std::string line =
        formatted("%12.9f  %-30s %-18s %s 0x%08x%s%s", machine_->clock().to_seconds(entry.first_time),
                  location(entry.pc).c_str(), reg.c_str(), entry.write ? "<-" : "->", entry.first,
                  words.empty() ? "" : "  ", words.c_str());
    if (out_.size() + line.size() + 2 > limit_) {
        stop_at_limit();
        return;
    }
    append_line(line);
}

void Trace::append_line(const std::string &line)
{
    if (start_line_)
        start_line_();
    out_.append(line);
    out_.end_line(line_end_);
}

void Trace::stop_at_limit()
{
    full_ = true;
    append_line("trace stopped: it reached its limit of " + size_text(limit_) + " (--trace-limit); the run went on");
    out_.flush();
}

const std::string &Trace::location(std::uint32_t pc)
{
    auto found = locations_.find(pc);
    if (found == locations_.end())
        found = locations_.emplace(pc, fitted_location(machine_->code_location(pc))).first;
    return found->second;
}

}  // namespace kelto::sim::frontend
