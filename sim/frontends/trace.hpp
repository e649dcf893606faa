// The register access trace on stderr: every access the firmware made,
// printed as each slice of the run ends.
#pragma once

#include <cstdint>

#include "frontends/frontend.hpp"

namespace kelto::sim::frontend {

class TracePrinter final : public Frontend {
public:
    void service(Board &board) override;

private:
    std::uint64_t dropped_ = 0;
};

}  // namespace kelto::sim::frontend
