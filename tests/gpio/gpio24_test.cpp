// The S3C2450 GPIO driver on board 24, run in the simulator.
#include <algorithm>
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

// Every port against the register map: the driver's port table must put
// each pin's function field, data bit and pull field where the model, and
// the chip, have them. Port A's pin q owns bit 2q (data) and 2q+1 (ALT1 or
// output) of one of two combined words; I and K have no registers, so the
// driver must not go near address 0.
TEST_F(Gpio24, EveryPortReachesItsOwnRegisters)
{
    for (std::uint32_t port = 0; port < PORT_MAX; port++) {
        const auto map = std::ranges::find(s3c2450_map, static_cast<char>('A' + port), &PortRegisters::letter);
        if (map == s3c2450_map.end()) {
            expect_port_refused(port);
            continue;
        }
        for (std::uint32_t pin : {0u, 7u, 8u, 15u}) {
            const std::uint32_t word = pin < 8 ? map->con : map->con1, function = 2u << 2 * (pin % 8);
            if (port == A)
                expect_pin_fields({port, pin, word, function, 0, function, ALT1, word, function >> 1, 0});
            else
                expect_pin_fields({port, pin, map->con, 0x3u << 2 * pin, OUTPUT << 2 * pin, ALT2 << 2 * pin, ALT2,
                                   map->dat, 1u << pin, map->pud});
            if (!map->pud) {
                forget();
                expect_refusal(set_pull(port, pin, PUD_DOWN), port_af_pull);
            }
        }
    }
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

// On A and F, which have no pull word, the argument test comes first.
TEST_F(Gpio24, PullArgumentsAreCheckedBeforeThePort)
{
    for (std::uint32_t port : {std::uint32_t{A}, std::uint32_t{F}}) {
        forget();
        expect_refusal(set_pull(port, 0, PUD_MAX), set_pull_invalid);
    }
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

// The data word's last bit is let through, though no pin of B owns it.
TEST_F(Gpio24, DataBit31IsAccepted)
{
    const Change changes[] = {{"kelto_gpio_set_val", B, 31, 1, 0x56000014, 1u << 31, 1u << 31}};
    expect_changes(changes);
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
