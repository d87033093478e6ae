// The programming run where it decides whether a radio keeps its
// personality: the journal's two moments, stop requests, radio and cable
// back at 16406 within seconds after a line-rate switch that went wrong, the
// closing requests after an exception, the write-back after an odd reply,
// and the write-back of an earlier run's backup.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>

#include "tests/update/program_bench.h"
#include "update/cmd_program.h"
#include "update/file_digest.h"
#include "update/radio_traits.h"
#include "update/run_journal.h"

namespace vkt::testing {
namespace {

constexpr std::uint32_t kFastRate = 240000;

// Read from the frame: the radio logs no sub-function or rate for a switch
// it refuses.
bool isFastSwitch(const RequestLogEntry& e) {
    if (e.opcode != 0x38 || e.frame.size() < 12 || e.frame[4] != 0x2A)
        return false;
    const std::uint32_t rate = std::uint32_t{e.frame[8]} << 24 | std::uint32_t{e.frame[9]} << 16 |
                               std::uint32_t{e.frame[10]} << 8 | e.frame[11];
    return rate == kFastRate;
}

// The last requests of a run are the closing ones: status 0, then 1.
void expectClosingRequests(const UpdateBench& b) {
    const auto log = b.sim->requestLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_TRUE(isStatus(log[log.size() - 2], 0));
    EXPECT_TRUE(isStatus(log.back(), 1));
    EXPECT_EQ(b.sim->lineRate(), 16406u);
    EXPECT_EQ(b.radio->cable().baudRate(), 16406u);
}

std::uint64_t firstEraseNumber(const UpdateBench& b) {
    const auto erases = entries(b, isErase);
    return erases.empty() ? 0 : erases.front().number;
}

// Records what the run tells the journal, with the radio's request count at
// each moment; can refuse the erase or act at either moment.
class RecordingJournal : public RunJournal {
  public:
    explicit RecordingJournal(const UpdateBench& b) : b_(b) {}

    bool backedUp(const std::string& file, const std::string& sha256) override {
        calls.push_back("backed-up");
        backupFile = file;
        backupSha256 = sha256;
        requestsAtBackup = b_.sim->requestLog().size();
        if (onBackup)
            onBackup();
        return true;
    }
    bool erasing() override {
        calls.push_back("erasing");
        requestsAtErasing = b_.sim->requestLog().size();
        if (onErasing)
            onErasing();
        if (refuseErasing)
            raiseErrorText(ErrorCategory::Update, "Error:the journal is full.");
        return !refuseErasing;
    }

    std::vector<std::string> calls;
    std::string backupFile, backupSha256;
    std::size_t requestsAtBackup = 0, requestsAtErasing = 0;
    bool refuseErasing = false;
    std::function<void()> onBackup, onErasing;

  private:
    const UpdateBench& b_;
};

// A cable back-end that runs a hook before every write (to throw, or to ask
// the run to stop, at a chosen moment).
class HookPort : public CablePort {
  public:
    HookPort(std::unique_ptr<CablePort> inner, std::function<void()> hook)
        : inner_(std::move(inner)), hook_(std::move(hook)) {}
    std::uint32_t read(std::uint8_t* b, std::size_t n, std::size_t& got) override {
        return inner_->read(b, n, got);
    }
    std::uint32_t readAvailable(std::uint8_t* b, std::size_t n, std::size_t& got) override {
        return inner_->readAvailable(b, n, got);
    }
    std::uint32_t write(const std::uint8_t* b, std::size_t n, std::size_t& written) override {
        hook_();
        return inner_->write(b, n, written);
    }
    std::uint32_t setBaudRate(std::uint32_t r) override { return inner_->setBaudRate(r); }
    std::uint32_t setDataCharacteristics(std::uint8_t w, std::uint8_t s, std::uint8_t p) override {
        return inner_->setDataCharacteristics(w, s, p);
    }
    std::uint32_t setFlowControl(std::uint16_t f, std::uint8_t on, std::uint8_t off) override {
        return inner_->setFlowControl(f, on, off);
    }
    std::uint32_t setTimeouts(std::uint32_t r, std::uint32_t w) override {
        return inner_->setTimeouts(r, w);
    }
    std::uint32_t purge(std::uint32_t mask) override { return inner_->purge(mask); }
    std::uint32_t setLatencyTimer(std::uint8_t ms) override { return inner_->setLatencyTimer(ms); }

  private:
    std::unique_ptr<CablePort> inner_;
    std::function<void()> hook_;
};

class HookDriver : public CableDriver {
  public:
    HookDriver(std::shared_ptr<CableDriver> inner, std::function<void()> hook)
        : inner_(std::move(inner)), hook_(std::move(hook)) {}
    const char* name() const override { return "hook"; }
    std::uint32_t countDevices(std::uint32_t& count) override {
        return inner_->countDevices(count);
    }
    std::uint32_t deviceDescription(std::uint32_t index, std::string& description,
                                    CableSystemError& error) override {
        return inner_->deviceDescription(index, description, error);
    }
    std::uint32_t open(std::uint32_t index, std::unique_ptr<CablePort>& port) override {
        std::unique_ptr<CablePort> inner;
        const std::uint32_t status = inner_->open(index, inner);
        if (inner)
            port = std::make_unique<HookPort>(std::move(inner), hook_);
        return status;
    }

  private:
    std::shared_ptr<CableDriver> inner_;
    std::function<void()> hook_;
};

// Runs `action` once, before the first write after the radio received a
// request that matches `match`.
std::function<void()> onceAfter(std::shared_ptr<sim::SimRadio> sim,
                                std::function<bool(const RequestLogEntry&)> match,
                                std::function<void()> action) {
    auto done = std::make_shared<bool>(false);
    return [sim, match, action, done] {
        if (*done)
            return;
        for (const auto& e : sim->requestLog()) {
            if (match(e)) {
                *done = true;
                action();
                return;
            }
        }
    };
}

TEST(BrokenRun, TheJournalHearsOfTheBackupAndOfTheFirstEraseBeforeItIsSent) {
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    RecordingJournal journal(b);
    CmdProgram cmd;
    b.configureFull(cmd);
    cmd.journal = &journal;
    ASSERT_TRUE(b.runCommand(cmd)) << allErrorTexts();
    EXPECT_EQ(journal.calls, (std::vector<std::string>{"backed-up", "erasing"}));
    EXPECT_EQ(journal.backupFile, cmd.backupPath());
    std::string digest;
    ASSERT_TRUE(fileSha256Hex(cmd.backupPath(), digest));
    EXPECT_EQ(journal.backupSha256, digest);
    EXPECT_GT(firstEraseNumber(b), journal.requestsAtErasing);
    EXPECT_TRUE(cmd.eraseStarted());
}

TEST(BrokenRun, AJournalThatCannotRecordTheEraseStopsTheRunWithNothingErased) {
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    RecordingJournal journal(b);
    journal.refuseErasing = true;
    CmdProgram cmd;
    b.configureFull(cmd);
    cmd.journal = &journal;
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_TRUE(b.hasError("Error:the journal is full."));
    EXPECT_TRUE(entries(b, writesRadio).empty());
    EXPECT_FALSE(cmd.eraseStarted());
    // The radio still holds its personality: no backup is left or named.
    EXPECT_TRUE(b.backupFiles().empty());
    EXPECT_TRUE(cmd.backupPath().empty());
    expectClosingRequests(b);
}

TEST(BrokenRun, AStopBeforeTheFirstEraseLeavesTheRadioUnchanged) {
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    RecordingJournal journal(b);
    CmdProgram cmd;
    journal.onBackup = [&cmd] { cmd.requestStop(); };
    b.configureFull(cmd);
    cmd.journal = &journal;
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_TRUE(cmd.stopped());
    EXPECT_FALSE(cmd.eraseStarted());
    EXPECT_TRUE(b.hasError("Error:the update was stopped on request."));
    EXPECT_EQ(journal.calls, std::vector<std::string>{"backed-up"});
    EXPECT_TRUE(entries(b, writesRadio).empty());
    EXPECT_EQ(b.personality(), b.before);
    EXPECT_TRUE(b.backupFiles().empty());
    expectClosingRequests(b);
}

TEST(BrokenRun, AStopAfterTheFirstEraseKeepsTheBackupAndSendsTheClosingRequests) {
    ProgramBench b(2);
    CmdProgram cmd;
    b.radio = std::make_unique<RadioInfo>(std::make_shared<HookDriver>(
        b.driver, onceAfter(b.sim, isErase, [&cmd] { cmd.requestStop(); })));
    ASSERT_TRUE(b.connect());
    b.configureFull(cmd);
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_TRUE(cmd.stopped());
    EXPECT_TRUE(cmd.eraseStarted());
    // The stop came while the second erase was being sent: that request
    // completes, nothing follows it.
    EXPECT_EQ(entries(b, isErase).size(), 2u);
    EXPECT_TRUE(entries(b, [](auto& e) { return isFlash(e, 1); }).empty());
    EXPECT_TRUE(b.hasError("Error:the update was stopped on request."));
    EXPECT_TRUE(b.hasError(
        fmt::format("Error:the radio's personality is saved in [{}].", cmd.backupPath())));
    ASSERT_EQ(b.backupFiles(), std::vector<std::string>{cmd.backupPath()});
    expectClosingRequests(b);

    // The next run with the same command is not stopped by the old request
    // once the owner has reset it.
    cmd.resetStop();
    b.configureFull(cmd);
    EXPECT_TRUE(b.runCommand(cmd)) << allErrorTexts();
}

// A switch to 240000 that the radio declines (another opcode than the
// expected one) still switches the cable, while the radio stays at 16406;
// one whose reply loses its acknowledge on the way back leaves the radio at
// 240000 and the cable at 16406. Either
// way the switch is not sent again, the run fails within seconds, and radio
// and cable end at 16406, in the preparation and in the user-voice
// write-back; the closing requests reach the radio.
struct SwitchFault {
    int occurrence;  // 0: the preparation's switch, 1: the user-voice write-back's
    sim::FaultKind kind;
};

class FastSwitchFails : public ::testing::TestWithParam<SwitchFault> {};

TEST_P(FastSwitchFails, RadioAndCableEndAt16406WithinSeconds) {
    const SwitchFault& p = GetParam();
    const std::uint64_t at = requestNumber(2, isFastSwitch, p.occurrence);
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    b.sim->setFaults({{p.kind, sim::FaultTrigger::Request, at, 0, 0, 2}});
    CmdProgram cmd;
    b.configureFull(cmd);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(entries(b, isFastSwitch).size(), static_cast<std::size_t>(p.occurrence) + 1);
    expectClosingRequests(b);
    if (p.occurrence == 1) {
        EXPECT_TRUE(cmd.eraseStarted());
        EXPECT_TRUE(std::filesystem::exists(cmd.backupPath()));
    }
    // The radio answers at its own rate again: the next update works.
    b.sim->setFaults({});
    b.attach();
    ASSERT_TRUE(b.connect());
    CmdProgram again;
    b.configureFull(again);
    EXPECT_TRUE(b.runCommand(again)) << allErrorTexts();
}

INSTANTIATE_TEST_SUITE_P(Switches, FastSwitchFails,
                         ::testing::Values(SwitchFault{0, sim::FaultKind::Refuse},
                                           SwitchFault{1, sim::FaultKind::Refuse},
                                           SwitchFault{0, sim::FaultKind::OmitAck},
                                           SwitchFault{1, sim::FaultKind::OmitAck}));

TEST(BrokenRun, AnExceptionAfterTheEraseStillClosesTheRadioAndNamesTheBackup) {
    ProgramBench b(2);
    const std::uint32_t dyn = flashLayout(2, BlockKind::DYN);
    b.radio = std::make_unique<RadioInfo>(std::make_shared<HookDriver>(
        b.driver,
        onceAfter(
            b.sim, [dyn](const RequestLogEntry& e) { return isFlash(e, 6) && e.address == dyn; },
            [] { throw std::runtime_error("the cable back-end failed"); })));
    ASSERT_TRUE(b.connect());
    CmdProgram cmd;
    b.configureFull(cmd);
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_TRUE(b.hasError("Error:the update broke off: the cable back-end failed."));
    EXPECT_TRUE(b.hasError(
        fmt::format("Error:the radio's personality is saved in [{}].", cmd.backupPath())));
    EXPECT_EQ(b.owner.count(WM_CMD_END), 1u);
    expectClosingRequests(b);
    EXPECT_TRUE(cmd.eraseStarted());
}

// Replies that are merely odd between the dynamic-area erase and the
// write-back (another opcode than expected) no longer cost the personality:
// the run writes it back and fails afterwards.
struct OddReply {
    const char* name;
    std::function<bool(const RequestLogEntry&)> match;
};

class OddReplyBeforeTheWriteBack : public ::testing::TestWithParam<int> {};

TEST_P(OddReplyBeforeTheWriteBack, ThePersonalityIsWrittenBackAndTheRunFails) {
    static const OddReply replies[] = {
        {"test mode 1", [](auto& e) { return e.opcode == 0x22 && e.subFunction == 1; }},
        {"codeplug commit", [](auto& e) { return isSoftport(e, 0x2E); }},
        {"soft port 0x27", [](auto& e) { return isSoftport(e, 0x27); }},
    };
    const OddReply& reply = replies[GetParam()];
    SCOPED_TRACE(reply.name);
    const std::uint64_t at = requestNumber(2, reply.match);
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    b.sim->setFaults({{sim::FaultKind::WrongOpcode, sim::FaultTrigger::Request, at, 0, 0x95, 2}});
    CmdProgram cmd;
    b.configureFull(cmd);
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_EQ(b.personality(), b.before);
    EXPECT_FALSE(entries(b, [](auto& e) { return e.opcode == 0x17; }).empty());
    EXPECT_EQ(errorEntries().back().message, "Restore user-infor.");
    expectClosingRequests(b);
}

INSTANTIATE_TEST_SUITE_P(Replies, OddReplyBeforeTheWriteBack, ::testing::Values(0, 1, 2));

// The radio's windows were wiped by a broken update: the personality comes
// from that update's backup, and nothing is read from the radio.
TEST(BrokenRun, AWriteBackRestoresTheBackupWithoutReadingTheRadio) {
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    CmdProgram first;
    b.configureFull(first);
    ASSERT_TRUE(b.runCommand(first));
    const std::string file = first.backupPath();
    PersonalityBackup backup;
    ASSERT_TRUE(readPersonalityBackup(file, backup));

    b.sim->loadMemory(kDynAddress, Bytes(3 * kWindowSize, 0xFF));
    b.sim->clearRequestLog();
    CmdProgram cmd;
    b.configureFull(cmd);
    b.changeRequest(cmd, [&](ProgramRequest& r) {
        r.keepBlocks = CmdProgram::keepBlocksOf(backup);
        r.writeBack = PersonalityWriteBack{file, backup};
    });
    RecordingJournal journal(b);
    cmd.journal = &journal;
    ASSERT_TRUE(b.runCommand(cmd)) << allErrorTexts();
    EXPECT_EQ(b.personality(), b.before);
    // Nothing is read from the wiped radio; the memory windows are read only
    // after they were written back, to check them.
    const auto log = b.sim->requestLog();
    const auto firstWrite =
        std::find_if(log.begin(), log.end(), [](auto& e) { return e.opcode == 0x17; });
    EXPECT_TRUE(std::none_of(log.begin(), firstWrite, [](auto& e) { return e.opcode == 0x11; }));
    EXPECT_TRUE(entries(b, [](auto& e) { return isFlash(e, 3); }).empty());
    EXPECT_EQ(b.backupFiles(), std::vector<std::string>{file}) << "no backup of the wiped windows";
    EXPECT_EQ(cmd.backupPath(), file);
    EXPECT_EQ(journal.backupFile, file);

    // A backup of another radio type is refused before anything is erased.
    b.sim->clearRequestLog();
    backup.radioType = 1;
    CmdProgram other;
    b.configureFull(other);
    b.changeRequest(other, [&](ProgramRequest& r) {
        r.keepBlocks = CmdProgram::keepBlocksOf(backup);
        r.writeBack = PersonalityWriteBack{file, backup};
    });
    EXPECT_FALSE(b.runCommand(other));
    EXPECT_TRUE(entries(b, writesRadio).empty());
}

}  // namespace
}  // namespace vkt::testing
