#include "machine/register_bus.hpp"

#include <unicorn/unicorn.h>

#include <algorithm>

#include "machine/cpu.hpp"
#include "machine/hex.hpp"
#include "machine/machine.hpp"
#include "models/gpio.hpp"
#include "models/timer.hpp"
#include "models/uart.hpp"

namespace kelto::sim {

namespace {

constexpr std::uint32_t page_size = 0x1000;
// Past this many entries the access log only counts what it drops, so that a
// long run without anyone reading the log cannot eat the host's memory.
constexpr std::size_t max_logged_accesses = std::size_t{1} << 22;

// "UART1 UFSTAT", or the device alone where it has no register by that name.
std::string register_label(const Device &device, std::uint32_t offset)
{
    const std::string name = device.register_name(offset);
    return name.empty() ? device.name() : device.name() + " " + name;
}

}  // namespace

struct RegisterBus::Page {
    std::uint32_t base;
    std::vector<Device *> devices;
    RegisterBus *bus;

    Device *find(std::uint64_t offset, std::uint32_t &device_offset) const
    {
        const std::uint32_t address = base + static_cast<std::uint32_t>(offset);
        for (Device *device : devices) {
            if (address >= device->base() && address - device->base() < device->size()) {
                device_offset = address - device->base();
                return device;
            }
        }
        return nullptr;
    }

    // Unicorn's MMIO callbacks.
    static std::uint64_t read(uc_engine *, std::uint64_t offset, unsigned size, void *user)
    {
        auto &page = *static_cast<Page *>(user);
        std::uint32_t device_offset = 0;
        if (Device *device = page.find(offset, device_offset))
            return page.bus->read(*device, device_offset, size);
        const std::uint32_t address = page.base + static_cast<std::uint32_t>(offset);
        page.bus->raise_fault("read of " + hex(address) + ", which is not a modelled register", address, 0);
        return 0;
    }

    static void write(uc_engine *, std::uint64_t offset, unsigned size, std::uint64_t value, void *user)
    {
        auto &page = *static_cast<Page *>(user);
        std::uint32_t device_offset = 0;
        if (Device *device = page.find(offset, device_offset)) {
            page.bus->write(*device, device_offset, size, value);
            return;
        }
        const std::uint32_t address = page.base + static_cast<std::uint32_t>(offset);
        page.bus->raise_fault("write of " + hex(static_cast<std::uint32_t>(value)) + " to " + hex(address) +
                                  ", which is not a modelled register",
                              address, static_cast<std::uint32_t>(value), true);
    }
};

RegisterBus::RegisterBus(Machine &machine, uc_struct *uc, const BoardSpec &board) : machine_(machine), uc_(uc)
{
    for (int channel = 0; channel < 4; channel++)
        uarts_.push_back(
            &add<UartChannel>(channel, board.uart_base[channel], board.pclk_hz, channel == board.console_channel));
    gpio_ = &add<GpioBlock>(board);
    timer_ = &add<TimerBlock>(board);
    map_pages();
}

RegisterBus::~RegisterBus() = default;

template <class D, class... Args> D &RegisterBus::add(Args &&...args)
{
    auto device = std::make_unique<D>(std::forward<Args>(args)...);
    D &ref = *device;
    ref.attach(*this);
    devices_.push_back(std::move(device));
    return ref;
}

// Unicorn does not check the alignment of MMIO regions: map whole pages and
// decode the offset within them.
void RegisterBus::map_pages()
{
    for (auto &device : devices_) {
        for (std::uint32_t page = device->base() & ~(page_size - 1); page < device->base() + device->size();
             page += page_size) {
            auto found = std::find_if(pages_.begin(), pages_.end(), [&](auto &p) { return p->base == page; });
            if (found == pages_.end()) {
                pages_.push_back(std::make_unique<Page>(Page{page, {}, this}));
                found = pages_.end() - 1;
                check(uc_mmio_map(uc_, page, page_size, &Page::read, found->get(), &Page::write, found->get()),
                      "cannot map a peripheral");
            }
            (*found)->devices.push_back(device.get());
        }
    }
}

std::vector<const Device *> RegisterBus::devices() const
{
    std::vector<const Device *> list;
    for (const auto &device : devices_)
        list.push_back(device.get());
    return list;
}

Device *RegisterBus::device_at(std::uint32_t address) const
{
    for (const auto &device : devices_)
        if (address >= device->base() && address - device->base() < device->size())
            return device.get();
    return nullptr;
}

Cycles RegisterBus::next_event() const
{
    Cycles next = never;
    for (const auto &device : devices_)
        next = std::min(next, device->next_event());
    return next;
}

void RegisterBus::advance(Cycles now)
{
    for (auto &device : devices_)
        device->advance(now);
}

bool RegisterBus::transmitting() const
{
    return std::any_of(uarts_.begin(), uarts_.end(), [](const UartChannel *uart) { return !uart->transmitter_idle(); });
}

Clock &RegisterBus::clock()
{
    return machine_.clock();
}

void RegisterBus::raise_fault(std::string message, std::uint32_t address, std::uint32_t value, bool write)
{
    if (refusal_) {
        if (!*refusal_)
            *refusal_ = std::move(message);
        return;
    }
    machine_.raise_fault(std::move(message), address, value, write);
}

void RegisterBus::schedule(Cycles when)
{
    machine_.schedule(when);
}

bool RegisterBus::input_level(Pin pin) const
{
    return machine_.input_level(pin);
}

void RegisterBus::log_access(const Device &device, std::uint32_t address, std::uint32_t value, bool write)
{
    if (!logging_ && observers_.empty())
        return;
    const std::uint32_t pc = instruction_pcs_ ? machine_.locate_access(address, write) : machine_.current_pc();
    const Access access{clock().now(), pc, address, value, write};
    for (AccessObserver *observer : observers_)
        observer->accessed(access, device);
    if (!logging_)
        return;
    if (log_.size() < max_logged_accesses)
        log_.push_back(access);
    else
        dropped_++;
}

void RegisterBus::tell_written(const Device &device, std::uint32_t address, std::uint32_t value)
{
    if (observers_.empty())
        return;
    const Access access{clock().now(), machine_.current_pc(), address, value, true};
    for (AccessObserver *observer : observers_)
        observer->written(access, device);
}

void RegisterBus::add_observer(AccessObserver &observer)
{
    observers_.push_back(&observer);
    instruction_pcs_ = instruction_pcs_ || observer.wants_instruction_pc();
}

void RegisterBus::remove_observer(AccessObserver &observer)
{
    std::erase(observers_, &observer);
    instruction_pcs_ = std::any_of(observers_.begin(), observers_.end(),
                                   [](const AccessObserver *left) { return left->wants_instruction_pc(); });
}

bool RegisterBus::check_access(Device &device, std::uint32_t offset, unsigned size, std::uint64_t value, bool write)
{
    if (size == 4 && offset % 4 == 0)
        return true;
    const std::uint32_t address = device.base() + offset;
    std::string name = device.register_name(offset & ~3u);
    if (name.empty())
        name = device.name();
    raise_fault(std::string(write ? "write of " : "read of ") + std::to_string(size) + " byte(s) at " + hex(address) +
                    " (" + name + "): registers are accessed as whole aligned words",
                address, static_cast<std::uint32_t>(value), write);
    return false;
}

std::uint64_t RegisterBus::read(Device &device, std::uint32_t offset, unsigned size)
{
    if (machine_.fault() || !check_access(device, offset, size, 0, false))
        return 0;
    accesses_made_++;
    machine_.before_register_read(device, offset);
    const std::optional<std::uint32_t> value = device.read(offset);
    const std::uint32_t address = device.base() + offset;
    if (!value) {
        raise_fault("read of " + hex(address) + " (" + register_label(device, offset) +
                        "), which the model does not implement",
                    address, 0);
        return 0;
    }
    machine_.after_register_read(device, offset, *value, size);
    log_access(device, address, *value, false);
    return *value;
}

void RegisterBus::write(Device &device, std::uint32_t offset, unsigned size, std::uint64_t value64)
{
    if (machine_.fault() || !check_access(device, offset, size, value64, true))
        return;
    const auto value = static_cast<std::uint32_t>(value64);
    if (apply_write(device, offset, value))
        machine_.after_register_write(device, device.base() + offset, size);
}

bool RegisterBus::apply_write(Device &device, std::uint32_t offset, std::uint32_t value)
{
    accesses_made_++;
    machine_.before_register_write();
    const std::uint32_t address = device.base() + offset;
    log_access(device, address, value, true);
    if (!device.write(offset, value)) {
        raise_fault("write of " + hex(value) + " to " + hex(address) + " (" + register_label(device, offset) +
                        "), which the model does not implement as writable",
                    address, value, true);
        return false;
    }
    tell_written(device, address, value);
    return true;
}

std::optional<std::string> RegisterBus::store(std::uint32_t address, const std::uint8_t *bytes, std::size_t size)
{
    // A store shorter than a word is refused whole, as the firmware's would be.
    for (std::size_t at = 0; at < size; at += 4) {
        const std::size_t width = std::min<std::size_t>(4, size - at);
        std::uint32_t value = 0;
        for (std::size_t i = width; i-- > 0;)
            value = (value << 8) | bytes[at + i];
        if (auto refusal = store_word(address + static_cast<std::uint32_t>(at), value, width))
            return refusal;
    }
    return std::nullopt;
}

// Watchpoints are the firmware's: a debugger's own store does not stop the
// board at them.
std::optional<std::string> RegisterBus::store_word(std::uint32_t address, std::uint32_t value, std::size_t size)
{
    Device *device = device_at(address);
    if (!device)
        return "write of " + hex(value) + " to " + hex(address) + ", which is neither DRAM nor a modelled register";
    std::optional<std::string> refusal;
    refusal_ = &refusal;
    const std::uint32_t offset = address - device->base();
    if (check_access(*device, offset, static_cast<unsigned>(size), value, true) && apply_write(*device, offset, value))
        machine_.register_changed(*device);
    refusal_ = nullptr;
    return refusal;
}

}  // namespace kelto::sim
