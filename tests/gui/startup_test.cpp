// The desktop application's options and start-up: the same cable set-up as
// the command line, the start-up message, and a full update through the
// built-in simulated radio as `vkt-update-tool --simulate` runs it.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "app_test_support.h"
#include "gui/gui_startup.h"
#include "gui/main_window.h"
#include "gui_test_support.h"

namespace vkt::testing {
namespace {

using gui::GuiOptions;

std::optional<GuiOptions> parse(QStringList args, std::string& error,
                                std::optional<int>& exitCode) {
    args.prepend(QStringLiteral("vkt-update-tool"));
    return gui::parseGuiOptions(args, error, exitCode);
}

TEST(GuiOptions, SameOptionsAsTheCommandLine) {
    std::string error;
    std::optional<int> exitCode;
    auto options = parse({"--simulate", "--package", "/p", "--data-dir", "/d", "--backend", "sim",
                          "--trace", "/t", "--no-splash"},
                         error, exitCode);
    ASSERT_TRUE(options) << error;
    EXPECT_TRUE(options->simulate);
    EXPECT_EQ(options->packageDir, "/p");
    EXPECT_EQ(options->dataDir, "/d");
    EXPECT_EQ(options->backend, "sim");
    EXPECT_EQ(options->trace, "/t");
    EXPECT_EQ(options->splashMs, 0);

    auto defaults = parse({}, error, exitCode);
    ASSERT_TRUE(defaults);
    EXPECT_FALSE(defaults->simulate);
    EXPECT_EQ(defaults->splashMs, 1000);

    EXPECT_FALSE(parse({"--bogus"}, error, exitCode));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(exitCode);
    error.clear();
    EXPECT_FALSE(parse({"extra"}, error, exitCode));
    EXPECT_FALSE(error.empty());
}

class DesktopStartup : public ::testing::Test {
  protected:
    PackageCopy package;
    BoxScript boxes;
};

TEST_F(DesktopStartup, SimulatedRadioIsUpdatedAndKept) {
    GuiOptions options;
    options.simulate = true;
    options.packageDir = package.packageDir();
    options.dataDir = package.dataDir();
    {
        gui::DesktopSession session;
        ASSERT_FALSE(session.start(options));
        gui::MainWindow& window = session.openWindow();
        ASSERT_TRUE(waitFor([&] { return window.updateButton()->isEnabled(); }));
        boxes.answers = {ButtonId::Yes};
        QTest::mouseClick(window.updateButton(), Qt::LeftButton);
        ASSERT_EQ(boxes.boxes.size(), 2u);
        EXPECT_EQ(boxes.boxes[1].text, "Update successful.");
    }
    // The session saved the updated radio; the next one reads it back.
    EXPECT_TRUE(fs::exists(package.root / "appdata" / "sim" / "radio.state"));
    gui::DesktopSession again;
    ASSERT_FALSE(again.start(options));
    gui::MainWindow& window = again.openWindow();
    ASSERT_TRUE(clickGetRadioInformation(window));
    EXPECT_EQ(window.field(gui::MainWindow::Field::Firmware)->text(), QStringLiteral("R01.02.04"));
}

TEST_F(DesktopStartup, FailuresEndTheStart) {
    GuiOptions unknown;
    unknown.backend = "nosuch";
    unknown.dataDir = package.dataDir();
    EXPECT_EQ(gui::DesktopSession().start(unknown), 2);
    EXPECT_TRUE(boxes.boxes.empty());

    // A package of another region: string 112 with the error icon.
    package.setConfig(replaced(package.configXml, "EMEA", "APAC"));
    GuiOptions options;
    options.simulate = true;
    options.packageDir = package.packageDir();
    options.dataDir = package.dataDir();
    EXPECT_EQ(gui::DesktopSession().start(options), 1);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, loadString(str::kReinstall));
    EXPECT_EQ(boxes.boxes[0].style, MessageStyle::Error);
}

}  // namespace
}  // namespace vkt::testing
