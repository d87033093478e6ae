#include "cli/password_input.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

namespace vkt::cli {

namespace {

void dropLineEnd(std::string& line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
}

// Switches the terminal's echo off for as long as it lives.
class EchoOff {
  public:
    EchoOff() {
        if (::isatty(STDIN_FILENO) != 1 || tcgetattr(STDIN_FILENO, &saved_) != 0)
            return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_)
            tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

  private:
    termios saved_{};
    bool active_ = false;
};

}  // namespace

std::optional<std::string> readHiddenLine(std::istream& in, std::ostream& out,
                                          const std::string& prompt) {
    out << prompt << std::flush;
    std::string line;
    bool got = false;
    {
        EchoOff quiet;
        got = static_cast<bool>(std::getline(in, line));
    }
    // The user's Enter was not echoed.
    out << "\n" << std::flush;
    if (!got)
        return std::nullopt;
    dropLineEnd(line);
    return line;
}

std::optional<std::string> readPasswordFile(const std::string& path, std::string& error) {
    std::ifstream file(path);
    if (!file) {
        error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string line;
    std::getline(file, line);
    if (file.bad()) {
        error = path + ": cannot be read";
        return std::nullopt;
    }
    dropLineEnd(line);
    return line;
}

}  // namespace vkt::cli
