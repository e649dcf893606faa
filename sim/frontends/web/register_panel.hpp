// The page's register panel: the registers of every peripheral, decoded, and
// the ones the firmware wrote since the panel was last sent. A probe, since
// only the machine's own accesses tell what the firmware writes; it listens
// to them only while someone looks, as an observer costs every access.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "frontends/frontend.hpp"

namespace kelto::sim::frontend::web {

class RegisterPanel final : public Probe, private AccessObserver {
public:
    void attach(Machine &machine) override;
    void detach() override;

    // Whether a page shows the panel: writes are recorded only then.
    void watch(bool on);
    // The panel's message, marking what was written since the last one;
    // nullopt when nothing changed since then, or no machine is attached.
    std::optional<std::string> update();

private:
    void accessed(const Access &, const Device &) override {}
    void written(const Access &access, const Device &) override { written_.insert(access.address); }
    void observe(bool on);

    Machine *machine_ = nullptr;
    bool watching_ = false;
    bool observing_ = false;
    // Register addresses: at most one entry per register of the board.
    std::set<std::uint32_t> written_;
    std::string last_;
};

}  // namespace kelto::sim::frontend::web
