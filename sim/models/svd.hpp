// A CMSIS-SVD description of a board's chip, written from the models'
// register tables, for the peripheral views of debugger front ends.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/board.hpp"
#include "core/device.hpp"

namespace kelto::sim {

// The chip's peripheral models as a machine has them (four UART channels,
// the GPIO ports, the PWM timers), unattached: for their tables only.
std::vector<std::unique_ptr<Device>> chip_models(const BoardSpec &board);

// The SVD document for the board's chip with these peripherals; version
// is the describing program's.
std::string svd_document(const BoardSpec &board, std::span<const Device *const> devices, std::string_view version);

}  // namespace kelto::sim
