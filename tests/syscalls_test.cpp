// The system calls under newlib: heap break, status records, console output
// and input, on both boards and in the button-polling firmware's own link.
#include <climits>
#include <string>

#include "harness.hpp"

using namespace kelto::test;

namespace {

constexpr std::uint32_t failed = 0xFFFFFFFF;  // (void *)-1, or -1 in r0
constexpr std::uint32_t enomem = 12;

// newlib's layouts for arm-none-eabi: struct _reent starts with _errno and
// holds _stdin next; a FILE starts with _p, then the count _r; struct stat
// has 16-bit st_dev and st_ino, then a 32-bit st_mode, 88 bytes in all.
constexpr std::uint32_t reent_errno = 0, reent_stdin = 4;
constexpr std::uint32_t file_r = 4;
constexpr std::uint32_t stat_size = 88, stat_dev = 0, stat_ino = 2, stat_mode = 4;

struct SyscallImage {
    const char *name;
    std::uint32_t heap_start;
    std::uint32_t heap_limit;
};

void PrintTo(const SyscallImage &image, std::ostream *os)
{
    *os << image.name;
}

std::uint32_t arg(int value)
{
    return static_cast<std::uint32_t>(value);
}

class SystemCalls : public testing::TestWithParam<SyscallImage> {
protected:
    void SetUp() override { m = load(GetParam().name); }

    std::uint32_t start() const { return GetParam().heap_start; }
    std::uint32_t limit() const { return GetParam().heap_limit; }
    std::uint32_t sbrk(int incr) { return call(*m, "_sbrk", {arg(incr)}); }
    std::uint32_t brk() { return sbrk(0); }

    std::uint32_t reent() { return m->read_word(m->symbol("_impure_ptr")); }
    std::uint32_t errno_value() { return m->read_word(reent() + reent_errno); }
    void clear_errno() { m->write_word(reent() + reent_errno, 0); }

    // The console as the firmware has it once it has printed: UART channel 1
    // up and newlib's standard streams set up (the first output does that).
    void bring_up_console()
    {
        ASSERT_EQ(call(*m, "kelto_uart_init", {1, 115200}), 0u);
        call(*m, "putchar", {'\n'});
        settle(*m, 3 * frame_seconds(*m));
        ASSERT_EQ(m->console_output(), "\r\n");
        console_from = m->console_output().size();
    }
    std::uint32_t stdin_stream() { return m->read_word(reent() + reent_stdin); }
    std::string sent()
    {
        settle(*m, 70 * frame_seconds(*m));
        return output_since(*m, console_from);
    }
    void arrive(std::string_view bytes)
    {
        m->feed_console(bytes);
        settle(*m, static_cast<double>(bytes.size() + 1) * frame_seconds(*m));
    }

    std::unique_ptr<Machine> m;
    std::size_t console_from = 0;
};

// ---------------------------------------------------------------------------
// _sbrk

TEST_P(SystemCalls, SbrkOfZeroReportsTheBreakWithoutMovingIt)
{
    EXPECT_EQ(sbrk(0), start());
    EXPECT_EQ(sbrk(0), start());
}

TEST_P(SystemCalls, SbrkRaisesTheBreakInWholeWordsAndReturnsTheOldOne)
{
    EXPECT_EQ(sbrk(5), start());
    EXPECT_EQ(brk(), start() + 8);
    EXPECT_EQ(sbrk(4), start() + 8);
    EXPECT_EQ(brk(), start() + 12);
    EXPECT_EQ(sbrk(1), start() + 12);
    EXPECT_EQ(brk(), start() + 16);
}

TEST_P(SystemCalls, SbrkLowersTheBreakInWholeWordsAndReturnsTheNewOne)
{
    ASSERT_EQ(sbrk(5), start());
    EXPECT_EQ(sbrk(-5), start());
    EXPECT_EQ(brk(), start());

    ASSERT_EQ(sbrk(64), start());
    EXPECT_EQ(sbrk(-1), start() + 60);
    EXPECT_EQ(sbrk(-4), start() + 56);
    EXPECT_EQ(sbrk(-8), start() + 48);
    EXPECT_EQ(brk(), start() + 48);
}

TEST_P(SystemCalls, SbrkSucceedsWithoutTouchingErrno)
{
    m->write_word(reent() + reent_errno, 0x5A);
    ASSERT_EQ(sbrk(16), start());
    ASSERT_EQ(sbrk(-16), start());
    EXPECT_EQ(errno_value(), 0x5Au);
}

TEST_P(SystemCalls, SbrkRefusesToRaiseTheBreakAboveTheHeapLimit)
{
    const int room = static_cast<int>(limit() - start());
    clear_errno();
    EXPECT_EQ(sbrk(room + 1), failed) << "the rounded request passes the limit";
    EXPECT_EQ(errno_value(), enomem);
    EXPECT_EQ(brk(), start());

    clear_errno();
    EXPECT_EQ(sbrk(INT_MAX), failed);
    EXPECT_EQ(errno_value(), enomem);
    EXPECT_EQ(brk(), start());

    // Up to the limit itself is granted; past it, nothing.
    EXPECT_EQ(sbrk(room), start());
    EXPECT_EQ(brk(), limit());
    clear_errno();
    EXPECT_EQ(sbrk(1), failed);
    EXPECT_EQ(errno_value(), enomem);
    EXPECT_EQ(brk(), limit());
}

TEST_P(SystemCalls, SbrkRefusesToLowerTheBreakBelowTheHeapStart)
{
    clear_errno();
    EXPECT_EQ(sbrk(-1), failed);
    EXPECT_EQ(errno_value(), enomem);
    EXPECT_EQ(brk(), start());

    ASSERT_EQ(sbrk(8), start());
    clear_errno();
    EXPECT_EQ(sbrk(-12), failed);
    EXPECT_EQ(errno_value(), enomem);
    EXPECT_EQ(sbrk(INT_MIN), failed);
    EXPECT_EQ(brk(), start() + 8);
    EXPECT_EQ(sbrk(-8), start());
}

TEST_P(SystemCalls, MallocStaysInsideTheHeap)
{
    const std::uint32_t small = call(*m, "_malloc_r", {reent(), 100});
    EXPECT_GE(small, start());
    EXPECT_LT(small, limit());

    clear_errno();
    EXPECT_EQ(call(*m, "_malloc_r", {reent(), limit() - start()}), 0u) << "malloc handed out memory past the heap";
    EXPECT_EQ(errno_value(), enomem);

    const std::uint32_t next = call(*m, "_malloc_r", {reent(), 1000});
    EXPECT_GT(next, small) << "a refused request spoilt the heap";
    EXPECT_LT(next, limit());
}

// ---------------------------------------------------------------------------
// _fstat

TEST_P(SystemCalls, FstatFillsTheRecordByDescriptor)
{
    struct Case {
        std::uint32_t fd;
        std::uint32_t mode;
    };
    for (const Case c : {Case{0, 0x2100}, Case{1, 0x2080}, Case{2, 0}, Case{0x12345, 0}, Case{failed, 0}}) {
        const std::uint32_t record = m->scratch(stat_size + 8);
        const std::vector<std::uint8_t> junk(stat_size + 8, 0xA5);
        m->write_bytes(record, junk.data(), junk.size());

        EXPECT_EQ(call(*m, "_fstat", {c.fd, record}), 0u);
        auto bytes = m->read_bytes(record, stat_size + 8);
        const auto half = [&](std::uint32_t at) { return bytes[at] | (bytes[at + 1] << 8); };
        const std::uint32_t low16 = c.fd & 0xFFFF;
        EXPECT_EQ(half(stat_dev), low16) << "fd " << c.fd;
        EXPECT_EQ(half(stat_ino), low16) << "fd " << c.fd;
        EXPECT_EQ(m->read_word(record + stat_mode), c.mode) << "fd " << c.fd;
        for (std::uint32_t at = stat_mode + 4; at < stat_size; at++)
            ASSERT_EQ(bytes[at], 0) << "fd " << c.fd << ": byte " << at << " of the record";
        EXPECT_EQ(bytes[stat_size], 0xA5) << "wrote past the record";
    }
}

// ---------------------------------------------------------------------------
// Console output and input

TEST_P(SystemCalls, WriteSendsOnTheConsoleWhateverTheDescriptor)
{
    bring_up_console();
    EXPECT_EQ(call(*m, "_write", {2, place(*m, "ab"), 2}), 2u);
    EXPECT_EQ(call(*m, "_write", {1, place(*m, "a\nb"), 3}), 3u);
    EXPECT_EQ(call(*m, "_write", {7, place(*m, "xyz"), 0}), 0u);
    EXPECT_EQ(sent(), "aba\r\nb");
}

TEST_P(SystemCalls, ReadOfNothingReturnsAtOnce)
{
    bring_up_console();
    const std::uint32_t buf = m->scratch(8);
    m->clear_accesses();
    EXPECT_EQ(call(*m, "_read", {0, buf, 0}), 0u);
    EXPECT_TRUE(m->accesses().empty());
}

TEST_P(SystemCalls, ReadWaitsForAFirstByteThenTakesWhatIsWaiting)
{
    bring_up_console();
    const std::uint32_t buf = m->scratch(16);
    EXPECT_EQ(call_until_waiting(*m, "_read", {0, buf, 8}).reason, StopReason::waiting_for_input);

    // Typed while the call waits: one byte.
    m->feed_console("xyz");
    EXPECT_EQ(call(*m, "_read", {0, buf, 8}), 1u);
    EXPECT_EQ(m->read_bytes(buf, 1)[0], 'x');

    // Already waiting: up to eight of them.
    arrive("0123456789");
    EXPECT_EQ(call(*m, "_read", {5, buf, 8}), 8u);
    const auto stored = m->read_bytes(buf, 8);
    EXPECT_EQ(std::string(stored.begin(), stored.end()), "yz012345");
}

TEST_P(SystemCalls, SeekCloseAndTerminalQueriesSucceedWithoutEffect)
{
    bring_up_console();
    m->clear_accesses();
    EXPECT_EQ(call(*m, "_lseek", {1, 100, 0}), 0u);
    EXPECT_EQ(call(*m, "_lseek", {0, arg(-7), 2}), 0u);
    EXPECT_EQ(call(*m, "_close", {1}), 0u);
    EXPECT_EQ(call(*m, "_isatty", {7}), 1u);
    EXPECT_EQ(call(*m, "_isatty", {0}), 1u);
    EXPECT_TRUE(m->accesses().empty());
    // Still writable after the close.
    EXPECT_EQ(call(*m, "_write", {1, place(*m, "ok"), 2}), 2u);
    EXPECT_EQ(sent(), "ok");
}

TEST_P(SystemCalls, KeyReadReturnsEachByteAsAnUnsignedValue)
{
    bring_up_console();
    const std::uint32_t in = stdin_stream();
    arrive("\xFF");
    EXPECT_EQ(call(*m, "__srget_r", {reent(), in}), 255u) << "0xFF must not read as end of file";
    arrive(std::string(1, '\0'));
    EXPECT_EQ(call(*m, "__srget_r", {reent(), in}), 0u);
    EXPECT_EQ(sent(), "") << "a key read echoed";
}

TEST_P(SystemCalls, KeysTypedAheadAreReadOneByOneInOrder)
{
    bring_up_console();
    const std::uint32_t in = stdin_stream();
    arrive("abc");
    for (char key : std::string("abc")) {
        EXPECT_EQ(call(*m, "__srget_r", {reent(), in}), static_cast<std::uint32_t>(key));
        EXPECT_EQ(m->uart(1).rx_waiting(), static_cast<std::size_t>('c' - key)) << "took more than one byte";
    }
    EXPECT_EQ(call_until_waiting(*m, "__srget_r", {reent(), in}).reason, StopReason::waiting_for_input);
}

TEST_P(SystemCalls, KeyReadPutsStandardInputsCountBackToZero)
{
    bring_up_console();
    const std::uint32_t in = stdin_stream();
    ASSERT_GE(in, start()) << "standard input is not yet a stream of its own";
    EXPECT_EQ(m->read_word(in + file_r), 0u);

    // The inline read has just taken the count below zero, from 0 after an
    // ordinary read, or from INT_MIN + 1 after 2^31 reads of a layer that
    // left the count alone; either way it must start again from 0.
    for (const int count : {-1, -5, INT_MIN + 1, INT_MIN}) {
        m->write_word(in + file_r, arg(count));
        arrive("k");
        EXPECT_EQ(call(*m, "__srget_r", {reent(), in}), std::uint32_t{'k'});
        EXPECT_EQ(m->read_word(in + file_r), 0u) << "count was " << count;
    }
}

INSTANTIATE_TEST_SUITE_P(Images, SystemCalls,
                         testing::Values(SyscallImage{"drivertest-64", 0x52000000, 0x53000000},
                                         SyscallImage{"drivertest-24", 0x32000000, 0x33000000},
                                         SyscallImage{"pollfw-64", 0x52000000, 0x53000000}),
                         NamedParam());

}  // namespace
