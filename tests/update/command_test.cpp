#include "update/command.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "core/error_stack.h"

#include "tests/core/message_recorder.h"

namespace vkt {
namespace {

using namespace std::chrono_literals;

using Recorder = vkt::testing::MessageRecorder;

// A command that reports like the real ones: begin, progress, end.
struct ProbeCommand : Command {
    bool succeed = true;
    bool throwInRun = false;
    int runs = 0;
    bool run() override {
        ++runs;
        ok = true;
        postBegin();
        reportUnit(1, 2, 60);  // half of a step of weight 60
        if (throwInRun)
            throw std::runtime_error("boom");
        if (!succeed)
            ok = false;
        sendProgress(100);
        postEnd();
        return ok;
    }
};

struct CommandTest : ::testing::Test {
    EventLoop loop;
    Task task;
    Recorder owner;
    WindowHandle ownerWindow = 0;
    void SetUp() override {
        removeErrors(0);
        ASSERT_NE(task.createWindow(), 0u);
        ownerWindow = createWindow(&owner, &loop);
    }
    void TearDown() override {
        destroyWindow(ownerWindow);
        removeErrors(0);
    }
    // The posted messages, without the progress notifications.
    std::vector<std::uint32_t> posted() const {
        std::vector<std::uint32_t> out;
        for (const auto& m : owner.got) {
            if (m.id != WM_CMD_PROGRESS)
                out.push_back(m.id);
        }
        return out;
    }
};

TEST_F(CommandTest, ARunReportsBeginProgressAndEndToItsOwner) {
    ProbeCommand cmd;
    cmd.owner = ownerWindow;
    cmd.progress.base = 10;
    ASSERT_TRUE(runBatch({&cmd}, loop, task, 10s));
    EXPECT_TRUE(cmd.ok);
    // Progress notifications are sent from the worker while the posts wait,
    // so they can overtake WM_CMD_BEGIN; both kinds keep their own order.
    EXPECT_EQ(posted(), (std::vector<std::uint32_t>{WM_CMD_BEGIN, WM_CMD_END}));
    std::vector<std::uintptr_t> positions;
    for (const auto& m : owner.got) {
        if (m.id == WM_CMD_PROGRESS) {
            positions.push_back(m.wParam);
            EXPECT_EQ(m.lParam, 0);
        }
    }
    EXPECT_EQ(positions, (std::vector<std::uintptr_t>{40, 100}));
}

TEST_F(CommandTest, WithoutALiveOwnerTheCommandRunsToTheEndAndSendsNothing) {
    ProbeCommand noOwner, goneOwner;
    Recorder gone;
    goneOwner.owner = createWindow(&gone, &loop);
    destroyWindow(goneOwner.owner);
    ASSERT_TRUE(runBatch({&noOwner, &goneOwner}, loop, task, 10s));
    EXPECT_EQ(noOwner.runs, 1);
    EXPECT_EQ(goneOwner.runs, 1);
    EXPECT_TRUE(goneOwner.ok);
    EXPECT_TRUE(gone.got.empty());
    EXPECT_TRUE(owner.got.empty());
}

TEST_F(CommandTest, AFailedRunStillEndsWithEndAndTheNextRunStartsAfresh) {
    ProbeCommand cmd;
    cmd.owner = ownerWindow;
    cmd.succeed = false;
    ASSERT_TRUE(runBatch({&cmd}, loop, task, 10s));
    EXPECT_FALSE(cmd.ok);
    EXPECT_EQ(task.lastResult(), 0);
    EXPECT_EQ(posted(), (std::vector<std::uint32_t>{WM_CMD_BEGIN, WM_CMD_END}));

    owner.got.clear();
    cmd.succeed = true;
    ASSERT_TRUE(runBatch({&cmd}, loop, task, 10s));
    EXPECT_TRUE(cmd.ok);
    EXPECT_EQ(task.lastResult(), 1);
}

TEST_F(CommandTest, AnExceptionFailsTheCommandAndStillEndsIt) {
    ProbeCommand cmd, after;
    cmd.owner = ownerWindow;
    cmd.throwInRun = true;
    ASSERT_TRUE(runBatch({&cmd, &after}, loop, task, 10s));
    EXPECT_FALSE(cmd.ok);
    EXPECT_EQ(after.runs, 0);
    EXPECT_EQ(posted(), (std::vector<std::uint32_t>{WM_CMD_BEGIN, WM_CMD_END}));
    EXPECT_EQ(firstErrorCode(), static_cast<std::int32_t>(ErrorCategory::Update));
}

}  // namespace
}  // namespace vkt
