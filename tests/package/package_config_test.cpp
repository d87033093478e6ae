#include "package/package_config.h"

#include <gtest/gtest.h>

#include "package/ftf_file.h"
#include "test_util.h"

namespace vkt {
namespace {

using test::TempDir;

const std::string kSetup =
    "<setup id=\"EMEA\" name=\"EMEA\"><langs def=\"\"/><pwd cd2=\"4815\"/></setup>";

class PackageConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        removeErrors(ErrorCategory::Ok);
        ASSERT_TRUE(store.createConfigDocument());
        std::filesystem::create_directories(dir.file("pkg"));
        std::filesystem::create_directories(dir.file("app"));
        for (const char* name : {"FW", "VOICE_R01.00", "VOICE_R02", "VOICE_R10", "ADDR_R01",
                                 "M1DEFR01.02.04", "M1DEFR01.02.05", "M2DEFR01"}) {
            addFtf(name);
        }
    }
    void TearDown() override { removeErrors(ErrorCategory::Ok); }

    // An FTF file with the given internal name under an unrelated file name.
    void addFtf(const std::string& internalName) {
        FtfSource src;
        src.type = 1;
        src.internalName = internalName;
        src.image = {'S', '9'};
        std::vector<std::uint8_t> bytes;
        std::string error;
        ASSERT_TRUE(buildFtfFile(src, bytes, error));
        test::writeFile(dir.file("pkg/file" + std::to_string(fileNumber++) + ".ftf"), bytes);
    }
    void writeScrambled(const std::string& path, const std::string& xml) {
        test::writeFile(path, scrambleConfigBytes(std::span(
                                  reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size())));
    }
    bool load(const std::string& body, const std::string& setup = kSetup,
              const std::string& rootAttributes = "id=\"EMEA\" name=\"EMEA\"") {
        writeScrambled(configPath(), "<package " + rootAttributes + ">" + body + "</package>");
        writeScrambled(setupPath(), setup);
        return config.loadPackageConfig(configPath(), setupPath());
    }
    std::string configPath() const { return dir.file("pkg/config.xml"); }
    std::string setupPath() const { return dir.file("app/setup.dat"); }
    std::string pathOf(const std::string& internalName) {
        FtfFileIndex files;
        FtfNameIndex names;
        scanFtfFiles(dir.file("pkg"), files, names);
        return names[internalName];
    }

    TempDir dir;
    int fileNumber = 1;
    ConfigDocument store;
    PackageConfig config{store};
};

const std::string kFull =
    "<fi name=\"FW\" ver=\"R01.02.04\"/>"
    "<vp name=\"VOICE_\" ver=\"R02\"/><vp name=\"VOICE_\" ver=\"R10\"/>"
    "<ad name=\"ADDR_\" ver=\"R01\"/>"
    "<bu><bl name=\"dyn\" from=\"1^3^7\" to=\"\" addr=\"8A0\" len=\"0x100\"/>"
    "<bl name=\"Uservoi\" from=\"300\" to=\"2\" addr=\"\" len=\"\"/>"
    "<bl name=\"STA\"/><bl name=\"\"/></bu>"
    "<mo type=\"VK2\" alias=\"VK-215\" img=\"1\" name=\"M1\">"
    "<bl name=\"DEF\" ver=\"R01.02.05\"/><bl name=\"DEF\" ver=\"R01.02.04\"/></mo>"
    "<group><mo type=\"VK3\" alias=\"VK-3\" img=\"5\" name=\"M2\"><bl name=\"DEF\" "
    "ver=\"R01\"/></mo></group>";

TEST_F(PackageConfigTest, LoadsAWholePackage) {
    ASSERT_TRUE(load(kFull)) << allErrorTexts();
    EXPECT_EQ(errorCount(), 0u);
    EXPECT_EQ(config.regionId, "EMEA");
    EXPECT_EQ(config.firmwarePath, pathOf("FW"));
    EXPECT_EQ(config.firmwareVersion, "R01.02.04");
    std::string path;
    EXPECT_TRUE(config.getVoiceFile("R10", path));
    EXPECT_EQ(path, pathOf("VOICE_R10"));
    EXPECT_FALSE(config.getVoiceFile("r10", path));
    EXPECT_TRUE(path.empty());
    EXPECT_TRUE(config.getAddressFile("R01", path));
    EXPECT_TRUE(config.getBlockFile("M1", "DEF", "R01.02.04", path));
    EXPECT_EQ(path, pathOf("M1DEFR01.02.04"));
    EXPECT_FALSE(config.getBlockFile("M1", "VOI", "R01.02.04", path));
    EXPECT_FALSE(config.getBlockFile("M9", "DEF", "R01.02.04", path));

    ModelEntry entry;
    ASSERT_TRUE(config.getModel("M2", entry));
    EXPECT_EQ(entry.image, -1);
    EXPECT_EQ(entry.alias, "VK-3");
    ASSERT_TRUE(config.getModel("M1", entry));
    EXPECT_EQ(entry.image, 1);
    EXPECT_TRUE(config.isModelKnown("M1"));
    EXPECT_FALSE(config.isModelKnown("m1"));
    EXPECT_FALSE(config.getModel("M3", entry));

    // Ranges: names ignore case; STA and empty names are skipped.
    ASSERT_EQ(config.userInfoRanges.size(), 2u);
    const UserInfoRange& dyn = config.userInfoRanges.at(0).front();
    EXPECT_EQ(dyn.fromVersions, (std::set<std::uint8_t>{1, 3, 7}));
    EXPECT_TRUE(dyn.toVersions.empty());
    EXPECT_EQ(dyn.address, 0x8A0);
    EXPECT_EQ(dyn.length, 0x100);
    const UserInfoRange& voice = config.userInfoRanges.at(9).front();
    EXPECT_EQ(voice.fromVersions, (std::set<std::uint8_t>{44}));
    EXPECT_EQ(voice.address, 0);
    EXPECT_EQ(voice.length, 0);

    // The setup file's language and password.
    EXPECT_EQ(config.defaultLanguage, "");
    EXPECT_EQ(config.loginPassword, "4815");
}

TEST_F(PackageConfigTest, RangesAreMatchedByVersionInFileOrder) {
    ASSERT_TRUE(
        load("<bu><bl name=\"DYN\" from=\"1\" to=\"\" addr=\"A\" len=\"1\"/>"
             "<bl name=\"DYN\" from=\"\" to=\"\" addr=\"B\" len=\"2\"/>"
             "<bl name=\"FRE\" from=\"\" to=\"4^5\" addr=\"0x7FFFFFFFFF\" len=\"-0x10\"/></bu>"));
    std::int32_t address = -1;
    std::int32_t length = -1;
    EXPECT_TRUE(config.findUserInfoRange(0, 2, 5, address, length));
    EXPECT_EQ(address, 0xB);
    EXPECT_TRUE(config.findUserInfoRange(0, 1, 5, address, length));
    EXPECT_EQ(address, 0xA);
    EXPECT_FALSE(config.findUserInfoRange(7, 1, 3, address, length));
    EXPECT_EQ(address, 0);
    EXPECT_TRUE(config.findUserInfoRange(7, 1, 5, address, length));
    EXPECT_EQ(address, 0x7FFFFFFF);  // clamped
    EXPECT_EQ(length, -16);
    address = length = 9;
    EXPECT_FALSE(config.findUserInfoRange(10, 1, 1, address, length));
    EXPECT_EQ(address, 0);
    EXPECT_EQ(length, 0);
    EXPECT_FALSE(config.findUserInfoRange(-1, 1, 1, address, length));
    EXPECT_FALSE(config.findUserInfoRange(6, 1, 1, address, length));
}

TEST_F(PackageConfigTest, EnumeratorsGiveEveryElementOnceThenFalse) {
    ASSERT_TRUE(load(kFull));
    std::string v;
    EXPECT_TRUE(config.nextVoiceVersion(v));
    EXPECT_EQ(v, "R02");
    EXPECT_TRUE(config.nextVoiceVersion(v));
    EXPECT_EQ(v, "R10");
    EXPECT_FALSE(config.nextVoiceVersion(v));
    EXPECT_EQ(v, "R10");  // untouched
    EXPECT_TRUE(config.nextVoiceVersion(v));
    EXPECT_EQ(v, "R02");

    std::vector<std::string> names;
    while (config.nextModelName(v))
        names.push_back(v);
    EXPECT_EQ(names, (std::vector<std::string>{"M1", "M2"}));
    std::vector<std::int32_t> kinds;
    std::int32_t kind = 0;
    while (config.nextUserInfoKind(kind))
        kinds.push_back(kind);
    EXPECT_EQ(kinds, (std::vector<std::int32_t>{0, 9}));
    EXPECT_TRUE(config.nextAddressVersion(v));
    EXPECT_FALSE(config.nextAddressVersion(v));
    EXPECT_FALSE(config.nextLanguage(v));  // nothing fills languages but the application
    config.languages = {"en_us", "de"};
    EXPECT_TRUE(config.nextLanguage(v));
    EXPECT_TRUE(config.nextLanguage(v));
    EXPECT_EQ(v, "de");
    EXPECT_FALSE(config.nextLanguage(v));
    EXPECT_TRUE(config.nextLanguage(v));
    EXPECT_EQ(v, "en_us");

    // Block versions: unknown model ends the pass at once; the next call looks again.
    EXPECT_FALSE(config.nextBlockVersion("M9", "DEF", v));
    EXPECT_TRUE(v.empty());
    EXPECT_TRUE(config.nextBlockVersion("M1", "DEF", v));
    EXPECT_EQ(v, "R01.02.04");
    EXPECT_TRUE(config.nextBlockVersion("ignored", "ignored", v));
    EXPECT_EQ(v, "R01.02.05");
    EXPECT_FALSE(config.nextBlockVersion("M1", "DEF", v));
    EXPECT_TRUE(config.nextBlockVersion("M2", "DEF", v));
    EXPECT_EQ(v, "R01");
}

TEST_F(PackageConfigTest, AccessorsListTheKeysAndLeaveTheEnumeratorsWhereTheyAre) {
    ASSERT_TRUE(load(kFull));
    std::string v;
    ASSERT_TRUE(config.nextVoiceVersion(v));  // an enumerator in mid-pass
    ASSERT_TRUE(config.nextBlockVersion("M1", "DEF", v));

    EXPECT_EQ(config.modelNames(), (std::vector<std::string>{"M1", "M2"}));
    EXPECT_EQ(config.voiceVersions(), (std::vector<std::string>{"R02", "R10"}));
    EXPECT_EQ(config.addressVersions().size(), 1U);
    EXPECT_EQ(config.userInfoKinds(), (std::vector<std::int32_t>{0, 9}));
    EXPECT_EQ(config.blockVersions("M1", "DEF"),
              (std::vector<std::string>{"R01.02.04", "R01.02.05"}));
    EXPECT_TRUE(config.blockVersions("M9", "DEF").empty());
    EXPECT_TRUE(config.blockVersions("M1", "NOPE").empty());

    EXPECT_TRUE(config.nextVoiceVersion(v));
    EXPECT_EQ(v, "R10");
    EXPECT_TRUE(config.nextBlockVersion("M2", "DEF", v));
    EXPECT_EQ(v, "R01.02.05");
}

TEST_F(PackageConfigTest, EachConfigurationFaultHasItsMessage) {
    struct Case {
        std::string body;
        std::string message;
    };
    const std::string failed = "Failed to load config file [" + configPath() + "].";
    const std::vector<Case> cases = {
        {"<fi name=\"NOPE\" ver=\"R1\"/>", "The FW file is lost."},
        {"<fi name=\"FW\" ver=\"\"/>", "The FW version is empty."},
        {"<fi name=\"NOPE\" ver=\"R1\"/><fi name=\"FW\" ver=\"R1\"/>", "The FW file is lost."},
        {"<vp name=\"VOICE_\" ver=\"\"/>", "The VP versio is empty"},
        {"<vp name=\"VOICE_\" ver=\"R01.01\"/>", "Voice file is lost."},
        {"<vp ver=\"R02\"/>", failed},
        {"<ad name=\"ADDR_\" ver=\"\"/>", "The ADDR version is empty."},
        {"<ad name=\"ADDR_\" ver=\"R02\"/>", "Address file is lost."},
        {"<bu><bl name=\"DYN\" from=\"\" to=\"\" addr=\"1\"/></bu>", failed},
        {"<mo type=\"\" alias=\"a\" img=\"0\" name=\"M1\"/>", "Block type is empty."},
        {"<mo type=\"t\" alias=\"\" img=\"0\" name=\"M1\"/>", "Block alias is empty."},
        {"<mo type=\"t\" alias=\"a\" img=\"x\" name=\"M1\"/>", failed},
        {"<mo type=\"t\" alias=\"a\" img=\"\" name=\"M1\"/>", failed},
        {"<mo type=\"t\" alias=\"a\" img=\"0\" name=\"\"/>", "Model name is empty."},
        {"<mo type=\"t\" alias=\"a\" img=\"0\" name=\"M1\"><bl name=\"\" ver=\"1\"/></mo>",
         "Block name is empty."},
        {"<mo type=\"t\" alias=\"a\" img=\"0\" name=\"M1\"><bl name=\"DEF\" ver=\"\"/></mo>",
         "Block version is empty."},
        {"<mo type=\"t\" alias=\"a\" img=\"0\" name=\"M1\"><bl name=\"DEF\" ver=\"R9\"/></mo>",
         "Block M1 file is lost."},
        {"<mo type=\"t\" alias=\"a\" name=\"M1\"/>", failed},
    };
    for (const Case& c : cases) {
        removeErrors(ErrorCategory::Ok);
        PackageConfig fresh(store);
        writeScrambled(configPath(), "<package id=\"EMEA\" name=\"EMEA\">" + c.body + "</package>");
        EXPECT_FALSE(fresh.loadPackageConfig(configPath(), dir.file("app/absent.dat"))) << c.body;
        // The setup file is never opened after a configuration fault.
        EXPECT_EQ(test::errorMessages(), std::vector<std::string>{c.message}) << c.body;
        EXPECT_EQ(firstErrorCode(), 6);
    }
    removeErrors(ErrorCategory::Ok);
    EXPECT_FALSE(load("", kSetup, "id=\"\" name=\"EMEA\""));
    EXPECT_EQ(firstErrorText(), "The Region ID is empty.");
    removeErrors(ErrorCategory::Ok);
    EXPECT_FALSE(load("", kSetup, "id=\"EMEA\" name=\"\""));
    EXPECT_EQ(firstErrorText(), "The Region name is empty.");
    removeErrors(ErrorCategory::Ok);
    EXPECT_FALSE(load("", kSetup, "id=\"EMEA\""));
    EXPECT_EQ(firstErrorText(), failed);
}

TEST_F(PackageConfigTest, FilesAreFoundByInternalNameOnly) {
    // A file named like the internal name, holding another one, does not count.
    std::filesystem::rename(dir.file("pkg/file2.ftf"), dir.file("pkg/VOICE_R01.01"));
    EXPECT_FALSE(load("<vp name=\"VOICE_\" ver=\"R01.01\"/>"));
    EXPECT_EQ(firstErrorText(), "Voice file is lost.");
    removeErrors(ErrorCategory::Ok);
    PackageConfig fresh(store);
    writeScrambled(configPath(),
                   "<p id=\"EMEA\" name=\"EMEA\"><vp name=\"VOICE_\" ver=\"R01.00\"/></p>");
    EXPECT_TRUE(fresh.loadPackageConfig(configPath(), setupPath()));
    std::string path;
    EXPECT_TRUE(fresh.getVoiceFile("R01.00", path));
    EXPECT_EQ(path, dir.file("pkg/VOICE_R01.01"));
}

TEST_F(PackageConfigTest, WithoutFirmwareTheLoadGoesOn) {
    ASSERT_TRUE(load("<vp name=\"VOICE_\" ver=\"R02\"/>"));
    EXPECT_TRUE(config.firmwarePath.empty());
    EXPECT_TRUE(config.firmwareVersion.empty());
}

TEST_F(PackageConfigTest, ALaterModelReplacesAnEarlierOneWhole) {
    ASSERT_TRUE(load(
        "<mo type=\"A\" alias=\"a\" img=\"0\" name=\"M1\"><bl name=\"DEF\" ver=\"R01.02.04\"/></mo>"
        "<mo type=\"B\" alias=\"b\" img=\"2\" name=\"M1\"/>"));
    ModelEntry entry;
    ASSERT_TRUE(config.getModel("M1", entry));
    EXPECT_EQ(entry.type, "B");
    EXPECT_EQ(entry.image, 2);
    EXPECT_TRUE(entry.blocks.empty());
}

TEST_F(PackageConfigTest, SetupFileFaults) {
    const std::string failed = "Failed to load setup file [" + setupPath() + "].";
    struct Case {
        std::string setup;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"<s id=\"emea\" name=\"EMEA\"/>", "The setup has a different region id with config."},
        {"<s id=\"EMEA\" name=\"Emea\"/>", "The setup has a different region name with config."},
        {"<s id=\"EMEA\" name=\"\"/>", "The Region name is empty."},
        {"<s id=\"\" name=\"X\"/>", "The Region ID is empty."},
        {"<s id=\"EMEA\"/>", failed},
        {"<s id=\"EMEA\" name=\"EMEA\">", "The setup file [" + setupPath() + "] is invalid."},
    };
    for (const Case& c : cases) {
        removeErrors(ErrorCategory::Ok);
        PackageConfig fresh(store);
        writeScrambled(configPath(), "<p id=\"EMEA\" name=\"EMEA\"/>");
        writeScrambled(setupPath(), c.setup);
        EXPECT_FALSE(fresh.loadPackageConfig(configPath(), setupPath())) << c.setup;
        EXPECT_EQ(test::errorMessages(), std::vector<std::string>{c.message}) << c.setup;
    }
    removeErrors(ErrorCategory::Ok);
    EXPECT_FALSE(config.loadPackageConfig(configPath(), dir.file("app/missing.dat")));
    EXPECT_EQ(test::errorMessages(),
              (std::vector<std::string>{
                  "Error:failed to open the specified file [" + dir.file("app/missing.dat") + "].",
                  "The setup file [" + dir.file("app/missing.dat") + "] is invalid."}));
    EXPECT_EQ(firstErrorCode(), 1);
    removeErrors(ErrorCategory::Ok);
    EXPECT_FALSE(config.loadPackageConfig(dir.file("pkg/none.xml"), setupPath()));
    EXPECT_EQ(errorCount(), 2u);
    EXPECT_EQ(test::errorMessages()[1],
              "The initial file [" + dir.file("pkg/none.xml") + "] is invalid.");
}

// XML that is not well-formed is refused whole, with the file's own message,
// however little is wrong with it.
TEST_F(PackageConfigTest, FilesThatAreNotWellFormedXmlAreInvalid) {
    const std::string model = "<mo type=\"VK2\" alias=\"VK&215\" img=\"1\" name=\"M1\"/>";
    for (const std::string& config : {"<package id=\"EMEA\" name=\"EMEA\">" + model + "</package>",
                                      std::string("<package id=\"&foo;\" name=\"EMEA\"/>"),
                                      std::string("<package id=\"EMEA\" name=\"EM<EA\"/>"),
                                      std::string("x<package id=\"EMEA\" name=\"EMEA\"/>"),
                                      std::string("<package id=\"EMEA\" name=\"EMEA\"/>x")}) {
        removeErrors(ErrorCategory::Ok);
        PackageConfig fresh(store);
        writeScrambled(configPath(), config);
        writeScrambled(setupPath(), kSetup);
        EXPECT_FALSE(fresh.loadPackageConfig(configPath(), setupPath())) << config;
        EXPECT_EQ(test::errorMessages(),
                  std::vector<std::string>{"The initial file [" + configPath() + "] is invalid."})
            << config;
    }
    for (const std::string& setup :
         std::vector<std::string>{kSetup + "x", "<s id=\"EMEA\" name=\"EMEA\" a=\"&\"/>"}) {
        removeErrors(ErrorCategory::Ok);
        EXPECT_FALSE(load("", setup)) << setup;
        EXPECT_EQ(test::errorMessages(),
                  std::vector<std::string>{"The setup file [" + setupPath() + "] is invalid."})
            << setup;
    }
    removeErrors(ErrorCategory::Ok);
}

TEST_F(PackageConfigTest, SettersRewriteTheSetupFile) {
    const std::string setup =
        "<setup id=\"EMEA\" name=\"EMEA\">\n  <langs def=\"\"/>\n  <pwd cd2=\"4815\"/>\n</setup>\n";
    ASSERT_TRUE(load("", setup));
    ASSERT_TRUE(config.setDefaultLanguage("de"));
    auto plain = scrambleConfigBytes(test::readFile(setupPath()));
    std::string expected = setup;
    expected.replace(expected.find("def=\"\""), 6, "def=\"de\"");
    EXPECT_EQ(std::string(plain.begin(), plain.end()), expected);

    const auto before = test::readFile(setupPath());
    EXPECT_FALSE(config.setDealerPassword(""));
    EXPECT_FALSE(config.setDefaultLanguage(""));
    EXPECT_TRUE(config.savedPassword.empty());
    EXPECT_EQ(test::readFile(setupPath()), before);
    ASSERT_TRUE(config.setDealerPassword("123456789012345"));
    EXPECT_EQ(config.savedPassword, "123456789012345");
    PackageConfig reloaded(store);
    ASSERT_TRUE(reloaded.loadPackageConfig(configPath(), setupPath()));
    EXPECT_EQ(reloaded.defaultLanguage, "de");
    EXPECT_EQ(reloaded.loginPassword, "123456789012345");

    // A setup file without a pwd element: nothing is written.
    ASSERT_TRUE(load("", "<setup id=\"EMEA\" name=\"EMEA\"/>"));
    EXPECT_TRUE(config.loginPassword.empty());
    const auto bare = test::readFile(setupPath());
    EXPECT_FALSE(config.setDealerPassword("1"));
    EXPECT_EQ(test::readFile(setupPath()), bare);
}

TEST(ToolRegion, NameMustBeEmeaIgnoringCase) {
    EXPECT_TRUE(isToolRegion("EMEA"));
    EXPECT_TRUE(isToolRegion("emea"));
    EXPECT_FALSE(isToolRegion("EMEA "));
    EXPECT_FALSE(isToolRegion(""));
    EXPECT_FALSE(isToolRegion("NA"));
    EXPECT_EQ(fmt::sprintf(kWrongRegionFormat, kToolRegion),
              "Error:invalid config file.The the applicatio only supportes region [EMEA]");
}

TEST(ProcessWideConfig, ResetGivesAnEmptyRecord) {
    PackageConfig::instance().regionName = "X";
    PackageConfig::resetInstance();
    EXPECT_TRUE(PackageConfig::instance().regionName.empty());
}

}  // namespace
}  // namespace vkt
