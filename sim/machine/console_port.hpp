// The console line's policy: bytes fed from the host, input that waits for
// text to appear, telling when the firmware is blocked on input with nothing
// on the way (then asking the host, letting time pass or stopping the run),
// and stopping a run once awaited output appears.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "models/uart.hpp"

namespace kelto::sim {

class Machine;
class HostLink;

class ConsolePort final : public ConsoleEvents {
public:
    ConsolePort(Machine &machine, UartChannel &line);

    UartChannel &line() const { return line_; }
    const std::string &output() const { return line_.output(); }
    void feed(std::string_view bytes);
    void feed_when(std::string text, std::string bytes);
    void set_host(HostLink *host) { host_ = host; }
    HostLink *host() const { return host_; }
    std::uint64_t empty_polls() const { return empty_polls_; }

    // A run starts: awaited output counts from here.
    void start_run(bool resumes);
    // Any register access but a console status read that found nothing
    // breaks a streak of empty polls.
    void register_reading() { polled_ = false; }
    void register_read()
    {
        if (!polled_)
            poll_streak_ = 0;
    }
    void register_written() { poll_streak_ = 0; }

    void receiver_polled_empty() override;
    void byte_transmitted(std::uint8_t byte) override;

    // Saving and restoring the board (machine_state.cpp).
    void save(StateWriter &out) const;
    void restore(StateReader &in);

private:
    bool output_ends_with(const std::string &text, std::string::size_type from) const;
    void fire_triggers();

    Machine &machine_;
    UartChannel &line_;
    HostLink *host_ = nullptr;
    struct Trigger {
        std::string text;
        std::string bytes;
        std::string::size_type from;
    };
    std::vector<Trigger> triggers_;
    std::string::size_type output_mark_ = 0;
    unsigned poll_streak_ = 0;
    std::uint64_t empty_polls_ = 0;
    bool polled_ = false;
};

}  // namespace kelto::sim
