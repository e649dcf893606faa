// What the pages ask of the board, on its way from the server's thread to
// the session's. Both kinds of request are bounded: typing waits here
// while the board is not reading its console, up to a limit past which a
// page's keys are refused; the other requests are few and quick to carry
// out, and past their limit the server reads no more from its pages until
// the session has taken them.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "frontends/web/messages.hpp"

namespace kelto::sim::frontend::web {

class Inbox {
public:
    // Typed bytes waiting for the board (a paste of a few screenfuls).
    static constexpr std::size_t typing_limit = 4096;
    // Other requests waiting for the session's next turn.
    static constexpr std::size_t request_limit = 64;
    // Typed bytes handed to the board at a time, as standard input's reads.
    static constexpr std::size_t typing_step = 256;

    // wake tells the session's thread that there is something to take; it
    // is called as the inbox stops being empty.
    explicit Inbox(std::function<void()> wake) : wake_(std::move(wake)) {}

    enum class Admission {
        taken,
        full,     // taken, and the sender should wait for room before the next
        refused,  // typing that does not fit
    };
    // From the server's thread.
    Admission put(Request request);

    struct Delivery {
        std::vector<Request> requests;  // to carry out in order
        std::string typed;              // for Board::type
        bool room_again = false;        // a full inbox has room now
    };
    // From the session's thread: all the requests, and typing only while
    // the board wants input.
    Delivery take(bool board_wants_input);

private:
    std::function<void()> wake_;
    std::mutex mutex_;
    std::string typed_;
    std::vector<Request> requests_;
};

}  // namespace kelto::sim::frontend::web
