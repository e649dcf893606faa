// The UART model's own promises, where the firmware's polled driver would
// not notice a fault: FIFO status fields, FIFO resets, overruns, and the
// report of a byte written to a full transmit FIFO.
#include <string>

#include "harness.hpp"

using namespace kelto::test;
using kelto::sim::UartChannel;

namespace {

constexpr std::uint32_t rx_count_mask = 0x3F;
constexpr std::uint32_t tx_count(std::uint32_t ufstat)
{
    return (ufstat >> 8) & 0x3F;
}

// A channel that is not the console, programmed directly through the
// model's registers: 8N1 at the firmware's divisor, FIFOs on.
class UartModel : public testing::Test {
protected:
    void SetUp() override
    {
        m = load("drivertest-64");
        set(UartChannel::ULCON, 0x03);
        set(UartChannel::UBRDIV, 34);
        set(UartChannel::UFCON, UartChannel::UFCON_FIFO_ENABLE);
        set(UartChannel::UCON, receiver_only);
    }

    void set(std::uint32_t offset, std::uint32_t value) { ASSERT_TRUE(uart().write(offset, value)); }
    std::uint32_t get(std::uint32_t offset)
    {
        const auto value = uart().read(offset);
        EXPECT_TRUE(value) << "offset " << offset;
        return value.value_or(0);
    }
    UartChannel &uart() { return m->uart(2); }
    void arrive(const std::string &bytes)
    {
        uart().feed(bytes);
        settle(*m, static_cast<double>(bytes.size() + 1) * frame_seconds(*m, 2));
    }

    // Receiver polled, transmitter off: queued bytes stay in the FIFO.
    static constexpr std::uint32_t receiver_only = 0x801;
    std::unique_ptr<Machine> m;
};

TEST_F(UartModel, ReceiveCountRunsTo63AndAFullFifoShowsOnlyItsFlag)
{
    arrive(std::string(63, 'r'));
    EXPECT_EQ(get(UartChannel::UFSTAT) & 0x7F, 63u);

    arrive("!");
    const std::uint32_t full = get(UartChannel::UFSTAT);
    EXPECT_EQ(full & rx_count_mask, 0u) << "the count field has six bits";
    EXPECT_TRUE(full & UartChannel::UFSTAT_RX_FULL);

    EXPECT_EQ(get(UartChannel::URXH), std::uint32_t{'r'});
    const std::uint32_t after = get(UartChannel::UFSTAT);
    EXPECT_EQ(after & rx_count_mask, 63u);
    EXPECT_FALSE(after & UartChannel::UFSTAT_RX_FULL);
}

TEST_F(UartModel, TransmitCountAndFullFlagFollowTheQueue)
{
    for (int i = 0; i < 5; i++)
        set(UartChannel::UTXH, 'a');
    std::uint32_t status = get(UartChannel::UFSTAT);
    EXPECT_EQ(tx_count(status), 5u);
    EXPECT_FALSE(status & UartChannel::UFSTAT_TX_FULL);

    for (int i = 5; i < 63; i++)
        set(UartChannel::UTXH, 'a');
    status = get(UartChannel::UFSTAT);
    EXPECT_EQ(tx_count(status), 63u);
    EXPECT_FALSE(status & UartChannel::UFSTAT_TX_FULL);

    set(UartChannel::UTXH, 'a');
    status = get(UartChannel::UFSTAT);
    EXPECT_TRUE(status & UartChannel::UFSTAT_TX_FULL);
    EXPECT_EQ(tx_count(status), 0u);
    EXPECT_FALSE(m->fault());

    // Switching the transmitter on sends the queue at the line rate.
    set(UartChannel::UCON, 0x805);
    settle(*m, 65 * frame_seconds(*m, 2));
    EXPECT_EQ(uart().output(), std::string(64, 'a'));
    EXPECT_EQ(tx_count(get(UartChannel::UFSTAT)), 0u);
}

// UTRSTAT: bit 0 while a received byte waits, bit 1 while the transmit
// FIFO is empty, bit 2 only once the shifter has sent its last byte too.
TEST_F(UartModel, TransmitterStatusFollowsTheFifoAndTheShifter)
{
    constexpr std::uint32_t rx_ready = 1, tx_empty = 2, tx_idle = 4;
    EXPECT_EQ(get(UartChannel::UTRSTAT), tx_empty | tx_idle);
    arrive("ab");
    for (std::uint32_t left : {2u, 1u, 0u}) {
        EXPECT_EQ(get(UartChannel::UTRSTAT), (left ? rx_ready : 0) | tx_empty | tx_idle) << left << " waiting";
        get(UartChannel::URXH);
    }

    // With the transmitter off, bytes wait in the FIFO; once on, the first
    // goes to the shifter at once and the second a frame later.
    set(UartChannel::UTXH, 'x');
    set(UartChannel::UTXH, 'y');
    EXPECT_EQ(get(UartChannel::UTRSTAT), 0u);
    set(UartChannel::UCON, 0x805);
    const struct {
        double frames;  // since the transmitter was switched on
        std::uint32_t status;
        const char *sent;
    } timeline[] = {{0.5, 0, ""}, {1.5, tx_empty, "x"}, {2.5, tx_empty | tx_idle, "xy"}};
    double now = 0;
    for (const auto &at : timeline) {
        settle(*m, (at.frames - now) * frame_seconds(*m, 2));
        now = at.frames;
        EXPECT_EQ(get(UartChannel::UTRSTAT), at.status) << at.frames << " frames";
        EXPECT_EQ(uart().output(), at.sent) << at.frames << " frames";
    }
}

TEST_F(UartModel, WithFifosOffTheHoldingRegisterHoldsOneByte)
{
    set(UartChannel::UFCON, 0);
    set(UartChannel::UTXH, 'a');
    EXPECT_TRUE(get(UartChannel::UFSTAT) & UartChannel::UFSTAT_TX_FULL);
    EXPECT_EQ(get(UartChannel::UTRSTAT), 0u);
    // Taken by the shifter, the holding register is empty again.
    set(UartChannel::UCON, 0x805);
    EXPECT_EQ(get(UartChannel::UTRSTAT), 0x2u);
}

TEST_F(UartModel, FifoResetBitsEmptyTheirFifoAndClearThemselves)
{
    arrive("abc");
    set(UartChannel::UTXH, 'x');
    set(UartChannel::UTXH, 'y');

    set(UartChannel::UFCON, UartChannel::UFCON_FIFO_ENABLE | UartChannel::UFCON_RX_RESET);
    EXPECT_EQ(get(UartChannel::UFCON), UartChannel::UFCON_FIFO_ENABLE);
    EXPECT_EQ(get(UartChannel::UFSTAT) & rx_count_mask, 0u);
    EXPECT_EQ(tx_count(get(UartChannel::UFSTAT)), 2u) << "a receive reset touched the transmit FIFO";

    arrive("d");
    set(UartChannel::UFCON, 0x77);
    EXPECT_EQ(get(UartChannel::UFCON), 0x71u);
    EXPECT_EQ(get(UartChannel::UFSTAT) & 0x7F7F, 0u);
    EXPECT_EQ(uart().rx_waiting(), 0u);
}

TEST_F(UartModel, ByteArrivingAtAFullFifoIsLostAndNotedAsOverrun)
{
    std::string bytes;
    for (int i = 0; i < 66; i++)
        bytes += static_cast<char>(i);
    arrive(bytes);
    EXPECT_EQ(uart().rx_waiting(), 64u);
    EXPECT_EQ(uart().overruns(), 2u);
    EXPECT_EQ(get(UartChannel::UERSTAT) & UartChannel::UERSTAT_OVERRUN, UartChannel::UERSTAT_OVERRUN);
    EXPECT_EQ(get(UartChannel::UERSTAT), 0u) << "reading the error status clears it";

    // The first 64 are kept, in order; the late ones are gone.
    for (int i = 0; i < 64; i++)
        ASSERT_EQ(get(UartChannel::URXH), static_cast<std::uint32_t>(i));
    EXPECT_EQ(uart().rx_waiting(), 0u);
}

TEST_F(UartModel, BytesOnTheLineWaitForTheReceiverToBeSwitchedOn)
{
    set(UartChannel::UCON, 0);
    uart().feed("late");
    settle(*m, 10 * frame_seconds(*m, 2));
    EXPECT_EQ(uart().rx_waiting(), 0u);
    set(UartChannel::UCON, receiver_only);
    settle(*m, 5 * frame_seconds(*m, 2));
    EXPECT_EQ(uart().rx_waiting(), 4u);
}

// The firmware's own output path never overfills the FIFO, so a store to
// UTXH that does not look at UFSTAT first is needed: the port N reader of
// the button-polling firmware stores a whole word wherever it is told.
TEST(UartModelReport, ByteToAFullTransmitFifoStopsTheRunNamingAddressValueAndPc)
{
    auto m = load("pollfw-64");
    ASSERT_EQ(call(*m, "kelto_uart_init", {1, 115200}), 0u);
    constexpr std::uint32_t utxh = 0x7F005420;

    // One byte moves straight to the shift register, 64 fill the FIFO; all
    // of it happens within one frame.
    for (int i = 0; i < 65; i++)
        ASSERT_EQ(call(*m, "kelto_gpio_get_val", {0, utxh}), 0u) << "store " << i;
    const RunResult result = call_expecting_fault(*m, "kelto_gpio_get_val", {0, utxh});

    ASSERT_TRUE(m->fault());
    EXPECT_EQ(m->fault()->address, utxh);
    EXPECT_EQ(m->fault()->value, 1u) << "the level of pin 0, released";
    const auto reader = m->image().find("kelto_gpio_get_val");
    ASSERT_TRUE(reader);
    EXPECT_GE(m->fault()->pc, reader->address);
    EXPECT_LT(m->fault()->pc, reader->address + reader->size);
    EXPECT_NE(result.message.find("UTXH"), std::string::npos) << result.message;
    EXPECT_NE(result.message.find("kelto_gpio_get_val"), std::string::npos) << result.message;

    // Nothing is lost on the line: the 65 accepted bytes still go out.
    settle(*m, 70 * frame_seconds(*m));
    EXPECT_EQ(m->console_output(), std::string(65, '\x01'));
}

}  // namespace
