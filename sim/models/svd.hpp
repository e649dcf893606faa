// A CMSIS-SVD description of a board's chip, written from the models'
// register tables, for the peripheral views of debugger front ends.
#pragma once

#include <string>
#include <string_view>

#include "core/board.hpp"

namespace kelto::sim {

// The SVD document of the board's chip: its peripheral models as a machine
// has them (four UART channels, the GPIO ports, the PWM timers), from their
// tables; version is the describing program's.
std::string chip_svd(const BoardSpec &board, std::string_view version);

}  // namespace kelto::sim
