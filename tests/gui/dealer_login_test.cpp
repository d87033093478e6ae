// The dealer login through the Setting menu and the password dialog, and the
// serial-number update it unlocks, against the simulated radio.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>

#include "gui/language.h"
#include "gui/login_dialog.h"
#include "gui_bench.h"

namespace vkt::testing {
namespace {

constexpr const char* kDealerPassword = "4815162342";

// Hands every password dialog that opens to the next step of a script.
class PasswordScript {
  public:
    using Step = std::function<void(gui::LoginDialog&)>;
    explicit PasswordScript(std::vector<Step> steps) : steps_(std::move(steps)) {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* dialog = qobject_cast<gui::LoginDialog*>(QApplication::activeModalWidget());
            // Each opening is a new dialog, possibly at the old one's address.
            if (!dialog || dialog->property("scripted").toBool())
                return;
            dialog->setProperty("scripted", true);
            if (next_ < steps_.size())
                steps_[next_++](*dialog);
            else
                dialog->reject();
        });
        timer_.start(10);
    }
    std::size_t stepsRun() const { return next_; }

  private:
    std::vector<Step> steps_;
    std::size_t next_ = 0;
    QTimer timer_;
};

int redPixels(QWidget& widget) {
    const QImage image = widget.grab().toImage();
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += QColor(image.pixel(x, y)) == QColor(255, 0, 0);
    return count;
}

class DealerLogin : public ::testing::Test {
  protected:
    PackageCopy package;
};

TEST_F(DealerLogin, WrongPasswordShowsTheHintThenTheRightOneOpensTheSerialSection) {
    GuiBench bench(package, 1);
    Window& w = *bench.window;
    ASSERT_TRUE(waitFor([&] { return w.getInfoButton()->isEnabled(); }));
    const QList<QAction*> menus = w.menuBar()->actions();
    ASSERT_EQ(menus.size(), 3);
    EXPECT_EQ(menus[1]->text(), QStringLiteral("&Setting"));
    ASSERT_NE(w.dealerLoginAction(), nullptr);
    EXPECT_EQ(w.dealerLoginAction()->text(), QStringLiteral("&Dealer Login"));
    EXPECT_FALSE(w.serialGroup()->isVisible());
    const int heightBefore = w.height();

    bool firstSeen = false, secondSeen = false;
    PasswordScript script({
        [&](gui::LoginDialog& d) {
            EXPECT_EQ(d.windowTitle(), QStringLiteral("Login"));
            EXPECT_EQ(d.loginButton()->text(), QStringLiteral("Login"));
            EXPECT_EQ(d.entry()->echoMode(), QLineEdit::Password);
            EXPECT_EQ(d.entry()->maxLength(), 15);
            EXPECT_EQ(d.focusWidget(), d.entry());
            EXPECT_EQ(d.hintText(), QStringLiteral("Specify at most 15 numbers for password"));
            EXPECT_EQ(redPixels(d), 0);
            QTest::keyClicks(d.entry(), QStringLiteral("12ab3"));
            EXPECT_EQ(d.password(), QStringLiteral("123")) << "digits only";
            QTest::keyClicks(d.entry(), QStringLiteral("4567890123456789"));
            EXPECT_EQ(d.password().size(), 15);
            firstSeen = true;
            d.loginButton()->click();
        },
        [&](gui::LoginDialog& d) {
            EXPECT_TRUE(d.wrongPassword());
            EXPECT_EQ(d.hintText(),
                      QStringLiteral("The password is not correct. Please check it!"));
            EXPECT_EQ(d.hintColor(), QColor(255, 0, 0));
            EXPECT_GT(redPixels(d), 0);
            EXPECT_EQ(d.entry()->selectedText().size(), 15) << "previous entry selected";
            // Typing replaces the selection and clears the warning.
            QTest::keyClicks(d.entry(), QString::fromLatin1(kDealerPassword));
            EXPECT_FALSE(d.wrongPassword());
            EXPECT_EQ(redPixels(d), 0);
            secondSeen = true;
            d.loginButton()->click();
        },
    });
    w.dealerLoginAction()->trigger();

    EXPECT_TRUE(firstSeen);
    EXPECT_TRUE(secondSeen);
    EXPECT_EQ(script.stepsRun(), 2u);
    EXPECT_TRUE(w.serialGroup()->isVisible());
    EXPECT_GT(w.height(), heightBefore) << "the window grows by the section";
    EXPECT_FALSE(w.dealerLoginAction()->isEnabled());
    ASSERT_TRUE(waitFor([&] { return w.serialButton()->isEnabled(); }));

    // A refused number is left selected whole, focused, to be typed over.
    w.serialEntry()->setText(QStringLiteral("456DEF002"));
    QTest::mouseClick(w.serialButton(), Qt::LeftButton);
    ASSERT_EQ(bench.boxes.boxes.size(), 1u);
    EXPECT_EQ(bench.boxes.boxes[0].text, "The serial number is incorrect.");
    EXPECT_EQ(w.focusWidget(), w.serialEntry());
    EXPECT_EQ(w.serialEntry()->selectedText(), QStringLiteral("456DEF002"));

    // The unlocked section writes a new serial number into the radio.
    QTest::keyClicks(w.serialEntry(), QStringLiteral("456DEF0002"));
    QTest::mouseClick(w.serialButton(), Qt::LeftButton);
    ASSERT_EQ(bench.boxes.boxes.size(), 2u);
    EXPECT_EQ(bench.boxes.boxes[1].text, "Update serial number successful.");
    EXPECT_EQ(bench.boxes.boxes[1].style, MessageStyle::Info);
    EXPECT_EQ(bench.radio->serialNumber(), "456DEF0002");
    EXPECT_EQ(bench.text(Field::SerialNumber), QStringLiteral("456DEF0002"));
}

TEST_F(DealerLogin, ClosingTheDialogLeavesTheToolLocked) {
    GuiBench bench(package, 1);
    Window& w = *bench.window;
    PasswordScript script({[](gui::LoginDialog& d) {
        QTest::keyClicks(d.entry(), QString::fromLatin1(kDealerPassword));
        QTest::keyClick(&d, Qt::Key_Escape);
    }});
    w.dealerLoginAction()->trigger();
    EXPECT_EQ(script.stepsRun(), 1u);
    EXPECT_FALSE(w.serialGroup()->isVisible());
    EXPECT_TRUE(w.dealerLoginAction()->isEnabled());
}

TEST_F(DealerLogin, NoPasswordInTheSetupFileOffersNoLogin) {
    package.setSetup(R"(<?xml version="1.0" encoding="UTF-8"?>
<setup id="EMEA" name="EMEA"><langs def=""/><pwd cd2=""/></setup>)");
    // Without catalogs either, the Setting menu still offers English.
    gui::setLanguageFolder(QString::fromStdString(package.root.string()));
    GuiBench bench(package, 0);
    gui::setLanguageFolder({});
    ASSERT_TRUE(bench.startup.ok);
    EXPECT_EQ(bench.window->dealerLoginAction(), nullptr);
    const QList<QAction*> menus = bench.window->menuBar()->actions();
    ASSERT_EQ(menus.size(), 3);
    ASSERT_NE(menus[1]->menu(), nullptr);
    const QList<QAction*> setting = menus[1]->menu()->actions();
    ASSERT_EQ(setting.size(), 1);
    EXPECT_EQ(setting[0]->menu(), bench.window->languageMenu());
}

}  // namespace
}  // namespace vkt::testing
