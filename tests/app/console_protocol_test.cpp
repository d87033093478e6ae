#include "app/console_protocol.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/front_end.h"
#include "app/instance_lock.h"

namespace vkt {
namespace {

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::vector<ConsoleMessage> drain(ConsoleMessageReader& reader) {
    std::vector<ConsoleMessage> out;
    while (auto message = reader.next())
        out.push_back(*message);
    return out;
}

TEST(ConsoleProtocol, EncodedMessagesReadBackWhateverTheChunking) {
    const std::vector<ConsoleMessage> sent = {
        {kToolUpdateStart, 17, 0x808},
        {kToolUpdateEnd, 8, 1},
        {kToolEnterTestMode, 18446744073709551615ull, -9223372036854775807LL - 1},
        {kToolExitTestMode, 0, 8},
        {kToolRaise, 0, 0},
    };
    std::string stream;
    for (const auto& message : sent)
        stream += encodeConsoleMessage(message);
    EXPECT_EQ(encodeConsoleMessage(sent[0]), "WM_TOOL_UPDATE_START 17 2056\n");
    for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{29}, stream.size()}) {
        ConsoleMessageReader reader;
        for (std::size_t at = 0; at < stream.size(); at += chunk)
            ASSERT_TRUE(reader.feed(bytesOf(stream.substr(at, chunk)))) << reader.error();
        EXPECT_EQ(drain(reader), sent) << "chunk " << chunk;
        EXPECT_EQ(reader.pendingBytes(), 0u);
    }
}

TEST(ConsoleProtocol, PartialLineWaitsForItsEnd) {
    ConsoleMessageReader reader;
    ASSERT_TRUE(reader.feed(bytesOf("WM_TOOL_UPDATE_END 8")));
    EXPECT_FALSE(reader.next());
    ASSERT_TRUE(reader.feed(bytesOf(" 0\nWM_TOOL")));
    EXPECT_EQ(reader.next(), (ConsoleMessage{kToolUpdateEnd, 8, 0}));
    EXPECT_EQ(reader.pendingBytes(), 7u);
}

TEST(ConsoleProtocol, MalformedLinesStopTheStream) {
    using namespace std::string_literals;
    const std::string bad[] = {
        "\n"s,                                             // empty
        "WM_TOOL_UPDATE_START 0\n"s,                       // one number
        "WM_TOOL_UPDATE_START 0 2056 1\n"s,                // three numbers
        "WM_TOOL_UPDATE_START  0 2056\n"s,                 // double blank
        "WM_TOOL_UPDATE_START 0 2056\r\n"s,                // carriage return
        "WM_TOOL_UPDATE_STAR 0 2056\n"s,                   // unknown name
        "wm_tool_update_start 0 2056\n"s,                  // names are exact
        "WM_TOOL_UPDATE_START -1 2056\n"s,                 // first parameter unsigned
        "WM_TOOL_UPDATE_START +1 2056\n"s,                 // no sign
        "WM_TOOL_UPDATE_START 0x10 2056\n"s,               // decimal only
        "WM_TOOL_UPDATE_START 18446744073709551616 0\n"s,  // too large
        "WM_TOOL_UPDATE_START 0 9223372036854775808\n"s,   // too large
        "WM_TOOL_UPDATE_START 0 20\x00"s
        "56\n"s,  // NUL inside
    };
    for (const std::string& line : bad) {
        ConsoleMessageReader reader;
        EXPECT_FALSE(reader.feed(bytesOf("WM_TOOL_UPDATE_END 8 1\n" + line))) << line;
        EXPECT_TRUE(reader.failed());
        EXPECT_FALSE(reader.error().empty());
        // What came before the fault is kept; nothing after it is read.
        EXPECT_EQ(drain(reader).size(), 1u) << line;
        EXPECT_FALSE(reader.feed(bytesOf("WM_TOOL_UPDATE_END 8 1\n")));
        EXPECT_FALSE(reader.next());
    }
}

TEST(ConsoleProtocol, OverlongLinesAndFloodsAreRefusedWithBoundedMemory) {
    // A line may still end after limit - 1 bytes; one more byte is too many.
    ConsoleMessageReader longLine;
    EXPECT_TRUE(longLine.feed(bytesOf(std::string(kMaxConsoleLine - 1, 'A'))));
    EXPECT_FALSE(longLine.feed(bytesOf("A")));
    EXPECT_EQ(longLine.pendingBytes(), 0u);

    // A line of exactly the limit (with its line feed) still parses.
    ConsoleMessageReader atLimit;
    std::string padded = "WM_TOOL_UPDATE_END 8 ";
    padded += std::string(kMaxConsoleLine - padded.size() - 2, '0') + "1\n";
    ASSERT_EQ(padded.size(), kMaxConsoleLine);
    ASSERT_TRUE(atLimit.feed(bytesOf(padded))) << atLimit.error();
    EXPECT_EQ(atLimit.next(), (ConsoleMessage{kToolUpdateEnd, 8, 1}));

    ConsoleMessageReader flood;
    std::string many;
    for (std::size_t i = 0; i <= kMaxPendingMessages; ++i)
        many += "VKT_TOOL_RAISE 0 0\n";
    EXPECT_FALSE(flood.feed(bytesOf(many)));
    EXPECT_EQ(drain(flood).size(), kMaxPendingMessages);
}

TEST(ConsoleProtocol, PathsAreNamedFromTheRegionInThePrivateRuntimeFolder) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedValue = saved ? saved : "";
    ::setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(consoleSocketPath("EMEA"),
              "/run/user/4242/B5562DD0-F56D-4608-8F97-8118EFEC84BFORVIX_FLASH_TOOL_EMEA.sock");
    EXPECT_EQ(instanceLockPath("EMEA"),
              "/run/user/4242/B5562DD0-F56D-4608-8F97-8118EFEC84BFORVIX_FLASH_TOOL_EMEA.lock");

    // Without a runtime folder a private folder in the temporary folder is
    // made; one that others may write to is refused.
    char templ[] = "/tmp/vkt-runtime-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    ::unsetenv("XDG_RUNTIME_DIR");
    ::setenv("TMPDIR", templ, 1);
    std::string error;
    ASSERT_TRUE(prepareToolRuntimeDir(error)) << error;
    struct stat info {};
    ASSERT_EQ(::stat(toolRuntimeDir().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(toolRuntimeDir().rfind(std::string(templ) + "/vkt-update-tool-", 0), 0u);
    ::chmod(toolRuntimeDir().c_str(), 0777);
    EXPECT_FALSE(prepareToolRuntimeDir(error));
    EXPECT_NE(error.find("not a private folder"), std::string::npos);

    std::filesystem::remove_all(templ);
    ::unsetenv("TMPDIR");
    if (saved)
        ::setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
}

TEST(InstanceLock, OneHolderAtATimeAndReleasedWithTheHolder) {
    char templ[] = "/tmp/vkt-lock-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    const std::string path = std::string(templ) + "/tool.lock";
    std::string error;
    {
        InstanceLock first;
        ASSERT_EQ(first.acquire(path, error), InstanceLock::Result::Acquired) << error;
        InstanceLock second;
        EXPECT_EQ(second.acquire(path, error), InstanceLock::Result::HeldElsewhere);
        EXPECT_FALSE(second.held());
        first.release();
        EXPECT_EQ(second.acquire(path, error), InstanceLock::Result::Acquired);
    }
    InstanceLock again;
    EXPECT_EQ(again.acquire(path, error), InstanceLock::Result::Acquired);
    // A folder that does not exist is a failure, not "another instance".
    InstanceLock nowhere;
    EXPECT_EQ(nowhere.acquire(std::string(templ) + "/no/such/tool.lock", error),
              InstanceLock::Result::Failed);
    EXPECT_NE(error.find("no/such"), std::string::npos);
    again.release();
    std::filesystem::remove_all(templ);
}

// A worker shares its parent's lock through an inherited descriptor, and
// only through one that is open on the lock file and holds the lock.
TEST(InstanceLock, SharedThroughTheHoldersDescriptorOnly) {
    char templ[] = "/tmp/vkt-lock-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    const std::string path = std::string(templ) + "/tool.lock";
    std::string error;
    InstanceLock parent;
    ASSERT_EQ(parent.acquire(path, error), InstanceLock::Result::Acquired) << error;
    {
        InstanceLock worker;
        EXPECT_EQ(worker.adopt(::dup(parent.fd()), path, error), InstanceLock::Result::Acquired)
            << error;
    }
    EXPECT_TRUE(parent.held());
    InstanceLock stranger;
    EXPECT_EQ(stranger.acquire(path, error), InstanceLock::Result::HeldElsewhere)
        << "the worker's end released the parent's lock";

    // Another open of the lock file does not hold the lock.
    const int other = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_EQ(stranger.adopt(other, path, error), InstanceLock::Result::HeldElsewhere);
    ::close(other);
    // Nor does a descriptor on some other file, or none at all.
    const std::string elsewhere = std::string(templ) + "/other.lock";
    const int unrelated = ::open(elsewhere.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    EXPECT_EQ(stranger.adopt(unrelated, path, error), InstanceLock::Result::Failed);
    ::close(unrelated);
    EXPECT_EQ(stranger.adopt(-1, path, error), InstanceLock::Result::Failed);
    EXPECT_FALSE(stranger.held());
    parent.release();
    std::filesystem::remove_all(templ);
}

}  // namespace
}  // namespace vkt
