// Languages and help in the desktop window: the catalogs built into the lang
// folder, the language menu, the start-up language with its fallback, and
// Help/Contents with an injected opener.
#include <gtest/gtest.h>

#include <QDir>
#include <QGroupBox>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include "gui/language.h"
#include "gui_bench.h"
#include "package/config_document.h"

namespace vkt::testing {
namespace {

namespace fs = std::filesystem;

class Languages : public ::testing::Test {
  protected:
    void TearDown() override {
        gui::useLanguage("");
        gui::setLanguageFolder({});
        Window::setHelpOpener(nullptr);
    }
    void setDefaultLanguage(const std::string& code) {
        package.setSetup(
            replaced(package.setupXml, R"(<langs def=""/>)", "<langs def=\"" + code + "\"/>"));
    }
    static void startIn(Application& app) {
        gui::selectStartupLanguage(app.config().defaultLanguage);
    }
    PackageCopy package;
};

QStringList itemTexts(QMenu* menu) {
    QStringList texts;
    for (QAction* action : menu->actions())
        texts << action->text();
    return texts;
}

TEST_F(Languages, TheGermanCatalogCoversEveryStringId) {
    ASSERT_TRUE(gui::useLanguage("DE"));
    for (int id : stringIds())
        EXPECT_FALSE(loadString(id).empty()) << id;
    EXPECT_EQ(loadString(str::kGetInfoButton), "Funkgeräteinformationen abrufen");
    // Placeholders survive the translation.
    EXPECT_NE(loadString(str::kManyCables).find("%d"), std::string::npos);
    EXPECT_NE(loadString(str::kSeries).find("%1"), std::string::npos);
    ASSERT_TRUE(gui::useLanguage(""));
    EXPECT_EQ(loadString(str::kGetInfoButton), "Get Radio Information");
}

TEST_F(Languages, MenuListsInstalledLanguagesAndChoosingOneIsStoredForTheNextStart) {
    GuiBench bench(package, 0);
    Window& w = *bench.window;
    QMenu* menu = w.languageMenu();
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(itemTexts(menu), (QStringList{"&English", "Deutsch(&D)"}));
    EXPECT_EQ(menu->title(), QStringLiteral("&Language"));
    EXPECT_FALSE(menu->actions()[0]->isChecked()) << "no default language in the setup file";

    menu->actions()[1]->trigger();
    ASSERT_EQ(bench.boxes.boxes.size(), 1u);
    EXPECT_EQ(bench.boxes.boxes[0].text,
              "You have to restart the tool for thsi change to take effect.");
    EXPECT_EQ(bench.boxes.boxes[0].style, MessageStyle::Info);
    EXPECT_TRUE(menu->actions()[1]->isChecked());
    EXPECT_TRUE(menu->actions()[1]->font().bold());
    EXPECT_FALSE(menu->actions()[0]->isChecked());
    // Texts stay as they are until the next start.
    EXPECT_EQ(w.getInfoButton()->text(), QStringLiteral("Get Radio Information"));
    const std::string stored = readText(package.root / "appdata" / "data" / "setup.dat");
    const std::vector<std::uint8_t> plain =
        scrambleConfigBytes({reinterpret_cast<const std::uint8_t*>(stored.data()), stored.size()});
    EXPECT_NE(std::string(plain.begin(), plain.end()).find(R"(<langs def="de"/>)"),
              std::string::npos);
}

TEST_F(Languages, StartInGermanShowsGermanCaptions) {
    setDefaultLanguage("de");
    GuiBench bench(package, 0, demoRadio(), startIn);
    ASSERT_TRUE(bench.startup.ok);
    Window& w = *bench.window;
    EXPECT_EQ(w.getInfoButton()->text(), QStringLiteral("Funkgeräteinformationen abrufen"));
    EXPECT_EQ(w.updateButton()->text(), QStringLiteral("Aktualisieren"));
    const QList<QAction*> menus = w.menuBar()->actions();
    ASSERT_EQ(menus.size(), 3);
    EXPECT_EQ(menus[0]->text(), QStringLiteral("&Datei"));
    EXPECT_EQ(menus[1]->text(), QStringLiteral("&Einstellungen"));
    EXPECT_EQ(menus[2]->text(), QStringLiteral("&Hilfe"));
    ASSERT_NE(w.languageMenu(), nullptr);
    EXPECT_TRUE(w.languageMenu()->actions()[1]->isChecked());
    EXPECT_EQ(package.logText().find("failed to load resource"), std::string::npos);
}

TEST_F(Languages, MissingCatalogFallsBackToEnglishWithALogLine) {
    const fs::path empty = package.root / "nolang";
    fs::create_directories(empty);
    gui::setLanguageFolder(QString::fromStdString(empty.string()));
    setDefaultLanguage("de");
    GuiBench bench(package, 0, demoRadio(), startIn);
    ASSERT_TRUE(bench.startup.ok);
    EXPECT_EQ(bench.window->getInfoButton()->text(), QStringLiteral("Get Radio Information"));
    EXPECT_NE(package.logText().find("Error:failed to load resource realted to language."),
              std::string::npos);
    ASSERT_NE(bench.window->languageMenu(), nullptr);
    EXPECT_EQ(itemTexts(bench.window->languageMenu()), QStringList{"&English"});
}

TEST_F(Languages, HelpOpensThePageOfTheLanguageOrReportsItUnavailable) {
    std::vector<QUrl> opened;
    bool opens = true;
    Window::setHelpOpener([&](const QUrl& url) {
        opened.push_back(url);
        return opens;
    });
    GuiBench bench(package, 0);
    Window& w = *bench.window;
    // F1, as the status bar says, opens the help like Help/Contents.
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_F1);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_TRUE(opened[0].isLocalFile());
    EXPECT_TRUE(opened[0].toLocalFile().endsWith(QStringLiteral("/lang/en_us.html")));
    EXPECT_TRUE(bench.boxes.boxes.empty());

    opens = false;  // the desktop could not show it
    w.contentsAction()->trigger();
    ASSERT_EQ(bench.boxes.boxes.size(), 1u);
    EXPECT_EQ(bench.boxes.boxes[0].text, "The help files are unavailable.");
    EXPECT_EQ(bench.boxes.boxes[0].style, MessageStyle::Info);
    EXPECT_NE(package.logText().find("Failed to load help file."), std::string::npos);

    // No page at all: the opener is not even asked.
    gui::setLanguageFolder(QString::fromStdString(package.root.string()));
    opens = true;
    w.contentsAction()->trigger();
    EXPECT_EQ(opened.size(), 2u);
    EXPECT_EQ(bench.boxes.boxes.size(), 2u);
}

}  // namespace
}  // namespace vkt::testing
