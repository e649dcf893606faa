#include "frontends/web/standalone.hpp"

#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>

#include "frontends/terminal.hpp"
#include "frontends/web/web_frontend.hpp"
#include "models/uart.hpp"

namespace kelto::sim::frontend::web {

namespace {

class WebOnlyBoard final : public Board, private HostLink {
public:
    explicit WebOnlyBoard(const Options &options) : options_(options) { load(); }

    Machine &machine() override { return *machine_; }
    void type(std::string_view bytes) override { queue_.insert(queue_.end(), bytes.begin(), bytes.end()); }
    bool wants_input() const { return queue_.size() < 64; }
    void input_ended() {}
    void set_button(Button button, bool held) override
    {
        machine_->set_button(button, held);
        web_->board_changed(*this);
    }
    void pause() override { set_paused(true); }
    void resume() override { set_paused(false); }
    void step() override {}
    bool paused() const override { return paused_; }
    // The machine may be in the middle of a run: replace it after.
    void reset() override
    {
        reset_wanted_ = true;
        machine_->stop();
    }
    void halt_on_fault(bool) override {}
    void quit(int status) override { status_ = status; }
    void note(const std::string &text) override { std::fprintf(stderr, "keltosim: %s\n", text.c_str()); }
    std::string report() override { return {}; }
    void post(std::function<void()> work) override
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(work));
        wake_.notify_one();
    }

    int run(WebFrontend &web)
    {
        web_ = &web;
        while (!status_ && !pending_signal()) {
            if (reset_wanted_) {
                reset_wanted_ = false;
                load();
                web.board_changed(*this);
            }
            run_posted(paused_ || machine_->main_returned() ? 50 : 0);
            if (paused_ || machine_->main_returned())
                continue;
            const RunResult result = machine_->run(RunLimits{std::nullopt, 0.05, false});
            web.service(*this);
            if (result.reason == StopReason::returned || result.reason == StopReason::fault) {
                std::fprintf(stderr, "keltosim: %s\n", result.message.c_str());
                const auto kind = result.reason == StopReason::returned ? Halt::Kind::exited : Halt::Kind::fault;
                web.halted(*this, Halt{kind, 0, result.value, result.message});
                if (result.reason == StopReason::returned)
                    return static_cast<int>(result.value);
                status_ = exit_fault;
            }
        }
        return status_.value_or(128 + pending_signal());
    }

private:
    void load()
    {
        machine_ = Machine::load(options_.image, Machine::Options{options_.board, options_.clock.value_or(ClockMode::wall_time)});
        machine_->set_host(this);
        machine_->watch_backlight([this](std::optional<int>) {
            if (web_)
                web_->board_changed(*this);
        });
    }

    void set_paused(bool paused)
    {
        paused_ = paused;
        machine_->stop();
        web_->board_changed(*this);
    }

    void run_posted(int wait_ms)
    {
        std::vector<std::function<void()>> work;
        {
            std::unique_lock lock(mutex_);
            wake_.wait_for(lock, std::chrono::milliseconds(wait_ms), [this] { return !posted_.empty(); });
            work.swap(posted_);
        }
        for (auto &item : work)
            item();
    }

    Pump pump(Machine &machine, int wait_ms) override
    {
        run_posted(queue_.empty() ? std::min(wait_ms, 20) : 0);
        return feed_one(machine) ? Pump::fed : Pump::nothing;
    }
    void service(Machine &machine) override
    {
        run_posted(0);
        feed_one(machine);
        web_->service(*this);
    }
    bool feed_one(Machine &machine)
    {
        UartChannel &console = machine.console();
        if (queue_.empty() || paused_ || console.rx_waiting() != 0 || !console.line_idle())
            return false;
        machine.feed_console(std::string(1, queue_.front()));
        queue_.pop_front();
        return true;
    }
    void transmitted(Machine &, std::uint8_t byte) override
    {
        const char text = static_cast<char>(byte);
        web_->console_output(*this, std::string_view(&text, 1));
    }

    const Options &options_;
    std::unique_ptr<Machine> machine_;
    WebFrontend *web_ = nullptr;
    std::deque<char> queue_;
    bool paused_ = false;
    bool reset_wanted_ = false;
    std::optional<int> status_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::function<void()>> posted_;
};

}  // namespace

int run_web_only(const Options &options)
{
    std::unique_ptr<WebOnlyBoard> board;
    try {
        board = std::make_unique<WebOnlyBoard>(options);
        WebFrontend web(*board, *options.web);
        return board->run(web);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "keltosim: %s\n", error.what());
        return exit_usage;
    }
}

}  // namespace kelto::sim::frontend::web
