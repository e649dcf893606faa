// The console firmware of board 64 under any stream of keys and button
// presses, on the virtual clock. Each input byte below 0xF0 is a console
// byte; 0xF0-0xF7 presses (bit 2 clear) or releases button (bits 0-1);
// 0xF8-0xFF lets 1 to 8 quarter-seconds of board time pass. Every input gets
// at most 12 s of board time, enough for the ten-second timer test. A
// strict-check fault is a finding.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_target.hpp"
#include "machine/machine.hpp"

using namespace kelto::sim;

namespace {

constexpr double board_seconds_per_input = 12;
constexpr double quarter_second = 0.25;

class Driver {
public:
    Driver() : machine_(Machine::load(std::string(KELTO_IMAGE_DIR) + "/consolefw-64"))
    {
        // Nothing reads the access log, and growing it is most of what an
        // input allocates.
        machine_->set_logging(false);
    }

    void play(const std::uint8_t *data, std::size_t size)
    {
        for (std::size_t i = 0; i < size && running(); i++) {
            const std::uint8_t byte = data[i];
            if (byte < 0xF0) {
                keys_ += static_cast<char>(byte);
                continue;
            }
            send_keys();
            if (byte < 0xF8)
                machine_->set_button(static_cast<Button>(byte & 3), (byte & 4) == 0);
            run(byte < 0xF8 ? quarter_second : (byte - 0xF7) * quarter_second);
        }
        send_keys();
    }

private:
    bool running() const { return !machine_->main_returned() && budget_ > 0; }

    void send_keys()
    {
        if (keys_.empty() || !running())
            return;
        machine_->feed_console(keys_);
        keys_.clear();
        run(budget_);
    }

    // Runs until the firmware waits for keys that are not coming, main
    // returns, or the time passes.
    void run(double seconds)
    {
        if (!running())
            return;
        RunLimits limits;
        limits.seconds = std::min(seconds, budget_);
        const double start = machine_->seconds();
        const RunResult result = machine_->run(limits);
        budget_ -= machine_->seconds() - start;
        if (result.reason == StopReason::fault) {
            std::fprintf(stderr, "%s\n", result.message.c_str());
            std::abort();
        }
    }

    std::unique_ptr<Machine> machine_;
    std::string keys_;
    double budget_ = board_seconds_per_input;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Driver driver;
    driver.play(data, size);
    return 0;
}
