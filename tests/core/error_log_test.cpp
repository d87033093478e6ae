#include "core/error_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "core/error_stack.h"
#include "tests/core/file_size_limit.h"

namespace vkt {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Text after the "[ mm-dd hh:mm:ss ] " stamp.
std::string body(const std::string& line) {
    return line.size() >= 19 ? line.substr(19) : "";
}

struct ErrorLogTest : ::testing::Test {
    fs::path dir;
    ErrorLog log;
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("vkt_errlog_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        log.reset();
        fs::remove_all(dir);
    }
};

TEST_F(ErrorLogTest, FolderRules) {
    std::string folder = dir.string();
    EXPECT_EQ(log.setLogFolder(folder), folder + "/log/err.log");
    EXPECT_TRUE(fs::is_directory(dir / "log"));
    // A trailing separator is not doubled.
    EXPECT_EQ(log.setLogFolder(folder + "/"), folder + "/log/err.log");
    EXPECT_EQ(log.path(), folder + "/log/err.log");
    // Empty: the folder above the working directory.
    EXPECT_EQ(log.setLogFolder(""), "../log/err.log");
    // Only the last level is created; with a missing parent writing fails.
    std::string missing = (dir / "no" / "such").string();
    EXPECT_EQ(log.setLogFolder(missing), missing + "/log/err.log");
    EXPECT_FALSE(fs::exists(dir / "no"));
    EXPECT_FALSE(log.writeLog("%s", "lost"));
}

// A disk that fills up in the middle of a line: the line is refused whole,
// and the log takes lines again once there is room.
TEST_F(ErrorLogTest, AFullDiskLeavesNoHalfLine) {
    const std::string path = log.setLogFolder(dir.string());
    ASSERT_TRUE(log.writeLog("%s", "first"));
    const auto size = fs::file_size(path);
    {
        testing::FileSizeLimit full(size + 10);
        ASSERT_TRUE(full.active());
        EXPECT_FALSE(log.writeLog("%s", std::string(100, 'x')));
    }
    EXPECT_EQ(fs::file_size(path), size);
    EXPECT_TRUE(log.writeLog("%s", "after"));
    const auto lines = readLines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(body(lines[0]), "first");
    EXPECT_EQ(body(lines[1]), "after");
}

TEST_F(ErrorLogTest, WritingWithoutAFolderFails) {
    EXPECT_FALSE(log.writeLog("text"));
}

TEST_F(ErrorLogTest, LinesAreStampedAndAppendedToWhatEarlierRunsLeft) {
    std::string path = log.setLogFolder(dir.string());
    { std::ofstream(path) << "earlier run\n"; }
    ASSERT_TRUE(log.writeLog("Error:%s [%d].", "code", 42));
    // Unbuffered: the line is in the file as soon as the call returns.
    auto lines = readLines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "earlier run");
    EXPECT_TRUE(std::regex_match(
        lines[1], std::regex(R"(\[ \d\d-\d\d \d\d:\d\d:\d\d \] Error:code \[42\]\.)")))
        << lines[1];
}

TEST_F(ErrorLogTest, TimeStampFormat) {
    std::tm t{};
    t.tm_mon = 2;  // March
    t.tm_mday = 7;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    t.tm_year = 126;
    EXPECT_EQ(logTimeStamp(t), "[ 03-07 09:05:03 ] ");
}

TEST_F(ErrorLogTest, TextsFromElsewhereAreWrittenLiterally) {
    std::string path = log.setLogFolder(dir.string());
    removeErrors(0);
    raiseErrorText(ErrorCategory::Update, "Error:failed at %d%% [%s]");
    ASSERT_TRUE(log.writeLog("Upate radio failed, this's caused by:\n%s", allErrorTexts()));
    removeErrors(0);
    // Texts of a non-ASCII language are kept as UTF-8.
    ASSERT_TRUE(log.writeLog("%s", "Fehler: Gerät nicht gefunden"));
    auto lines = readLines(path);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(body(lines[0]), "Upate radio failed, this's caused by:");
    EXPECT_EQ(lines[1], "Error:failed at %d%% [%s]");
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(body(lines[3]), "Fehler: Gerät nicht gefunden");
}

TEST_F(ErrorLogTest, TheFileRestartsWithThe1001stLineOfARun) {
    std::string path = log.setLogFolder(dir.string());
    { std::ofstream(path) << "old\n"; }
    for (int i = 1; i <= 1000; ++i)
        ASSERT_TRUE(log.writeLog("line %d", i));
    auto lines = readLines(path);
    ASSERT_EQ(lines.size(), 1001u);  // the 1000th line is still appended
    EXPECT_EQ(lines[0], "old");
    EXPECT_EQ(body(lines[1000]), "line 1000");
    ASSERT_TRUE(log.writeLog("line %d", 1001));
    lines = readLines(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(body(lines[0]), "line 1001");
    // The count starts again after the restart.
    for (int i = 1002; i <= 2000; ++i)
        ASSERT_TRUE(log.writeLog("line %d", i));
    EXPECT_EQ(readLines(path).size(), 1000u);
    ASSERT_TRUE(log.writeLog("line %d", 2001));
    EXPECT_EQ(readLines(path).size(), 1u);
}

TEST_F(ErrorLogTest, ConcurrentWritersNeverInterleaveLines) {
    std::string path = log.setLogFolder(dir.string());
    const std::string payload(300, 'x');
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i)
                log.writeLog("writer %d line %d %s end", t, i, payload);
        });
    }
    for (auto& w : writers)
        w.join();
    auto lines = readLines(path);
    ASSERT_EQ(lines.size(), 400u);
    std::regex shape(R"(\[ \d\d-\d\d \d\d:\d\d:\d\d \] writer \d line \d+ x{300} end)");
    for (const auto& line : lines)
        ASSERT_TRUE(std::regex_match(line, shape)) << line;
}

}  // namespace
}  // namespace vkt
