// Updates that break off and what the next update does about it: the
// failure message names the backup and the next step, the journal keeps the
// pending run, and the user's plain update (after switching the radio off
// and on) writes the personality and the serial number back in a full
// update, whatever versions the half-written radio reports.
#include <gtest/gtest.h>

#include "app_test_support.h"

namespace vkt::testing {
namespace {

constexpr std::uint32_t kDyn = 0x820000;
constexpr std::uint32_t kUserVoice = 0x117000;

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return out;
}

// What the demo package keeps: DYN, CH and FRE (0x800 each) and the user
// voice (0x2000 bytes in flash).
struct Personality {
    std::vector<std::uint8_t> dyn, ch, fre, userVoice;
    bool operator==(const Personality&) const = default;
};

Personality personalityOf(const sim::SimRadio& radio) {
    return {radio.memory(kDyn, 0x800), radio.memory(kDyn + 0x1000, 0x800),
            radio.memory(kDyn + 0x2000, 0x800), radio.flash(kUserVoice, 0x2000)};
}

void givePersonality(sim::SimRadio& radio) {
    radio.loadMemory(kDyn, pattern(0x800, 1));
    radio.loadMemory(kDyn + 0x1000, pattern(0x800, 2));
    radio.loadMemory(kDyn + 0x2000, pattern(0x800, 3));
    radio.loadFlash(kUserVoice, pattern(0x2000, 4));
}

// The request number of the first request in a clean update that matches
// `match` (runs are deterministic, so it hits the same request on a fresh
// bench). The clean update leaves no journal and no backup behind.
std::uint64_t requestNumber(PackageCopy& package,
                            const std::function<bool(const sim::RequestLogEntry&)>& match) {
    std::vector<sim::RequestLogEntry> log;
    {
        Bench bench(package);
        givePersonality(*bench.radio);
        bench.front.answers = {ButtonId::Yes};
        EXPECT_TRUE(bench.controller->onUpdate().ok());
        log = bench.radio->requestLog();
    }
    fs::remove(updateJournalPath(package.dataDir()));
    fs::remove_all(fs::path(package.dataDir()) / "backup");
    for (const auto& e : log)
        if (match(e))
            return e.number;
    ADD_FAILURE() << "no such request";
    return 0;
}

bool isDynErase(const sim::RequestLogEntry& e) {
    return e.opcode == 0x72 && e.subFunction == 6 && e.address == sim::dynFlashAddress(2);
}
bool isMemoryWrite(const sim::RequestLogEntry& e) {
    return e.opcode == 0x17;
}
bool erasesOrWrites(const sim::SimRadio& radio) {
    for (const auto& e : radio.requestLog())
        if (e.opcode == 0x17 ||
            (e.opcode == 0x72 && (e.subFunction == 1 || e.subFunction == 4 || e.subFunction == 6)))
            return true;
    return false;
}

class Recovery : public ::testing::Test {
  protected:
    // Pulls the cable at request `at` of the next update.
    static void pullAt(Bench& bench, std::uint64_t at) {
        sim::Fault pull;
        pull.kind = sim::FaultKind::PullCable;
        pull.at = at;
        bench.radio->setFaults({pull});
    }
    // The user plugs the cable back in and switches the radio off and on.
    static void powerCycle(Bench& bench) {
        bench.radio->setFaults({});
        bench.radio->replug();
        bench.radio->powerCycle();
        bench.radio->clearRequestLog();
        bench.front.messages.clear();
    }
    std::vector<JournalRun> journalRuns() {
        UpdateJournal journal(bench_journal());
        std::string error;
        EXPECT_TRUE(journal.open(error)) << error;
        return journal.runs();
    }
    std::string bench_journal() const { return updateJournalPath(package.dataDir()); }

    PackageCopy package;
};

TEST_F(Recovery, APulledCableAfterTheEraseIsRecoveredByThePlainUpdate) {
    const std::uint64_t dynErase = requestNumber(package, isDynErase);
    Bench bench(package);
    givePersonality(*bench.radio);
    const Personality before = personalityOf(*bench.radio);
    pullAt(bench, dynErase + 1);
    bench.front.answers = {ButtonId::Yes};
    const FlowOutcome failed = bench.controller->onUpdate();
    EXPECT_EQ(failed.kind, FlowOutcome::Kind::Failed);
    ASSERT_FALSE(failed.backupFile.empty());
    EXPECT_EQ(fs::path(failed.backupFile).parent_path(),
              fs::path(package.dataDir()) / "backup" / "123ABC0001");
    EXPECT_EQ(failed.text, "Update failed.\n\nThe radio's personality is saved in " +
                               failed.backupFile +
                               ". Switch the radio off and on, then click \"Update\" again.");
    auto runs = journalRuns();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].state, RunState::Failed);
    EXPECT_TRUE(runs[0].pending());
    EXPECT_EQ(runs[0].backupFile, failed.backupFile);
    EXPECT_EQ(runs[0].serial, "123ABC0001");
    EXPECT_EQ(runs[0].firmware, "R01.02.03");
    EXPECT_EQ(runs[0].errorCategory, "SBEP") << runs[0].errorTexts.front();
    EXPECT_FALSE(runs[0].files.empty());

    // Get Radio Information sees the pending run.
    powerCycle(bench);
    EXPECT_TRUE(bench.controller->onGetRadioInfo().pendingRun.has_value());

    powerCycle(bench);
    bench.front.answers = {ButtonId::Yes};
    const FlowOutcome again = bench.controller->onUpdate();
    EXPECT_TRUE(again.ok()) << again.text;
    ASSERT_GE(bench.front.messages.size(), 2u);
    EXPECT_EQ(bench.front.messages[0].style, MessageStyle::Info);
    EXPECT_EQ(bench.front.messages[0].text.rfind("This radio's last update was interrupted on ", 0),
              0u)
        << bench.front.messages[0].text;
    EXPECT_NE(bench.front.messages[0].text.find(
                  "; its personality from before that update will be restored."),
              std::string::npos);
    EXPECT_EQ(personalityOf(*bench.radio), before);
    EXPECT_EQ(bench.radio->serialNumber(), "123ABC0001");
    // The wiped windows are never read before the backup is written back;
    // afterwards they are read to check what the radio stored.
    const auto log = bench.radio->requestLog();
    const auto firstWrite =
        std::find_if(log.begin(), log.end(), [](const auto& e) { return e.opcode == 0x17; });
    EXPECT_TRUE(std::none_of(log.begin(), firstWrite, [](const auto& e) {
        return e.opcode == 0x11;
    })) << "the wiped windows are read before they are written back";

    runs = journalRuns();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].state, RunState::Succeeded);
    EXPECT_EQ(runs[0].recovers, runs[1].id);
    EXPECT_EQ(runs[0].backupFile, failed.backupFile);
    EXPECT_EQ(runs[1].state, RunState::Recovered);
    EXPECT_TRUE(fs::exists(failed.backupFile)) << "kept as the radio's latest personality";
    EXPECT_TRUE(bench.controller->pendingRuns().empty());
}

// The cable is pulled during the write-back: the firmware was adopted and
// the codeplug committed, so the radio reports the package's versions and
// the default serial number.
TEST_F(Recovery, AHalfWrittenRadioWithThePackagesVersionsAndAnotherSerialIsRecovered) {
    const std::uint64_t writeBack = requestNumber(package, isMemoryWrite);
    Bench bench(package);
    givePersonality(*bench.radio);
    const Personality before = personalityOf(*bench.radio);
    pullAt(bench, writeBack);
    bench.front.answers = {ButtonId::Yes};
    EXPECT_EQ(bench.controller->onUpdate().kind, FlowOutcome::Kind::Failed);
    EXPECT_EQ(bench.radio->serialNumber(), kDefaultSerialNumber);

    powerCycle(bench);
    ASSERT_EQ(bench.controller->onGetRadioInfo().kind, FlowOutcome::Kind::Done);
    EXPECT_EQ(bench.controller->display().firmwareVersion, "R01.02.04");
    EXPECT_EQ(bench.controller->display().codeplugVersion, "R01.02.04");

    // Without a journal this radio would be "the latest"; with it, the
    // model's pending run is offered and a full update runs.
    powerCycle(bench);
    bench.front.answers = {ButtonId::Yes, ButtonId::Yes};
    EXPECT_TRUE(bench.controller->onUpdate().ok());
    const auto questions = bench.front.questions();
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_NE(questions[0].text.find("This radio reports the serial number 158THL0001."),
              std::string::npos)
        << questions[0].text;
    EXPECT_NE(questions[0].text.find("serial number 123ABC0001"), std::string::npos);
    EXPECT_EQ(personalityOf(*bench.radio), before);
    EXPECT_EQ(bench.radio->serialNumber(), "123ABC0001");
    bool firmware = false;
    for (const auto& e : bench.radio->requestLog())
        firmware = firmware || (e.opcode == 0x72 && e.subFunction == 6 && e.address == 0u);
    EXPECT_TRUE(firmware) << "a full update";
    EXPECT_TRUE(bench.controller->pendingRuns().empty());
}

TEST_F(Recovery, AStopBeforeTheEraseChangesNothingAndAStopAfterItNeedsARecovery) {
    {
        Bench bench(package);
        givePersonality(*bench.radio);
        bench.front.duringWait = [&] {
            EXPECT_EQ(bench.controller->onStopRequest().kind, StopReply::Kind::Stopping);
        };
        bench.front.answers = {ButtonId::Yes};
        const FlowOutcome outcome = bench.controller->onUpdate();
        EXPECT_EQ(outcome.kind, FlowOutcome::Kind::Interrupted);
        EXPECT_EQ(outcome.text,
                  "The update was stopped before anything was written; nothing on the radio was "
                  "changed.");
        EXPECT_TRUE(outcome.backupFile.empty());
        EXPECT_FALSE(erasesOrWrites(*bench.radio));
        EXPECT_EQ(bench.radio->lineRate(), 16406u);
        auto runs = journalRuns();
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].state, RunState::Interrupted);
        EXPECT_FALSE(runs[0].pending());
    }
    Bench bench(package);
    givePersonality(*bench.radio);
    const Personality before = personalityOf(*bench.radio);
    std::vector<StopReply> replies;
    bench.front.onProgress = [&](int) {
        if (bench.controller->program().eraseStarted() && replies.size() < 2)
            replies.push_back(bench.controller->onStopRequest());
    };
    bench.front.answers = {ButtonId::Yes};
    const FlowOutcome outcome = bench.controller->onUpdate();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].kind, StopReply::Kind::Continuing);
    EXPECT_GT(replies[0].secondsLeft, 0);
    EXPECT_EQ(replies[1].kind, StopReply::Kind::Stopping);
    EXPECT_TRUE(replies[1].afterErase);
    EXPECT_EQ(outcome.kind, FlowOutcome::Kind::Interrupted);
    EXPECT_EQ(outcome.text, "The update was stopped.\n\nThe radio's personality is saved in " +
                                outcome.backupFile +
                                ". Switch the radio off and on, then click \"Update\" again.");
    EXPECT_EQ(bench.radio->lineRate(), 16406u) << "the closing requests went out";
    auto runs = journalRuns();
    EXPECT_EQ(runs[0].state, RunState::Interrupted);
    EXPECT_TRUE(runs[0].pending());

    powerCycle(bench);
    bench.front.onProgress = {};
    bench.front.answers = {ButtonId::Yes};
    EXPECT_TRUE(bench.controller->onUpdate().ok());
    EXPECT_EQ(personalityOf(*bench.radio), before);
}

TEST_F(Recovery, AJournalThatCannotBeWrittenStopsTheUpdateBeforeAnythingIsErased) {
    fs::create_directories(bench_journal());  // a folder where the file belongs
    Bench bench(package);
    bench.front.answers = {ButtonId::Yes};
    const FlowOutcome outcome = bench.controller->onUpdate();
    EXPECT_EQ(outcome.kind, FlowOutcome::Kind::Failed);
    EXPECT_EQ(outcome.text.rfind("The update journal cannot be written (", 0), 0u) << outcome.text;
    EXPECT_NE(outcome.text.find("nothing on the radio was changed."), std::string::npos);
    EXPECT_TRUE(bench.front.questions().empty()) << "refused before the confirmation";
    EXPECT_FALSE(erasesOrWrites(*bench.radio));
}

TEST_F(Recovery, ADamagedJournalIsMovedAsideWithAMessage) {
    { std::ofstream(bench_journal(), std::ios::binary) << std::string(2048, '\x7f'); }
    Bench bench(package);
    bench.front.answers = {ButtonId::Yes};
    EXPECT_TRUE(bench.controller->onUpdate().ok());
    ASSERT_FALSE(bench.front.messages.empty());
    EXPECT_EQ(bench.front.messages[0].style, MessageStyle::Warning);
    EXPECT_NE(bench.front.messages[0].text.find("was damaged; it was moved to"), std::string::npos);
    EXPECT_EQ(journalRuns().size(), 1u);
}

TEST_F(Recovery, TheLastFiveBackupsOfARadioAreKept) {
    Bench bench(package);
    for (int i = 0; i < 7; ++i) {
        bench.radio->setFirmwareVersionText("R01.02.03");
        bench.front.answers = {ButtonId::Yes};
        ASSERT_TRUE(bench.controller->onUpdate().ok()) << i;
    }
    std::size_t files = 0;
    for (const auto& e :
         fs::directory_iterator(fs::path(package.dataDir()) / "backup" / "123ABC0001"))
        files += e.path().extension() == ".pvk";
    EXPECT_EQ(files, 5u);
    auto runs = journalRuns();
    ASSERT_EQ(runs.size(), 7u);
    EXPECT_TRUE(fs::exists(runs[0].backupFile));
    EXPECT_FALSE(fs::exists(runs[6].backupFile));
}

TEST_F(Recovery, TheConsolesStartRecoversByTheSerialNumberOnly) {
    const std::uint64_t dynErase = requestNumber(package, isDynErase);
    Bench bench(package);
    givePersonality(*bench.radio);
    const Personality before = personalityOf(*bench.radio);
    bench.front.answers = {ButtonId::Yes};
    bench.controller->onConsoleEnterTestMode(9, kConsoleMagic);
    pullAt(bench, dynErase + 1);
    bench.controller->onConsoleUpdateStart(9, kConsoleMagic);
    ASSERT_EQ(bench.console.posts.back().lParam, 0);

    powerCycle(bench);
    bench.controller->onConsoleUpdateStart(9, kConsoleMagic);
    EXPECT_EQ(bench.console.posts.back().lParam, 1);
    EXPECT_TRUE(bench.front.messages.empty()) << "test mode asks and shows nothing";
    EXPECT_EQ(personalityOf(*bench.radio), before);
    EXPECT_NE(package.logText().find("This radio's last update was interrupted on "),
              std::string::npos);
}

}  // namespace
}  // namespace vkt::testing
