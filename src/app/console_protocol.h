// The wire format between the desktop tool and a console program, and where
// the two find each other.
//
// A message is one line of ASCII text: its name, the first parameter as an
// unsigned decimal number, the second as a signed decimal number, separated
// by single spaces and ended by a line feed, e.g.
//   "WM_TOOL_UPDATE_START 0 2056\n"
// A line is at most kMaxConsoleLine bytes including its line feed. Anything
// else (an unknown name, a missing or out-of-range number, extra blanks, a
// carriage return, a NUL byte, an over-long line) makes the stream malformed:
// the reader stops and the tool closes that connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vkt {

// Text in front of the region in the names of the socket and the lock file.
inline constexpr const char* kInstanceNameBase =
    "B5562DD0-F56D-4608-8F97-8118EFEC84BFORVIX_FLASH_TOOL_";
// Sent by a second start of the tool: the first one comes to the front.
inline constexpr const char* kToolRaise = "VKT_TOOL_RAISE";

inline constexpr std::size_t kMaxConsoleLine = 128;
// Whole messages a reader holds before its owner takes them.
inline constexpr std::size_t kMaxPendingMessages = 64;

struct ConsoleMessage {
    std::string name;  // one of the four protocol names or kToolRaise
    std::uint64_t wParam = 0;
    std::int64_t lParam = 0;
    bool operator==(const ConsoleMessage&) const = default;
};

// True for the four protocol names and kToolRaise.
bool isConsoleMessageName(std::string_view name);

// The line (with its line feed) for a message. The name is not checked.
std::string encodeConsoleMessage(const ConsoleMessage& message);

// Parses one line without its line feed. Nothing, with `error` set, when the
// line is not a well-formed message.
std::optional<ConsoleMessage> parseConsoleLine(std::string_view line, std::string& error);

// Collects whole messages from a byte stream that arrives in arbitrary
// pieces. Once the stream turned out malformed every later feed is refused.
class ConsoleMessageReader {
  public:
    // False when the stream is (or was already) malformed; the messages
    // completed before the fault stay available through next().
    bool feed(std::span<const std::uint8_t> bytes);
    // The oldest complete message not yet taken.
    std::optional<ConsoleMessage> next();

    bool failed() const { return failed_; }
    const std::string& error() const { return error_; }
    // Bytes of an unfinished line held back.
    std::size_t pendingBytes() const { return partial_.size(); }

  private:
    bool fail(std::string why);

    std::string partial_;
    std::deque<ConsoleMessage> messages_;
    bool failed_ = false;
    std::string error_;
};

// The folder of the socket and the lock file: $XDG_RUNTIME_DIR when it is an
// absolute path, otherwise <temp>/vkt-update-tool-<uid> ($TMPDIR or /tmp).
std::string toolRuntimeDir();
// Creates the fallback folder (mode 0700) when needed and checks that it is
// a directory owned by this user that nobody else can write. False with
// `error` set otherwise.
bool prepareToolRuntimeDir(std::string& error);
// kInstanceNameBase followed by the region.
std::string toolInstanceName(const std::string& region);
// <runtime dir>/<instance name>.sock and .lock.
std::string consoleSocketPath(const std::string& region);
std::string instanceLockPath(const std::string& region);

}  // namespace vkt
