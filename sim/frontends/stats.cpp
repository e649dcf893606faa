#include "frontends/stats.hpp"

#include <cstdio>
#include <vector>

#include "frontends/display.hpp"
#include "models/uart.hpp"

namespace kelto::sim::frontend {

Stats::Stats(Machine &machine)
{
    attach(machine);
}

Stats::~Stats()
{
    detach();
}

void Stats::attach(Machine &machine)
{
    machine_ = &machine;
    accesses_.clear();
    machine.paint_stack(machine.stack_top() - machine.stack_limit());
    machine.add_access_observer(*this);
}

void Stats::detach()
{
    if (machine_)
        machine_->remove_access_observer(*this);
    machine_ = nullptr;
}

bool Stats::finished(Board &, int)
{
    if (machine_)
        write_message(report());
    return true;
}

void Stats::accessed(const Access &, const Device &device)
{
    accesses_[&device]++;
}

std::uint32_t Stats::deepest_stack()
{
    return machine_->painted_stack_depth(machine_->stack_top() - machine_->stack_limit());
}

std::string Stats::report()
{
    char line[160];
    std::string text;
    auto add = [&](const char *format, auto... values) {
        std::snprintf(line, sizeof line, format, values...);
        text += line;
    };
    const Clock &clock = machine_->clock();
    add("stats: board time %.6f s\n", machine_->seconds());
    add("stats: instructions %llu\n", static_cast<unsigned long long>(clock.instructions()));
    add("stats: deepest stack %u bytes\n", deepest_stack());
    for (int channel = 0; channel < 4; channel++) {
        const UartChannel &uart = machine_->uart(channel);
        if (uart.sent() == 0 && uart.received() == 0 && !accesses_.contains(&uart))
            continue;
        add("stats: %s sent %llu bytes, received %llu, lost to overruns %llu\n", uart.name().c_str(),
            static_cast<unsigned long long>(uart.sent()), static_cast<unsigned long long>(uart.received()),
            static_cast<unsigned long long>(uart.overruns()));
    }
    for (const Device *device : machine_->devices()) {
        if (const auto found = accesses_.find(device); found != accesses_.end())
            add("stats: %s register accesses %llu\n", device->name().c_str(),
                static_cast<unsigned long long>(found->second));
    }
    return text;
}

}  // namespace kelto::sim::frontend
