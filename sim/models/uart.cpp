#include "models/uart.hpp"

namespace kelto::sim {

namespace {

constexpr auto rw = RegisterAccess::read_write;
constexpr auto ro = RegisterAccess::read_only;

constexpr Field line_control_fields[] = {
    {"WORD_LENGTH", 0, 2, "data bits: 5 + value"},
    {"STOP_BITS", 2, 1, "stop bits", "two stop bits", "one stop bit"},
    {"PARITY", 3, 3, "parity: 0-3 none, 4 odd, 5 even, 6 forced 1, 7 forced 0"},
    {"INFRARED", 6, 1, "infrared mode", "infrared"},
};
constexpr Field control_fields[] = {
    {"RX_MODE", 0, 2, "receive mode: 0 off, 1 polling, 2-3 DMA"},
    {"TX_MODE", 2, 2, "transmit mode: 0 off, 1 polling, 2-3 DMA"},
    {"SEND_BREAK", 4, 1, "send a break", "break"},
    {"LOOPBACK", 5, 1, "loopback mode", "loopback"},
};
constexpr Field fifo_control_fields[] = {
    {"FIFO_ENABLE", 0, 1, "FIFOs on (off: one-byte holding registers)", "FIFOs on", "FIFOs off"},
    {"RX_FIFO_RESET", 1, 1, "writing 1 empties the receive FIFO; reads 0"},
    {"TX_FIFO_RESET", 2, 1, "writing 1 empties the transmit FIFO; reads 0"},
};
constexpr Field status_fields[] = {
    {"RX_DATA_READY", 0, 1, "the receiver holds a byte", "rx data ready", "rx empty"},
    {"TX_BUFFER_EMPTY", 1, 1, "the transmit buffer is empty", "tx buffer empty", "tx buffer holds data"},
    {"TX_EMPTY", 2, 1, "the transmit buffer and the shifter are empty", "tx empty", "tx busy"},
};
constexpr Field error_fields[] = {
    {"OVERRUN", 0, 1, "a byte was lost to a full receiver; reading clears it", "overrun"},
};
constexpr Field fifo_status_fields[] = {
    {"RX_COUNT", 0, 6, "bytes in the receive FIFO (0 when full)"},
    {"RX_FULL", 6, 1, "the receive FIFO is full", "rx full"},
    {"TX_COUNT", 8, 6, "bytes in the transmit FIFO (0 when full)"},
    {"TX_FULL", 14, 1, "the transmit FIFO is full", "tx full"},
};
constexpr Field transmit_fields[] = {{"DATA", 0, 8, "byte to send"}};
constexpr Field receive_fields[] = {{"DATA", 0, 8, "oldest byte received; reading takes it"}};
constexpr Field divisor_fields[] = {{"DIVISOR", 0, 16, "bit rate = PCLK / ((value + 1) * 16)"}};

using U = UartChannel;
// After reset both transmit flags are set: nothing waits to be sent.
constexpr Register uart_registers[] = {
    {"ULCON", U::ULCON, 0, rw, "line control: frame format", line_control_fields},
    {"UCON", U::UCON, 0, rw, "control: receive and transmit modes", control_fields},
    {"UFCON", U::UFCON, 0, rw, "FIFO control", fifo_control_fields},
    {"UMCON", U::UMCON, 0, rw, "modem control"},
    {"UTRSTAT", U::UTRSTAT, 0x6, ro, "receive and transmit status", status_fields},
    {"UERSTAT", U::UERSTAT, 0, ro, "receive errors", error_fields, ReadEffect::clears},
    {"UFSTAT", U::UFSTAT, 0, ro, "FIFO status", fifo_status_fields},
    {"UMSTAT", U::UMSTAT, 0, ro, "modem status"},
    {"UTXH", U::UTXH, 0, RegisterAccess::write_only, "transmit holding register", transmit_fields},
    {"URXH", U::URXH, 0, ro, "receive holding register", receive_fields, ReadEffect::takes},
    {"UBRDIV", U::UBRDIV, 0, rw, "bit rate divisor", divisor_fields},
    {"UDIVSLOT", U::UDIVSLOT, 0, rw, "bit rate divisor's fraction slots"},
};
static_assert(table_well_formed(uart_registers, 0x30), "UART register table");

}  // namespace

std::span<const Register> UartChannel::registers() const
{
    return uart_registers;
}


UartChannel::UartChannel(int channel, std::uint32_t base, std::uint64_t pclk_hz, bool console)
    : Device("UART" + std::to_string(channel), base, 0x30), channel_(channel), pclk_hz_(pclk_hz), console_(console)
{
}

namespace {

// "8N1": data bits, parity, stop bits.
std::string line_format(std::uint32_t ulcon)
{
    static const char parity[] = {'N', 'N', 'N', 'N', 'O', 'E', 'M', 'S'};
    std::string text = std::to_string(5 + (ulcon & 3)) + parity[(ulcon >> 3) & 7] + ((ulcon & 4) ? "2" : "1");
    if (ulcon & 0x40)
        text += " infrared";
    return text;
}

const char *mode_name(std::uint32_t mode)
{
    static const char *const names[] = {"off", "polling", "DMA", "DMA"};
    return names[mode & 3];
}

std::string control_changes(std::uint32_t old, std::uint32_t value)
{
    std::string text;
    auto mode = [&](const char *side, unsigned shift) {
        if (((old ^ value) >> shift) & 3)
            append_words(text, std::string(side) + " " + mode_name(old >> shift) + " -> " + mode_name(value >> shift));
    };
    auto flag = [&](const char *what, unsigned bit) {
        if (((old ^ value) >> bit) & 1)
            append_words(text, std::string(what) + ((value >> bit) & 1 ? " on" : " off"));
    };
    mode("receiver", 0);
    mode("transmitter", 2);
    flag("break", 4);
    flag("loopback", 5);
    return text;
}

std::string fifo_changes(std::uint32_t old, std::uint32_t value)
{
    std::string text;
    if ((old ^ value) & UartChannel::UFCON_FIFO_ENABLE)
        append_words(text, (value & UartChannel::UFCON_FIFO_ENABLE) ? "FIFOs on" : "FIFOs off");
    if (value & UartChannel::UFCON_RX_RESET)
        append_words(text, "receive FIFO emptied");
    if (value & UartChannel::UFCON_TX_RESET)
        append_words(text, "transmit FIFO emptied");
    return text;
}

}  // namespace

std::string UartChannel::describe_write(std::uint32_t offset, std::uint32_t value) const
{
    switch (offset) {
    case ULCON: return line_format(value);
    case UCON: return control_changes(ucon_, value);
    case UFCON: return fifo_changes(ufcon_, value);
    case UBRDIV: return std::to_string(pclk_hz_ / ((std::uint64_t{value & 0xFFFF} + 1) * 16)) + " bit/s";
    default: return {};
    }
}

Cycles UartChannel::frame_time() const
{
    const unsigned data_bits = 5 + (ulcon_ & 3);
    const unsigned stop_bits = (ulcon_ & 4) ? 2 : 1;
    const unsigned parity_bits = (ulcon_ & 0x20) ? 1 : 0;
    const unsigned bits = 1 + data_bits + parity_bits + stop_bits;
    const std::uint64_t pclk_ticks = std::uint64_t{bits} * 16 * (std::uint64_t{ubrdiv_} + 1);
    Clock &clock = bus().clock();
    return clock.time_of_tick(pclk_hz_, pclk_ticks);
}

std::uint32_t UartChannel::fifo_status() const
{
    // A full FIFO shows a count of 0 with its full flag: the count field has
    // six bits.
    std::uint32_t status = 0;
    if (rx_fifo_.size() >= fifo_depth)
        status |= UFSTAT_RX_FULL;
    else
        status |= static_cast<std::uint32_t>(rx_fifo_.size());
    if (tx_fifo_.size() >= depth())
        status |= UFSTAT_TX_FULL;
    if (tx_fifo_.size() < fifo_depth)
        status |= static_cast<std::uint32_t>(tx_fifo_.size()) << 8;
    return status;
}

std::optional<std::uint32_t> UartChannel::read(std::uint32_t offset)
{
    advance(bus().clock().now());
    if (receiver_on() && (offset == UFSTAT || offset == UTRSTAT || offset == URXH))
        receiver_polled_ = true;
    switch (offset) {
    case UERSTAT: {
        const std::uint32_t errors = uerstat_;
        uerstat_ = 0;
        return errors;
    }
    case UFSTAT:
        if (console_ && events_ && rx_fifo_.empty() && wire_.empty()) {
            // The machine may move time on while the firmware only waits;
            // the status must show what that time brought.
            events_->receiver_polled_empty();
            advance(bus().clock().now());
        }
        return fifo_status();
    case URXH: {
        if (rx_fifo_.empty())
            return 0;
        const std::uint8_t byte = rx_fifo_.front();
        rx_fifo_.pop_front();
        return byte;
    }
    case UTXH: return std::nullopt;  // write-only
    default: return peek(offset);
    }
}

std::optional<std::uint32_t> UartChannel::peek(std::uint32_t offset) const
{
    switch (offset) {
    case ULCON: return ulcon_;
    case UCON: return ucon_;
    case UFCON: return ufcon_;
    case UMCON: return umcon_;
    case UBRDIV: return ubrdiv_;
    case UDIVSLOT: return udivslot_;
    case UMSTAT: return 0;
    case UTRSTAT: {
        std::uint32_t status = 0;
        if (!rx_fifo_.empty())
            status |= 1;
        if (tx_fifo_.empty())
            status |= 2;
        if (transmitter_idle())
            status |= 4;
        return status;
    }
    case UERSTAT: return uerstat_;
    case UFSTAT: return fifo_status();
    case URXH: return rx_fifo_.empty() ? 0u : std::uint32_t{rx_fifo_.front()};
    case UTXH: return last_written_;  // write-only; a debugger sees the last byte
    default: return std::nullopt;
    }
}

bool UartChannel::write(std::uint32_t offset, std::uint32_t value)
{
    const Cycles now = bus().clock().now();
    advance(now);
    switch (offset) {
    case ULCON: ulcon_ = value & 0x7F; return true;
    case UCON: {
        const bool receiver_was_on = receiver_on();
        ucon_ = value & 0xFFFF;
        if (!receiver_was_on && receiver_on())
            start_line(now);
        start_transmitter(now);
        return true;
    }
    case UFCON:
        // The reset bits empty a FIFO and clear themselves.
        if (value & UFCON_RX_RESET)
            rx_fifo_.clear();
        if (value & UFCON_TX_RESET)
            tx_fifo_.clear();
        ufcon_ = value & ~(UFCON_RX_RESET | UFCON_TX_RESET) & 0xFF;
        return true;
    case UMCON: umcon_ = value & 0xFF; return true;
    case UBRDIV: ubrdiv_ = value & 0xFFFF; return true;
    case UDIVSLOT: udivslot_ = value & 0xFFFF; return true;
    case UTXH:
        if (tx_fifo_.size() >= depth()) {
            bus().raise_fault("byte written to UTXH while the transmit FIFO is full (the byte would be lost)",
                                  base() + offset, value, true);
            return true;
        }
        tx_fifo_.push_back(static_cast<std::uint8_t>(value));
        last_written_ = value & 0xFF;
        start_transmitter(now);
        return true;
    default: return false;
    }
}

void UartChannel::start_transmitter(Cycles at)
{
    if (tx_busy_ || tx_fifo_.empty() || !transmitter_on())
        return;
    tx_shift_ = tx_fifo_.front();
    tx_fifo_.pop_front();
    tx_busy_ = true;
    tx_done_ = at + frame_time();
    bus().schedule(tx_done_);
}

void UartChannel::start_line(Cycles at)
{
    if (!wire_.empty() && receiver_on()) {
        wire_next_ = at + frame_time();
        bus().schedule(wire_next_);
    }
}

void UartChannel::advance(Cycles now)
{
    while (tx_busy_ && tx_done_ <= now) {
        const Cycles done = tx_done_;
        tx_busy_ = false;
        tx_done_ = never;
        output_.push_back(static_cast<char>(tx_shift_));
        output_times_.push_back(done);
        sent_++;
        if (history_limit_ && output_.size() >= 2 * history_limit_) {
            output_.erase(0, output_.size() - history_limit_);
            output_times_.erase(output_times_.begin(), output_times_.end() - static_cast<std::ptrdiff_t>(history_limit_));
        }
        if (console_ && events_)
            events_->byte_transmitted(tx_shift_);
        start_transmitter(done);
    }
    while (!wire_.empty() && receiver_on() && wire_next_ <= now) {
        const Cycles arrived = wire_next_;
        if (rx_fifo_.size() < depth()) {
            rx_fifo_.push_back(wire_.front());
            received_++;
        } else {
            uerstat_ |= UERSTAT_OVERRUN;
            overruns_++;
        }
        wire_.pop_front();
        wire_next_ = wire_.empty() ? never : arrived + frame_time();
    }
}

Cycles UartChannel::next_event() const
{
    const Cycles rx = receiver_on() ? wire_next_ : never;
    return std::min(tx_done_, rx);
}

void UartChannel::save(StateWriter &out) const
{
    for (std::uint32_t value : {ulcon_, ucon_, ufcon_, umcon_, ubrdiv_, udivslot_, uerstat_, last_written_})
        out.u32(value);
    out.byte_list(tx_fifo_);
    out.boolean(tx_busy_);
    out.u8(tx_shift_);
    out.u64(tx_done_);
    out.byte_list(rx_fifo_);
    out.byte_list(wire_);
    out.u64(wire_next_);
    out.boolean(receiver_polled_);
    for (std::uint64_t count : {overruns_, received_, sent_})
        out.u64(count);
    out.text(output_);
    out.word_list(output_times_);
}

void UartChannel::restore(StateReader &in)
{
    for (std::uint32_t *value : {&ulcon_, &ucon_, &ufcon_, &umcon_, &ubrdiv_, &udivslot_, &uerstat_, &last_written_})
        *value = in.u32();
    tx_fifo_ = in.byte_deque();
    tx_busy_ = in.boolean();
    tx_shift_ = in.u8();
    tx_done_ = in.u64();
    rx_fifo_ = in.byte_deque();
    wire_ = in.byte_deque();
    wire_next_ = in.u64();
    receiver_polled_ = in.boolean();
    for (std::uint64_t *count : {&overruns_, &received_, &sent_})
        *count = in.u64();
    output_ = in.text();
    output_times_ = in.word_list();
    if (tx_fifo_.size() > fifo_depth || rx_fifo_.size() > fifo_depth || output_times_.size() != output_.size())
        throw StateError(name() + ": the state's FIFOs or output do not fit the model");
}

void UartChannel::feed(std::string_view bytes)
{
    if (bytes.empty())
        return;
    const bool was_idle = wire_.empty();
    wire_.insert(wire_.end(), bytes.begin(), bytes.end());
    if (was_idle)
        start_line(bus().clock().now());
}

}  // namespace kelto::sim
