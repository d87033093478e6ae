// The window after an update that broke off: the failure message names the
// backup and the next step, Get Radio Information offers the recovery, and
// File > Recover Interrupted Update... lists the pending runs and recovers
// the chosen one; SIGTERM during an update lets it end safely first.
#include <gtest/gtest.h>
#include <signal.h>

#include <QAction>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "gui/recovery_dialog.h"
#include "gui/termination_watch.h"
#include "gui_bench.h"
#include "gui_test_support.h"

namespace vkt::testing {
namespace {

constexpr std::uint32_t kDyn = 0x820000;

// The first request after the dynamic area's erase of a clean update (the
// update leaves no journal and no backup behind).
std::uint64_t afterTheErase(PackageCopy& package) {
    std::uint64_t number = 0;
    {
        Bench bench(package);
        bench.front.answers = {ButtonId::Yes};
        EXPECT_TRUE(bench.controller->onUpdate().ok());
        for (const auto& e : bench.radio->requestLog())
            if (e.opcode == 0x72 && e.subFunction == 6 && e.address == sim::dynFlashAddress(2))
                number = e.number + 1;
    }
    fs::remove(updateJournalPath(package.dataDir()));
    fs::remove_all(fs::path(package.dataDir()) / "backup");
    return number;
}

class RecoveryWindow : public ::testing::Test {
  protected:
    // Updates with the cable pulled after the erase; then the cable goes
    // back in and the radio is switched off and on.
    void breakAnUpdate(GuiBench& bench, std::uint64_t at) {
        sim::Fault pull;
        pull.kind = sim::FaultKind::PullCable;
        pull.at = at;
        bench.radio->setFaults({pull});
        bench.boxes.answers = {ButtonId::Yes};
        ASSERT_TRUE(waitFor([&] { return bench.window->updateButton()->isEnabled(); }));
        QTest::mouseClick(bench.window->updateButton(), Qt::LeftButton);
        ASSERT_TRUE(waitFor([&] { return bench.boxes.boxes.size() >= 2; }));
        bench.radio->setFaults({});
        bench.radio->replug();
        bench.radio->powerCycle();
    }

    PackageCopy package;
};

TEST_F(RecoveryWindow, TheFailureNamesTheBackupAndGetRadioInformationOffersTheRecovery) {
    const std::uint64_t at = afterTheErase(package);
    GuiBench bench(package, 1);
    const auto personality = std::vector<std::uint8_t>(0x800, 0x3C);
    bench.radio->loadMemory(kDyn, personality);
    breakAnUpdate(bench, at);
    const ShownBox& failure = bench.boxes.boxes.back();
    EXPECT_EQ(failure.style, MessageStyle::Error);
    EXPECT_EQ(failure.text.rfind("Update failed.\n\nThe radio's personality is saved in ", 0), 0u)
        << failure.text;
    EXPECT_NE(failure.text.find(". Switch the radio off and on, then click \"Update\" again."),
              std::string::npos);

    bench.boxes.boxes.clear();
    bench.boxes.answers = {ButtonId::Yes, ButtonId::Yes};
    ASSERT_TRUE(waitFor([&] { return bench.window->getInfoButton()->isEnabled(); }));
    QTest::mouseClick(bench.window->getInfoButton(), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] {
        return !bench.boxes.boxes.empty() && bench.boxes.boxes.back().text == "Update successful.";
    }));
    // Information read, the offer, the notice, the confirmation, the result.
    ASSERT_EQ(bench.boxes.boxes.size(), 5u);
    EXPECT_EQ(bench.boxes.boxes[0].text, "Successfully get radio information.");
    EXPECT_EQ(bench.boxes.boxes[1].style, MessageStyle::Question);
    EXPECT_EQ(bench.boxes.boxes[1].text.rfind("This radio's last update was interrupted on ", 0),
              0u);
    EXPECT_EQ(bench.radio->memory(kDyn, 0x800), personality);
    EXPECT_TRUE(bench.window->controller().pendingRuns().empty());
}

TEST_F(RecoveryWindow, TheMenuListsThePendingRunsAndRecoversTheChosenOne) {
    const std::uint64_t at = afterTheErase(package);
    GuiBench bench(package, 1);
    ASSERT_NE(bench.window->recoverAction(), nullptr);
    EXPECT_EQ(bench.window->recoverAction()->text(),
              QStringLiteral("&Recover Interrupted Update..."));
    bench.window->recoverAction()->trigger();
    ASSERT_EQ(bench.boxes.boxes.size(), 1u);
    EXPECT_EQ(bench.boxes.boxes[0].text, "No update was interrupted.");

    breakAnUpdate(bench, at);
    bench.boxes.boxes.clear();
    std::vector<QString> rows;
    gui::RecoveryDialog::setScript([&rows](gui::RecoveryDialog& dialog) {
        for (int i = 0; i < dialog.list()->count(); ++i)
            rows.push_back(dialog.list()->item(i)->text());
        return dialog.selectedRun();
    });
    bench.boxes.answers = {ButtonId::Yes};
    bench.window->recoverAction()->trigger();
    gui::RecoveryDialog::setScript({});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0].contains(QStringLiteral("123ABC0001")));
    EXPECT_TRUE(rows[0].contains(QStringLiteral(".pvk")));
    ASSERT_FALSE(bench.boxes.boxes.empty());
    EXPECT_EQ(bench.boxes.boxes.back().text, "Update successful.");
    EXPECT_TRUE(bench.window->controller().pendingRuns().empty());
}

TEST_F(RecoveryWindow, SigtermDuringAnUpdateStopsItSafelyAndClosesTheWindow) {
    GuiBench bench(package, 1);
    // A slow radio: the signal reaches the run while it reads the personality.
    sim::Timing slow = bench.radio->timing();
    slow.paceFactor = 0.5;
    bench.radio->setTiming(slow);
    gui::TerminationWatch watch(
        [&bench] { bench.window->requestQuit(); },
        [&bench] { return bench.window->controller().busyState() != BusyState::Idle; });
    bool sent = false;
    bench.boxes.answers = {ButtonId::Yes};
    bench.boxes.onBox = [&](const ShownBox& box) {
        // After the confirmation the run starts: the signal comes before
        // its first erase.
        if (!sent && isYesNoStyle(box.style)) {
            sent = true;
            QTimer::singleShot(0, [] { ::kill(::getpid(), SIGTERM); });
        }
    };
    ASSERT_TRUE(waitFor([&] { return bench.window->updateButton()->isEnabled(); }));
    QTest::mouseClick(bench.window->updateButton(), Qt::LeftButton);
    ASSERT_TRUE(waitFor([&] { return !bench.window->isVisible(); }));
    EXPECT_TRUE(bench.window->quitRequested());
    EXPECT_EQ(bench.radio->lineRate(), 16406u);
    EXPECT_EQ(bench.boxes.boxes.size(), 1u) << "no message after the request to end";
    for (const auto& e : bench.radio->requestLog())
        EXPECT_FALSE(e.opcode == 0x72 && (e.subFunction == 4 || e.subFunction == 6));
}

}  // namespace
}  // namespace vkt::testing
