// --serial-log: a copy of everything the console sent, in a file, whatever
// the console is on, for a CI job's artefacts.
#pragma once

#include <cstdio>
#include <string>

#include "frontends/frontend.hpp"

namespace kelto::sim::frontend {

class SerialLog final : public Frontend {
public:
    explicit SerialLog(const std::string &path);  // throws std::runtime_error
    ~SerialLog() override;
    SerialLog(const SerialLog &) = delete;
    SerialLog &operator=(const SerialLog &) = delete;

    void console_output(Board &board, std::string_view bytes) override;
    // Closes the file; false, with a note, when some of it was not written.
    bool finished(Board &board, int status) override;

private:
    std::string path_;
    std::FILE *file_;
    bool failed_ = false;
};

}  // namespace kelto::sim::frontend
