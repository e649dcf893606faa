#include "frontends/trace.hpp"

#include <cstdio>

#include "frontends/display.hpp"
#include "models/gpio.hpp"
#include "models/timer.hpp"
#include "models/uart.hpp"

namespace kelto::sim::frontend {

namespace {

std::string register_of(Machine &machine, std::uint32_t address)
{
    std::vector<const Device *> devices;
    for (int channel = 0; channel < 4; channel++)
        devices.push_back(&machine.uart(channel));
    devices.push_back(&machine.gpio());
    devices.push_back(&machine.timer());
    for (const Device *device : devices) {
        if (address >= device->base() && address - device->base() < device->size()) {
            const std::string reg = device->register_name(address - device->base());
            return reg.empty() ? device->name() : device->name() + "." + reg;
        }
    }
    return "?";
}

}  // namespace

void TracePrinter::service(Board &board)
{
    Machine &machine = board.machine();
    const std::vector<Access> &log = machine.accesses();
    std::string text;
    char line[160];
    for (std::size_t i = 0; i < log.size();) {
        const Access &access = log[i];
        std::size_t next = i + 1;
        while (next < log.size() && log[next].address == access.address && log[next].value == access.value &&
               log[next].write == access.write && log[next].pc == access.pc)
            next++;
        std::snprintf(line, sizeof line, "trace %12.9f pc %08x %s %-16s %08x %s %08x",
                      machine.clock().to_seconds(access.time), access.pc, access.write ? "write" : "read ",
                      register_of(machine, access.address).c_str(), access.address, access.write ? "=" : "->",
                      access.value);
        text += line;
        if (next - i > 1)
            text += " (" + std::to_string(next - i) + " times)";
        text += '\n';
        i = next;
    }
    if (machine.dropped_accesses() != dropped_) {
        text += "trace: " + std::to_string(machine.dropped_accesses() - dropped_) + " accesses not logged\n";
        dropped_ = machine.dropped_accesses();
    }
    machine.clear_accesses();
    if (!text.empty())
        write_message(std::move(text));
}

}  // namespace kelto::sim::frontend
