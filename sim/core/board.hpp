// What the simulator knows of each board: core, memory, clocks and where the
// peripherals and the board's own wiring sit.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelto::sim {

enum class Chip { s3c6410, s3c2450 };
// The ARM core the chip is built around.
enum class CpuCore { arm1176, arm926 };

enum class Button : std::uint8_t { up = 0, down = 1, left = 2, right = 3 };
inline constexpr std::array<Button, 4> all_buttons{Button::up, Button::down, Button::left, Button::right};
// Indexed by Button.
inline constexpr std::array<std::string_view, 4> button_names{"up", "down", "left", "right"};
const char *button_name(Button button);
// The button button_name names so; none for any other text.
std::optional<Button> button_named(std::string_view name);

// A GPIO pin by port letter index (A = 0) and number.
struct Pin {
    std::uint8_t port;
    std::uint8_t number;
    bool operator==(const Pin &) const = default;
};

struct BoardSpec {
    int id;                 // 64 or 24
    const char *name;       // "board 64"
    Chip chip;
    const char *chip_name;  // "S3C6410"
    CpuCore core;
    std::uint32_t dram_base;
    std::uint32_t dram_size;
    std::uint64_t cpu_hz;
    std::uint64_t pclk_hz;
    std::array<std::uint32_t, 4> uart_base;
    int console_channel;
    std::uint32_t timer_base;
    int timer4_bits;        // width of timer 4's counter
    std::uint32_t gpio_base;
    std::uint32_t gpio_size;
    std::array<Pin, 4> buttons;  // indexed by Button
    Pin backlight_enable;
    int backlight_timer;
    Pin backlight_pwm;
};

const BoardSpec &board_64();
const BoardSpec &board_24();
// The board whose DRAM holds the address, if any.
const BoardSpec *board_for_address(std::uint32_t address);
const BoardSpec *board_by_id(int id);

}  // namespace kelto::sim
