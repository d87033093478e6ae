// The main window against the simulated radio: cable notices through the
// real poll thread and the Qt queue, Get Radio Information, a full update
// with its progress, the multi-cable warning and the window's own rules.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>

#include "gui/progress_status_bar.h"
#include "gui/qt_message_queue.h"
#include "gui_bench.h"
#include "gui_test_support.h"

namespace vkt::testing {
namespace {

class MainWindow : public ::testing::Test {
  protected:
    PackageCopy package;
};

TEST_F(MainWindow, StartsWithoutCableShowingNothing) {
    GuiBench bench(package, 0);
    ASSERT_TRUE(bench.startup.ok);
    Window& w = *bench.window;
    EXPECT_EQ(w.windowTitle(), QStringLiteral("EMEA VKT Update Tool"));
    for (Field f : {Field::RadioType, Field::RegionalCode, Field::Model, Field::SerialNumber,
                    Field::Firmware, Field::Codeplug}) {
        EXPECT_EQ(bench.text(f), QStringLiteral("N/A"));
        EXPECT_TRUE(w.field(f)->isReadOnly());
    }
    EXPECT_EQ(w.fieldLabel(Field::RadioType)->text(), QStringLiteral("Radio Type:"));
    EXPECT_EQ(w.fieldLabel(Field::Codeplug)->text(), QStringLiteral("Codeplug Version:"));
    EXPECT_EQ(w.getInfoButton()->text(), QStringLiteral("Get Radio Information"));
    EXPECT_FALSE(w.getInfoButton()->isEnabled());
    EXPECT_FALSE(w.updateButton()->isEnabled());
    EXPECT_FALSE(w.personalityCheck()->isEnabled());
    EXPECT_TRUE(w.personalityCheck()->isChecked());
    EXPECT_EQ(w.verifyCheck()->text(), QStringLiteral("Verify"));
    EXPECT_FALSE(w.verifyCheck()->isEnabled());
    EXPECT_FALSE(w.verifyCheck()->isChecked());
    EXPECT_FALSE(w.controller().verifyFlash());
    EXPECT_FALSE(w.timeLabel()->isVisible());
    EXPECT_FALSE(w.serialGroup()->isVisible());
    EXPECT_EQ(w.progressBar()->cableText(), QStringLiteral("USB Cable Disconnected"));
    EXPECT_EQ(w.progressBar()->helpText(), QStringLiteral("For help, press F1"));
    // Three polls later nothing has changed.
    const auto count = [&] { return bench.app.radioManager().cableCount(); };
    EXPECT_TRUE(waitFor([&] { return count() == 0; }));
    QTest::qWait(100);
    EXPECT_FALSE(w.getInfoButton()->isEnabled());
    EXPECT_TRUE(bench.boxes.boxes.empty());
}

TEST_F(MainWindow, OneCableEnablesTheRadioControls) {
    GuiBench bench(package, 1);
    Window& w = *bench.window;
    ASSERT_TRUE(waitFor([&] { return w.getInfoButton()->isEnabled(); }));
    EXPECT_TRUE(w.updateButton()->isEnabled());
    EXPECT_TRUE(w.personalityCheck()->isEnabled());
    EXPECT_TRUE(w.verifyCheck()->isEnabled());
    w.verifyCheck()->setChecked(true);
    EXPECT_TRUE(w.controller().verifyFlash());
    EXPECT_EQ(w.progressBar()->cableText(), QStringLiteral("USB Cable Connected"));

    // Pulling the cable disables them again.
    bench.driver->unplug(0);
    ASSERT_TRUE(waitFor([&] { return !w.getInfoButton()->isEnabled(); }));
    EXPECT_EQ(w.progressBar()->cableText(), QStringLiteral("USB Cable Disconnected"));
}

TEST_F(MainWindow, GetRadioInformationFillsTheFields) {
    GuiBench bench(package, 1);
    Window& w = *bench.window;
    ASSERT_TRUE(clickGetRadioInformation(w));

    ASSERT_EQ(bench.boxes.boxes.size(), 1u);
    EXPECT_EQ(bench.boxes.boxes[0].text, "Successfully get radio information.");
    EXPECT_EQ(bench.boxes.boxes[0].style, MessageStyle::Info);
    EXPECT_EQ(bench.text(Field::RadioType), QStringLiteral("VK2 Series"));
    EXPECT_EQ(bench.text(Field::RegionalCode), QStringLiteral("0E"));
    EXPECT_EQ(bench.text(Field::Model), QStringLiteral("VK-215"));
    EXPECT_EQ(bench.text(Field::SerialNumber), QStringLiteral("123ABC0001"));
    EXPECT_EQ(bench.text(Field::Firmware), QStringLiteral("R01.02.03"));
    EXPECT_EQ(bench.text(Field::Codeplug), QStringLiteral("R01.02.03"));
    EXPECT_TRUE(w.timeLabel()->isVisible());
    EXPECT_TRUE(w.timeLabel()->text().startsWith(QStringLiteral("[ ")));
    EXPECT_EQ(w.currentPicture(), "VK2150EMA01");
    ASSERT_FALSE(w.picture()->pixmap().isNull());
    // The key colour of the picture became the button face.
    const QImage shown = w.picture()->pixmap().toImage();
    EXPECT_EQ(QColor(shown.pixel(0, 0)), w.palette().color(QPalette::Button));
    EXPECT_TRUE(w.getInfoButton()->isEnabled());
    EXPECT_FALSE(w.busyCursor());
    // VKT_GUI_SNAPSHOT=FILE keeps a picture of the filled window.
    if (const char* path = std::getenv("VKT_GUI_SNAPSHOT"))
        w.grab().save(QString::fromLocal8Bit(path));
}

TEST_F(MainWindow, UpdateRunsToTheEndWithProgress) {
    GuiBench bench(package, 1);
    Window& w = *bench.window;
    std::vector<int> percents;
    QObject::connect(w.progressBar(), &gui::ProgressStatusBar::percentChanged,
                     [&](int p) { percents.push_back(p); });
    ASSERT_TRUE(waitFor([&] { return w.updateButton()->isEnabled(); }));
    bench.boxes.answers = {ButtonId::Yes};
    bool disabledWhileRunning = false;
    bench.boxes.onBox = [&](const ShownBox& box) {
        if (isYesNoStyle(box.style))
            disabledWhileRunning = !w.updateButton()->isEnabled();
    };
    QTest::mouseClick(w.updateButton(), Qt::LeftButton);

    ASSERT_EQ(bench.boxes.boxes.size(), 2u);
    EXPECT_EQ(bench.boxes.boxes[0].style, MessageStyle::Question);
    EXPECT_EQ(bench.boxes.boxes[0].firstCaption, "&Yes");
    EXPECT_EQ(bench.boxes.boxes[0].secondCaption, "&No");
    EXPECT_TRUE(bench.boxes.boxes[0].firstIsDefault);
    EXPECT_TRUE(disabledWhileRunning);
    EXPECT_EQ(bench.boxes.boxes[1].text, "Update successful.");
    EXPECT_EQ(bench.boxes.boxes[1].style, MessageStyle::Info);

    // The pane climbed to 100 and was reset at the end.
    ASSERT_GE(percents.size(), 3u);
    EXPECT_NE(std::find(percents.begin(), percents.end(), 100), percents.end());
    EXPECT_EQ(percents.back(), 0);
    EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end() - 1));
    EXPECT_EQ(w.progressBar()->percent(), 0);

    EXPECT_EQ(bench.text(Field::Firmware), QStringLiteral("R01.02.04"));
    EXPECT_EQ(bench.text(Field::Codeplug), QStringLiteral("R01.02.04"));
    EXPECT_EQ(bench.text(Field::SerialNumber), QStringLiteral("123ABC0001"));
    EXPECT_TRUE(w.updateButton()->isEnabled());
    EXPECT_EQ(w.controller().busyState(), BusyState::Idle);
}

TEST_F(MainWindow, DecliningTheUpdateChangesNothing) {
    GuiBench bench(package, 1);
    Window& w = *bench.window;
    ASSERT_TRUE(waitFor([&] { return w.updateButton()->isEnabled(); }));
    w.personalityCheck()->setChecked(false);
    EXPECT_FALSE(w.controller().keepPersonality());
    QTest::mouseClick(w.updateButton(), Qt::LeftButton);  // answered No
    ASSERT_EQ(bench.boxes.boxes.size(), 1u);
    EXPECT_EQ(bench.boxes.boxes[0].style, MessageStyle::Question);
    EXPECT_TRUE(w.updateButton()->isEnabled());
    EXPECT_EQ(w.progressBar()->percent(), 0);
}

TEST_F(MainWindow, SecondCableIsWarnedAboutUntilRemoved) {
    GuiBench bench(package, 2);
    int warnings = 0;
    bench.boxes.onBox = [&](const ShownBox& box) {
        if (box.style == MessageStyle::Warning && ++warnings == 2)
            bench.driver->unplug(1);
    };
    ASSERT_TRUE(waitFor([&] { return warnings >= 2; }));
    EXPECT_EQ(bench.boxes.boxes[0].text,
              "There are 2 USB conections. Please remove the unused and keep one connection "
              "only.");
    ASSERT_TRUE(waitFor([&] { return bench.window->getInfoButton()->isEnabled(); }));
    QTest::qWait(100);
    EXPECT_EQ(warnings, 2) << "one cable left: no more warnings";
}

TEST_F(MainWindow, EscIsIgnoredExitClosesAndMenuHints) {
    GuiBench bench(package, 0);
    Window& w = *bench.window;
    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_TRUE(w.isVisible());

    emit w.aboutAction()->hovered();
    EXPECT_EQ(w.progressBar()->helpText().toStdString(), loadString(str::kAboutHint));
    emit w.contentsAction()->hovered();
    EXPECT_EQ(w.progressBar()->helpText(), QStringLiteral("Display help"));
    emit w.exitAction()->hovered();
    EXPECT_EQ(w.progressBar()->helpText(), QStringLiteral("Quit the application"));
    QMouseEvent move(QEvent::MouseMove, QPointF(5, 5),
                     w.getInfoButton()->mapToGlobal(QPointF(5, 5)), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QApplication::sendEvent(w.getInfoButton(), &move);
    EXPECT_EQ(w.progressBar()->helpText(), QStringLiteral("For help, press F1"));

    const QList<QAction*> menus = w.menuBar()->actions();
    ASSERT_EQ(menus.size(), 3) << "the demo setup offers the dealer login";
    EXPECT_EQ(menus[0]->text(), QStringLiteral("&File"));
    EXPECT_EQ(menus[2]->text(), QStringLiteral("&Help"));

    w.exitAction()->trigger();
    EXPECT_FALSE(w.isVisible());
}

}  // namespace
}  // namespace vkt::testing
