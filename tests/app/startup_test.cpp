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
    EXPECT_EQ(result.style, kStyleError);
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
