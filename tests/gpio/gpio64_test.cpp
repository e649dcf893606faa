// The S3C6410 GPIO driver on board 64, run in the simulator.
#include <cstdint>
#include <string>

#include "gpio_fixture.hpp"

namespace kelto::test {
namespace {

// Port, function and pull codes of the S3C6410 build.
enum Port : std::uint32_t { A = 0, F = 5, H = 7, I = 8, K = 10, L = 11, M = 12, N = 13, Q = 16, PORT_MAX = 17 };
enum Type : std::uint32_t { INPUT = 0, OUTPUT = 1, ALT1 = 2, ALT2 = 3, ALT3 = 4, ALT6 = 7, TYPE_MAX = 8 };
enum Pud : std::uint32_t { PUD_DISABLE = 0, PUD_DOWN = 1, PUD_UP = 2, PUD_MAX = 3 };

class Gpio64 : public GpioDriverTest {
protected:
    void SetUp() override { boot("drivertest-64"); }
};

TEST_F(Gpio64, WorkedRegisterEffects)
{
    const Change changes[] = {
        {"kelto_gpio_set_type", N, 9, OUTPUT, 0x7F008830, 0x3u << 18, 0x1u << 18},
        {"kelto_gpio_set_type", F, 15, ALT1, 0x7F0080A0, 0x3u << 30, 0x2u << 30},
        {"kelto_gpio_set_type", H, 9, OUTPUT, 0x7F0080E4, 0xFu << 4, 0x1u << 4},
        {"kelto_gpio_set_type", A, 3, ALT6, 0x7F008000, 0xFu << 12, 0x7u << 12},
        {"kelto_gpio_set_val", N, 9, 1, 0x7F008834, 1u << 9, 1u << 9},
        {"kelto_gpio_set_pullupdown", L, 4, PUD_UP, 0x7F00881C, 0x3u << 8, 0x2u << 8},
    };
    expect_changes(changes, other_bits_patterns);
}

TEST_F(Gpio64, GetValReadsTheDataBitOfPortK)
{
    // Every K pin an output, so the register reads back its latches.
    preload(0x7F008800, 0x11111111);
    preload(0x7F008804, 0x11111111);
    std::uint32_t val = 0;
    for (std::uint32_t data : {~(1u << 12), 1u << 12}) {
        preload(0x7F008808, data);
        forget();
        EXPECT_EQ(get_val(K, 12, &val), 0u);
        EXPECT_EQ(val, (data >> 12) & 1);
        EXPECT_EQ(listing(gpio_accesses()), listing({Access{0, 0, 0x7F008808, data, false}}));
    }
}

TEST_F(Gpio64, GetValSeesAHeldButtonOnAnInputPin)
{
    ASSERT_EQ(set_type(N, 2, INPUT), 0u);
    std::uint32_t val = 0;
    EXPECT_EQ(get_val(N, 2, &val), 0u);
    EXPECT_EQ(val, 1u);
    machine().set_button(sim::Button::left, true);
    EXPECT_EQ(get_val(N, 2, &val), 0u);
    EXPECT_EQ(val, 0u);
}

TEST_F(Gpio64, SetValTakesAnyNonZeroValueAsHigh)
{
    preload(0x7F008834, 0x00000000);
    forget();
    EXPECT_EQ(set_val(N, 9, 5), 0u);
    expect_one_change(0x7F008834, 1u << 9, 1u << 9);
    forget();
    EXPECT_EQ(set_val(N, 9, 0x80000000), 0u);
    expect_one_change(0x7F008834, 1u << 9, 1u << 9);
    forget();
    EXPECT_EQ(set_val(N, 9, 0), 0u);
    expect_one_change(0x7F008834, 1u << 9, 0);
}

// Pins 8-15 of H, K and L live in the second configuration word; the data
// and pull words sit one word higher and are not split.
TEST_F(Gpio64, PortsWithASecondConfigurationWord)
{
    for (const auto &[port, base] : {std::pair{H, 0x7F0080E0u}, {K, 0x7F008800u}, {L, 0x7F008810u}}) {
        SCOPED_TRACE(::testing::PrintToString(port));
        preload(base, 0xA5A5A5A5);
        preload(base + 4, 0x5A5A5A5A);
        preload(base + 8, 0xA5A5A5A5);
        preload(base + 12, 0x5A5A5A5A);
        forget();
        EXPECT_EQ(set_type(port, 7, OUTPUT), 0u);
        expect_one_change(base, 0xFu << 28, 0x1u << 28);
        forget();
        EXPECT_EQ(set_type(port, 8, ALT1), 0u);
        expect_one_change(base + 4, 0xFu, 0x2u);
        forget();
        EXPECT_EQ(set_type(port, 15, ALT6), 0u);
        expect_one_change(base + 4, 0xFu << 28, 0x7u << 28);
        forget();
        EXPECT_EQ(set_val(port, 12, 1), 0u);
        expect_one_change(base + 8, 1u << 12, 1u << 12);
        forget();
        EXPECT_EQ(set_pull(port, 12, PUD_DOWN), 0u);
        expect_one_change(base + 12, 0x3u << 24, 0x1u << 24);
        forget();
        std::uint32_t val = 0;
        EXPECT_EQ(get_val(port, 9, &val), 0u);
        ASSERT_EQ(gpio_accesses().size(), 1u);
        EXPECT_EQ(gpio_accesses()[0].address, base + 8);
    }
}

TEST_F(Gpio64, ArgumentsAboveTheirEnumerationAreRefused)
{
    for (std::uint32_t port : {std::uint32_t{PORT_MAX}, 18u, 255u})
        expect_port_refused(port);
    for (std::uint32_t type : {std::uint32_t{TYPE_MAX}, 255u})
        expect_set_type_refused(A, 0, type);
    for (std::uint32_t pud : {std::uint32_t{PUD_MAX}, 255u})
        expect_set_pull_refused(N, 0, pud);
}

TEST_F(Gpio64, TwoBadArgumentsGiveOneMessage)
{
    forget();
    expect_refusal(set_type(PORT_MAX, 0, TYPE_MAX), set_type_invalid);
    forget();
    expect_refusal(set_pull(255, 0, 255), set_pull_invalid);
}

// A field or bit that would lie past bit 31, or below bit 0, belongs to no
// pin: such a pin is refused like a bad port.
TEST_F(Gpio64, PinsOutsideTheirRegisterAreRefused)
{
    using Pins = std::initializer_list<std::pair<std::uint32_t, std::uint32_t>>;
    for (const auto &[port, pin] : Pins{{A, 8}, {M, 8}, {N, 16}, {F, 16}, {H, 16}, {K, 16},
                                         {A, negative_pin}, {N, negative_pin}, {H, negative_pin}})
        expect_set_type_refused(port, pin, OUTPUT);
    for (const auto &[port, pin] : Pins{{N, 32}, {H, 32}, {N, negative_pin}, {N, 0x80000000}})
        expect_data_refused(port, pin);
    for (const auto &[port, pin] : Pins{{N, 16}, {H, 16}, {A, negative_pin}})
        expect_set_pull_refused(port, pin, PUD_UP);
}

// The last value each test lets through, on ports at both ends of the map
// and in the block apart.
TEST_F(Gpio64, LimitsThemselvesAreAccepted)
{
    const Change changes[] = {
        {"kelto_gpio_set_type", A, 7, ALT6, 0x7F008000, 0xFu << 28, 0x7u << 28},
        {"kelto_gpio_set_type", M, 5, ALT3, 0x7F008820, 0xFu << 20, 0x4u << 20},
        {"kelto_gpio_set_type", N, 15, ALT2, 0x7F008830, 0x3u << 30, 0x3u << 30},
        {"kelto_gpio_set_val", N, 31, 1, 0x7F008834, 1u << 31, 1u << 31},
        {"kelto_gpio_set_val", I, 15, 1, 0x7F008104, 1u << 15, 1u << 15},
        {"kelto_gpio_set_pullupdown", Q, 8, PUD_UP, 0x7F008188, 0x3u << 16, 0x2u << 16},
        {"kelto_gpio_set_pullupdown", H, 15, PUD_DOWN, 0x7F0080EC, 0x3u << 30, 0x1u << 30},
    };
    expect_changes(changes);
}

// Codes 4-7 do not fit a 2-bit field: they would spill into the next pin's.
TEST_F(Gpio64, WideFunctionCodesOnTwoBitPortsAreRefused)
{
    for (std::uint32_t port : {std::uint32_t{F}, std::uint32_t{I}, std::uint32_t{N}, std::uint32_t{Q}}) {
        for (std::uint32_t type : {std::uint32_t{ALT3}, 5u, 6u, std::uint32_t{ALT6}})
            expect_set_type_refused(port, 4, type);
        forget();
        EXPECT_EQ(set_type(port, 4, ALT2), 0u);
        EXPECT_EQ(printed(), "");
    }
}

}  // namespace
}  // namespace kelto::test
