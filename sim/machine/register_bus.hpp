// The chip's registers: the models mapped into the core's address space, the
// strict checks on every access, the access log and its observers. It is the
// Bus the models reach their board through.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/board.hpp"
#include "core/device.hpp"

struct uc_struct;

namespace kelto::sim {

class Machine;
class UartChannel;
class GpioBlock;
class TimerBlock;

struct Access {
    Cycles time;
    // Start of the translated block that made the access; the instruction
    // itself while an access observer asks for it.
    std::uint32_t pc;
    std::uint32_t address;
    std::uint32_t value;
    bool write;
};

// Told of each register access as it happens (a trace, statistics, a
// waveform recorder).
class AccessObserver {
public:
    virtual ~AccessObserver() = default;
    // A read once it has its value; a write before it applies, so the model
    // still holds what it replaces.
    virtual void accessed(const Access &access, const Device &device) = 0;
    // A write once it has applied.
    virtual void written(const Access &access, const Device &device) { (void)access, (void)device; }
    // Finding the instruction behind an access decodes its block, so only
    // observers that show it pay for it.
    virtual bool wants_instruction_pc() const { return false; }
};

class RegisterBus final : public Bus {
public:
    // Builds the board's models and maps their pages.
    RegisterBus(Machine &machine, uc_struct *uc, const BoardSpec &board);
    ~RegisterBus() override;
    RegisterBus(const RegisterBus &) = delete;
    RegisterBus &operator=(const RegisterBus &) = delete;

    UartChannel &uart(int channel) const { return *uarts_.at(static_cast<std::size_t>(channel)); }
    GpioBlock &gpio() const { return *gpio_; }
    TimerBlock &timer() const { return *timer_; }
    std::vector<const Device *> devices() const;
    Device *device_at(std::uint32_t address) const;
    // The earliest event of any model; every model brought up to now.
    Cycles next_event() const;
    void advance(Cycles now);
    bool transmitting() const;

    Clock &clock() override;
    void raise_fault(std::string message, std::uint32_t address, std::uint32_t value, bool write = false) override;
    void schedule(Cycles when) override;
    bool input_level(Pin pin) const override;

    // Register accesses so far, logged or not.
    std::uint64_t accesses_made() const { return accesses_made_; }
    const std::vector<Access> &log() const { return log_; }
    void clear_log() { log_.clear(); }
    void set_logging(bool on) { logging_ = on; }
    // The access count and every model (machine_state.cpp).
    void save(StateWriter &out) const;
    void restore(StateReader &in);
    std::uint64_t dropped() const { return dropped_; }
    void add_observer(AccessObserver &observer);
    void remove_observer(AccessObserver &observer);

    // From the core.
    std::uint64_t read(Device &device, std::uint32_t offset, unsigned size);
    void write(Device &device, std::uint32_t offset, unsigned size, std::uint64_t value);
    // From a debugger: the writes a firmware's stores of these bytes would
    // make, a whole aligned word each, with their effects. The reason the
    // strict checks refuse one, instead of a fault: the board runs on.
    std::optional<std::string> store(std::uint32_t address, const std::uint8_t *bytes, std::size_t size);

private:
    struct Page;
    template <class D, class... Args> D &add(Args &&...args);
    void map_pages();
    bool check_access(Device &device, std::uint32_t offset, unsigned size, std::uint64_t value, bool write);
    bool apply_write(Device &device, std::uint32_t offset, std::uint32_t value);
    std::optional<std::string> store_word(std::uint32_t address, std::uint32_t value, std::size_t size);
    void log_access(const Device &device, std::uint32_t address, std::uint32_t value, bool write);
    void tell_written(const Device &device, std::uint32_t address, std::uint32_t value);

    Machine &machine_;
    uc_struct *uc_;
    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<UartChannel *> uarts_;
    GpioBlock *gpio_ = nullptr;
    TimerBlock *timer_ = nullptr;
    std::vector<std::unique_ptr<Page>> pages_;

    std::vector<Access> log_;
    std::uint64_t accesses_made_ = 0;
    bool logging_ = true;
    std::uint64_t dropped_ = 0;
    std::vector<AccessObserver *> observers_;
    bool instruction_pcs_ = false;
    // While a debugger stores: where the strict checks' report goes.
    std::optional<std::string> *refusal_ = nullptr;
};

}  // namespace kelto::sim
