// The S3C6410 GPIO driver on board 64, run in the simulator.
#include <cstdint>
#include <string>
#include <vector>

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

// Every port against the register map: the driver's port table must put
// each pin's function field, data bit and pull field where the model, and
// the chip, have them. Pins 8-15 of H, K and L live in a second
// configuration word, which moves data and pull one word up.
TEST_F(Gpio64, EveryPortReachesItsOwnRegisters)
{
    const std::string two_bit_ports = "FIJNOPQ";
    for (const PortRegisters &map : s3c6410_map) {
        const bool narrow = two_bit_ports.find(map.letter) != std::string::npos;
        const std::uint32_t bits = narrow ? 2 : 4, per_word = 32 / bits, widest = narrow ? ALT2 : ALT6;
        std::vector<std::uint32_t> pins{0, per_word - 1};
        if (map.con1)
            pins.insert(pins.end(), {8, 15});
        for (std::uint32_t pin : pins) {
            const std::uint32_t shift = pin % per_word * bits;
            expect_pin_fields({static_cast<std::uint32_t>(map.letter - 'A'), pin, pin < per_word ? map.con : map.con1,
                               ((1u << bits) - 1) << shift, OUTPUT << shift, widest << shift, widest, map.dat,
                               1u << pin, map.pud});
        }
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

// The data word's last bit is let through, though no pin of N owns it.
TEST_F(Gpio64, DataBit31IsAccepted)
{
    const Change changes[] = {{"kelto_gpio_set_val", N, 31, 1, 0x7F008834, 1u << 31, 1u << 31}};
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
