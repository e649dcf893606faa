// The S3C2450 GPIO driver on board 24, run in the simulator.
#include <cstdint>
#include <string>

#include "gpio_fixture.hpp"

namespace kelto::test {
namespace {

// Port, function and pull codes of the S3C2450 build.
enum Port : std::uint32_t { A = 0, B = 1, F = 5, G = 6, I = 8, J = 9, K = 10, M = 12, PORT_MAX = 13 };
enum Type : std::uint32_t { INPUT = 0, OUTPUT = 1, ALT1 = 2, ALT2 = 3, TYPE_MAX = 4 };
enum Pud : std::uint32_t { PUD_UP = 0, PUD_DISABLE = 1, PUD_DOWN = 2, PUD_MAX = 3 };

constexpr std::uint32_t gpacdl = 0x56000000;  // port A pins 0-7
constexpr std::uint32_t gpacdh = 0x56000004;  // port A pins 8-15

const std::string port_a_input = "kelto24_gpio_set_type: Port A does not support input mode\n";
const std::string port_af_pull = "kelto_gpio_set_pullupdown: Port A/F does not support input mode\n";

class Gpio24 : public GpioDriverTest {
protected:
    void SetUp() override { boot("drivertest-24"); }
};

TEST_F(Gpio24, WorkedRegisterEffects)
{
    const Change changes[] = {
        {"kelto_gpio_set_type", A, 10, ALT1, gpacdh, 1u << 5, 1u << 5},
        {"kelto_gpio_set_type", A, 2, OUTPUT, gpacdl, 1u << 5, 0},
        {"kelto_gpio_set_val", A, 9, 1, gpacdh, 1u << 2, 1u << 2},
        {"kelto_gpio_set_type", B, 3, ALT1, 0x56000010, 0x3u << 6, 0x2u << 6},
        {"kelto_gpio_set_val", G, 4, 1, 0x56000064, 1u << 4, 1u << 4},
        {"kelto_gpio_set_pullupdown", G, 4, PUD_DOWN, 0x56000068, 0x3u << 8, 0x2u << 8},
    };
    expect_changes(changes, other_bits_patterns);
}

// Each port A pin owns a data bit 2q and a function bit 2q+1 of one of two
// words; nothing else of the word may change.
TEST_F(Gpio24, PortAPinsShareCombinedWords)
{
    preload(gpacdl, 0xA5A5A5A5);
    preload(gpacdh, 0x5A5A5A5A);
    forget();
    EXPECT_EQ(set_type(A, 7, ALT1), 0u);
    expect_one_change(gpacdl, 1u << 15, 1u << 15);
    forget();
    EXPECT_EQ(set_val(A, 7, 0), 0u);
    expect_one_change(gpacdl, 1u << 14, 0);
    forget();
    EXPECT_EQ(set_type(A, 8, ALT1), 0u);
    expect_one_change(gpacdh, 1u << 1, 1u << 1);
    forget();
    EXPECT_EQ(set_val(A, 8, 1), 0u);
    expect_one_change(gpacdh, 1u << 0, 1u << 0);
    forget();
    EXPECT_EQ(set_type(A, 15, OUTPUT), 0u);
    expect_one_change(gpacdh, 1u << 15, 0);
}

TEST_F(Gpio24, PortAAlt2ClearsTheFunctionBitLikeOutput)
{
    preload(gpacdl, 0xFFFFFFFF);
    forget();
    EXPECT_EQ(set_type(A, 3, ALT2), 0u);
    expect_one_change(gpacdl, 1u << 7, 0);
}

TEST_F(Gpio24, PortAGetValReadsTheCombinedWord)
{
    std::uint32_t val = 0;
    for (std::uint32_t pattern : {0x00000001u, 0xFFFFFFFEu}) {
        preload(gpacdl, pattern);
        forget();
        EXPECT_EQ(get_val(A, 0, &val), 0u);
        EXPECT_EQ(val, pattern & 1);
        EXPECT_EQ(listing(gpio_accesses()), listing({Access{0, 0, gpacdl, pattern, false}}));
    }
    preload(gpacdh, 1u << 10);  // pin 13's data bit, next to pin 12's function bit
    EXPECT_EQ(get_val(A, 13, &val), 0u);
    EXPECT_EQ(val, 1u);
    EXPECT_EQ(get_val(A, 12, &val), 0u);
    EXPECT_EQ(val, 0u);
}

TEST_F(Gpio24, PortAHasNoInputMode)
{
    for (std::uint32_t pin : {0u, 8u, 15u}) {
        forget();
        expect_refusal(set_type(A, pin, INPUT), port_a_input);
    }
}

TEST_F(Gpio24, PullSelectionIsRefusedOnPortsAAndF)
{
    for (std::uint32_t port : {std::uint32_t{A}, std::uint32_t{F}}) {
        for (std::uint32_t pud : {std::uint32_t{PUD_UP}, std::uint32_t{PUD_DOWN}}) {
            forget();
            expect_refusal(set_pull(port, 0, pud), port_af_pull);
        }
    }
    // The argument test comes first.
    forget();
    expect_refusal(set_pull(A, 0, PUD_MAX), set_pull_invalid);
}

// The buttons are inputs on port F even though its pull cannot be chosen.
TEST_F(Gpio24, PortFPinsCanBeInputs)
{
    preload(0x56000050, 0xFFFFFFFF);
    forget();
    EXPECT_EQ(set_type(F, 2, INPUT), 0u);
    expect_one_change(0x56000050, 0x3u << 4, 0);
    std::uint32_t val = 0;
    machine().set_button(sim::Button::left, true);
    EXPECT_EQ(get_val(F, 2, &val), 0u);
    EXPECT_EQ(val, 0u);
}

TEST_F(Gpio24, ArgumentsAboveTheirEnumerationAreRefused)
{
    for (std::uint32_t port : {std::uint32_t{PORT_MAX}, 16u, 255u})
        expect_port_refused(port);
    for (std::uint32_t type : {std::uint32_t{TYPE_MAX}, 7u, 255u})
        expect_set_type_refused(B, 0, type);
    for (std::uint32_t pud : {std::uint32_t{PUD_MAX}, 255u})
        expect_set_pull_refused(B, 0, pud);
}

TEST_F(Gpio24, TwoBadArgumentsGiveOneMessage)
{
    forget();
    expect_refusal(set_type(PORT_MAX, 0, TYPE_MAX), set_type_invalid);
    forget();
    expect_refusal(set_pull(PORT_MAX, 0, PUD_MAX), set_pull_invalid);
}

TEST_F(Gpio24, LimitsThemselvesAreAccepted)
{
    const Change changes[] = {
        {"kelto_gpio_set_type", M, 2, ALT2, 0x56000100, 0x3u << 4, 0x3u << 4},
        {"kelto_gpio_set_type", B, 15, ALT1, 0x56000010, 0x3u << 30, 0x2u << 30},
        {"kelto_gpio_set_val", B, 31, 1, 0x56000014, 1u << 31, 1u << 31},
        {"kelto_gpio_set_val", J, 1, 1, 0x560000D4, 1u << 1, 1u << 1},
        {"kelto_gpio_set_pullupdown", M, 2, PUD_DOWN, 0x56000108, 0x3u << 4, 0x2u << 4},
        {"kelto_gpio_set_pullupdown", G, 15, PUD_DISABLE, 0x56000068, 0x3u << 30, 0x1u << 30},
    };
    expect_changes(changes);
}

// I and K have no registers: the driver must not go near address 0.
TEST_F(Gpio24, PortsWithoutRegistersAreRefused)
{
    for (std::uint32_t port : {std::uint32_t{I}, std::uint32_t{K}})
        expect_port_refused(port);
}

TEST_F(Gpio24, PinsOutsideTheirRegisterAreRefused)
{
    using Pins = std::initializer_list<std::pair<std::uint32_t, std::uint32_t>>;
    for (const auto &[port, pin] : Pins{{B, 16}, {B, negative_pin}, {A, 24}, {A, negative_pin}})
        expect_set_type_refused(port, pin, OUTPUT);
    for (const auto &[port, pin] : Pins{{B, 32}, {B, negative_pin}, {A, 24}, {A, negative_pin}})
        expect_data_refused(port, pin);
    for (const auto &[port, pin] : Pins{{B, 16}, {G, negative_pin}})
        expect_set_pull_refused(port, pin, PUD_UP);
}

}  // namespace
}  // namespace kelto::test
