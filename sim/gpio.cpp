#include "gpio.hpp"

#include "machine.hpp"

namespace kelto::sim {

GpioBlock::GpioBlock(const BoardSpec &board)
    : Device("GPIO", board.gpio_base, board.gpio_size), board_(board),
      button_port_offset_(board.chip == Chip::s3c6410 ? 0x830 : 0x50)
{
}

std::string GpioBlock::register_name(std::uint32_t offset) const
{
    const char port = static_cast<char>('A' + board_.buttons[0].port);
    if (offset == button_port_offset_)
        return std::string("GP") + port + "CON";
    if (offset == button_port_offset_ + 4)
        return std::string("GP") + port + "DAT";
    if (offset == button_port_offset_ + 8)
        return std::string("GP") + port + "PUD";
    return {};
}

std::optional<std::uint32_t> GpioBlock::read(std::uint32_t offset)
{
    if (offset == button_port_offset_)
        return con_;
    if (offset == button_port_offset_ + 8)
        return pud_;
    if (offset == button_port_offset_ + 4) {
        std::uint32_t value = 0xFFFFFFFF;
        for (Button button : all_buttons) {
            const Pin pin = board_.buttons[static_cast<unsigned>(button)];
            if (!machine().input_level(pin))
                value &= ~(1u << pin.number);
        }
        return value;
    }
    return std::nullopt;
}

bool GpioBlock::write(std::uint32_t offset, std::uint32_t value)
{
    if (offset == button_port_offset_)
        con_ = value;
    else if (offset == button_port_offset_ + 4)
        dat_ = value;
    else if (offset == button_port_offset_ + 8)
        pud_ = value;
    else
        return false;
    return true;
}

}  // namespace kelto::sim
