// The session's side of saving the board: --save-at, and saves front ends
// ask for, made only while the machine stands between runs.
#include "frontends/session.hpp"
#include "machine/board_state.hpp"

namespace kelto::sim::frontend {

std::string Session::save_state(const std::string &path)
{
    if (!in_run_)
        return write_state(path);
    // The core is inside a block: its registers are not yet a state.
    pending_save_ = path;
    stop_machine();
    return {};
}

void Session::go_on_from(const Progress &progress)
{
    text_ = progress.text;
    started_at_ = progress.started_at;
    host_waited_ = progress.host_waited;
}

std::unique_ptr<Machine> Session::hand_back()
{
    for (Probe *probe : probes_)
        probe->detach();
    probes_.clear();
    target_.set_timeline(nullptr);
    timeline_.reset();
    machine_->set_host(nullptr);
    return std::move(machine_);
}

std::string Session::write_state(const std::string &path)
{
    try {
        write_state_file(path, machine_->save_state());
        return {};
    } catch (const std::exception &error) {
        note(std::string("cannot save the board: ") + error.what());
        return error.what();
    }
}

// The board time left before --save-at's time, so that a slice, idle time
// passing included, ends on it.
Cycles Session::until_save_at()
{
    const Cycles now = machine_->clock().now();
    return saved_at_ || save_at_time_ == never ? never : save_at_time_ - std::min(save_at_time_, now);
}

void Session::save_when_due()
{
    if (saved_at_ || !(save_at_seen_ || machine_->clock().now() >= save_at_time_))
        return;
    saved_at_ = true;
    if (!write_state(options_.save_at->file).empty())
        end(exit_output);
}

// The run stops right after the text has left the line.
void Session::look_for_save_at_text(char byte)
{
    const auto &save_at = options_.save_at;
    if (!save_at || !save_at->text || save_at_seen_)
        return;
    const std::string &text = *save_at->text;
    save_at_tail_.push_back(byte);
    if (save_at_tail_.size() >= 2 * text.size())
        save_at_tail_.erase(0, save_at_tail_.size() - text.size());
    if (save_at_tail_.ends_with(text)) {
        save_at_seen_ = true;
        stop_machine();
    }
}

}  // namespace kelto::sim::frontend
