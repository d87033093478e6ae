#include "app/console_protocol.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "app/front_end.h"

namespace vkt {

namespace {

constexpr std::array<const char*, 5> kNames = {kToolUpdateStart, kToolUpdateEnd, kToolEnterTestMode,
                                               kToolExitTestMode, kToolRaise};

template <typename Number>
bool parseNumber(std::string_view text, Number& value) {
    if (text.empty())
        return false;
    const char* end = text.data() + text.size();
    auto [stop, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && stop == end;
}

// Printable text for an error message (bytes outside 0x20..0x7E as \xNN).
std::string printable(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, 40)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F)
            out += c;
        else
            out += fmt::format("\\x{:02X}", byte);
    }
    if (text.size() > 40)
        out += "...";
    return out;
}

}  // namespace

bool isConsoleMessageName(std::string_view name) {
    for (const char* known : kNames)
        if (name == known)
            return true;
    return false;
}

std::string encodeConsoleMessage(const ConsoleMessage& message) {
    return fmt::format("{} {} {}\n", message.name, message.wParam, message.lParam);
}

std::optional<ConsoleMessage> parseConsoleLine(std::string_view line, std::string& error) {
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos) {
        error = "expected a name and two numbers in \"" + printable(line) + "\"";
        return std::nullopt;
    }
    ConsoleMessage message;
    const std::string_view name = line.substr(0, first);
    if (!isConsoleMessageName(name)) {
        error = "unknown message \"" + printable(name) + "\"";
        return std::nullopt;
    }
    message.name = std::string(name);
    if (!parseNumber(line.substr(first + 1, second - first - 1), message.wParam) ||
        !parseNumber(line.substr(second + 1), message.lParam)) {
        error = "bad parameter in \"" + printable(line) + "\"";
        return std::nullopt;
    }
    return message;
}

bool ConsoleMessageReader::fail(std::string why) {
    failed_ = true;
    error_ = std::move(why);
    partial_.clear();
    return false;
}

bool ConsoleMessageReader::feed(std::span<const std::uint8_t> bytes) {
    if (failed_)
        return false;
    for (std::uint8_t byte : bytes) {
        if (byte != '\n') {
            // A line that has not ended within the limit will never be valid.
            if (partial_.size() + 1 >= kMaxConsoleLine)
                return fail(fmt::format("line longer than {} bytes", kMaxConsoleLine));
            partial_ += static_cast<char>(byte);
            continue;
        }
        std::string why;
        std::optional<ConsoleMessage> message = parseConsoleLine(partial_, why);
        if (!message)
            return fail(std::move(why));
        if (messages_.size() >= kMaxPendingMessages)
            return fail("too many messages at once");
        messages_.push_back(std::move(*message));
        partial_.clear();
    }
    return true;
}

std::optional<ConsoleMessage> ConsoleMessageReader::next() {
    if (messages_.empty())
        return std::nullopt;
    ConsoleMessage message = std::move(messages_.front());
    messages_.pop_front();
    return message;
}

// ---------------------------------------------------------------------------
// Where the socket and the lock file live

std::string toolRuntimeDir() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        return runtime;
    const char* temp = std::getenv("TMPDIR");
    std::string base = temp && temp[0] == '/' ? temp : "/tmp";
    return fmt::format("{}/vkt-update-tool-{}", base, static_cast<unsigned>(::getuid()));
}

bool prepareToolRuntimeDir(std::string& error) {
    const std::string dir = toolRuntimeDir();
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = fmt::format("cannot create {}: {}", dir, std::strerror(errno));
        return false;
    }
    struct stat info {};
    if (::lstat(dir.c_str(), &info) != 0) {
        error = fmt::format("cannot read {}: {}", dir, std::strerror(errno));
        return false;
    }
    // Another user's folder (or a link planted in /tmp) must not receive
    // the socket that drives updates.
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::getuid() || (info.st_mode & 0022) != 0) {
        error = fmt::format("{} is not a private folder of this user", dir);
        return false;
    }
    return true;
}

std::string toolInstanceName(const std::string& region) {
    return kInstanceNameBase + region;
}

std::string consoleSocketPath(const std::string& region) {
    return toolRuntimeDir() + "/" + toolInstanceName(region) + ".sock";
}

std::string instanceLockPath(const std::string& region) {
    return toolRuntimeDir() + "/" + toolInstanceName(region) + ".lock";
}

}  // namespace vkt
