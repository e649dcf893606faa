#include "core/board.hpp"

namespace kelto::sim {

namespace {

constexpr std::uint8_t port(char letter)
{
    return static_cast<std::uint8_t>(letter - 'A');
}

const BoardSpec spec_64{
    .id = 64,
    .name = "board 64",
    .chip = Chip::s3c6410,
    .chip_name = "S3C6410",
    .core = CpuCore::arm1176,
    .dram_base = 0x50000000,
    .dram_size = 128u << 20,
    .cpu_hz = 532'000'000,
    .pclk_hz = 66'000'000,
    .uart_base = {0x7F005000, 0x7F005400, 0x7F005800, 0x7F005C00},
    .console_channel = 1,
    .timer_base = 0x7F006000,
    .timer4_bits = 32,
    .gpio_base = 0x7F008000,
    .gpio_size = 0x1000,
    .buttons = {Pin{port('N'), 0}, Pin{port('N'), 1}, Pin{port('N'), 2}, Pin{port('N'), 3}},
    .backlight_enable = {port('N'), 9},
    .backlight_timer = 1,
    .backlight_pwm = {port('F'), 15},
};

const BoardSpec spec_24{
    .id = 24,
    .name = "board 24",
    .chip = Chip::s3c2450,
    .chip_name = "S3C2450",
    .core = CpuCore::arm926,
    .dram_base = 0x30000000,
    .dram_size = 64u << 20,
    .cpu_hz = 533'000'000,
    .pclk_hz = 66'000'000,
    .uart_base = {0x50000000, 0x50004000, 0x50008000, 0x5000C000},
    .console_channel = 1,
    .timer_base = 0x51000000,
    .timer4_bits = 16,
    .gpio_base = 0x56000000,
    .gpio_size = 0x1000,
    .buttons = {Pin{port('F'), 0}, Pin{port('F'), 1}, Pin{port('F'), 2}, Pin{port('F'), 3}},
    .backlight_enable = {port('G'), 4},
    .backlight_timer = 3,
    .backlight_pwm = {port('B'), 3},
};

}  // namespace

const char *button_name(Button button)
{
    // The names are literals: each view ends in a terminating null.
    const auto index = static_cast<std::size_t>(button);
    return index < button_names.size() ? button_names[index].data() : "?";
}

std::optional<Button> button_named(std::string_view name)
{
    for (Button button : all_buttons)
        if (name == button_name(button))
            return button;
    return std::nullopt;
}

const BoardSpec &board_64()
{
    return spec_64;
}

const BoardSpec &board_24()
{
    return spec_24;
}

const BoardSpec *board_for_address(std::uint32_t address)
{
    for (const BoardSpec *board : {&spec_64, &spec_24}) {
        if (address >= board->dram_base && address - board->dram_base < board->dram_size)
            return board;
    }
    return nullptr;
}

const BoardSpec *board_by_id(int id)
{
    if (id == 64)
        return &spec_64;
    if (id == 24)
        return &spec_24;
    return nullptr;
}

}  // namespace kelto::sim
