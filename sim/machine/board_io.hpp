// The board's own inputs and outputs around the chip: the buttons it drives
// onto input pins, and the LCD backlight as it shows what the pins and the
// PWM timer make of it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "core/board.hpp"
#include "core/state.hpp"

namespace kelto::sim {

class Device;
class GpioBlock;
class TimerBlock;

class BoardIo {
public:
    BoardIo(const BoardSpec &board, GpioBlock &gpio, TimerBlock &timer);

    void set_button(Button button, bool held);
    bool button_held(Button button) const { return buttons_ & (1u << static_cast<unsigned>(button)); }
    // Buttons low when held, every other input pulled high.
    bool input_level(Pin pin) const;

    std::optional<int> backlight_percent() const;
    void watch_backlight(std::function<void(std::optional<int>)> watch);
    // A register of the device has been written: the backlight may show
    // something else.
    void register_written(const Device &device)
    {
        if (!backlight_watches_.empty() && (&device == gpio_as_device_ || &device == timer_as_device_))
            tell_backlight();
    }

    // Saving and restoring the board (machine_state.cpp).
    void save(StateWriter &out) const;
    void restore(StateReader &in);

private:
    void tell_backlight();

    const BoardSpec &board_;
    GpioBlock &gpio_;
    TimerBlock &timer_;
    const Device *gpio_as_device_;
    const Device *timer_as_device_;
    std::uint32_t buttons_ = 0;
    std::vector<std::function<void(std::optional<int>)>> backlight_watches_;
    std::optional<int> backlight_shown_;
};

}  // namespace kelto::sim
