// GPIO ports of the chip. For now only the button port is modelled: its
// configuration, data and pull words.
#pragma once

#include <cstdint>
#include <map>

#include "board.hpp"
#include "device.hpp"

namespace kelto::sim {

class GpioBlock final : public Device {
public:
    explicit GpioBlock(const BoardSpec &board);

    std::optional<std::uint32_t> read(std::uint32_t offset) override;
    bool write(std::uint32_t offset, std::uint32_t value) override;
    std::string register_name(std::uint32_t offset) const override;

private:
    const BoardSpec &board_;
    std::uint32_t button_port_offset_;
    std::uint32_t con_ = 0, dat_ = 0, pud_ = 0;
};

}  // namespace kelto::sim
