// The Update flow against the simulated radio: every check, question,
// result and log line, and what reaches the radio.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include <fmt/format.h>

#include "app/update_journal.h"
#include "app_test_support.h"
#include "package/cpg.h"
#include "update/radio_traits.h"

namespace vkt::testing {
namespace {

constexpr std::uint8_t kFlashOpcode = 0x72;
constexpr int kProtectionSub = 8;  // its "address" is the protection value
constexpr int kReadSub = 3;
constexpr std::uint32_t kFirmwareAreaEnd = 0x60000;

// Flash erases and writes; with firmwareOnly those below the codeplug blocks.
bool flashChanged(const sim::SimRadio& radio, bool firmwareOnly) {
    for (const auto& entry : radio.requestLog()) {
        if (entry.opcode != kFlashOpcode || !entry.address || entry.subFunction == kProtectionSub ||
            entry.subFunction == kReadSub)
            continue;
        if (!firmwareOnly || *entry.address < kFirmwareAreaEnd)
            return true;
    }
    return false;
}
bool firmwareTouched(const sim::SimRadio& radio) {
    return flashChanged(radio, true);
}
bool flashTouched(const sim::SimRadio& radio) {
    return flashChanged(radio, false);
}

class UpdateFlow : public ::testing::Test {
  protected:
    PackageCopy package;
};

TEST_F(UpdateFlow, NewerPackageFirmwareIsAFullUpdateThatKeepsPersonalityAndSerial) {
    Bench bench(package);
    ASSERT_TRUE(bench.startup.ok);
    std::vector<std::uint8_t> personality(0x800, 0x5A);
    bench.radio->loadMemory(0x821000, personality);
    bench.front.answers = {ButtonId::Yes};

    FlowOutcome outcome = bench.controller->onUpdate();

    ASSERT_EQ(bench.front.questions().size(), 1u) << "only the confirmation, no downgrade question";
    EXPECT_EQ(bench.front.questions()[0].style, MessageStyle::Question);
    EXPECT_NE(bench.front.questions()[0].text.find(
                  "(Firmware Version: R01.02.04, Codeplug Version: R01.02.04)"),
              std::string::npos);
    ASSERT_EQ(bench.front.results().size(), 1u);
    EXPECT_EQ(bench.front.results()[0].text, "Update successful.");
    EXPECT_EQ(bench.front.results()[0].style, MessageStyle::Info);
    EXPECT_TRUE(outcome.ok());
    EXPECT_TRUE(firmwareTouched(*bench.radio));
    EXPECT_EQ(bench.radio->memory(0x821000, 0x800), personality);
    // The update reset the serial number; the flow wrote the old one back.
    EXPECT_EQ(bench.radio->serialNumber(), "123ABC0001");
    EXPECT_EQ(bench.controller->display().serialNumber, "123ABC0001");
    EXPECT_TRUE(bench.controller->infoShown());
    EXPECT_FALSE(bench.app.radioManager().radio().portOpen());
    EXPECT_EQ(bench.controller->busyState(), BusyState::Idle);
    ASSERT_FALSE(bench.front.progress.empty());
    EXPECT_LE(bench.front.progress.back(), 100);
    EXPECT_EQ(bench.front.busy.front(), true);
    EXPECT_EQ(bench.front.busy.back(), false);
    EXPECT_EQ(package.logText(), "");
}

TEST_F(UpdateFlow, OlderPackageFirmwareAsksBeforeDowngradingAndNoEndsSilently) {
    Bench bench(package, demoRadio("R01.02.05", "R01.02.03"));
    bench.front.answers = {ButtonId::Yes, ButtonId::No};

    FlowOutcome outcome = bench.controller->onUpdate();

    ASSERT_EQ(bench.front.questions().size(), 2u);
    EXPECT_EQ(bench.front.questions()[1].text, loadString(120));
    EXPECT_TRUE(bench.front.results().empty()) << "a refusal shows nothing";
    EXPECT_EQ(outcome.kind, FlowOutcome::Kind::NothingDone);
    EXPECT_FALSE(flashTouched(*bench.radio));
    EXPECT_TRUE(bench.app.radioManager().radio().portOpen()) << "the link is left open";
    EXPECT_EQ(bench.controller->busyState(), BusyState::Idle);
}

TEST_F(UpdateFlow, NoToTheConfirmationEndsBeforeAnythingIsChecked) {
    Bench bench(package);
    bench.front.answers = {ButtonId::No};
    EXPECT_EQ(bench.controller->onUpdate().kind, FlowOutcome::Kind::NothingDone);
    EXPECT_TRUE(bench.front.results().empty());
    EXPECT_FALSE(flashTouched(*bench.radio));
}

TEST_F(UpdateFlow, FirmwareLettersDecideByTheMajorOnly) {
    {
        // Other family with a greater major on the radio: a downgrade question.
        Bench bench(package, demoRadio("S02.00.00", "R01.02.03"));
        bench.front.answers = {ButtonId::Yes, ButtonId::No};
        bench.controller->onUpdate();
        EXPECT_EQ(bench.front.questions().size(), 2u);
        EXPECT_FALSE(flashTouched(*bench.radio));
    }
    {
        // Other family, same major: a full update without the question.
        Bench bench(package, demoRadio("S01.09.00", "R01.02.03"));
        bench.front.answers = {ButtonId::Yes};
        EXPECT_TRUE(bench.controller->onUpdate().ok());
        EXPECT_EQ(bench.front.questions().size(), 1u);
        EXPECT_TRUE(firmwareTouched(*bench.radio));
    }
}

TEST_F(UpdateFlow, EqualFirmwareComparesTheCodeplugs) {
    {
        Bench bench(package, demoRadio("R01.02.04", "R02.01.00"));
        bench.front.answers = {ButtonId::Yes};
        EXPECT_EQ(bench.controller->onUpdate().kind, FlowOutcome::Kind::Failed);
        ASSERT_EQ(bench.front.results().size(), 1u);
        EXPECT_EQ(bench.front.results()[0].text, loadString(173));
        EXPECT_EQ(bench.front.results()[0].style, MessageStyle::Warning);
        EXPECT_FALSE(flashTouched(*bench.radio));
    }
    {
        Bench bench(package, demoRadio("R01.02.04", "R01.02.04"));
        bench.front.answers = {ButtonId::Yes};
        EXPECT_EQ(bench.controller->onUpdate().kind, FlowOutcome::Kind::NothingDone);
        ASSERT_EQ(bench.front.results().size(), 1u);
        EXPECT_EQ(bench.front.results()[0].text, "Radio version is the latest. No need to update.");
        EXPECT_EQ(bench.front.results()[0].style, MessageStyle::Info);
        EXPECT_EQ(bench.controller->display().codeplugVersion, "R01.02.04")
            << "the display is refreshed";
        EXPECT_FALSE(flashTouched(*bench.radio));
    }
}

TEST_F(UpdateFlow, NewerCodeplugAloneIsWrittenWithoutFirmware) {
    Bench bench(package, demoRadio("R01.02.04", "R01.02.03"));
    bench.front.answers = {ButtonId::Yes};
    EXPECT_TRUE(bench.controller->onUpdate().ok());
    EXPECT_EQ(bench.front.questions().size(), 1u);
    EXPECT_TRUE(flashTouched(*bench.radio));
    EXPECT_FALSE(firmwareTouched(*bench.radio)) << "a codeplug-only update sends no firmware";
    EXPECT_EQ(bench.radio->serialNumber(), "123ABC0001");
}

TEST_F(UpdateFlow, OlderPackageCodeplugAsksFirst) {
    Bench bench(package, demoRadio("R01.02.04", "R01.02.09"));
    bench.front.answers = {ButtonId::Yes, ButtonId::No};
    EXPECT_EQ(bench.controller->onUpdate().kind, FlowOutcome::Kind::NothingDone);
    EXPECT_EQ(bench.front.questions().size(), 2u);
    EXPECT_FALSE(flashTouched(*bench.radio));
}

TEST_F(UpdateFlow, UnparsableRadioVersionsAreRefusedWithTheirLogLines) {
    struct Case {
        std::vector<std::uint8_t> firmware, codeplug;
        const char* log;
    };
    for (const Case& c :
         {Case{{'R', 100, 2, 3}, {'R', 1, 2, 3}, "The radio FW version is invalid."},
          Case{{'R', 1, 2, 3}, {'R', 1, 2, 100}, "The radio CP version is invalid."}}) {
        PackageCopy copy;
        sim::RadioConfig config = demoRadio();
        config.firmwareVersion = c.firmware;
        config.codeplugVersion = c.codeplug;
        Bench bench(copy, config);
        bench.front.answers = {ButtonId::Yes};
        bench.controller->onUpdate();
        ASSERT_EQ(bench.front.results().size(), 1u);
        EXPECT_EQ(bench.front.results()[0].text, loadString(112));
        EXPECT_EQ(bench.front.results()[0].style, MessageStyle::Error);
        EXPECT_NE(copy.logText().find(c.log), std::string::npos) << copy.logText();
        EXPECT_FALSE(flashTouched(*bench.radio));
        EXPECT_FALSE(bench.app.radioManager().radio().portOpen());
    }
}

// A package edited so that one of its files or versions is unusable.
struct PackageDefect {
    const char* from;
    const char* to;
    const char* log;
    bool asks;  // whether the confirmation still comes
};

TEST_F(UpdateFlow, PackageDefectsRefuseEveryUpdate) {
    const PackageDefect defects[] = {
        {"<vp name=\"VOICE_\" ver=\"R01.02.04\"/>", "", "New VP file is lost.", true},
        {"<ad name=\"ADDR_\" ver=\"R01.02.04\"/>", "", "New ADDR file is lost.", true},
        {"<fi name=\"VKT_FW_EMEA\" ver=\"R01.02.04\"/>", "", "The tool FW verision is invalid.",
         false},
        {"<fi name=\"VKT_FW_EMEA\" ver=\"R01.02.04\"/>",
         "<fi name=\"VKT_FW_EMEA\" ver=\"R1.02.04\"/>", "The tool FW verision is invalid.", false},
    };
    for (const PackageDefect& d : defects) {
        SCOPED_TRACE(d.log);
        PackageCopy copy;
        copy.setConfig(replaced(copy.configXml, d.from, d.to));
        // Codeplug only: even then the package's firmware entry is required.
        Bench bench(copy, demoRadio("R01.02.04", "R01.02.03"));
        ASSERT_TRUE(bench.startup.ok);
        bench.front.answers = {ButtonId::Yes};
        EXPECT_EQ(bench.controller->onUpdate().kind, FlowOutcome::Kind::Failed);
        EXPECT_EQ(bench.front.questions().size(), d.asks ? 1u : 0u);
        ASSERT_EQ(bench.front.results().size(), 1u);
        EXPECT_EQ(bench.front.results()[0].text, loadString(112));
        EXPECT_EQ(bench.front.results()[0].style, MessageStyle::Error);
        EXPECT_NE(copy.logText().find(d.log), std::string::npos) << copy.logText();
        EXPECT_FALSE(flashTouched(*bench.radio));
    }
}

TEST_F(UpdateFlow, AModelWithoutAParsableCodeplugVersionIsRefused) {
    package.addDefaultBlock("VK2150EMA01", "R1.02.04", "pkg009.ftf");
    package.setConfig(replaced(package.configXml,
                               "<mo type=\"VK2\" alias=\"VK-215\" img=\"1\" name=\"VK2150EMA01\">\n"
                               "    <bl name=\"DEF\" ver=\"R01.02.04\"/>",
                               "<mo type=\"VK2\" alias=\"VK-215\" img=\"1\" name=\"VK2150EMA01\">\n"
                               "    <bl name=\"DEF\" ver=\"R1.02.04\"/>"));
    Bench bench(package);
    ASSERT_TRUE(bench.startup.ok);
    bench.controller->onUpdate();
    EXPECT_TRUE(bench.front.questions().empty());
    ASSERT_EQ(bench.front.results().size(), 1u);
    EXPECT_EQ(bench.front.results()[0].text, loadString(112));
    EXPECT_NE(package.logText().find("The tool CP version is invalid."), std::string::npos);
}

TEST_F(UpdateFlow, RadioAndCableProblemsEndBeforeTheQuestion) {
    {
        sim::RadioConfig config = demoRadio();
        config.echo = false;
        Bench bench(package, config);
        bench.controller->onUpdate();
        ASSERT_EQ(bench.front.messages.size(), 1u);
        EXPECT_EQ(bench.front.messages[0].text, loadString(119));
        EXPECT_EQ(bench.front.messages[0].style, MessageStyle::Warning);
    }
    {
        sim::RadioConfig config = demoRadio();
        sim::modelRecordFromText("QX7500A", config.modelRecord);
        Bench bench(package, config);
        bench.controller->onUpdate();
        ASSERT_EQ(bench.front.messages.size(), 1u);
        EXPECT_EQ(bench.front.messages[0].text, "The update tool does not support this radio.");
        EXPECT_EQ(bench.front.messages[0].style, MessageStyle::Error);
        EXPECT_FALSE(bench.app.radioManager().radio().portOpen());
    }
    {
        Bench bench(package, demoRadio(), 0);
        bench.controller->onUpdate();
        ASSERT_EQ(bench.front.messages.size(), 1u);
        EXPECT_EQ(bench.front.messages[0].text, "Failed to connect radio.");
    }
}

TEST_F(UpdateFlow, AFailedProgrammingRunIsLoggedAndReportedOnce) {
    sim::RadioConfig config = demoRadio();
    sim::Fault pull;
    pull.kind = sim::FaultKind::PullCable;
    pull.trigger = sim::FaultTrigger::WireByte;
    pull.at = 20000;  // well into the firmware transfer
    config.faults = {pull};
    Bench bench(package, config);
    bench.front.answers = {ButtonId::Yes};
    const FlowOutcome outcome = bench.controller->onUpdate();
    EXPECT_EQ(outcome.kind, FlowOutcome::Kind::Failed);
    ASSERT_EQ(bench.front.results().size(), 1u);
    // The firmware area was erased: the message names the personality's
    // backup and the next step.
    ASSERT_FALSE(outcome.backupFile.empty());
    EXPECT_EQ(bench.front.results()[0].text,
              "Update failed.\n\nThe radio's personality is saved in " + outcome.backupFile +
                  ". Switch the radio off and on, then click \"Update\" again.");
    EXPECT_EQ(bench.front.results()[0].style, MessageStyle::Error);
    EXPECT_NE(package.logText().find("Upate radio failed, this's caused by:\n"), std::string::npos);
    EXPECT_EQ(errorCount(), 0u) << "the stack is cleared after the report";
}

// A radio that keeps one voice byte wrongly: the verifying update fails as
// the radio's fault ("Update failed.", not the package's re-install
// message), keeps the backup, and the journal holds the FLASH message with
// the address.
TEST_F(UpdateFlow, AVerifyingUpdateThatFindsABadFlashByteFailsAndIsJournaled) {
    sim::RadioConfig config = demoRadio();
    const std::uint32_t bad = flashLayout(2, BlockKind::VOI) + 0x1F;
    config.storage.flashBit = bad;
    Bench bench(package, config);
    bench.controller->setVerifyFlash(true);
    bench.front.answers = {ButtonId::Yes};
    const FlowOutcome outcome = bench.controller->onUpdate();
    EXPECT_EQ(outcome.kind, FlowOutcome::Kind::Failed);
    ASSERT_EQ(bench.front.results().size(), 1u);
    EXPECT_EQ(bench.front.results()[0].text.rfind("Update failed.\n\n", 0), 0u)
        << bench.front.results()[0].text;
    ASSERT_FALSE(outcome.backupFile.empty());
    EXPECT_TRUE(fs::exists(outcome.backupFile));
    ASSERT_FALSE(outcome.errors.empty());
    EXPECT_EQ(outcome.errors.front().category, static_cast<std::int32_t>(ErrorCategory::Flash));

    UpdateJournal journal(updateJournalPath(package.dataDir()));
    std::string error;
    ASSERT_TRUE(journal.open(error)) << error;
    const auto runs = journal.runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].state, RunState::Failed);
    EXPECT_EQ(runs[0].errorCategory, "FLASH");
    const std::string address = fmt::format("0x{:06X}", bad);
    EXPECT_TRUE(std::any_of(
        runs[0].errorTexts.begin(), runs[0].errorTexts.end(), [&](const std::string& t) {
            return t.find("VOI") != std::string::npos && t.find(address) != std::string::npos;
        }));
}

TEST_F(UpdateFlow, ARefusedSerialWriteBackIsReported) {
    sim::RadioConfig config = demoRadio();
    config.statusFlags = 0x02;
    Bench bench(package, config);
    bench.front.answers = {ButtonId::Yes};
    EXPECT_EQ(bench.controller->onUpdate().kind, FlowOutcome::Kind::Failed);
    ASSERT_EQ(bench.front.results().size(), 1u);
    EXPECT_EQ(bench.front.results()[0].text, "Failed to update serial number.");
    EXPECT_EQ(bench.radio->serialNumber(), kDefaultSerialNumber);
}

TEST_F(UpdateFlow, WithoutPersonalityNoBlockIsKept) {
    Bench bench(package);
    bench.controller->setKeepPersonality(false);
    bench.front.answers = {ButtonId::Yes};
    EXPECT_TRUE(bench.controller->onUpdate().ok());
    EXPECT_FALSE(bench.controller->program().request().keepUserInfo);
    EXPECT_TRUE(bench.controller->program().request().keepBlocks.empty());
}

// A front end that asks after the checks (the command line) is shown the
// plan before any question, then asked about the downgrade, the update and,
// when the personality is not kept, about erasing it; a No to that last
// question leaves the radio as it was.
TEST_F(UpdateFlow, AskingAfterTheChecksShowsThePlanFirstAndAsksToEraseThePersonality) {
    Bench bench(package, demoRadio("R01.02.05", "R01.02.03"));
    bench.front.checksFirst = true;
    bench.controller->setKeepPersonality(false);
    bench.front.answers = {ButtonId::Yes, ButtonId::Yes, ButtonId::No};

    EXPECT_EQ(bench.controller->onUpdate().kind, FlowOutcome::Kind::NothingDone);

    ASSERT_EQ(bench.front.plans.size(), 1u);
    const auto& [plan, shownBefore] = bench.front.plans[0];
    EXPECT_EQ(shownBefore, 0u) << "the plan comes before any question";
    EXPECT_EQ(plan.radioFirmware, "R01.02.05");
    EXPECT_EQ(plan.packageFirmware, "R01.02.04");
    EXPECT_EQ(plan.radioCodeplug, "R01.02.03");
    EXPECT_EQ(plan.packageCodeplug, "R01.02.04");
    EXPECT_TRUE(plan.firmware && plan.codeplug && plan.voicePrompts);
    EXPECT_TRUE(plan.downgrade);
    EXPECT_EQ(plan.personality, UpdatePreview::Personality::NotKept);
    const auto questions = bench.front.questions();
    ASSERT_EQ(questions.size(), 3u);
    EXPECT_EQ(questions[0].text, loadString(str::kConfirmDowngrade));
    EXPECT_EQ(
        questions[1].text.rfind("This will program the radio (Firmware Version: R01.02.04", 0), 0u);
    EXPECT_EQ(questions[2].text, loadString(str::kConfirmErasePersonality));
    EXPECT_TRUE(bench.front.results().empty());
    EXPECT_FALSE(flashTouched(*bench.radio));

    // Kept personality: no erase question.
    bench.controller->setKeepPersonality(true);
    bench.front.answers = {ButtonId::Yes, ButtonId::Yes};
    EXPECT_TRUE(bench.controller->onUpdate().ok());
    EXPECT_EQ(bench.front.plans.back().first.personality, UpdatePreview::Personality::Kept);
    EXPECT_EQ(bench.front.questions().size(), 5u);
}

TEST_F(UpdateFlow, TheKeepListFollowsTheConfiguredRanges) {
    Bench bench(package);
    bench.front.answers = {ButtonId::Yes};
    EXPECT_TRUE(bench.controller->onUpdate().ok());
    std::vector<KeepBlock> expected{
        {0, 0x820000, 0x800}, {6, 0x821000, 0x800}, {7, 0x822000, 0x800}, {9, 0x117000, 0x2000}};
    EXPECT_EQ(bench.controller->program().request().keepBlocks, expected);
    EXPECT_EQ(bench.controller->program().request().backupFolder, package.dataDir() + "/backup");
}

TEST_F(UpdateFlow, CableNoticesDuringTheRunLeaveTheControlsAlone) {
    Bench bench(package);
    MainController& c = *bench.controller;
    c.onCableCount(1);
    ControlState during;
    bench.front.duringWait = [&] {
        c.onCableCount(0);
        during = c.controls();
    };
    bench.front.answers = {ButtonId::Yes};
    EXPECT_TRUE(c.onUpdate().ok());
    EXPECT_FALSE(during.update) << "disabled by the update";
    EXPECT_TRUE(during.getInfo) << "not touched by the notice";
    EXPECT_TRUE(during.cableMissing) << "the status pane follows the notice";
    EXPECT_FALSE(c.cableConnected());
    EXPECT_FALSE(c.controls().getInfo) << "refreshed from the recorded state at the end";
}

// A batch item that holds the Task's worker until released.
class Blocker : public Runnable {
  public:
    bool run() override {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return released_; });
        return true;
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        wake_.notify_all();
    }

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool released_ = false;
};

TEST_F(UpdateFlow, AnUpdateThatCannotStartIsAFailureNotASuccess) {
    Bench bench(package);
    Blocker blocker;
    Task& task = bench.app.task();
    task.clear();
    task.add(&blocker);
    task.start();
    bench.front.answers = {ButtonId::Yes};
    EXPECT_EQ(bench.controller->onUpdate().kind, FlowOutcome::Kind::Failed);
    ASSERT_EQ(bench.front.results().size(), 1u);
    EXPECT_EQ(bench.front.results()[0].text,
              "Update failed.\n\nNothing on the radio was erased or written.");
    EXPECT_NE(package.logText().find("Upate radio failed"), std::string::npos);
    EXPECT_FALSE(flashTouched(*bench.radio));
    blocker.release();
    bench.loop.runUntil([&] { return !task.isBusy(); }, std::chrono::seconds(10));
    task.clear();
}

// ---------------------------------------------------------------------------
// Test mode

class TestMode : public UpdateFlow {};

TEST_F(TestMode, UpdatesWithoutQuestionsAndReportsToTheConsole) {
    Bench bench(package, demoRadio("R01.02.05", "R01.02.03"));
    MainController& c = *bench.controller;
    const ConsoleHandle console = 77;
    bench.front.answers = {ButtonId::Yes};  // the test-mode question
    c.onConsoleEnterTestMode(console, kConsoleMagic);
    ASSERT_TRUE(c.testMode());
    EXPECT_EQ(bench.front.messages.back().style, MessageStyle::YesNo);
    EXPECT_EQ(c.windowTitle(), "EMEA VKT Update Tool [Test mode]");
    ASSERT_EQ(bench.console.posts.size(), 1u);
    EXPECT_EQ(bench.console.posts[0].message, kToolEnterTestMode);
    EXPECT_EQ(bench.console.posts[0].lParam, 8);
    EXPECT_EQ(c.ensureSingleCable(), 0);

    bench.front.messages.clear();
    c.onConsoleUpdateStart(console, kConsoleMagic);
    EXPECT_TRUE(bench.front.messages.empty()) << "no question, no result message";
    EXPECT_TRUE(firmwareTouched(*bench.radio)) << "the downgrade ran without asking";
    ASSERT_EQ(bench.console.posts.size(), 2u);
    EXPECT_EQ(bench.console.posts[1].message, kToolUpdateEnd);
    EXPECT_EQ(bench.console.posts[1].console, console);
    EXPECT_EQ(bench.console.posts[1].wParam, 8u);
    EXPECT_EQ(bench.console.posts[1].lParam, 1);

    // The title comes back exactly as the window opened with, whatever the
    // string table says by now.
    setTranslator([](int id) -> std::optional<std::string> {
        if (id == str::kTitleTool)
            return "Outil";
        return std::nullopt;
    });
    c.onConsoleExitTestMode(console, kConsoleMagic);
    setTranslator({});
    EXPECT_FALSE(c.testMode());
    EXPECT_EQ(c.windowTitle(), "EMEA VKT Update Tool");
    EXPECT_EQ(bench.front.titles.back(), "EMEA VKT Update Tool");
    EXPECT_EQ(bench.front.flashes, 2);
}

TEST_F(TestMode, AFailureIsReportedAsZeroAndAGoneConsoleIsShown) {
    Bench bench(package, demoRadio("R01.02.04", "R01.02.04"));
    MainController& c = *bench.controller;
    bench.front.answers = {ButtonId::Yes};
    c.onConsoleEnterTestMode(5, kConsoleMagic);
    c.onConsoleUpdateStart(5, kConsoleMagic);
    ASSERT_EQ(bench.console.posts.size(), 2u);
    EXPECT_EQ(bench.console.posts[1].lParam, 0) << "already the latest: not updated";

    bench.front.messages.clear();
    bench.console.accepts = false;
    bench.console.attempts = 0;
    c.onConsoleUpdateStart(5, kConsoleMagic);
    EXPECT_EQ(bench.console.attempts, kConsoleAttempts);
    ASSERT_EQ(bench.front.messages.size(), 1u);
    EXPECT_EQ(bench.front.messages[0].text, "Failed to connect to console.");
    EXPECT_EQ(bench.front.messages[0].style, MessageStyle::Info);
}

TEST_F(TestMode, RequestsWithoutTheMagicOrALiveConsoleAreIgnored) {
    Bench bench(package);
    MainController& c = *bench.controller;
    c.onConsoleUpdateStart(5, 8);
    c.onConsoleEnterTestMode(5, 8);
    bench.console.alive = false;
    c.onConsoleUpdateStart(5, kConsoleMagic);
    c.onConsoleEnterTestMode(5, kConsoleMagic);
    EXPECT_TRUE(bench.front.messages.empty());
    EXPECT_TRUE(bench.console.posts.empty());
    EXPECT_FALSE(c.testMode());
    // A No to the test-mode question leaves it off, without a reply.
    bench.console.alive = true;
    bench.front.answers = {ButtonId::No};
    c.onConsoleEnterTestMode(5, kConsoleMagic);
    EXPECT_FALSE(c.testMode());
    EXPECT_TRUE(bench.console.posts.empty());
}

}  // namespace
}  // namespace vkt::testing
