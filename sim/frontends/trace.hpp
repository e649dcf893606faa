// The register trace: one line per register access, naming the function it
// came from, the register, the value and what a write changes in words.
//
//   0.000012345  kelto_uart_init+0x2c        UART1 ULCON    <- 0x00000003  8N1
//   0.000251000  kelto_uart_write+0x18       UART1 UTXH     <- 0x00000048  'H'
//   0.000300000  udelay+0x24                 PWM timers TCNTO4 -> 0x000003e7  x10000 until 0.010300000, last 0x00000012
//
// A busy-wait folds: reads that repeat the same short loop of registers from
// the same instructions, with nothing else in between, become one line per
// register with the count and the first and last values.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "frontends/frontend.hpp"
#include "machine/machine.hpp"

namespace kelto::sim::frontend {

class Trace final : public Frontend, private AccessObserver {
public:
    // Writes to path, or to stderr without one. Throws std::runtime_error
    // when the file cannot be opened.
    explicit Trace(std::optional<std::string> path = std::nullopt);
    ~Trace() override;
    Trace(const Trace &) = delete;
    Trace &operator=(const Trace &) = delete;

    // Starts tracing the machine's accesses.
    void attach(Machine &machine);
    // filter: a comma list of peripherals (uart, uart1, gpio, timer) and
    // registers (UTXH, GPNCON), any case; empty traces everything. Throws
    // std::invalid_argument for a word that names neither.
    void enable(const std::string &filter = {});
    void disable();
    bool enabled() const { return enabled_; }
    // Writes out a folded loop still open, and what the file holds so far.
    void flush();

    void board_changed(Board &board) override;

private:
    struct Read {
        std::uint32_t address;
        std::uint32_t pc;
        const Device *device;
        Cycles first_time, last_time;
        std::uint32_t first, last;
        std::uint64_t count;
    };

    void accessed(const Access &access, const Device &device) override;
    bool wants_instruction_pc() const override { return true; }
    bool selected(const Access &access, const Device &device);
    void fold(const Access &access, const Device &device);
    void write_loop();
    void write_line(Cycles time, std::uint32_t pc, const Device &device, std::uint32_t address, bool write,
                    std::uint32_t value, const std::string &words);
    const std::string &location(std::uint32_t pc);

    std::FILE *out_;
    bool owns_out_;
    const char *line_end_ = "\n";
    Machine *machine_ = nullptr;
    bool enabled_ = false;
    std::vector<std::string> filter_;
    std::unordered_map<std::uint32_t, bool> selected_;
    std::unordered_map<std::uint32_t, std::string> locations_;
    // The loop of reads being folded, and which of them comes next.
    std::vector<Read> loop_;
    std::size_t next_ = 0;
};

}  // namespace kelto::sim::frontend
