// A memory-mapped peripheral model: named registers at offsets from its base,
// read and written as whole words. The machine checks alignment and width
// before a model sees an access, and reports loudly whatever a model does not
// implement.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "clock.hpp"

namespace kelto::sim {

class Machine;

class Device {
public:
    Device(std::string name, std::uint32_t base, std::uint32_t size) : name_(std::move(name)), base_(base), size_(size) {}
    virtual ~Device() = default;
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    const std::string &name() const { return name_; }
    std::uint32_t base() const { return base_; }
    std::uint32_t size() const { return size_; }

    // nullopt: no readable register at this offset.
    virtual std::optional<std::uint32_t> read(std::uint32_t offset) = 0;
    // false: no writable register at this offset.
    virtual bool write(std::uint32_t offset, std::uint32_t value) = 0;
    // Register name for reports, or empty.
    virtual std::string register_name(std::uint32_t offset) const = 0;

    // Brings time-driven state (FIFOs draining, counters) up to now.
    virtual void advance(Cycles /*now*/) {}
    // When advance next has something to do; never when idle.
    virtual Cycles next_event() const { return never; }

    void attach(Machine &machine) { machine_ = &machine; }

protected:
    Machine &machine() const { return *machine_; }

private:
    std::string name_;
    std::uint32_t base_;
    std::uint32_t size_;
    Machine *machine_ = nullptr;
};

}  // namespace kelto::sim
