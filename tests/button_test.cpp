// The direction buttons on both boards: pins made inputs once, then read
// as levels, active low.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "device_fixture.hpp"

namespace kelto::test {
namespace {

using sim::Button;

constexpr std::uint32_t state_up = 0;    // released
constexpr std::uint32_t state_down = 1;  // held

class Buttons : public DeviceTest {
protected:
    std::uint32_t scan(Button button)
    {
        return call(machine(), "kelto_btn_scan", {static_cast<std::uint32_t>(button)});
    }
};

INSTANTIATE_TEST_SUITE_P(Boards, Buttons, ::testing::Values(board64, board24), board_name);

TEST_P(Buttons, InitClearsTheFourFunctionFieldsOneAtATime)
{
    for (std::uint32_t before : {0xFFFFFFFFu, 0x5555AAAAu, 0x00000055u}) {
        SCOPED_TRACE(::testing::PrintToString(before));
        poke(wiring().button_config, before);
        forget();
        call(machine(), "kelto_btn_init");

        // Four read-modify-writes, pin 0 to pin 3, each clearing only its
        // own two bits of what it read, and nothing else: pins 4 and up and
        // the pulls stay as they were.
        const std::vector<Access> &seen = machine().accesses();
        ASSERT_EQ(seen.size(), 8u) << ::testing::PrintToString(listing(seen));
        std::uint32_t expected = before;
        for (std::size_t pin = 0; pin < 4; pin++) {
            SCOPED_TRACE(pin);
            const Access &read = seen[2 * pin];
            const Access &written = seen[2 * pin + 1];
            EXPECT_EQ(listing({read, written}),
                      listing({read_of(wiring().button_config, expected),
                               write_of(wiring().button_config, expected & ~(0x3u << (2 * pin)))}));
            expected &= ~(0x3u << (2 * pin));
        }
        EXPECT_EQ(peek(wiring().button_config), before & ~0xFFu);
    }
}

TEST_P(Buttons, ScanReportsEachHeldButtonWhileItIsHeld)
{
    call(machine(), "kelto_btn_init");
    const std::vector<std::set<Button>> held_sets = {
        {},
        {Button::up},
        {Button::right},
        {Button::down, Button::left},
        {Button::up, Button::down, Button::left, Button::right},
    };
    for (const std::set<Button> &held : held_sets) {
        for (Button button : sim::all_buttons)
            machine().set_button(button, held.contains(button));
        // No edge detection: a second look sees the same.
        for (int look = 0; look < 2; look++) {
            for (Button button : sim::all_buttons) {
                SCOPED_TRACE(::testing::Message() << sim::button_name(button) << ", " << held.size() << " held, look "
                                                  << look);
                EXPECT_EQ(scan(button), held.contains(button) ? state_down : state_up);
            }
        }
    }
}

TEST_P(Buttons, ScanIsOneReadOfTheDataWord)
{
    call(machine(), "kelto_btn_init");
    for (Button button : sim::all_buttons) {
        forget();
        scan(button);
        const std::vector<Access> &seen = machine().accesses();
        ASSERT_EQ(seen.size(), 1u) << ::testing::PrintToString(listing(seen));
        EXPECT_FALSE(seen[0].write);
        EXPECT_EQ(seen[0].address, wiring().button_data);
    }
    // A key code past the port's pins is refused by the GPIO driver (on the
    // console), nothing read: the button counts as released, however the pins stand.
    ASSERT_EQ(call(machine(), "kelto_uart_init", {1, 115200}), 0u);
    for (Button button : sim::all_buttons)
        machine().set_button(button, true);
    forget();
    EXPECT_EQ(call(machine(), "kelto_btn_scan", {200}), state_up);
    for (const Access &access : machine().accesses())
        EXPECT_NE(access.address, wiring().button_data);
}

}  // namespace
}  // namespace kelto::test
