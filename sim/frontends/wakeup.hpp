// Work handed to the session's thread from another (the web view's), and
// the self-pipe that wakes the session's sleep for it.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

namespace kelto::sim::frontend {

class Wakeup {
public:
    Wakeup();  // throws std::runtime_error
    ~Wakeup();
    Wakeup(const Wakeup &) = delete;
    Wakeup &operator=(const Wakeup &) = delete;

    // Readable while work waits: for the session's poll.
    int fd() const { return pipe_[0]; }
    // Thread-safe.
    void post(std::function<void()> work);
    // On the session's thread, after its poll: empties the pipe. Work
    // posted after that wakes the next poll.
    void drain();
    // On the session's thread: does what was posted.
    void run_posted();

private:
    int pipe_[2] = {-1, -1};
    std::mutex mutex_;
    std::vector<std::function<void()>> posted_;
};

}  // namespace kelto::sim::frontend
