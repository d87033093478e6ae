// Start-up of the application: the package, the region rule and the log,
// and the string table's language hook.
#include <gtest/gtest.h>

#include "app_test_support.h"

namespace vkt::testing {
namespace {

StartupResult startWith(PackageCopy& package, EventLoop& loop) {
    Application app;
    StartupOptions options;
    options.packageDir = package.packageDir();
    options.dataDir = package.dataDir();
    options.driver = std::make_shared<sim::VirtualCableDriver>();
    options.pollPeriod = std::chrono::hours(1);
    options.queue = &loop;
    StartupResult result = app.start(options);
    EXPECT_EQ(app.title(), "EMEA VKT Update Tool");
    return result;
}

StartupResult startIn(const PackageCopy& package, const fs::path& dataDir,
                      const fs::path& setupTemplate, bool createDataDir, EventLoop& loop) {
    Application app;
    StartupOptions options;
    options.packageDir = package.packageDir();
    options.dataDir = dataDir.string();
    options.setupTemplate = setupTemplate.string();
    options.createDataDir = createDataDir;
    options.driver = std::make_shared<sim::VirtualCableDriver>();
    options.pollPeriod = std::chrono::hours(1);
    options.queue = &loop;
    StartupResult result = app.start(options);
    app.shutdown();
    ErrorLog::instance().reset();
    removeErrors(0);
    return result;
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// A data folder without a setup file gets a copy of the template on its
// first start, and the log says so. The default folder is created for it; a
// given folder that does not exist is not. A setup file that is there stays,
// even when it is damaged (the start then asks for a re-install).
TEST(Startup, AFirstStartCopiesTheSetupTemplate) {
    PackageCopy package;
    const fs::path setupTemplate = package.root / "template.dat";
    fs::rename(package.root / "appdata" / "data" / "setup.dat", setupTemplate);
    const std::string templateBytes = readText(setupTemplate);
    EventLoop loop;

    const fs::path fresh = package.root / "home" / "share" / "vkt-update-tool";
    const fs::path setup = fresh / "data" / "setup.dat";
    const fs::path log = fresh / "log" / "err.log";
    EXPECT_TRUE(startIn(package, fresh, setupTemplate, true, loop).ok);
    EXPECT_EQ(readText(setup), templateBytes);
    EXPECT_EQ(count(readText(log), "First start: the setup file [" + setup.string() +
                                       "] was created from the template [" +
                                       setupTemplate.string() + "]."),
              1u)
        << readText(log);

    // The next start finds it and copies nothing; a changed file is kept.
    ConfigDocument store;
    ASSERT_TRUE(store.createConfigDocument());
    PackageConfig stored(store);
    ASSERT_TRUE(stored.loadPackageConfig(package.packageDir() + "/config.xml", setup.string()));
    ASSERT_TRUE(stored.setDealerPassword("24681357"));
    const std::string changed = readText(setup);
    EXPECT_TRUE(startIn(package, fresh, setupTemplate, true, loop).ok);
    EXPECT_EQ(readText(setup), changed);
    EXPECT_EQ(count(readText(log), "First start"), 1u);

    // Damaged: not replaced, the re-install message.
    fs::resize_file(setup, 20);
    StartupResult damaged = startIn(package, fresh, setupTemplate, true, loop);
    EXPECT_FALSE(damaged.ok);
    EXPECT_EQ(damaged.messageId, 112);
    EXPECT_EQ(fs::file_size(setup), 20u);

    // A given folder that does not exist is a mistake: nothing is made.
    const fs::path typo = package.root / "no" / "such";
    EXPECT_EQ(startIn(package, typo, setupTemplate, false, loop).messageId, 112);
    EXPECT_FALSE(fs::exists(package.root / "no"));

    // Without the template (a broken installation) the start fails as
    // before, and the log names the template.
    const fs::path other = package.root / "other";
    fs::create_directories(other);
    EXPECT_EQ(startIn(package, other, package.root / "missing.dat", false, loop).messageId, 112);
    EXPECT_NE(readText(other / "log" / "err.log")
                  .find("Error:the setup file template [" +
                        (package.root / "missing.dat").string() + "] cannot be read."),
              std::string::npos);
    EXPECT_FALSE(fs::exists(other / "data" / "setup.dat"));
}

TEST(Startup, TheDemoPackageStarts) {
    PackageCopy package;
    EventLoop loop;
    StartupResult result = startWith(package, loop);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.messageId, 0);
    EXPECT_EQ(package.logText(), "");
}

TEST(Startup, AMissingConfigurationIsLoggedAndShownAsReinstall) {
    PackageCopy package;
    fs::remove(package.root / "data" / "config.xml");
    EventLoop loop;
    StartupResult result = startWith(package, loop);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.messageId, 112);
    EXPECT_EQ(result.style, MessageStyle::Error);
    EXPECT_FALSE(result.logLine.empty());
    EXPECT_NE(package.logText().find(result.logLine), std::string::npos);
    EXPECT_EQ(errorCount(), 0u);
}

TEST(Startup, TheRegionMustBeEmeaIgnoringCase) {
    {
        PackageCopy package;
        package.setConfig(replaced(package.configXml, "name=\"EMEA\">", "name=\"EMEA \">"));
        package.setSetup(replaced(package.setupXml, "name=\"EMEA\">", "name=\"EMEA \">"));
        EventLoop loop;
        StartupResult result = startWith(package, loop);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.messageId, 112);
        EXPECT_NE(package.logText().find("Error:invalid config file.The the applicatio only "
                                         "supportes region [EMEA]"),
                  std::string::npos)
            << package.logText();
    }
    {
        PackageCopy package;
        package.setConfig(replaced(package.configXml, "name=\"EMEA\">", "name=\"emea\">"));
        package.setSetup(replaced(package.setupXml, "name=\"EMEA\">", "name=\"emea\">"));
        EventLoop loop;
        EXPECT_TRUE(startWith(package, loop).ok);
    }
}

TEST(Startup, WithoutACableBackEndTheComponentsFail) {
    PackageCopy package;
    EventLoop loop;
    Application app;
    StartupOptions options;
    options.packageDir = package.packageDir();
    options.dataDir = package.dataDir();
    options.queue = &loop;
    StartupResult result = app.start(options);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.messageId, 0) << "nothing is shown";
    EXPECT_NE(package.logText().find("Error:failed to initialize component."), std::string::npos);
}

TEST(Strings, ATranslatorOverridesAndEnglishFillsTheGaps) {
    setTranslator([](int id) -> std::optional<std::string> {
        if (id == 125)
            return std::string("EMEA VKT (de)");
        return std::nullopt;
    });
    EXPECT_EQ(Application::composeTitle(), "EMEA VKT (de) Update Tool");
    EXPECT_EQ(loadString(175), "N/A");
    setTranslator({});
    EXPECT_EQ(Application::composeTitle(), "EMEA VKT Update Tool");
    EXPECT_EQ(loadString(99999), "");
    EXPECT_EQ(replacePlaceholder(loadString(121), "VK2"), "VK2 Series");
}

}  // namespace
}  // namespace vkt::testing
