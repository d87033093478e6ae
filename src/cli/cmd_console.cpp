// `vkt console start|enter-test|exit-test`: a console program for a running
// desktop tool. It connects to the tool's local socket, sends one request and
// waits for the tool's answer.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <optional>
#include <vector>

#include "app/console_protocol.h"
#include "app/front_end.h"
#include "cli/cli_common.h"
#include "cli/commands.h"
#include "package/package_config.h"

namespace vkt::cli {

namespace {

// Exit codes beyond the common ones.
constexpr int kExitNoTool = 4;   // no desktop tool is running (nothing listens)
constexpr int kExitNoReply = 5;  // no answer in time, or the tool closed the connection

// An open connection to the tool; closed when it goes out of scope.
class ToolSocket {
  public:
    ~ToolSocket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool open(const std::string& path, std::string& error) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= sizeof(address.sun_path)) {
            error = "socket path too long: " + path;
            return false;
        }
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0 ||
            ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            error = std::strerror(errno);
            return false;
        }
        return true;
    }
    bool send(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    // Waits up to `ms` (negative: without limit) for bytes. Nothing on
    // time-out; an empty vector when the tool closed the connection.
    std::optional<std::vector<std::uint8_t>> receive(int ms) {
        pollfd entry{fd_, POLLIN, 0};
        int ready = 0;
        do {
            ready = ::poll(&entry, 1, ms);
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0)
            return std::nullopt;
        std::vector<std::uint8_t> bytes(512);
        ssize_t n = 0;
        do {
            n = ::recv(fd_, bytes.data(), bytes.size(), 0);
        } while (n < 0 && errno == EINTR);
        bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return bytes;
    }

  private:
    int fd_ = -1;
};

// Sends `request` and waits for the tool's message named `reply`. Returns
// the exit code; `answer` holds the reply when one came.
int exchange(const char* request, const char* reply, double waitSeconds, ConsoleMessage& answer) {
    const std::string path = consoleSocketPath(kToolRegion);
    ToolSocket socket;
    std::string error;
    if (!socket.open(path, error)) {
        std::cerr << "vkt: error: no update tool is running (" << path << ": " << error << ")\n";
        return kExitNoTool;
    }
    // The first parameter names the console; this process's id does.
    const ConsoleMessage message{request, static_cast<std::uint64_t>(::getpid()),
                                 static_cast<std::int64_t>(kConsoleMagic)};
    if (!socket.send(encodeConsoleMessage(message))) {
        std::cerr << "vkt: error: the update tool closed the connection\n";
        return kExitNoReply;
    }
    using Clock = std::chrono::steady_clock;
    const bool limited = waitSeconds > 0;
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long long>(waitSeconds * 1000));
    ConsoleMessageReader reader;
    for (;;) {
        int ms = -1;
        if (limited) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            ms = static_cast<int>(std::max<long long>(0, left.count()));
        }
        std::optional<std::vector<std::uint8_t>> bytes = socket.receive(ms);
        if (!bytes) {
            std::cerr << "vkt: error: no answer from the update tool within " << waitSeconds
                      << " s\n";
            return kExitNoReply;
        }
        if (bytes->empty()) {
            std::cerr << "vkt: error: the update tool closed the connection without answering\n";
            return kExitNoReply;
        }
        if (!reader.feed(*bytes)) {
            std::cerr << "vkt: error: unreadable answer (" << reader.error() << ")\n";
            return kExitFailure;
        }
        while (std::optional<ConsoleMessage> got = reader.next()) {
            if (got->name == reply) {
                answer = *got;
                return kExitOk;
            }
        }
    }
}

void addConsoleSubcommand(CLI::App& console, const std::string& name, const std::string& help,
                          const char* request, const char* reply, double defaultWait) {
    auto* sub = console.add_subcommand(name, help);
    auto wait = std::make_shared<double>(defaultWait);
    sub->add_option("--wait", *wait, "Seconds to wait for the tool's answer; 0 waits without limit")
        ->default_val(defaultWait)
        ->check(CLI::NonNegativeNumber);
    setHandler(sub, [request, reply, wait]() -> int {
        ConsoleMessage answer;
        const int code = exchange(request, reply, *wait, answer);
        if (code != kExitOk)
            return code;
        if (std::string(reply) != kToolUpdateEnd) {
            std::cout << (std::string(request) == kToolEnterTestMode
                              ? "The update tool is in test mode.\n"
                              : "The update tool left test mode.\n");
            return kExitOk;
        }
        if (answer.lParam == 1) {
            std::cout << "The radio was updated.\n";
            return kExitOk;
        }
        std::cout << "The radio was not updated.\n";
        return kExitFailure;
    });
}

}  // namespace

void addConsoleCommands(CLI::App& app, GlobalOptions&) {
    auto* console = app.add_subcommand(
        "console",
        "Drive a running desktop update tool (vkt-update-tool) through its local socket. Exit "
        "codes: 0 done, 1 the update failed, 4 no tool is running, 5 no answer in time");
    console->require_subcommand(1);
    addConsoleSubcommand(
        *console, "start",
        "Start an update of the radio on the cable. In test mode the tool asks nothing and "
        "reports the result: exit code 0 when the radio was updated, 1 when not. Outside test "
        "mode the tool asks its user and sends no result, so the wait runs out (exit code 5)",
        kToolUpdateStart, kToolUpdateEnd, 1800);
    addConsoleSubcommand(*console, "enter-test",
                         "Switch the tool to test mode (its user is asked to agree first) and "
                         "wait for its confirmation",
                         kToolEnterTestMode, kToolEnterTestMode, 300);
    addConsoleSubcommand(*console, "exit-test",
                         "Switch the tool back from test mode and wait for its confirmation",
                         kToolExitTestMode, kToolExitTestMode, 30);
}

}  // namespace vkt::cli
