// The greeting firmware: three lines on UART channel 1 of board 24 through
// its own reduced UART module, then back to the loader.
#include <string>

#include "harness.hpp"

using namespace kelto::test;

namespace {

constexpr std::uint32_t uart1 = 0x50004000;
constexpr std::uint32_t ULCON = 0x00, UCON = 0x04, UFCON = 0x08, UFSTAT = 0x18, UTXH = 0x20, UBRDIV = 0x28;

Access write_of(std::uint32_t address, std::uint32_t value)
{
    return Access{0, 0, address, value, true};
}

Access read_of(std::uint32_t address, std::uint32_t value)
{
    return Access{0, 0, address, value, false};
}

class Greeting : public testing::Test {
protected:
    void SetUp() override { m = load("greetfw"); }
    std::unique_ptr<Machine> m;
};

TEST_F(Greeting, SendsThreeGreetingsWithBareLineFeedsAndReturnsZero)
{
    const RunResult result = run_to_end(*m);
    EXPECT_EQ(result.value, 0u);
    const std::string hello = "Hello World!\n";
    EXPECT_EQ(m->console_output(), hello + hello + hello);
    EXPECT_EQ(m->console_output().size(), 39u);
    EXPECT_EQ(m->console_output().find('\r'), std::string::npos);
}

TEST_F(Greeting, ProgramsTheLineThenPollsBeforeEveryByte)
{
    run_to_end(*m);
    std::vector<Access> expected = {write_of(uart1 + ULCON, 0x03), write_of(uart1 + UCON, 0x005),
                                    write_of(uart1 + UFCON, 0x77), write_of(uart1 + UBRDIV, 34)};
    // 39 bytes never fill the 64-byte FIFO: one status poll per byte.
    for (char byte : std::string("Hello World!\nHello World!\nHello World!\n")) {
        expected.push_back(read_of(uart1 + UFSTAT, 0));
        expected.push_back(write_of(uart1 + UTXH, static_cast<std::uint8_t>(byte)));
    }
    auto actual = listing(m->accesses());
    // The transmit count in UFSTAT depends on timing; only the full flag
    // matters to the firmware, so compare the polls by address.
    const auto wanted = listing(expected);
    ASSERT_EQ(actual.size(), wanted.size());
    for (std::size_t i = 0; i < actual.size(); i++) {
        if (!m->accesses()[i].write)
            EXPECT_EQ(actual[i].substr(0, 10), wanted[i].substr(0, 10)) << "access " << i;
        else
            EXPECT_EQ(actual[i], wanted[i]) << "access " << i;
    }
    EXPECT_EQ(m->uart(1).divisor(), 34u);
}

TEST_F(Greeting, InitWithoutAUsableRateLeavesTheDivisorAsItWas)
{
    for (const int baud : {0, -1}) {
        m->clear_accesses();
        call(*m, "kelto_uart_init", {uart1, static_cast<std::uint32_t>(baud)});
        EXPECT_EQ(listing(m->accesses()), listing({write_of(uart1 + ULCON, 0x03), write_of(uart1 + UCON, 0x005),
                                                    write_of(uart1 + UFCON, 0x77)}))
            << baud << " baud";
    }
    call(*m, "kelto_uart_init", {uart1, 115200});
    call(*m, "kelto_uart_init", {uart1, 0});
    EXPECT_EQ(m->uart(1).divisor(), 34u);
}

TEST_F(Greeting, WriteOfNothingSendsNothing)
{
    call(*m, "kelto_uart_init", {uart1, 115200});
    const std::uint32_t buf = place(*m, "Hello");
    m->clear_accesses();
    EXPECT_EQ(call(*m, "kelto_uart_write", {buf, 0}), 0u);
    EXPECT_EQ(call(*m, "kelto_uart_write", {buf, 0xFFFFFFFF}), 0xFFFFFFFFu);
    EXPECT_TRUE(m->accesses().empty());
    settle(*m, 0.01);
    EXPECT_EQ(m->console_output(), "");
}

TEST_F(Greeting, InitUsesTheBaseItIsGiven)
{
    constexpr std::uint32_t uart2 = 0x50008000;
    call(*m, "kelto_uart_init", {uart2, 57600});
    EXPECT_EQ(listing(m->accesses()), listing({write_of(uart2 + ULCON, 0x03), write_of(uart2 + UCON, 0x005),
                                                write_of(uart2 + UFCON, 0x77), write_of(uart2 + UBRDIV, 70)}));
    call(*m, "kelto_uart_write", {place(*m, "hi\n"), 3});
    settle(*m, 0.01);
    EXPECT_EQ(m->uart(2).output(), "hi\n");
    EXPECT_EQ(m->console_output(), "");
}

}  // namespace
