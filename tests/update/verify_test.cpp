// Reading flash back after writing it, on its own and inside an update, and
// the read-back of the personality that every update does.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/update/program_bench.h"
#include "update/cmd_program.h"
#include "update/cmd_verify.h"
#include "update/radio_traits.h"

namespace vkt::testing {
namespace {

void configureVerify(const ProgramBench& b, CmdVerify& cmd) {
    cmd.radio = b.radio.get();
    cmd.addressFile = b.addressFile;
    cmd.files = {b.firmwareFile, b.defaultFile, b.voiceFile};
}

// Index of the first request in the log that `match` accepts; the log's
// size when none does.
template <typename Match>
std::size_t firstIndex(const std::vector<RequestLogEntry>& log, Match match) {
    return static_cast<std::size_t>(std::find_if(log.begin(), log.end(), match) - log.begin());
}

bool isRate(const RequestLogEntry& e, std::uint32_t rate) {
    return isSoftport(e, 0x2A) && e.address == rate;
}

const ErrorEntry* findCategory(ErrorCategory category) {
    static std::vector<ErrorEntry> entries;
    entries = errorEntries();
    for (const auto& e : entries)
        if (e.category == static_cast<std::int32_t>(category))
            return &e;
    return nullptr;
}

// A radio that stores one flash bit of the voice window wrongly: an update
// without verification succeeds; verifying finds the bit, and only reads.
TEST(Verify, ACorrectRadioVerifiesAndAFlippedVoiceBitIsFoundAtItsAddress) {
    ProgramBench b(1);
    const std::uint32_t voi = flashLayout(1, BlockKind::VOI);
    const std::uint32_t flipped = voi + 0x5123;
    ASSERT_TRUE(b.connect());
    CmdProgram update;
    b.configureFull(update);
    ASSERT_TRUE(b.runCommand(update)) << allErrorTexts();
    removeErrors(0);

    CmdVerify verify;
    configureVerify(b, verify);
    b.sim->clearRequestLog();
    ASSERT_TRUE(b.runCommand(verify)) << allErrorTexts();
    const VerifyReport& good = verify.report();
    ASSERT_EQ(good.areas.size(), 3u);
    const std::vector<std::pair<std::string, std::uint32_t>> expected = {
        {"firmware", static_cast<std::uint32_t>(b.firmware.size())},
        {"DEF", kWindowSize},
        {"VOI", kVoiSize}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(good.areas[i].name, expected[i].first);
        EXPECT_EQ(good.areas[i].length, expected[i].second);
        EXPECT_EQ(good.areas[i].compared, expected[i].second);
        EXPECT_TRUE(good.areas[i].matches());
    }
    EXPECT_EQ(good.areas[1].address, flashLayout(1, BlockKind::DEF));
    EXPECT_EQ(good.areas[2].address, voi);

    // Test mode for the radio type, the work rate, reads only, the rate back.
    const auto log = b.sim->requestLog();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(log.front().opcode, 0x22);
    EXPECT_EQ(log.front().subFunction, 8);
    EXPECT_TRUE(isRate(log[1], 240000));
    EXPECT_TRUE(isRate(log.back(), 16406));
    EXPECT_TRUE(std::all_of(log.begin() + 2, log.end() - 1,
                            [](const RequestLogEntry& e) { return isFlash(e, 3); }));
    EXPECT_EQ(b.sim->lineRate(), 16406u);
    EXPECT_EQ(b.radio->cable().baudRate(), 16406u);

    // Write the voice again through a radio with one bad cell.
    b.sim->setStorageFaults({flipped, 0x10, std::nullopt});
    CmdProgram again;
    b.configureFiles(again);
    b.changeRequest(again, [&b](ProgramRequest& r) {
        r.keepUserInfo = false;
        r.voiceFile = b.voiceFile;
    });
    ASSERT_TRUE(b.runCommand(again)) << allErrorTexts();
    removeErrors(0);
    const auto flash = b.sim->flash(0, b.sim->flashSize());
    b.sim->clearRequestLog();

    EXPECT_FALSE(b.runCommand(verify));
    const VerifyReport& bad = verify.report();
    ASSERT_EQ(bad.areas.size(), 3u);
    EXPECT_TRUE(bad.areas[0].matches());
    EXPECT_TRUE(bad.areas[1].matches());
    EXPECT_EQ(bad.areas[2].firstDifference, flipped);
    EXPECT_EQ(bad.areas[2].differing, 1u);
    EXPECT_EQ(bad.areas[2].compared, kVoiSize);  // read on past the difference
    const ErrorEntry* flashError = findCategory(ErrorCategory::Flash);
    ASSERT_NE(flashError, nullptr);
    EXPECT_NE(flashError->message.find(fmt::format("0x{:06X}", flipped)), std::string::npos)
        << flashError->message;
    // Verifying changed nothing.
    EXPECT_EQ(b.sim->flash(0, b.sim->flashSize()), flash);
    const auto verifyLog = b.sim->requestLog();
    EXPECT_TRUE(std::none_of(verifyLog.begin(), verifyLog.end(), writesRadio));
    EXPECT_EQ(b.sim->lineRate(), 16406u);
}

// Verification inside the update: after the last flash write, still at the
// work rate, before the closing requests.
TEST(Verify, AnUpdateThatVerifiesReadsBackAfterWritingAndBeforeClosing) {
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    CmdProgram cmd;
    b.configureFull(cmd);
    b.changeRequest(cmd, [](ProgramRequest& r) { r.verifyFlash = true; });
    ASSERT_TRUE(b.runCommand(cmd)) << allErrorTexts();
    ASSERT_EQ(cmd.verifyReport().areas.size(), 3u);
    EXPECT_TRUE(cmd.verifyReport().matches());
    EXPECT_EQ(cmd.verifyReport().bytesRead(), b.firmware.size() + kWindowSize + kVoiSize);
    EXPECT_FALSE(cmd.request().verifyFlash);  // cleared with the other choices of the run
    const auto log = b.sim->requestLog();
    const std::size_t home = firstIndex(log, [](auto& e) { return isRate(e, 16406); });
    const std::size_t afterLastVoiceWrite =
        log.rend() - std::find_if(log.rbegin(), log.rend(), [](auto& e) {
            return isFlash(e, 1) && e.address >= flashLayout(2, BlockKind::VOI) &&
                   *e.address < flashLayout(2, BlockKind::VOI) + kVoiSize;
        });
    const std::size_t firstRead =
        firstIndex(log, [&](auto& e) { return isFlash(e, 3) && e.address == 0u; });
    EXPECT_LE(afterLastVoiceWrite, firstRead);
    EXPECT_LT(firstRead, home);
    const auto positions = b.progressPositions();
    EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end() - 1));
}

// A difference found while updating fails the run with a FLASH message, and
// the personality backup stays.
TEST(Verify, ADifferenceFoundWhileUpdatingFailsTheRunAndKeepsTheBackup) {
    ProgramBench f(2);
    const std::uint32_t flipped = flashLayout(2, BlockKind::VOI) + 0x7FFF;
    f.sim->setStorageFaults({flipped, 0x01, std::nullopt});
    ASSERT_TRUE(f.connect());
    CmdProgram failing;
    f.configureFull(failing);
    f.changeRequest(failing, [](ProgramRequest& r) { r.verifyFlash = true; });
    EXPECT_FALSE(f.runCommand(failing));
    ASSERT_EQ(failing.verifyReport().areas.size(), 3u);
    EXPECT_EQ(failing.verifyReport().areas[2].firstDifference, flipped);
    // The first message is ours, so the failure is shown as a flash one.
    const auto errors = errorEntries();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.front().category, static_cast<std::int32_t>(ErrorCategory::Flash));
    EXPECT_FALSE(failing.backupPath().empty());
    EXPECT_TRUE(std::filesystem::exists(failing.backupPath()));
    EXPECT_EQ(f.sim->lineRate(), 16406u);
    const auto failedLog = f.sim->requestLog();
    ASSERT_GE(failedLog.size(), 2u);
    EXPECT_TRUE(isStatus(failedLog.back(), 1));
}

// A radio that stores a personality window wrongly fails the update, and
// the backup that holds the right bytes stays.
TEST(Verify, APersonalityWindowStoredWronglyFailsTheUpdateAndKeepsTheBackup) {
    ProgramBench b(0);
    const std::uint32_t bad = kChAddress + 0x345;
    b.sim->setStorageFaults({std::nullopt, 0x01, bad});
    ASSERT_TRUE(b.connect());
    CmdProgram cmd;
    b.configureFull(cmd);
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_TRUE(b.hasError(fmt::format(
        "Error:block [CH] reads back different from the personality backup at address 0x{:06X}.",
        bad)));
    ASSERT_FALSE(cmd.backupPath().empty());
    EXPECT_EQ(b.backupFiles(), std::vector<std::string>{cmd.backupPath()});
    PersonalityBackup backup;
    ASSERT_TRUE(readPersonalityBackup(cmd.backupPath(), backup));
    ASSERT_NE(backup.record(6), nullptr);
    EXPECT_EQ(backup.record(6)->bytes, b.before.ch);
    // The closing requests still went out.
    EXPECT_EQ(b.sim->lineRate(), 16406u);
    EXPECT_TRUE(isStatus(b.sim->requestLog().back(), 1));
}

}  // namespace
}  // namespace vkt::testing
