#include "frontends/machine_target.hpp"

#include <algorithm>

#include "models/register_view.hpp"

namespace kelto::sim::frontend {

std::vector<std::uint8_t> MachineTarget::read_memory(std::uint32_t address, std::size_t size)
{
    return machine_->inspect(address, size);
}

std::optional<std::string> MachineTarget::write_memory(std::uint32_t address, const void *data, std::size_t size)
{
    return machine_->store(address, data, size);
}

std::vector<MemoryRegion> MachineTarget::memory_map()
{
    const BoardSpec &board = machine_->board();
    std::vector<MemoryRegion> regions{{board.dram_base, board.dram_size, "DRAM"}};
    for (const Device *device : machine_->devices())
        regions.push_back({device->base(), device->size(), device->name()});
    std::sort(regions.begin(), regions.end(),
              [](const MemoryRegion &a, const MemoryRegion &b) { return a.start < b.start; });
    return regions;
}

void MachineTarget::add_breakpoint(std::uint32_t address)
{
    change(Point{address, 4, std::nullopt}, true);
}

void MachineTarget::remove_breakpoint(std::uint32_t address)
{
    change(Point{address, 4, std::nullopt}, false);
}

void MachineTarget::add_watchpoint(std::uint32_t address, std::uint32_t length, WatchKind kind)
{
    change(Point{address, length, kind}, true);
}

void MachineTarget::remove_watchpoint(std::uint32_t address, std::uint32_t length, WatchKind kind)
{
    change(Point{address, length, kind}, false);
}

void MachineTarget::attach(Machine &machine)
{
    machine_ = &machine;
    for (const Point &point : points_)
        apply(point, true);
}

void MachineTarget::change(const Point &point, bool insert)
{
    const auto found = std::find(points_.begin(), points_.end(), point);
    if (insert == (found != points_.end()))
        return;
    if (insert)
        points_.push_back(point);
    else
        points_.erase(found);
    apply(point, insert);
}

void MachineTarget::apply(const Point &point, bool insert)
{
    if (!point.kind) {
        if (insert)
            machine_->add_breakpoint(point.address);
        else
            machine_->remove_breakpoint(point.address);
    } else if (insert) {
        machine_->add_watchpoint(point.address, point.length, *point.kind);
    } else {
        machine_->remove_watchpoint(point.address, point.length, *point.kind);
    }
}

std::string MachineTarget::registers_text(std::string_view what)
{
    return sim::registers_text(machine_->devices(), what);
}

}  // namespace kelto::sim::frontend
