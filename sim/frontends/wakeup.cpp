#include "frontends/wakeup.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>

namespace kelto::sim::frontend {

Wakeup::Wakeup()
{
    if (::pipe2(pipe_, O_NONBLOCK | O_CLOEXEC) != 0)
        throw std::runtime_error("cannot make the session's wake-up pipe");
    // With standard input closed (keltosim <&-) the pipe would take its
    // number and pass for the console's input.
    for (int &fd : pipe_) {
        if (fd <= STDERR_FILENO) {
            const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
            ::close(fd);
            fd = moved;
        }
    }
}

Wakeup::~Wakeup()
{
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

void Wakeup::post(std::function<void()> work)
{
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(std::move(work));
    }
    const char wake = 1;
    const ssize_t written = ::write(pipe_[1], &wake, 1);
    (void)written;  // a full pipe wakes the session just the same
}

void Wakeup::drain()
{
    char bytes[64];
    while (::read(pipe_[0], bytes, sizeof bytes) > 0) {
    }
}

void Wakeup::run_posted()
{
    std::vector<std::function<void()>> work;
    {
        std::lock_guard lock(mutex_);
        work.swap(posted_);
    }
    for (auto &job : work)
        job();
}

}  // namespace kelto::sim::frontend
