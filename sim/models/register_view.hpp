// Registers as a person reads them: the value, read without side effects
// (Device::peek), and its fields decoded from the model's table.
//
//   UTRSTAT   0x00000006  tx empty, tx buffer empty, rx empty
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "core/device.hpp"

namespace kelto::sim {

// A register's fields in value, from the highest bit down: a one-bit field
// in the words for its state, a wider one as NAME=value when not 0.
std::string register_words(const Register &reg, std::uint32_t value);

// One register's line: its name, value and words.
std::string register_line(const Device &device, const Register &reg);

// Each peripheral named by what (uart1, gpio, timer: any case, part of its
// name), or each register of that name, under its peripheral's
// heading; every register with what empty. Empty when nothing matches.
std::string registers_text(std::span<const Device *const> devices, std::string_view what);

}  // namespace kelto::sim
