// The GPIO model on its own: where the firmware's tests would not notice a
// fault of the model, because the driver writes and reads the same place.
#include <cstdint>
#include <string>
#include <vector>

#include "gpio_fixture.hpp"

namespace kelto::test {
namespace {

using sim::Button;
using sim::GpioBlock;
using sim::Pin;

constexpr std::uint8_t port(char letter)
{
    return static_cast<std::uint8_t>(letter - 'A');
}

class GpioModel : public ::testing::Test {
protected:
    void boot(std::string_view image) { machine_ = load(image); }
    GpioBlock &gpio() { return machine_->gpio(); }
    Machine &machine() { return *machine_; }
    std::uint32_t offset(std::uint32_t address) { return address - gpio().base(); }
    void put(std::uint32_t address, std::uint32_t value)
    {
        ASSERT_TRUE(gpio().write(offset(address), value)) << std::hex << address;
    }
    std::uint32_t get(std::uint32_t address)
    {
        const auto value = gpio().read(offset(address));
        EXPECT_TRUE(value.has_value()) << std::hex << address;
        return value.value_or(0xBAD);
    }
    void expect_absent(std::uint32_t address)
    {
        SCOPED_TRACE(::testing::PrintToString(address));
        EXPECT_FALSE(gpio().read(offset(address)).has_value());
        EXPECT_FALSE(gpio().write(offset(address), 0));
        EXPECT_EQ(gpio().register_name(offset(address)), "");
    }

    // Every register of the map answers under its name and keeps what is
    // written to it apart from every other register. With all pins out of
    // input mode, data words read back their latches.
    void check_map(const std::vector<PortRegisters> &map, bool combined_port_a)
    {
        std::uint32_t next = 0x01000001;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> written;
        for (const PortRegisters &port : map) {
            SCOPED_TRACE(std::string(1, port.letter));
            const std::string prefix = std::string("GP") + port.letter;
            const bool combined = combined_port_a && port.letter == 'A';
            if (combined) {
                EXPECT_EQ(gpio().register_name(offset(port.con)), prefix + "CDL");
                EXPECT_EQ(gpio().register_name(offset(port.con1)), prefix + "CDH");
            } else if (port.con1) {
                EXPECT_EQ(gpio().register_name(offset(port.con)), prefix + "CON0");
                EXPECT_EQ(gpio().register_name(offset(port.con1)), prefix + "CON1");
            } else {
                EXPECT_EQ(gpio().register_name(offset(port.con)), prefix + "CON");
            }
            if (port.dat) {
                EXPECT_EQ(gpio().register_name(offset(port.dat)), prefix + "DAT");
            }
            if (port.pud) {
                EXPECT_EQ(gpio().register_name(offset(port.pud)), prefix + "PUD");
            }

            // 01 in every 2-bit field is output; 0101 in a 4-bit one an
            // alternate function: never input.
            for (std::uint32_t address : {port.con, port.con1}) {
                if (!address)
                    continue;
                const std::uint32_t value = combined ? next++ : 0x55555555;
                put(address, value);
                written.emplace_back(address, value);
            }
            for (std::uint32_t address : {port.dat, port.pud}) {
                if (!address)
                    continue;
                put(address, next);
                written.emplace_back(address, next++);
            }
        }
        for (const auto &[address, value] : written)
            EXPECT_EQ(get(address), value) << std::hex << address;
    }

    std::unique_ptr<Machine> machine_;
};

TEST_F(GpioModel, S3C6410PortMap)
{
    boot("drivertest-64");
    check_map(s3c6410_map, false);
    // Neighbours the model leaves out: sleep-mode words, the gaps in the
    // map, the interrupt block.
    for (std::uint32_t address : {0x7F00800Cu, 0x7F0080F0u, 0x7F0080FCu, 0x7F008110u, 0x7F00883Cu,
                                  0x7F0081A0u, 0x7F008900u, 0x7F008FFCu})
        expect_absent(address);
}

TEST_F(GpioModel, S3C2450PortMap)
{
    boot("drivertest-24");
    check_map(s3c2450_map, true);
    // Port A's third word, port F's pull word, ports I and K, the gaps.
    for (std::uint32_t address : {0x56000008u, 0x5600000Cu, 0x56000058u, 0x56000080u, 0x56000088u, 0x560000A0u,
                                  0x560000C0u, 0x560000E0u, 0x5600010Cu, 0x56000110u})
        expect_absent(address);
}

TEST_F(GpioModel, HeldButtonReadsLowAndOtherPinsKeepTheirLevels)
{
    boot("drivertest-64");
    const std::uint32_t gpncon = 0x7F008830, gpndat = 0x7F008834;
    put(gpncon, (0x1u << 18) | (0x2u << 20));  // N9 output, N10 alternate, the rest input
    put(gpndat, 0x00000000);
    EXPECT_EQ(get(gpndat), 0x0000F9FFu);  // inputs high, N9 and N10 their latches

    machine().set_button(Button::left, true);
    EXPECT_EQ(get(gpndat), 0x0000F9FBu);
    EXPECT_FALSE(gpio().pin_level(Pin{port('N'), 2}));
    EXPECT_TRUE(gpio().pin_level(Pin{port('N'), 3}));

    // The latch of an input pin does not show through.
    put(gpndat, 0xFFFFFFFF);
    EXPECT_EQ(get(gpndat), 0xFFFFFFFBu);

    machine().set_button(Button::right, true);
    EXPECT_EQ(get(gpndat), 0xFFFFFFF3u);
    machine().set_button(Button::left, false);
    machine().set_button(Button::right, false);
    EXPECT_EQ(get(gpndat), 0xFFFFFFFFu);
}

TEST_F(GpioModel, ButtonPinTurnedOutputReadsItsLatch)
{
    boot("drivertest-24");
    const std::uint32_t gpfcon = 0x56000050, gpfdat = 0x56000054;
    const Pin up{port('F'), 0};
    put(gpfdat, 0x1);
    machine().set_button(Button::up, true);
    EXPECT_EQ(get(gpfdat) & 1, 0u);
    EXPECT_EQ(gpio().output_level(up), std::nullopt);

    put(gpfcon, 0x1);
    EXPECT_EQ(get(gpfdat) & 1, 1u);
    EXPECT_EQ(gpio().pin_function(up), GpioBlock::function_output);
    EXPECT_EQ(gpio().output_level(up), true);
}

TEST_F(GpioModel, PortACombinedWordsReadBackAsWritten)
{
    boot("drivertest-24");
    const std::uint32_t gpacdl = 0x56000000, gpacdh = 0x56000004;
    // Port A is never an input, so no board level shows in its words.
    machine().set_button(Button::up, true);
    put(gpacdl, 0x12345678);
    put(gpacdh, 0x0000FF00);
    EXPECT_EQ(get(gpacdl), 0x12345678u);
    EXPECT_EQ(get(gpacdh), 0x0000FF00u);

    // 0x78: pin 0 output low, 1 ALT1 low, 2 ALT1 high, 3 output high.
    const Pin a0{0, 0}, a1{0, 1}, a2{0, 2}, a3{0, 3};
    EXPECT_EQ(gpio().pin_function(a0), GpioBlock::function_output);
    EXPECT_EQ(gpio().pin_function(a1), GpioBlock::function_alt1);
    EXPECT_EQ(gpio().pin_function(a2), GpioBlock::function_alt1);
    EXPECT_EQ(gpio().pin_function(a3), GpioBlock::function_output);
    EXPECT_EQ(gpio().output_level(a0), false);
    EXPECT_EQ(gpio().output_level(a2), std::nullopt);
    EXPECT_EQ(gpio().output_level(a3), true);
    EXPECT_TRUE(gpio().pin_level(a2));

    // 0xFF00 in the second word: pins 12-15 ALT1 and high, 8-11 output low.
    EXPECT_EQ(gpio().pin_function(Pin{0, 11}), GpioBlock::function_output);
    EXPECT_EQ(gpio().output_level(Pin{0, 11}), false);
    EXPECT_EQ(gpio().pin_function(Pin{0, 12}), GpioBlock::function_alt1);
    EXPECT_TRUE(gpio().pin_level(Pin{0, 15}));
}

TEST_F(GpioModel, FunctionFieldsOfBothWidthsAndBothConfigurationWords)
{
    boot("drivertest-64");
    put(0x7F0080E0, 0x70000000);  // H7 ALT6
    put(0x7F0080E4, 0x00000021);  // H8 output, H9 ALT1
    put(0x7F0080A0, 0xC0000000);  // F15 ALT2
    EXPECT_EQ(gpio().pin_function(Pin{port('H'), 7}), 7u);
    EXPECT_EQ(gpio().pin_function(Pin{port('H'), 8}), GpioBlock::function_output);
    EXPECT_EQ(gpio().pin_function(Pin{port('H'), 9}), GpioBlock::function_alt1);
    EXPECT_EQ(gpio().pin_function(Pin{port('H'), 10}), GpioBlock::function_input);
    EXPECT_EQ(gpio().pin_function(Pin{port('F'), 15}), 3u);
    EXPECT_EQ(gpio().pin_function(Pin{port('F'), 14}), GpioBlock::function_input);
}

TEST_F(GpioModel, PinsTheChipLacks)
{
    boot("drivertest-64");
    EXPECT_EQ(gpio().pin_function(Pin{port('A'), 8}), std::nullopt);  // 4-bit fields, one word
    EXPECT_EQ(gpio().pin_function(Pin{port('N'), 16}), std::nullopt);
    EXPECT_EQ(gpio().pin_function(Pin{port('R'), 0}), std::nullopt);
    EXPECT_TRUE(gpio().pin_function(Pin{port('K'), 15}).has_value());

    boot("drivertest-24");
    EXPECT_EQ(gpio().pin_function(Pin{port('I'), 0}), std::nullopt);
    EXPECT_EQ(gpio().pin_function(Pin{port('K'), 0}), std::nullopt);
    EXPECT_EQ(gpio().pin_function(Pin{port('N'), 0}), std::nullopt);
    EXPECT_EQ(gpio().output_level(Pin{port('I'), 0}), std::nullopt);
}

TEST_F(GpioModel, DescribePinsBoard64)
{
    boot("drivertest-64");
    machine().set_button(Button::down, true);
    put(0x7F008830, 0x1u << 18);  // N9 output
    put(0x7F008834, 0x1u << 9);
    put(0x7F0080A0, 0x2u << 30);  // F15 ALT1
    put(0x7F008000, 0x00111100);  // A2-A5 output, latches low
    EXPECT_EQ(gpio().describe_pins(), "GPA2-5 output low\n"
                                      "GPF15 alt1 (backlight PWM, timer 1)\n"
                                      "GPN0 input high (button up)\n"
                                      "GPN1 input low (button down)\n"
                                      "GPN2 input high (button left)\n"
                                      "GPN3 input high (button right)\n"
                                      "GPN9 output high (backlight enable)\n");
}

TEST_F(GpioModel, DescribePinsBoard24AfterReset)
{
    boot("drivertest-24");
    EXPECT_EQ(gpio().describe_pins(), "GPA0-15 alt1\n"
                                      "GPB3 input high (backlight PWM, timer 3)\n"
                                      "GPF0 input high (button up)\n"
                                      "GPF1 input high (button down)\n"
                                      "GPF2 input high (button left)\n"
                                      "GPF3 input high (button right)\n"
                                      "GPG4 input high (backlight enable)\n");
}

}  // namespace
}  // namespace kelto::test
