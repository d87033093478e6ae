// The error log: time-stamped lines in <data folder>/log/err.log. The file is
// restarted (emptied) by the first line after every 1000 lines of a run.
// Every failure of the log is silent: writeLog returns false, nothing else.
#pragma once

#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

#include <fmt/printf.h>

namespace vkt {

class ErrorLog {
  public:
    static constexpr int kLinesPerRun = 1000;

    ErrorLog() = default;
    ~ErrorLog();
    ErrorLog(const ErrorLog&) = delete;
    ErrorLog& operator=(const ErrorLog&) = delete;

    // The application's log.
    static ErrorLog& instance();

    // folder (".." when empty) + "/log" + "/err.log"; creates the "log" folder
    // when nothing exists there (only that level). Returns the file's path.
    // A new path closes the file of the old one.
    std::string setLogFolder(std::string folder);
    std::string path() const;

    // One line: "[ %m-%d %H:%M:%S ] " (local time), the formatted text, "\n".
    // printf syntax, type-safe; a text that does not come from the caller goes
    // through "%s". A format that does not fit its arguments is written as is.
    template <typename... Args>
    bool writeLog(const char* format, const Args&... args) {
        std::string text;
        try {
            text = fmt::sprintf(format, args...);
        } catch (const std::exception&) {
            text = format;
        }
        return writeLine(text);
    }

    // Writes text as one line, unformatted.
    bool writeLine(std::string_view text);

    // Closes the file and forgets the path (for tests).
    void reset();

  private:
    bool openLocked();
    void closeLocked();

    mutable std::mutex mutex_;
    std::FILE* file_ = nullptr;
    std::string path_;
    int linesLeft_ = kLinesPerRun;
};

// The time stamp that starts every log line, for the given local time.
std::string logTimeStamp(const std::tm& local);

}  // namespace vkt
