// Addresses and values as the machine's reports write them: "0x7f005420".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kelto::sim {

inline std::string hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

}  // namespace kelto::sim
