// The register trace: one line per register access, naming the function it
// came from, the register, the value and what a write changes in words.
//
//   0.000012345  kelto_uart_init+0x2c        UART1 ULCON    <- 0x00000003  8N1
//   0.000251000  kelto_uart_write+0x18       UART1 UTXH     <- 0x00000048  'H'
//   0.000300000  udelay+0x24                 PWM timers TCNTO4 -> 0x000003e7  x10000 until 0.010300000, last 0x00000012
//
// A busy-wait folds: accesses that repeat the same short loop, each made by
// the same instruction to the same register with the same value, with
// nothing else in between, become one line per access with the count. Only a
// free-running counter's readings may differ within a fold (the line then
// gives the last value too): each byte taken from a receiver is a line.
//
// The trace stops, with a line saying so, once it has written its limit of
// bytes; the run goes on.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "frontends/frontend.hpp"
#include "frontends/record_file.hpp"
#include "machine/machine.hpp"

namespace kelto::sim::frontend {

class Trace final : public Frontend, public Probe, public AccessObserver {
public:
    // What --trace-limit is without one: a long trace of folded lines is a
    // few megabytes, and a gigabyte is more than anyone reads, yet fits any
    // disk a test or a CI job runs on.
    static constexpr std::uint64_t default_limit = std::uint64_t{1} << 30;

    // Writes to path, or to stderr without one, up to limit bytes. Throws
    // std::runtime_error when the file cannot be opened.
    explicit Trace(const std::optional<std::string> &path = std::nullopt, std::uint64_t limit = default_limit);
    ~Trace() override;
    Trace(const Trace &) = delete;
    Trace &operator=(const Trace &) = delete;

    // Starts tracing the machine's accesses.
    void attach(Machine &machine) override;
    // Writes out what it has of the machine and lets it go.
    void detach() override;
    // filter: a comma list of peripherals (uart, uart1, gpio, timer) and
    // registers (UTXH, GPNCON), any case; empty traces everything. Throws
    // std::invalid_argument for a word that names neither.
    void enable(const std::string &filter = {});
    void disable();
    bool enabled() const { return enabled_; }
    // Called before each line: on a terminal shared with the console, the
    // session ends the console's unfinished line there.
    void start_lines_with(std::function<void()> start_line) { start_line_ = std::move(start_line); }
    // Writes out a folded loop still open, and what the file holds so far.
    void flush();
    // Flushes; false, with a note and the end of the run, when some of the
    // trace could not be written.
    bool finished(Board &board, int status) override;

    void service(Board &board) override;
    void accessed(const Access &access, const Device &device) override;
    bool wants_instruction_pc() const override { return true; }

private:
    // One access of the loop being folded, and how often it came round.
    struct Entry {
        std::uint32_t address;
        std::uint32_t pc;
        bool write;
        const Device *device;
        Cycles first_time, last_time;
        std::uint32_t first, last;
        std::uint64_t count;
        std::string words;
    };

    bool selected(const Access &access, const Device &device);
    void fold(const Access &access, const Device &device);
    Entry entry(const Access &access, const Device &device) const;
    void write_loop();
    void write_line(const Entry &entry);
    void stop_at_limit();
    const std::string &location(std::uint32_t pc);
    void append_line(const std::string &line);

    RecordFile out_;
    const char *line_end_ = "\n";
    std::function<void()> start_line_;
    std::uint64_t limit_;
    // The limit was reached: nothing more is traced, and the session is told.
    bool full_ = false;
    bool full_noted_ = false;
    Machine *machine_ = nullptr;
    bool enabled_ = false;
    std::vector<std::string> filter_;
    std::unordered_map<std::uint32_t, bool> selected_;
    std::unordered_map<std::uint32_t, std::string> locations_;
    // The loop of accesses being folded, and which of them comes next.
    std::vector<Entry> loop_;
    std::size_t next_ = 0;
};

}  // namespace kelto::sim::frontend
