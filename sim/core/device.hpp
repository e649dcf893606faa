// A memory-mapped peripheral model: named registers at offsets from its base,
// read and written as whole words. The machine checks alignment and width
// before a model sees an access, and reports loudly whatever a model does not
// implement.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/board.hpp"
#include "core/clock.hpp"
#include "core/registers.hpp"
#include "core/state.hpp"

namespace kelto::sim {

// What every model may ask of the board it sits on: the clock, the board's
// wiring, scheduling its own work, and the strict checks. Models never see
// the machine itself.
class Bus {
public:
    virtual ~Bus() = default;
    virtual Clock &clock() = 0;
    // Reports a fault at the access being made; the run stops before the
    // next block. For behaviour a board would not show.
    virtual void raise_fault(std::string message, std::uint32_t address, std::uint32_t value, bool write = false) = 0;
    // A model has work due at this time.
    virtual void schedule(Cycles when) = 0;
    // Level the board drives onto an input pin.
    virtual bool input_level(Pin pin) const = 0;
};

// Adds one item to a comma-separated description.
inline void append_words(std::string &text, const std::string &words)
{
    if (words.empty())
        return;
    if (!text.empty())
        text += ", ";
    text += words;
}

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
    // What read would return now, without its side effects: no byte taken
    // from a FIFO, no status cleared, no time moved on. For debuggers.
    virtual std::optional<std::uint32_t> peek(std::uint32_t offset) const = 0;
    // false: no writable register at this offset.
    virtual bool write(std::uint32_t offset, std::uint32_t value) = 0;
    // Every register the model implements, in its one table.
    virtual std::span<const Register> registers() const = 0;
    // Register name for reports, or empty.
    std::string register_name(std::uint32_t offset) const
    {
        const Register *found = register_at(registers(), offset);
        return found ? std::string(found->name.view()) : std::string();
    }
    // What writing value at offset would change, in words ("pin 9 input ->
    // output", "8N1"), against what the model holds now; empty where words
    // add nothing to the value. Asked before the write applies.
    virtual std::string describe_write(std::uint32_t offset, std::uint32_t value) const
    {
        (void)offset, (void)value;
        return {};
    }

    // Brings time-driven state (FIFOs draining, counters) up to now.
    virtual void advance(Cycles /*now*/) {}
    // When advance next has something to do; never when idle.
    virtual Cycles next_event() const { return never; }
    // A read at offset may give another value later without a write or an
    // event of next_event's: a free-running counter.
    virtual bool read_may_change(std::uint32_t /*offset*/) const { return false; }
    // The register at offset reads a counter that firmware may busy-poll to
    // wait: the time the counter takes to come round (never when it does not
    // reload). nullopt for any other register.
    virtual std::optional<Cycles> counter_cycle(std::uint32_t /*offset*/) const { return std::nullopt; }

    // Everything the model holds that a run can change, registers and
    // pending events alike; restore takes what save of the same model gave
    // and throws StateError on anything else.
    virtual void save(StateWriter &out) const = 0;
    virtual void restore(StateReader &in) = 0;

    void attach(Bus &bus) { bus_ = &bus; }

protected:
    Bus &bus() const { return *bus_; }

private:
    std::string name_;
    std::uint32_t base_;
    std::uint32_t size_;
    Bus *bus_ = nullptr;
};

}  // namespace kelto::sim
