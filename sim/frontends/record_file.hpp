// A file that a front end records the run in (the trace, the waveforms).
// Lines are built in a buffer of its own, so that recording an event costs
// no call into stdio, and a failed write is kept until the front end can tell
// the person at keltosim and end the run with exit_output, as a console whose
// output is lost does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "frontends/frontend.hpp"

namespace kelto::sim::frontend {

class RecordFile {
public:
    // what names the record in messages ("the trace"). Without a path,
    // standard error, which stays open. Throws std::runtime_error when the
    // file cannot be opened.
    RecordFile(std::string what, const std::optional<std::string> &path);
    ~RecordFile();
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;

    // Inline: a waveform appends a few bytes for every pin change.
    void append(std::string_view text)
    {
        size_ += text.size();
        if (!failed())
            buffer_.append(text);
    }
    void append(char c) { append(std::string_view(&c, 1)); }
    void append_number(std::uint64_t value);
    // A terminal and standard error get each line as it ends; a file gets
    // the buffer when it is full or flushed.
    void end_line(std::string_view line_end = "\n")
    {
        append(line_end);
        if (line_buffered_ || buffer_.size() >= buffer_bytes)
            flush();
    }
    // Bytes appended so far, written or not.
    std::uint64_t size() const { return size_; }
    bool is_terminal() const { return terminal_; }

    // Writes out the buffer; after a failed write nothing more is written.
    void flush();
    bool failed() const { return error_ != 0; }
    // After a failed write, the first time: a note saying what was lost, and
    // the end of the run with exit_output. False when a write has failed.
    bool report(Board &board);

private:
    // Large enough that a busy recorder makes few system calls.
    static constexpr std::size_t buffer_bytes = std::size_t{64} * 1024;

    std::string what_, path_;
    int fd_;
    bool owned_, terminal_, line_buffered_;
    std::string buffer_;
    std::uint64_t size_ = 0;
    int error_ = 0;
    bool reported_ = false;
};

}  // namespace kelto::sim::frontend
