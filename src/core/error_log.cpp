#include "core/error_log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>

namespace vkt {

ErrorLog::~ErrorLog() {
    std::lock_guard lock(mutex_);
    closeLocked();
}

ErrorLog& ErrorLog::instance() {
    static ErrorLog log;
    return log;
}

std::string ErrorLog::setLogFolder(std::string folder) {
    if (folder.empty())
        folder = "..";
    if (folder.back() != '/')
        folder += '/';
    folder += "log";
    std::error_code ec;
    if (!std::filesystem::exists(folder, ec)) {
        // Only the last level: a missing parent makes this fail, and then
        // every write fails too.
        std::filesystem::create_directory(folder, ec);
    }
    std::string path = folder + "/err.log";
    std::lock_guard lock(mutex_);
    if (path != path_)
        closeLocked();
    path_ = path;
    return path_;
}

std::string ErrorLog::path() const {
    std::lock_guard lock(mutex_);
    return path_;
}

void ErrorLog::reset() {
    std::lock_guard lock(mutex_);
    closeLocked();
    path_.clear();
}

void ErrorLog::closeLocked() {
    if (file_ != nullptr)
        std::fclose(file_);
    file_ = nullptr;
    linesLeft_ = kLinesPerRun;
}

bool ErrorLog::openLocked() {
    if (file_ == nullptr) {
        if (path_.empty())
            return false;
        file_ = std::fopen(path_.c_str(), "a");
        if (file_ == nullptr)
            return false;
        std::setvbuf(file_, nullptr, _IONBF, 0);
        linesLeft_ = kLinesPerRun;
    }
    if (linesLeft_ <= 0) {
        // Restart: empty the file, then append to it again. freopen closes
        // the stream when it fails, so the next write starts from scratch.
        file_ = std::freopen(path_.c_str(), "w", file_);
        if (file_ != nullptr)
            file_ = std::freopen(path_.c_str(), "a", file_);
        if (file_ == nullptr) {
            linesLeft_ = kLinesPerRun;
            return false;
        }
        std::setvbuf(file_, nullptr, _IONBF, 0);
        linesLeft_ = kLinesPerRun;
    }
    return true;
}

std::string logTimeStamp(const std::tm& local) {
    char buffer[64];
    std::size_t n = std::strftime(buffer, sizeof buffer, "[ %m-%d %H:%M:%S ] ", &local);
    return std::string(buffer, n);
}

bool ErrorLog::writeLine(std::string_view text) {
    std::lock_guard lock(mutex_);
    if (!openLocked())
        return false;
    std::string line;
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) != nullptr)
        line = logTimeStamp(local);
    line.append(text);
    line += '\n';
    // One write per line: the stream is unbuffered, so the whole line reaches
    // the file in one piece before the call returns. A line cut short (the
    // disk is full) is taken back, so the log never ends in half a line.
    struct stat before {};
    const bool sized = ::fstat(::fileno(file_), &before) == 0;
    bool written = std::fwrite(line.data(), 1, line.size(), file_) == line.size();
    if (!written) {
        std::clearerr(file_);
        if (sized && ::ftruncate(::fileno(file_), before.st_size) != 0)
            closeLocked();  // the next line starts over with a fresh open
    }
    linesLeft_ -= 1;
    return written;
}

}  // namespace vkt
