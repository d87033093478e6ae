#include "update/cmd_program.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/update/program_bench.h"

namespace vkt::testing {
namespace {

// Restores the backup a failed run left behind into the (power-cycled)
// radio and checks that the personality is back.
void expectRestoredFromBackup(ProgramBench& b, const std::string& backupPath) {
    ASSERT_FALSE(backupPath.empty());
    ASSERT_EQ(b.backupFiles(), std::vector<std::string>{backupPath});
    b.powerCycle();
    ASSERT_TRUE(b.connect()) << allErrorTexts() << " rate " << b.sim->lineRate();
    std::string error;
    EXPECT_TRUE(restoreFromBackup(b, backupPath, error)) << error;
    EXPECT_EQ(b.personality(), b.before);
    EXPECT_EQ(b.sim->lineRate(), 16406u);
}

// One request of the log in words: enough to compare the order of a run
// against the procedure.
std::string describe(const RequestLogEntry& e) {
    const auto address = e.address.value_or(0);
    switch (e.opcode) {
        case 0x22:
            return fmt::format("test {}", e.subFunction);
        case 0x10:
            return fmt::format("status {}", e.subFunction);
        case 0x11:
            return "memory read";
        case 0x17:
            return "memory write";
        case 0x38:
            if (e.subFunction == 0x2A)
                return fmt::format("rate {} W{}", address, e.frame.size() > 7 ? e.frame[7] : -1);
            return fmt::format("softport {:#x} V{}", e.subFunction,
                               e.frame.size() > 5 ? e.frame[5] : -1);
        case 0x72:
            switch (e.subFunction) {
                case 1:
                    return fmt::format("write {:#x}", address);
                case 3:
                    return fmt::format("read {:#x}", address);
                case 4:
                    return fmt::format("erase 4K {:#x}", address);
                case 6:
                    return fmt::format("erase 64K {:#x}", address);
                case 8:
                    return fmt::format("protect {:#x}", address);
            }
            break;
    }
    return fmt::format("opcode {:#x}", e.opcode);
}

std::vector<std::string> described(const ProgramBench& b,
                                   const std::function<bool(const std::string&)>& keep) {
    std::vector<std::string> out;
    for (const auto& e : b.sim->requestLog()) {
        std::string text = describe(e);
        if (keep(text))
            out.push_back(std::move(text));
    }
    return out;
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

class FullUpdate : public ::testing::TestWithParam<int> {};

TEST_P(FullUpdate, WritesEveryImageAndKeepsThePersonality) {
    const int type = GetParam();
    ProgramBench b(type);
    ASSERT_TRUE(b.connect());
    CmdProgram cmd;
    b.configureFull(cmd);
    b.sim->clearRequestLog();
    ASSERT_TRUE(b.runCommand(cmd)) << allErrorTexts();
    EXPECT_EQ(cmd.radioType(), type);

    EXPECT_EQ(b.sim->flash(0, b.firmware.size()), b.firmware);
    EXPECT_EQ(b.sim->flash(flashLayout(type, BlockKind::DEF), kWindowSize), b.defaultBlock);
    EXPECT_EQ(b.sim->flash(flashLayout(type, BlockKind::VOI), kVoiSize), b.voice);
    EXPECT_EQ(b.personality(), b.before);
    EXPECT_EQ(b.sim->lineRate(), 16406u);
    EXPECT_EQ(b.radio->cable().baudRate(), 16406u);
    EXPECT_EQ(b.sim->protection(), type == 1 ? 0x840 : type == 2 ? 0x1040 : 0x440);

    // The firmware's first two bytes go last, after every other piece of
    // the firmware area.
    const auto log = b.sim->requestLog();
    const auto firmwareWrites = entries(b, [](const RequestLogEntry& e) {
        return isFlash(e, 1) && e.address && *e.address < 0x60000;
    });
    ASSERT_FALSE(firmwareWrites.empty());
    EXPECT_EQ(*firmwareWrites.back().address, 0u);
    EXPECT_EQ(firmwareWrites.back().length, 2u);
    EXPECT_EQ(*firmwareWrites.front().address, 2u);

    // The personality went to disk before anything was erased, into the
    // radio's own folder, and stays as its latest personality.
    ASSERT_EQ(b.backupFiles(), std::vector<std::string>{cmd.backupPath()});
    EXPECT_EQ(std::filesystem::path(cmd.backupPath()).parent_path().filename(), "471ABC0042");

    // The user-defined voice is kept only on radios of type 2; the others
    // get a notice and still succeed.
    EXPECT_EQ(b.hasError(fmt::format("Error: the radio type is {}.", type)), type != 2);

    const auto positions = b.progressPositions();
    ASSERT_GE(positions.size(), 2u);
    EXPECT_EQ(positions[positions.size() - 2], 100u);
    EXPECT_EQ(positions.back(), 0u);
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end() - 1));
    if (type == 2) {
        EXPECT_FLOAT_EQ(cmd.progress.scale, 100.0f / 26.0f);
    }

    // The run leaves the command ready for the next configuration.
    EXPECT_FALSE(cmd.request().firmwareFile || cmd.request().defaultFile ||
                 cmd.request().voiceFile);
    EXPECT_TRUE(cmd.progress.steps.none());
    EXPECT_EQ(cmd.request().keepBlocks, b.keepList());

    // What was sent, in order: the protection values of the radio type, the
    // line-rate switches with their W flags, the closing of the flash work
    // (status, test mode, the commit of the default block) and, on type 2,
    // the write-back of the user-defined voice, then the finish.
    const std::map<int, std::vector<std::string>> protections = {
        {0, {"protect 0x800", "protect 0x840", "protect 0x440"}},
        {1, {"protect 0x1000", "protect 0x3000", "protect 0x840"}},
        {2, {"protect 0x3040", "protect 0x3000", "protect 0x3400", "protect 0x1040"}}};
    EXPECT_EQ(described(b, [](auto& t) { return startsWith(t, "protect"); }), protections.at(type));

    std::vector<std::string> rates = {"rate 240000 W0", "rate 16406 W1"};
    if (type == 2)
        rates.insert(rates.end(), {"rate 240000 W0", "rate 16406 W1"});
    EXPECT_EQ(described(b, [](auto& t) { return startsWith(t, "rate"); }), rates);

    // From the switch back to 16406 to the first write-back of memory.
    const auto all = described(b, [](auto&) { return true; });
    const auto home = std::find(all.begin(), all.end(), "rate 16406 W1");
    ASSERT_NE(home, all.end());
    const auto restore = std::find(home, all.end(), "memory write");
    EXPECT_EQ(std::vector<std::string>(home, restore),
              (std::vector<std::string>{"rate 16406 W1", "status 1", "test 1", "softport 0x2e V0",
                                        "softport 0x27 V0"}));

    // After the last write-back of memory: the user-defined voice (type 2),
    // the three windows read back in 200-byte pieces, then the finish.
    const auto lastWrite = std::find(all.rbegin(), all.rend(), "memory write").base();
    std::vector<std::string> expected;
    if (type == 2) {
        const std::uint32_t voice = flashLayout(2, BlockKind::USERVOI);
        expected = {"test 8", "protect 0x3400", "rate 240000 W0"};
        for (std::uint32_t k = 0; k < 14; ++k)
            expected.push_back(fmt::format("erase 4K {:#x}", voice + k * 0x1000));
        for (std::uint32_t k = 0; k < 14; ++k)
            expected.push_back(fmt::format("write {:#x}", voice + k * 0x1000));
        expected.push_back("rate 16406 W1");
    }
    expected.insert(expected.end(), 3 * ((kWindowSize + 199) / 200), "memory read");
    expected.insert(expected.end(),
                    {"softport 0x1f V10", protections.at(type).back(), "status 0", "status 1"});
    EXPECT_EQ(std::vector<std::string>(lastWrite, all.end()), expected);
}

INSTANTIATE_TEST_SUITE_P(RadioTypes, FullUpdate, ::testing::Values(0, 1, 2));

TEST(CmdProgram, WithoutAnOpenPortNothingReachesTheRadio) {
    ProgramBench b(2);
    CmdProgram cmd;
    b.configureFull(cmd);
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_TRUE(b.sim->requestLog().empty());
    EXPECT_TRUE(b.hasError("Error:no port is connected."));
    const auto errors = errorEntries();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back().message, "Finalize flashing data.");
    EXPECT_EQ(errors.back().category, static_cast<std::int32_t>(ErrorCategory::Update));
    EXPECT_EQ(b.owner.count(WM_CMD_BEGIN), 1u);
    EXPECT_EQ(b.owner.count(WM_CMD_END), 1u);
}

TEST(CmdProgram, AKeepBlockOutsideItsWindowFailsBeforeAnyWrite) {
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    CmdProgram cmd;
    b.configureFull(cmd);
    b.changeRequest(cmd, [](ProgramRequest& r) { r.keepBlocks = {{0, 0, 0}}; });
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_TRUE(
        b.hasError("Error:the address or lenth of block [DYN] configured is not matched "
                   "to the address map."));
    EXPECT_TRUE(entries(b, writesRadio).empty());
    EXPECT_EQ(b.personality(), b.before);
    EXPECT_EQ(b.sim->lineRate(), 16406u);
}

TEST(CmdProgram, FirmwareOnlyOnTypeOneStillErasesTheDynamicArea) {
    ProgramBench b(1);
    ASSERT_TRUE(b.connect());
    CmdProgram cmd;
    b.configureFiles(cmd);
    b.changeRequest(cmd, [&b](ProgramRequest& r) {
        r.keepUserInfo = false;
        r.firmwareFile = b.firmwareFile;
    });
    b.sim->clearRequestLog();
    ASSERT_TRUE(b.runCommand(cmd)) << allErrorTexts();

    const auto log = b.sim->requestLog();
    const auto protection = entries(b, [](const RequestLogEntry& e) { return isFlash(e, 8); });
    ASSERT_FALSE(protection.empty());
    EXPECT_EQ(*protection.front().address, 0x1000u);

    const auto erases = entries(b, isErase);
    std::vector<std::uint32_t> blocks;
    for (const auto& e : erases) {
        EXPECT_EQ(e.subFunction, 6);
        blocks.push_back(*e.address);
    }
    EXPECT_EQ(blocks, (std::vector<std::uint32_t>{0, 0x10000, 0x20000, 0x30000, 0x40000, 0x50000,
                                                  0xE0000}));

    std::vector<std::uint32_t> writes;
    for (const auto& e : entries(b, [](const RequestLogEntry& e) { return isFlash(e, 1); }))
        writes.push_back(*e.address);
    std::vector<std::uint32_t> expected;
    for (std::uint32_t a = 2; a < b.firmware.size(); a += 0x1000)
        expected.push_back(a);
    expected.push_back(0);
    EXPECT_EQ(writes, expected);
    EXPECT_EQ(b.sim->flash(0, b.firmware.size()), b.firmware);
    // Without the default block the status word is read but no commit is sent.
    EXPECT_TRUE(entries(b, [](const RequestLogEntry& e) { return isSoftport(e, 0x2E); }).empty());
}

class StatusWordBits : public ::testing::TestWithParam<std::uint16_t> {};

TEST_P(StatusWordBits, FailAtFinalizing) {
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    b.sim->setStatusWord(GetParam());
    CmdProgram cmd;
    b.configureFiles(cmd);
    b.changeRequest(cmd, [&b](ProgramRequest& r) {
        r.keepUserInfo = false;
        r.defaultFile = b.defaultFile;
    });
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_EQ(cmd.statusWord(), GetParam());
    EXPECT_EQ(errorEntries().back().message, "Finalize flashing data.");
    EXPECT_EQ(b.sim->lineRate(), 16406u);
    const auto log = b.sim->requestLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_TRUE(isStatus(log[log.size() - 2], 0));
    EXPECT_TRUE(isStatus(log.back(), 1));
}

INSTANTIATE_TEST_SUITE_P(Bits, StatusWordBits, ::testing::Values(0x0080, 0x0200));

TEST(CmdProgram, WithoutABackupFolderTheRunStopsBeforeAnyErase) {
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    CmdProgram cmd;
    b.configureFull(cmd);
    b.changeRequest(cmd, [](ProgramRequest& r) { r.backupFolder.clear(); });
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_TRUE(b.hasError("Error:no folder is set for the personality backup."));
    EXPECT_TRUE(entries(b, writesRadio).empty());
}

// Only the firmware area is erased: an image longer than it (the image check
// alone takes up to 2 MiB) would be programmed over the areas behind it.
TEST(CmdProgram, AFirmwareImageLongerThanTheFirmwareAreaStopsBeforeAnyErase) {
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    const Bytes longImage = firmwareImage(49);
    ASSERT_GT(longImage.size(), 0x60000u);
    std::string error;
    ASSERT_TRUE(writeFtf(b.firmwareFile, 3, "FW", longImage, error)) << error;
    CmdProgram cmd;
    b.configureFull(cmd);
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_TRUE(b.hasError(fmt::format(
        "Error:the firmware image of [{}] is longer than the firmware area (393216 bytes).",
        b.firmwareFile)));
    EXPECT_TRUE(entries(b, writesRadio).empty());
    EXPECT_EQ(b.personality(), b.before);
}

TEST(CmdProgram, AnUnknownRadioTypeStopsBeforeAnyErase) {
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    b.sim->setRadioType(3);
    CmdProgram cmd;
    b.configureFull(cmd);
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_TRUE(b.hasError("Error:the radio type 3 is not supported."));
    EXPECT_TRUE(entries(b, writesRadio).empty());
}

TEST(CmdProgram, ARefusedTestModeRequestLeavesTheRadioTypeUnread) {
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    const std::uint64_t next = b.sim->requestLog().back().number + 1;
    b.sim->setFaults({{sim::FaultKind::WrongOpcode, sim::FaultTrigger::Request, next, 0, 0x95, 2}});
    CmdProgram cmd;
    b.configureFull(cmd);
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_TRUE(b.hasError("Error:failed to read the radio type."));
    EXPECT_TRUE(entries(b, writesRadio).empty());
}

TEST(CmdProgram, AFailingUserVoiceEraseNamesTheSectorAndRestoresTheLineRate) {
    const std::uint32_t third = flashLayout(2, BlockKind::USERVOI) + 0x2000;
    const std::uint64_t at = requestNumber(
        2, [&](const RequestLogEntry& e) { return isFlash(e, 4) && e.address == third; });
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    b.sim->setFaults({{sim::FaultKind::WrongOpcode, sim::FaultTrigger::Request, at, 0, 0x8C, 2}});
    CmdProgram cmd;
    b.configureFull(cmd);
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_TRUE(b.hasError("Error:failed to erase user-defined voice sector [2]."));
    EXPECT_EQ(errorEntries().back().message, "Restore user-infor.");
    EXPECT_EQ(b.sim->lineRate(), 16406u);
    EXPECT_TRUE(b.hasError(
        fmt::format("Error:the radio's personality is saved in [{}].", cmd.backupPath())));
    expectRestoredFromBackup(b, cmd.backupPath());
}

// A reply delayed past the read time-out arrives while later requests are
// under way. It must not be taken for their answer: the line-rate switch
// back to 16406 once took it for a refusal, and the run stalled for over a
// minute and ended with radio and cable at different rates.
TEST(CmdProgram, ALateReplyIsNotTakenForALaterRequestsAnswer) {
    const std::uint64_t at = requestNumber(
        2, [](auto& e) { return e.opcode == 0x11; }, 5);
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    b.sim->setFaults({{sim::FaultKind::Delay, sim::FaultTrigger::Request, at, 0, 1041, 1}});
    CmdProgram cmd;
    b.configureFull(cmd);
    const auto start = std::chrono::steady_clock::now();
    b.runCommand(cmd);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(b.sim->lineRate(), 16406u);
    EXPECT_EQ(b.radio->cable().baudRate(), 16406u);
    EXPECT_EQ(b.personality(), b.before);
}

// Faults at many points of a full update on a radio of type 2: the run
// fails cleanly, and whatever it had erased, the backup brings back.
struct FaultPoint {
    const char* name;
    std::function<bool(const RequestLogEntry&)> match;
    int occurrence;
    bool afterFirstErase;
};

class FaultInjection : public ::testing::TestWithParam<std::tuple<sim::FaultKind, std::size_t>> {};

const std::vector<FaultPoint>& faultPoints() {
    static const std::vector<FaultPoint> points = {
        {"personality read", [](auto& e) { return e.opcode == 0x11; }, 5, false},
        {"user voice read", [](auto& e) { return isFlash(e, 3); }, 3, false},
        {"firmware erase", isErase, 2, true},
        {"firmware write", [](auto& e) { return isFlash(e, 1); }, 4, true},
        {"dynamic area erase", [](auto& e) { return isFlash(e, 6) && e.address == 0x180000u; }, 0,
         true},
        {"voice write", [](auto& e) { return isFlash(e, 1) && e.address == 0x91000u; }, 0, true},
        {"personality write", [](auto& e) { return e.opcode == 0x17; }, 7, true},
        {"user voice write", [](auto& e) { return isFlash(e, 1) && e.address == 0x11A000u; }, 0,
         true},
        {"test mode before the write-back",
         [](auto& e) { return e.opcode == 0x22 && e.subFunction == 1; }, 0, true},
        {"personality reload", [](auto& e) { return isSoftport(e, 0x1F); }, 0, true},
    };
    return points;
}

TEST_P(FaultInjection, TheRunFailsCleanlyAndThePersonalityCanBeRestored) {
    const auto [kind, index] = GetParam();
    const FaultPoint& point = faultPoints()[index];
    SCOPED_TRACE(point.name);
    const std::uint64_t at = requestNumber(2, point.match, point.occurrence);
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    // Both trials of the request get a wrong answer; a pulled cable stays
    // pulled.
    b.sim->setFaults({{kind, sim::FaultTrigger::Request, at, 0, 0, 2}});
    CmdProgram cmd;
    b.configureFull(cmd);
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_FALSE(errorEntries().empty());
    EXPECT_EQ(b.owner.count(WM_CMD_END), 1u);
    const auto positions = b.progressPositions();
    ASSERT_GE(positions.size(), 2u);
    EXPECT_EQ(positions.back(), 0u);

    if (kind == sim::FaultKind::CorruptChecksum) {
        // The link survived: the closing requests reached the radio.
        const auto log = b.sim->requestLog();
        ASSERT_GE(log.size(), 2u);
        EXPECT_TRUE(isStatus(log[log.size() - 2], 0));
        EXPECT_TRUE(isStatus(log.back(), 1));
        EXPECT_EQ(b.sim->lineRate(), 16406u);
    }
    if (point.afterFirstErase) {
        EXPECT_TRUE(b.hasError(
            fmt::format("Error:the radio's personality is saved in [{}].", cmd.backupPath())));
        expectRestoredFromBackup(b, cmd.backupPath());
    } else {
        EXPECT_TRUE(cmd.backupPath().empty());
        EXPECT_TRUE(entries(b, isErase).empty());
        EXPECT_EQ(b.personality(), b.before);
    }
}

INSTANTIATE_TEST_SUITE_P(Points, FaultInjection,
                         ::testing::Combine(::testing::Values(sim::FaultKind::CorruptChecksum,
                                                              sim::FaultKind::PullCable),
                                            ::testing::Range<std::size_t>(0, 10)));

// The default block is committed with 0x2E; 0x27 follows only while bit
// 0x0040 of the status word is clear.
TEST(CmdProgram, SoftPort27FollowsTheCommitOnlyWhenStatusBit40IsClear) {
    for (const std::uint16_t word : {0x0040, 0x0041, 0xFD7F, 0x0000, 0x0008, 0xFD3F}) {
        SCOPED_TRACE(word);
        ProgramBench b(1);
        ASSERT_TRUE(b.connect());
        b.sim->setStatusWord(word);
        CmdProgram cmd;
        b.configureFiles(cmd);
        b.changeRequest(cmd, [&b](ProgramRequest& r) {
            r.keepUserInfo = false;
            r.defaultFile = b.defaultFile;
        });
        b.sim->clearRequestLog();
        ASSERT_TRUE(b.runCommand(cmd)) << allErrorTexts();
        std::vector<std::string> commit{"softport 0x2e V0"};
        if ((word & 0x0040) == 0)
            commit.push_back("softport 0x27 V0");
        EXPECT_EQ(described(b, [](auto& t) { return startsWith(t, "softport"); }), commit);
    }
}

// The messages of a failed read or write of the personality, and of a user
// voice range that does not fit the radio.
TEST(CmdProgram, PersonalityTransferFailuresNameTheBlock) {
    struct Case {
        const char* name;
        std::function<bool(const RequestLogEntry&)> match;
        int occurrence;
        const char* message;
    };
    const Case cases[] = {
        {"memory read", [](auto& e) { return e.opcode == 0x11; }, 5,
         "Error:failed to read blok [DYN]."},
        {"memory read of CH", [](auto& e) { return e.opcode == 0x11; }, 30,
         "Error:failed to read blok [CH]."},
        {"user voice read", [](auto& e) { return isFlash(e, 3); }, 3,
         "Error:failed to read blok [USERVOI]."},
        {"memory write", [](auto& e) { return e.opcode == 0x17; }, 7,
         "Error:failed to write block [DYN]"},
        {"user voice write", [](auto& e) { return isFlash(e, 1) && e.address == 0x11A000u; }, 0,
         "Error:failed to write block [USERVOI]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t at = requestNumber(2, c.match, c.occurrence);
        ProgramBench b(2);
        ASSERT_TRUE(b.connect());
        b.sim->setFaults(
            {{sim::FaultKind::CorruptChecksum, sim::FaultTrigger::Request, at, 0, 0, 2}});
        CmdProgram cmd;
        b.configureFull(cmd);
        EXPECT_FALSE(b.runCommand(cmd));
        EXPECT_TRUE(b.hasError(c.message)) << allErrorTexts();
    }

    const std::uint32_t voice = flashLayout(2, BlockKind::USERVOI);
    for (const KeepBlock& wrong :
         {KeepBlock{9, static_cast<std::int32_t>(voice), 0xD801},
          KeepBlock{9, static_cast<std::int32_t>(voice) + 0x1000, 0x100}}) {
        ProgramBench b(2);
        ASSERT_TRUE(b.connect());
        CmdProgram cmd;
        b.configureFull(cmd);
        b.changeRequest(cmd, [&wrong](ProgramRequest& r) { r.keepBlocks = {wrong}; });
        EXPECT_FALSE(b.runCommand(cmd));
        EXPECT_TRUE(
            b.hasError("Error:the lenth of block [USERVOI] configured is not matched to "
                       "the address map."))
            << allErrorTexts();
        EXPECT_TRUE(entries(b, writesRadio).empty());
    }
}

// The window keeps one CmdProgram for its life: after a failed run the same
// object, configured again, runs a whole update as a new one would.
TEST(CmdProgram, TheSameCommandRunsAgainAfterAFailedRun) {
    const std::uint64_t at = requestNumber(
        2, [](auto& e) { return isFlash(e, 3); }, 3);
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    b.sim->setFaults({{sim::FaultKind::CorruptChecksum, sim::FaultTrigger::Request, at, 0, 0, 2}});
    CmdProgram cmd;
    b.configureFull(cmd);
    ASSERT_FALSE(b.runCommand(cmd));
    const std::string failedRunBackup = cmd.backupPath();

    removeErrors(0);
    b.sim->clearRequestLog();
    ASSERT_TRUE(b.connect());
    cmd.progress.total = 100;
    cmd.progress.base = 0;
    b.configureFull(cmd);
    ASSERT_TRUE(b.runCommand(cmd)) << allErrorTexts();
    EXPECT_EQ(errorCount(), 0u);
    EXPECT_EQ(b.sim->flash(0, b.firmware.size()), b.firmware);
    EXPECT_EQ(b.sim->flash(flashLayout(2, BlockKind::DEF), kWindowSize), b.defaultBlock);
    EXPECT_EQ(b.sim->flash(flashLayout(2, BlockKind::VOI), kVoiSize), b.voice);
    EXPECT_EQ(b.personality(), b.before);
    // The second run names its own backup, not the failed run's.
    EXPECT_NE(cmd.backupPath(), failedRunBackup);
    EXPECT_TRUE(std::filesystem::exists(cmd.backupPath()));
    EXPECT_EQ(cmd.stageText(), "Restore user-infor.");
    EXPECT_FLOAT_EQ(cmd.progress.scale, 100.0f / 26.0f);
    const auto positions = b.progressPositions();
    ASSERT_GE(positions.size(), 2u);
    EXPECT_EQ(positions[positions.size() - 2], 100u);
    EXPECT_EQ(described(b, [](auto& t) { return startsWith(t, "protect"); }),
              (std::vector<std::string>{"protect 0x3040", "protect 0x3000", "protect 0x3400",
                                        "protect 0x1040"}));
}

}  // namespace
}  // namespace vkt::testing
