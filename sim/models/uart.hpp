// One channel of the chip's UART block (both chips share the register layout):
// 64-byte transmit and receive FIFOs, a transmitter that sends at the line
// rate UBRDIV and PCLK give, and a receiver fed from the host's side of the
// line.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "core/device.hpp"

namespace kelto::sim {

// What the console's line tells the far end: the firmware found the receiver
// empty with nothing on the way, a byte has left the line.
class ConsoleEvents {
public:
    virtual ~ConsoleEvents() = default;
    virtual void receiver_polled_empty() = 0;
    virtual void byte_transmitted(std::uint8_t byte) = 0;
};

class UartChannel final : public Device {
public:
    static constexpr std::uint32_t ULCON = 0x00;
    static constexpr std::uint32_t UCON = 0x04;
    static constexpr std::uint32_t UFCON = 0x08;
    static constexpr std::uint32_t UMCON = 0x0C;
    static constexpr std::uint32_t UTRSTAT = 0x10;
    static constexpr std::uint32_t UERSTAT = 0x14;
    static constexpr std::uint32_t UFSTAT = 0x18;
    static constexpr std::uint32_t UMSTAT = 0x1C;
    static constexpr std::uint32_t UTXH = 0x20;
    static constexpr std::uint32_t URXH = 0x24;
    static constexpr std::uint32_t UBRDIV = 0x28;
    static constexpr std::uint32_t UDIVSLOT = 0x2C;

    static constexpr std::uint32_t UFCON_FIFO_ENABLE = 1u << 0;
    static constexpr std::uint32_t UFCON_RX_RESET = 1u << 1;
    static constexpr std::uint32_t UFCON_TX_RESET = 1u << 2;
    static constexpr std::uint32_t UFSTAT_RX_FULL = 1u << 6;
    static constexpr std::uint32_t UFSTAT_TX_FULL = 1u << 14;
    static constexpr std::uint32_t UERSTAT_OVERRUN = 1u << 0;
    static constexpr std::size_t fifo_depth = 64;

    UartChannel(int channel, std::uint32_t base, std::uint64_t pclk_hz, bool console);

    std::optional<std::uint32_t> read(std::uint32_t offset) override;
    std::optional<std::uint32_t> peek(std::uint32_t offset) const override;
    bool write(std::uint32_t offset, std::uint32_t value) override;
    std::span<const Register> registers() const override;
    std::string describe_write(std::uint32_t offset, std::uint32_t value) const override;
    void advance(Cycles now) override;
    Cycles next_event() const override;
    void save(StateWriter &out) const override;
    void restore(StateReader &in) override;

    int channel() const { return channel_; }
    // The console channel reports its line's events here.
    void connect_console(ConsoleEvents &events) { events_ = &events; }
    // Host side of the line: bytes start arriving now, one frame apart, once
    // the receiver is on; a byte that finds the receive FIFO full is lost.
    void feed(std::string_view bytes);
    bool line_idle() const { return wire_.empty(); }
    bool transmitter_idle() const { return !tx_busy_ && tx_fifo_.empty(); }
    // What has left the line, and when each byte finished: everything, or
    // with a history limit only the most recent bytes (at least that many).
    const std::string &output() const { return output_; }
    const std::vector<Cycles> &output_times() const { return output_times_; }
    void limit_history(std::size_t bytes) { history_limit_ = bytes; }
    // Bytes sent since reset, kept or not.
    std::uint64_t sent() const { return sent_; }
    std::size_t rx_waiting() const { return rx_fifo_.size(); }
    // The firmware has read the receiver's status or data with the receiver
    // on: its set-up (a FIFO reset among it) is behind it.
    bool receiver_polled() const { return receiver_polled_; }
    std::uint64_t overruns() const { return overruns_; }
    // Bytes that reached the receive FIFO.
    std::uint64_t received() const { return received_; }
    // One frame (start, data, parity, stop bits) at the programmed rate.
    Cycles frame_time() const;
    std::uint32_t divisor() const { return ubrdiv_; }

private:
    std::size_t depth() const { return (ufcon_ & UFCON_FIFO_ENABLE) ? fifo_depth : 1; }
    bool transmitter_on() const { return ((ucon_ >> 2) & 3) != 0; }
    bool receiver_on() const { return (ucon_ & 3) != 0; }
    std::uint32_t fifo_status() const;
    void start_transmitter(Cycles at);
    void start_line(Cycles at);

    int channel_;
    std::uint64_t pclk_hz_;
    bool console_;
    ConsoleEvents *events_ = nullptr;

    std::uint32_t ulcon_ = 0, ucon_ = 0, ufcon_ = 0, umcon_ = 0, ubrdiv_ = 0, udivslot_ = 0, uerstat_ = 0;

    std::deque<std::uint8_t> tx_fifo_;
    std::uint32_t last_written_ = 0;  // to UTXH
    bool tx_busy_ = false;
    std::uint8_t tx_shift_ = 0;
    Cycles tx_done_ = never;

    std::deque<std::uint8_t> rx_fifo_;
    std::deque<std::uint8_t> wire_;
    Cycles wire_next_ = never;
    std::uint64_t overruns_ = 0;
    std::uint64_t received_ = 0;
    bool receiver_polled_ = false;

    std::string output_;
    std::vector<Cycles> output_times_;
    std::size_t history_limit_ = 0;  // 0: keep everything
    std::uint64_t sent_ = 0;
};

}  // namespace kelto::sim
