#include "frontends/record_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdexcept>

#include "frontends/cli.hpp"
#include "frontends/terminal.hpp"

namespace kelto::sim::frontend {

RecordFile::RecordFile(std::string what, const std::optional<std::string> &path)
    : what_(std::move(what)), path_(path.value_or("standard error")),
      fd_(path ? ::open(path->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666) : STDERR_FILENO),
      owned_(path.has_value()), terminal_(::isatty(fd_) != 0), line_buffered_(terminal_ || !owned_)
{
    if (fd_ < 0)
        throw std::runtime_error("cannot write " + what_ + " to " + path_ + ": " + std::strerror(errno));
    buffer_.reserve(buffer_bytes);
}

RecordFile::~RecordFile()
{
    flush();
    if (owned_)
        ::close(fd_);
}

void RecordFile::append_number(std::uint64_t value)
{
    char digits[20];
    const auto [end, error] = std::to_chars(std::begin(digits), std::end(digits), value);
    (void)error;  // twenty digits hold any 64-bit number
    append(std::string_view(digits, static_cast<std::size_t>(end - digits)));
}

void RecordFile::flush()
{
    if (buffer_.empty())
        return;
    // However slow the reader, as the console waits for its own; a signal
    // ends the run anyway.
    if (!write_all(fd_, std::string_view(buffer_), -1) && errno != EINTR && !failed())
        error_ = errno;
    buffer_.clear();
}

bool RecordFile::report(Board &board)
{
    if (!failed())
        return true;
    if (!reported_) {
        reported_ = true;
        board.quit(exit_output, "cannot write " + what_ + " to " + path_ + ": " + std::strerror(error_));
    }
    return false;
}

}  // namespace kelto::sim::frontend
