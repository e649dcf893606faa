// What both bench programs need: an image by name, and a run until a text
// appears on the console.
#pragma once

#include <stdexcept>
#include <string>

#include "machine/machine.hpp"

namespace kelto::bench {

inline std::string image(const std::string &name)
{
    return std::string(KELTO_IMAGE_DIR) + "/" + name;
}

inline void run_until(sim::Machine &machine, const std::string &text)
{
    sim::RunLimits limits;
    limits.until_output = text;
    limits.seconds = 60;
    limits.until_waiting = false;
    const auto result = machine.run(limits);
    if (result.reason != sim::StopReason::output_seen)
        throw std::runtime_error("\"" + text + "\" did not appear " + result.message);
}

}  // namespace kelto::bench
