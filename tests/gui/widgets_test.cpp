// The message box, the wait dialog, the status bar's panes and progress
// drawing, the Qt message queue and the radio pictures.
#include <gtest/gtest.h>

#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTest>
#include <atomic>
#include <thread>

#include "app/strings.h"
#include "core/messaging.h"
#include "core/version.h"
#include "gui/about_dialog.h"
#include "gui/message_box.h"
#include "gui/progress_status_bar.h"
#include "gui/qt_message_queue.h"
#include "gui/radio_pictures.h"
#include "gui/splash_screen.h"
#include "gui/wait_dialog.h"
#include "gui_test_support.h"

namespace vkt::testing {
namespace {

using gui::MessageBox;

TEST(MessageBox, QuestionHasYesAsDefaultAndNo) {
    MessageBox box(QStringLiteral("Downgrade?"), MessageStyle::Question, QStringLiteral("Title"));
    EXPECT_EQ(box.firstButton()->text(), QStringLiteral("&Yes"));
    EXPECT_EQ(box.secondButton()->text(), QStringLiteral("&No"));
    EXPECT_EQ(box.firstId(), ButtonId::Yes);
    EXPECT_EQ(box.secondId(), ButtonId::No);
    EXPECT_TRUE(box.secondShown());
    EXPECT_TRUE(box.firstButton()->isDefault());
    EXPECT_FALSE(box.secondButton()->isDefault());
    EXPECT_EQ(box.windowTitle(), QStringLiteral("Title"));

    // Both buttons sit in the band, No 20 pixels from the right edge, Yes
    // 10 pixels left of it.
    const QRect no = box.secondButton()->geometry();
    const QRect yes = box.firstButton()->geometry();
    EXPECT_EQ(box.width() - (no.right() + 1), MessageBox::kMargin);
    EXPECT_EQ(no.left() - (yes.right() + 1), 10);
    EXPECT_GE(yes.top(), box.height() - MessageBox::kBandHeight);
    EXPECT_EQ(yes.top(), no.top());

    // Clicking a button ends the box with its id.
    box.show();
    QTest::mouseClick(box.firstButton(), Qt::LeftButton);
    EXPECT_FALSE(box.isVisible());
    EXPECT_EQ(box.answer(), ButtonId::Yes);
}

TEST(MessageBox, EscOrTheCloseBoxAnswersAQuestionNo) {
    MessageBox esc(QStringLiteral("Continue?"), MessageStyle::YesNo, QStringLiteral("Title"));
    esc.show();
    QTest::keyClick(&esc, Qt::Key_Escape);
    EXPECT_FALSE(esc.isVisible());
    EXPECT_EQ(esc.answer(), ButtonId::No);

    MessageBox closed(QStringLiteral("Downgrade?"), MessageStyle::Question,
                      QStringLiteral("Title"));
    closed.show();
    EXPECT_TRUE(closed.close());
    EXPECT_EQ(closed.answer(), ButtonId::No);
}

TEST(MessageBox, ErrorBoxHasOneOkButtonAndTheBand) {
    MessageBox box(QStringLiteral("Failed to connect radio."), MessageStyle::Error,
                   QStringLiteral("T"));
    EXPECT_FALSE(box.secondShown());
    EXPECT_EQ(box.firstButton()->text(), QStringLiteral("&OK"));
    EXPECT_EQ(box.firstId(), ButtonId::Ok);
    EXPECT_EQ(box.width() - (box.firstButton()->geometry().right() + 1), MessageBox::kMargin);
    EXPECT_TRUE(box.singleLine());
    EXPECT_GE(box.textRect().width(), MessageBox::kTextWidth);

    box.show();
    const QImage image = box.grab().toImage();
    EXPECT_EQ(QColor(image.pixel(3, image.height() - 3)), QColor(240, 240, 240));
    EXPECT_NE(QColor(image.pixel(3, 3)), QColor(240, 240, 240));
    // Esc on a lone OK button answers OK.
    QTest::keyClick(&box, Qt::Key_Escape);
    EXPECT_EQ(box.answer(), ButtonId::Ok);
}

TEST(MessageBox, TextLayoutFollowsTheLineCount) {
    MessageBox two(QStringLiteral("First line\r\nSecond line"), MessageStyle::Warning, QString());
    EXPECT_FALSE(two.singleLine());
    MessageBox one(QStringLiteral("One line"), MessageStyle::Info, QString());
    EXPECT_LT(one.height(), two.height() + 1);
    EXPECT_EQ(one.textRect().top(), MessageBox::kMargin);
    // Style 1: OK and Cancel.
    MessageBox okCancel(QStringLiteral("x"), MessageStyle::OkCancel, QString());
    EXPECT_TRUE(okCancel.secondShown());
    EXPECT_EQ(okCancel.secondButton()->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(okCancel.secondId(), ButtonId::Cancel);
}

TEST(MessageBox, ScriptAnswersWithoutBlocking) {
    BoxScript script;
    script.answers = {ButtonId::Yes};
    MessageBox box(QStringLiteral("Update?"), MessageStyle::Question, QString());
    EXPECT_EQ(box.run(), ButtonId::Yes);
    ASSERT_EQ(script.boxes.size(), 1u);
    EXPECT_TRUE(script.boxes[0].firstIsDefault);
    MessageBox again(QStringLiteral("Update?"), MessageStyle::Question, QString());
    EXPECT_EQ(again.run(), ButtonId::No) << "questions are answered No once the script is used up";
}

// A window of the Qt queue that records what reaches it and where.
class Recorder : public MessageTarget {
  public:
    std::intptr_t onMessage(std::uint32_t id, std::uintptr_t, std::intptr_t) override {
        ids.push_back(id);
        threads.push_back(std::this_thread::get_id());
        return 1;
    }
    std::vector<std::uint32_t> ids;
    std::vector<std::thread::id> threads;
};

TEST(QtMessageQueue, MessagesFromAnotherThreadArriveOnTheGuiThread) {
    gui::QtMessageQueue queue;
    EXPECT_EQ(MessageQueue::current(), &queue);
    Recorder recorder;
    WindowHandle window = createWindow(&recorder, &queue);
    ASSERT_NE(window, 0u);
    std::thread sender([window] {
        postMessage(window, 1, 0, 0);
        postMessage(window, 2, 0, 0);
        sendNotifyMessage(window, 3, 0, 0);
    });
    sender.join();
    ASSERT_TRUE(waitFor([&] { return recorder.ids.size() == 3; }));
    EXPECT_EQ(recorder.ids, (std::vector<std::uint32_t>{3, 1, 2}));
    for (const auto& id : recorder.threads)
        EXPECT_EQ(id, std::this_thread::get_id());
    destroyWindow(window);
}

TEST(WaitDialog, RefusesToCloseAndEndsWhenFinished) {
    gui::QtMessageQueue queue;
    gui::WaitDialog dialog(queue);
    EXPECT_EQ(dialog.label()->text(), QStringLiteral("Please wait..."));
    dialog.show();
    EXPECT_FALSE(dialog.close());
    QTest::keyClick(&dialog, Qt::Key_Escape);
    dialog.reject();
    EXPECT_TRUE(dialog.isVisible());
    dialog.hide();

    // A message posted from a worker ends the modal wait.
    bool finished = false;
    class Finisher : public MessageTarget {
      public:
        explicit Finisher(bool& flag) : flag_(flag) {}
        std::intptr_t onMessage(std::uint32_t, std::uintptr_t, std::intptr_t) override {
            flag_ = true;
            return 1;
        }

      private:
        bool& flag_;
    } finisher(finished);
    WindowHandle window = createWindow(&finisher, &queue);
    std::thread worker([window] { postMessage(window, 7, 0, 0); });
    dialog.run([&] { return finished; });
    worker.join();
    EXPECT_TRUE(finished);
    EXPECT_FALSE(dialog.isVisible());
    destroyWindow(window);
}

TEST(ProgressStatusBar, PanesAndCableState) {
    gui::ProgressStatusBar bar;
    bar.resize(500, 24);
    EXPECT_EQ(bar.paneRect(0), QRect(0, 0, 150, 24));
    EXPECT_EQ(bar.paneRect(1), QRect(150, 0, 150, 24));
    EXPECT_EQ(bar.progressRect(), QRect(300, 0, 200, 24));
    EXPECT_EQ(bar.helpText(), QStringLiteral("For help, press F1"));
    EXPECT_EQ(bar.cableText(), QStringLiteral("USB Cable Disconnected"));
    bar.setCableState(true);
    EXPECT_EQ(bar.cableTextChanges(), 0) << "already missing";
    bar.setCableState(false);
    bar.setCableState(false);
    EXPECT_EQ(bar.cableTextChanges(), 1);
    EXPECT_EQ(bar.cableText(), QStringLiteral("USB Cable Connected"));
}

TEST(ProgressStatusBar, ProgressPaneFillsToThePercentage) {
    gui::ProgressStatusBar bar;
    bar.resize(500, 24);
    bar.show();
    const QColor highlight = bar.palette().color(QPalette::Highlight);
    auto pane = [&] { return bar.grab(bar.progressRect()).toImage(); };

    bar.setPercent(0);
    QImage empty = pane();
    EXPECT_NE(QColor(empty.pixel(1, 12)), highlight);
    EXPECT_NE(QColor(empty.pixel(198, 12)), highlight);

    bar.setPercent(50);
    QImage half = pane();
    EXPECT_EQ(QColor(half.pixel(1, 2)), highlight);
    EXPECT_EQ(QColor(half.pixel(98, 2)), highlight);
    EXPECT_NE(QColor(half.pixel(102, 2)), highlight);

    bar.setPercent(100);
    QImage full = pane();
    EXPECT_EQ(QColor(full.pixel(1, 2)), highlight);
    EXPECT_EQ(QColor(full.pixel(198, 2)), highlight);
    // The text over the bar is drawn in the highlight-text colour.
    const QColor inverted = bar.palette().color(QPalette::HighlightedText);
    bool textSeen = false;
    for (int x = 80; x < 120 && !textSeen; ++x)
        for (int y = 0; y < full.height() && !textSeen; ++y)
            textSeen = QColor(full.pixel(x, y)) == inverted;
    EXPECT_TRUE(textSeen);
}

TEST(RadioPictures, KeyColourBecomesTheButtonFace) {
    const QImage a = gui::drawRadioPicture(gui::RadioPicture::Compact);
    const QImage b = gui::drawRadioPicture(gui::RadioPicture::Keypad);
    const QImage c = gui::drawRadioPicture(gui::RadioPicture::Standard);
    EXPECT_NE(a, b);
    EXPECT_NE(b, c);
    EXPECT_EQ(a.pixel(0, 0), gui::kPictureKeyColour);
    const QColor face(10, 200, 30);
    const QImage shown = gui::replaceKeyColour(c, face);
    EXPECT_EQ(QColor(shown.pixel(0, 0)), face);
    // The radio itself keeps its colours.
    const QPoint body(60, 180);
    EXPECT_EQ(shown.pixel(body), c.pixel(body));
    EXPECT_NE(QColor(shown.pixel(body)), face);
    EXPECT_EQ(gui::pictureForImage(1), gui::RadioPicture::Compact);
    EXPECT_EQ(gui::pictureForImage(2), gui::RadioPicture::Keypad);
    EXPECT_EQ(gui::pictureForImage(0), gui::RadioPicture::Standard);
    EXPECT_EQ(gui::pictureForImage(-1), gui::RadioPicture::Standard);
}

TEST(AboutDialog, CaptionVersionAndNotices) {
    gui::AboutDialog about;
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About EMEA VKT Update Tool"));
    EXPECT_EQ(about.titleLabel()->text(), QStringLiteral("EMEA VKT Update Tool"));
    // The tool's one version in release notation ("R01.03" for 1.3.0).
    EXPECT_EQ(about.versionLabel()->text().toStdString(), "Version " + releaseName());
    EXPECT_EQ(about.notice1()->text().toStdString(), loadString(str::kLegal1));
    EXPECT_EQ(about.notice2()->text().toStdString(), loadString(str::kLegal2));
    EXPECT_EQ(about.notice3()->toPlainText().toStdString(), loadString(str::kLegal3));
    EXPECT_TRUE(about.notice3()->isReadOnly());
    EXPECT_EQ(about.okButton()->text(), QStringLiteral("&OK"));
}

TEST(SplashScreen, EndsByItselfAfterTheDisplayTime) {
    gui::SplashScreen splash(50);
    EXPECT_EQ(splash.size(), splash.image().size());
    EXPECT_EQ(splash.exec(), 1);
}

}  // namespace
}  // namespace vkt::testing
