// The polled UART driver on the real images: the driver test images of both
// boards and the button-polling firmware, which links the delivered module.
#include <array>
#include <cmath>
#include <string>

#include "harness.hpp"

using namespace kelto::test;

namespace {

constexpr std::uint32_t ULCON = 0x00, UCON = 0x04, UFCON = 0x08, UTXH = 0x20, URXH = 0x24, UBRDIV = 0x28;
constexpr std::uint32_t rejected = 0xFFFFFFFF;  // -1 in r0

struct UartImage {
    const char *name;
    std::array<std::uint32_t, 4> bases;
};

void PrintTo(const UartImage &image, std::ostream *os)
{
    *os << image.name;
}

constexpr std::array<std::uint32_t, 4> bases_64{0x7F005000, 0x7F005400, 0x7F005800, 0x7F005C00};
constexpr std::array<std::uint32_t, 4> bases_24{0x50000000, 0x50004000, 0x50008000, 0x5000C000};

std::uint32_t arg(int value)
{
    return static_cast<std::uint32_t>(value);
}

class UartDriver : public testing::TestWithParam<UartImage> {
protected:
    void SetUp() override { m = load(GetParam().name); }

    std::uint32_t base(int channel) const { return GetParam().bases[static_cast<std::size_t>(channel)]; }
    std::uint32_t init(int channel, int baud = 115200)
    {
        return call(*m, "kelto_uart_init", {arg(channel), arg(baud)});
    }
    std::uint32_t write(std::string_view bytes, int len)
    {
        return call(*m, "kelto_uart_write", {place(*m, bytes), arg(len)});
    }
    // Lets everything queued leave the line.
    void drain() { settle(*m, 70 * frame_seconds(*m)); }
    std::vector<std::string> init_listing(int channel, std::uint32_t divisor) const
    {
        return listing({{0, 0, base(channel) + ULCON, 0x03, true},
                        {0, 0, base(channel) + UCON, 0x805, true},
                        {0, 0, base(channel) + UFCON, 0x77, true},
                        {0, 0, base(channel) + UBRDIV, divisor, true}});
    }

    std::unique_ptr<Machine> m;
};

// ---------------------------------------------------------------------------
// kelto_uart_init

TEST_P(UartDriver, InitProgramsEachChannelIn8N1WithFifosInOrder)
{
    for (int channel = 0; channel < 4; channel++) {
        m->clear_accesses();
        EXPECT_EQ(init(channel), 0u);
        // Four whole-word writes, nothing read, nothing else touched.
        EXPECT_EQ(listing(m->accesses()), init_listing(channel, 34)) << "channel " << channel;
    }
}

TEST_P(UartDriver, DivisorIsTheTruncatedQuotientLessOne)
{
    const std::pair<int, std::uint32_t> rates[] = {{115200, 34}, {57600, 70}, {38400, 106}, {19200, 213}, {9600, 428}};
    for (const auto &[baud, divisor] : rates) {
        m->clear_accesses();
        EXPECT_EQ(init(1, baud), 0u);
        EXPECT_EQ(listing(m->accesses()), init_listing(1, divisor)) << baud << " baud";
    }
}

TEST_P(UartDriver, UnknownChannelIsRejectedAndTheCurrentOneStaysInUse)
{
    ASSERT_EQ(init(2), 0u);
    m->clear_accesses();
    EXPECT_EQ(init(4), rejected);
    EXPECT_EQ(init(-1), rejected);
    EXPECT_EQ(init(0x101), rejected) << "channel 1 in the low byte must not pass";
    EXPECT_TRUE(m->accesses().empty()) << "a rejected init touched a register";

    call(*m, "kelto_uart_putc", {'z'});
    drain();
    EXPECT_EQ(m->uart(2).output(), "z");
    EXPECT_EQ(m->uart(1).output(), "");
}

TEST_P(UartDriver, RateOfZeroOrBelowIsRejectedWithoutTouchingARegister)
{
    ASSERT_EQ(init(0), 0u);
    m->clear_accesses();
    EXPECT_EQ(init(1, 0), rejected);
    EXPECT_EQ(init(1, -5), rejected);
    EXPECT_EQ(init(1, -115200), rejected);
    EXPECT_TRUE(m->accesses().empty());

    call(*m, "kelto_uart_putc", {'q'});
    drain();
    EXPECT_EQ(m->uart(0).output(), "q") << "a rejected init switched the channel";
    EXPECT_EQ(m->uart(1).output(), "");
    EXPECT_EQ(m->uart(1).divisor(), 0u);
}

// ---------------------------------------------------------------------------
// kelto_uart_putc and kelto_uart_write

TEST_P(UartDriver, WriteSendsEachLineFeedAsCrLfAndCountsTheCallersBytes)
{
    ASSERT_EQ(init(1), 0u);
    m->clear_accesses();
    EXPECT_EQ(write("a\nb", 3), 3u);
    drain();
    EXPECT_EQ(m->uart(1).output(), "a\r\nb");

    // Each byte is one whole-word write of the zero-extended byte.
    std::vector<std::uint32_t> sent;
    for (const Access &access : accesses_to(*m, base(1) + UTXH))
        sent.push_back(access.value);
    EXPECT_EQ(sent, (std::vector<std::uint32_t>{'a', 0x0D, 0x0A, 'b'}));
}

TEST_P(UartDriver, CarriageReturnIsSentUnchanged)
{
    ASSERT_EQ(init(1), 0u);
    EXPECT_EQ(write("\r\n", 2), 2u);
    call(*m, "kelto_uart_putc", {'\r'});
    drain();
    EXPECT_EQ(m->uart(1).output(), "\r\r\n\r");
}

TEST_P(UartDriver, BytesAbove0x7FAreSentZeroExtended)
{
    ASSERT_EQ(init(1), 0u);
    m->clear_accesses();
    EXPECT_EQ(write("\x80\xFF", 2), 2u);
    call(*m, "kelto_uart_putc", {0xE9});
    drain();
    EXPECT_EQ(m->uart(1).output(), "\x80\xFF\xE9");
    for (const Access &access : accesses_to(*m, base(1) + UTXH))
        EXPECT_LE(access.value, 0xFFu) << "a byte went out sign-extended";
}

TEST_P(UartDriver, LengthOfZeroOrBelowSendsNothingAndIsReturned)
{
    ASSERT_EQ(init(1), 0u);
    m->clear_accesses();
    EXPECT_EQ(write("abc", 0), 0u);
    EXPECT_EQ(write("abc", -1), rejected);
    EXPECT_TRUE(m->accesses().empty());
    drain();
    EXPECT_EQ(m->uart(1).output(), "");
}

TEST_P(UartDriver, BytesLeaveOneFrameApartAt117857BitsPerSecond)
{
    ASSERT_EQ(init(1), 0u);
    std::string text;
    for (int i = 0; i < 100; i++)
        text += static_cast<char>('A' + i % 26);
    const double start = m->seconds();
    EXPECT_EQ(write(text, 100), 100u);
    drain();
    ASSERT_EQ(m->uart(1).output(), text);

    // 8N1 is ten bits; 66 MHz / (16 x 35) is the bit rate of divisor 34.
    const double bit_rate = 66e6 / (16.0 * 35.0);
    const double frame = 10.0 / bit_rate;
    const double cycle = 1.0 / static_cast<double>(m->clock().cpu_hz());
    const auto &times = m->uart(1).output_times();
    ASSERT_EQ(times.size(), 100u);
    EXPECT_NEAR(m->clock().to_seconds(times[0]) - start, frame, frame / 100) << "the first byte left late";
    for (std::size_t i = 1; i < times.size(); i++)
        ASSERT_NEAR(m->clock().to_seconds(times[i] - times[i - 1]), frame, 2 * cycle) << "byte " << i;
}

TEST_P(UartDriver, WriteWaitsOnlyWhileTheFifoIsFull)
{
    ASSERT_EQ(init(1), 0u);
    const std::string text(100, 'w');
    const double frame = frame_seconds(*m);
    const double start = m->seconds();
    EXPECT_EQ(write(text, 100), 100u);
    const double returned = m->seconds() - start;

    // One byte on the line and 64 in the FIFO go at once; each later byte
    // takes the place of one that has left. The 100th is queued when the
    // 35th has left, and the call returns then.
    EXPECT_GT(returned, 35 * frame);
    EXPECT_LT(returned, 35 * frame + frame / 10);
    drain();
    EXPECT_EQ(m->uart(1).output(), text);
}

// ---------------------------------------------------------------------------
// kelto_uart_read

TEST_P(UartDriver, NonBlockingReadTakesOnlyWhatIsWaiting)
{
    ASSERT_EQ(init(1), 0u);
    const std::uint32_t buf = m->scratch(8);
    m->clear_accesses();
    EXPECT_EQ(call(*m, "kelto_uart_read", {buf, 5, 1}), 0u);
    EXPECT_TRUE(accesses_to(*m, base(1) + URXH).empty()) << "read the holding register of an empty FIFO";

    // Bytes are stored as received: no translation of CR, LF, 0 or 0xFF.
    const std::string bytes("x\r\n\0\xFF", 5);
    m->feed_console(bytes);
    settle(*m, 6 * frame_seconds(*m));
    EXPECT_EQ(call(*m, "kelto_uart_read", {buf, 8, 1}), 5u);
    const auto stored = m->read_bytes(buf, 5);
    EXPECT_EQ(std::string(stored.begin(), stored.end()), bytes);

    m->feed_console("xy");
    settle(*m, 3 * frame_seconds(*m));
    EXPECT_EQ(call(*m, "kelto_uart_read", {buf, 1, 1}), 1u);
    EXPECT_EQ(m->read_bytes(buf, 1)[0], 'x');
    EXPECT_EQ(m->uart(1).rx_waiting(), 1u) << "took more than len bytes";
}

TEST_P(UartDriver, BlockingReadWaitsForTheFirstByteAndStopsAtAnEmptyFifo)
{
    ASSERT_EQ(init(1), 0u);
    const std::uint32_t buf = m->scratch(8);

    // Nothing on the way: the call does not come back.
    EXPECT_EQ(call_until_waiting(*m, "kelto_uart_read", {buf, 5, 0}).reason, StopReason::waiting_for_input);

    // Bytes arriving at line speed after the call began: it takes the first
    // and returns as soon as it finds the FIFO empty again.
    m->feed_console("kl");
    const double start = m->seconds();
    EXPECT_EQ(call(*m, "kelto_uart_read", {buf, 5, 0}), 1u);
    EXPECT_GE(m->seconds() - start, frame_seconds(*m)) << "returned before a byte could have arrived";
    EXPECT_EQ(m->read_bytes(buf, 1)[0], 'k');

    // Bytes already waiting: all of them, up to len, without waiting more.
    m->feed_console("mnop");
    settle(*m, 5 * frame_seconds(*m) + frame_seconds(*m));
    EXPECT_EQ(call(*m, "kelto_uart_read", {buf, 3, 0}), 3u);
    const auto stored = m->read_bytes(buf, 3);
    EXPECT_EQ(std::string(stored.begin(), stored.end()), "lmn");
}

TEST_P(UartDriver, ReadOfZeroOrFewerBytesReturnsWithoutLookingAtTheFifo)
{
    ASSERT_EQ(init(1), 0u);
    const std::uint32_t buf = m->scratch(8);
    m->feed_console("a");
    settle(*m, 2 * frame_seconds(*m));
    m->clear_accesses();
    EXPECT_EQ(call(*m, "kelto_uart_read", {buf, 0, 0}), 0u);
    EXPECT_EQ(call(*m, "kelto_uart_read", {buf, arg(-3), 1}), 0u);
    EXPECT_TRUE(m->accesses().empty());
    EXPECT_EQ(m->uart(1).rx_waiting(), 1u);
}

TEST_P(UartDriver, CompletelyFullReceiveFifoCountsAsDataWaiting)
{
    ASSERT_EQ(init(1), 0u);
    std::string bytes;
    for (int i = 0; i < 64; i++)
        bytes += static_cast<char>(0x40 + i);
    m->feed_console(bytes);
    settle(*m, 66 * frame_seconds(*m));
    ASSERT_EQ(m->uart(1).rx_waiting(), 64u);

    // The count field reads 0 with the full flag set: a blocking read of one
    // byte must not wait, and a non-blocking read takes all 64.
    const std::uint32_t buf = m->scratch(64);
    EXPECT_EQ(call(*m, "kelto_uart_read", {buf, 1, 0}, 0.01), 1u);
    EXPECT_EQ(m->read_bytes(buf, 1)[0], 0x40);
    m->feed_console("!");
    settle(*m, 2 * frame_seconds(*m));
    ASSERT_EQ(m->uart(1).rx_waiting(), 64u);
    EXPECT_EQ(call(*m, "kelto_uart_read", {buf, 64, 1}), 64u);
    const auto stored = m->read_bytes(buf, 64);
    EXPECT_EQ(std::string(stored.begin(), stored.end()), bytes.substr(1) + "!");
}

INSTANTIATE_TEST_SUITE_P(Images, UartDriver,
                         testing::Values(UartImage{"drivertest-64", bases_64}, UartImage{"drivertest-24", bases_24},
                                         UartImage{"pollfw-64", bases_64}),
                         NamedParam());

}  // namespace
