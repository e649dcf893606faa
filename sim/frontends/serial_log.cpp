#include "frontends/serial_log.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kelto::sim::frontend {

SerialLog::SerialLog(const std::string &path) : path_(path), file_(std::fopen(path.c_str(), "wb"))
{
    if (!file_)
        throw std::runtime_error("cannot write the serial log " + path + ": " + std::strerror(errno));
}

SerialLog::~SerialLog()
{
    if (file_)
        std::fclose(file_);
}

void SerialLog::console_output(Board &, std::string_view bytes)
{
    if (file_ && std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size())
        failed_ = true;
}

bool SerialLog::finished(Board &board, int)
{
    if (!file_)
        return !failed_;
    failed_ = std::fclose(file_) != 0 || failed_;
    file_ = nullptr;
    if (failed_)
        board.note("the serial log " + path_ + " is incomplete: " + std::strerror(errno));
    return !failed_;
}

}  // namespace kelto::sim::frontend
