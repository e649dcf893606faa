#include "frontends/web/register_panel.hpp"

#include "frontends/web/messages.hpp"

namespace kelto::sim::frontend::web {

void RegisterPanel::attach(Machine &machine)
{
    machine_ = &machine;
    // A fresh board: every register has its reset value, worth showing.
    last_.clear();
    observe(watching_);
}

void RegisterPanel::detach()
{
    observe(false);
    machine_ = nullptr;
    written_.clear();
}

void RegisterPanel::watch(bool on)
{
    watching_ = on;
    observe(on);
    if (!on)
        last_.clear();
}

void RegisterPanel::observe(bool on)
{
    if (!machine_ || on == observing_)
        return;
    if (on)
        machine_->add_access_observer(*this);
    else
        machine_->remove_access_observer(*this);
    observing_ = on;
}

std::optional<std::string> RegisterPanel::update()
{
    if (!machine_)
        return std::nullopt;
    std::string message = registers_message(machine_->devices(), written_);
    written_.clear();
    if (message == last_)
        return std::nullopt;
    last_ = message;
    return message;
}

}  // namespace kelto::sim::frontend::web
