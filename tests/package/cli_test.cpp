// The package makers' commands of `vkt`, run as a user would run them.
#include <gtest/gtest.h>

#include "package/config_document.h"
#include "test_util.h"

namespace vkt {
namespace {

using test::runCommand;
using test::TempDir;

std::string vkt(const std::string& args) {
    return std::string(VKT_BIN) + " " + args;
}

TEST(CliFtf, PackShowExtractGiveBackTheImage) {
    TempDir dir;
    std::mt19937 rng(3);
    auto image = test::randomBytes(rng, 5000);
    test::writeFile(dir.file("image.bin"), image);
    auto r =
        runCommand(vkt("ftf pack --type 0 --name M1DEFR01.02.04 --version R01.02.04 "
                       "--codeplug-version R01.02.05 --model VK2150EMA01 " +
                       dir.file("image.bin") + " " + dir.file("out.ftf")));
    ASSERT_EQ(r.exitCode, 0);
    r = runCommand(vkt("ftf show --json " + dir.file("out.ftf")));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.output.find("\"type\":0,\"type_header\":\"model\",\"usual_content\":\"a "
                            "model's default codeplug block\",\"version\":\"R01.02.04\","
                            "\"internal_name\":\"M1DEFR01.02.04\""),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("\"image_length\":5000,\"codeplug_version\":\"R01.02.05\","
                            "\"model_number\":\"VK2150EMA01\",\"region_name\":null"),
              std::string::npos);
    EXPECT_NE(r.output.find("\"digest_matches\":true"), std::string::npos);
    r = runCommand(vkt("ftf show " + dir.file("out.ftf")));
    EXPECT_NE(r.output.find("type:             0 (model header; a model's default codeplug "
                            "block by convention)"),
              std::string::npos)
        << r.output;
    r = runCommand(vkt("ftf extract " + dir.file("out.ftf") + " " + dir.file("back.bin")));
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_EQ(test::readFile(dir.file("back.bin")), image);

    // One changed byte: the digest no longer matches and the file does not load.
    auto bytes = test::readFile(dir.file("out.ftf"));
    bytes.back() ^= 1;
    test::writeFile(dir.file("out.ftf"), bytes);
    r = runCommand(vkt("ftf show " + dir.file("out.ftf") + " 2>&1"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("(does not match)"), std::string::npos);
    EXPECT_NE(r.output.find("Error:invalid file ["), std::string::npos);
    r = runCommand(vkt("ftf extract " + dir.file("out.ftf") + " " + dir.file("x.bin") + " 2>&1"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Error:invalid file ["), std::string::npos);
}

TEST(CliFtf, BadUsageExitsWithTwo) {
    TempDir dir;
    test::writeText(dir.file("i"), "x");
    for (const std::string& args :
         {std::string("ftf"), std::string("ftf pack"),
          "ftf pack --type 5 --name N --version R01.02.03 " + dir.file("i") + " o",
          "ftf pack --type 1 --name N --version 1.2.3 " + dir.file("i") + " " + dir.file("o"),
          "ftf pack --type 3 --name N --version R01.02.03 --region ELEVENCHARS " + dir.file("i") +
              " " + dir.file("o"),
          "ftf pack --type 1 --name \xe2\x82\xac --version R01.02.03 " + dir.file("i") + " " +
              dir.file("o"),
          std::string("config"), std::string("config encode onlyone"), std::string("package"),
          std::string("package check extra")}) {
        EXPECT_EQ(runCommand(vkt(args) + " >/dev/null 2>&1").exitCode, 2) << args;
    }
    EXPECT_EQ(runCommand(vkt("ftf show " + dir.file("i") + " 2>/dev/null")).exitCode, 1);
    EXPECT_EQ(runCommand(vkt("ftf --help")).exitCode, 0);

    // A mistyped command is named, with the closest one.
    struct Typo {
        const char* args;
        const char* message;
    };
    for (const Typo& t : {
             Typo{"updat", "vkt: error: unknown command 'updat' (did you mean 'update'?)"},
             Typo{"--package x --simulate inf", "unknown command 'inf' (did you mean 'info'?)"},
             Typo{"package chek", "unknown command 'package chek' (did you mean 'package check'?)"},
             Typo{"zzzzzz", "unknown command 'zzzzzz'\nhint: `vkt --help`"},
         }) {
        const auto r = runCommand(vkt(std::string(t.args) + " 2>&1"));
        EXPECT_EQ(r.exitCode, 2) << t.args;
        EXPECT_NE(r.output.find(t.message), std::string::npos) << r.output;
    }
}

TEST(CliConfig, EncodeDecodeRoundTrip) {
    TempDir dir;
    const std::string xml =
        "<?xml version=\"1.0\"?>\r\n<setup id=\"EMEA\"><pwd cd2=\"1\"/></setup>\n";
    test::writeText(dir.file("plain.xml"), xml);
    ASSERT_EQ(runCommand(vkt("config encode " + dir.file("plain.xml") + " " + dir.file("s.dat")))
                  .exitCode,
              0);
    auto scrambled = test::readFile(dir.file("s.dat"));
    auto expected = scrambleConfigBytes(test::readFile(dir.file("plain.xml")));
    EXPECT_EQ(scrambled, expected);
    ASSERT_EQ(
        runCommand(vkt("config decode " + dir.file("s.dat") + " " + dir.file("back.xml"))).exitCode,
        0);
    EXPECT_EQ(test::readText(dir.file("back.xml")), xml);
    // Text that is not XML is refused both ways.
    test::writeText(dir.file("bad.xml"), "<setup>");
    EXPECT_EQ(runCommand(vkt("config encode " + dir.file("bad.xml") + " " + dir.file("o") +
                             " 2>/dev/null"))
                  .exitCode,
              1);
    EXPECT_EQ(runCommand(vkt("config decode " + dir.file("plain.xml") + " " + dir.file("o") +
                             " 2>/dev/null"))
                  .exitCode,
              1);
    EXPECT_FALSE(std::filesystem::exists(dir.file("o")));
}

TEST(CliPackage, DemoPackagePassesTheCheck) {
    auto r = runCommand(vkt(std::string("--package ") + VKT_DEMO_PACKAGE + " --data-dir " +
                            VKT_DEMO_DATA + " package check --json"));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("\"ok\":true,\"result\":\"Package OK, 5 warning(s)\""),
              std::string::npos)
        << r.output;
    // The demo is for radio type 2 (samples/README.md says why types 0 and 1
    // get warnings): for that type it is clean.
    const auto typeTwo =
        runCommand(vkt(std::string("--package ") + VKT_DEMO_PACKAGE + " --data-dir " +
                       VKT_DEMO_DATA + " package check --radio-type 2 --json"));
    EXPECT_NE(typeTwo.output.find("\"ok\":true,\"result\":\"Package OK\""), std::string::npos)
        << typeTwo.output;
    EXPECT_NE(typeTwo.output.find("\"problems\":[]"), std::string::npos) << typeTwo.output;

    // The global options may also follow the subcommand.
    auto after = runCommand(vkt(std::string("package check --package ") + VKT_DEMO_PACKAGE +
                                " --data-dir " + VKT_DEMO_DATA + " --json"));
    EXPECT_EQ(after.exitCode, 0) << after.output;
    EXPECT_EQ(after.output, r.output);
}

// A copy of the demo package whose plain config.xml went through `edit`.
class BrokenDemo {
  public:
    template <typename Edit>
    explicit BrokenDemo(Edit edit) {
        std::filesystem::copy(VKT_DEMO_PACKAGE, dir.file("data"));
        std::filesystem::copy(VKT_DEMO_DATA, dir.file("appdata"),
                              std::filesystem::copy_options::recursive);
        auto plain = scrambleConfigBytes(test::readFile(dir.file("data/config.xml")));
        std::string xml(plain.begin(), plain.end());
        edit(xml);
        test::writeFile(dir.file("data/config.xml"),
                        scrambleConfigBytes(std::span(
                            reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size())));
    }
    test::CommandResult check() {
        return runCommand(vkt("--package " + dir.file("data") + " --data-dir " +
                              dir.file("appdata") + " package check --radio-type 2"));
    }
    TempDir dir;
};

void replace(std::string& text, const std::string& from, const std::string& to) {
    auto pos = text.find(from);
    ASSERT_NE(pos, std::string::npos) << from;
    text.replace(pos, from.size(), to);
}

TEST(CliPackage, CheckReportsTheSystemsOwnMessages) {
    BrokenDemo emptyVoiceVersion([](std::string& xml) {
        replace(xml, "<vp name=\"VOICE_\" ver=\"R01.02.04\"", "<vp name=\"VOICE_\" ver=\"\"");
    });
    auto r = emptyVoiceVersion.check();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("The VP versio is empty\n"), std::string::npos) << r.output;

    BrokenDemo otherRegion(
        [](std::string& xml) { replace(xml, "name=\"EMEA\"", "name=\"APAC\""); });
    r = otherRegion.check();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("The setup has a different region name with config."),
              std::string::npos);

    BrokenDemo badRange([](std::string& xml) {
        replace(xml, "addr=\"0x821000\" len=\"0x800\"", "addr=\"0x821000\" len=\"0x1800\"");
        replace(xml, "addr=\"0x117000\"", "addr=\"0x118000\"");
    });
    r = badRange.check();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Error:the address or lenth of block [CH] configured is not matched "
                            "to the address map."),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("Error:the lenth of block [USERVOI] configured is not matched to the "
                            "address map."),
              std::string::npos);
}

TEST(CliPackage, CheckListsEveryProblemWithTheInternalNamesItLookedFor) {
    BrokenDemo threeLost([](std::string& xml) {
        replace(xml, "<fi name=\"VKT_FW_EMEA\"", "<fi name=\"VKT_FW_APAC\"");
        replace(xml, "<vp name=\"VOICE_\"", "<vp name=\"VOICES_\"");
        replace(xml, "name=\"VK2160EMA02\">\n    <bl name=\"DEF\" ver=\"R01.02.04\"",
                "name=\"VK2160EMA02\">\n    <bl name=\"DEF\" ver=\"R01.02.05\"");
    });
    auto r = threeLost.check();
    EXPECT_EQ(r.exitCode, 1);
    const std::string packageDir = threeLost.dir.file("data");
    EXPECT_EQ(r.output,
              "The FW file is lost.\n"
              "  (no FTF file in " +
                  packageDir +
                  " has the internal name VKT_FW_APAC)\n"
                  "Voice file is lost.\n"
                  "  (no FTF file in " +
                  packageDir +
                  " has the internal name "
                  "VOICES_R01.02.04)\n"
                  "Block VK2160EMA02 file is lost.\n"
                  "  (no FTF file in " +
                  packageDir +
                  " has the internal name "
                  "VK2160EMA02DEFR01.02.05)\n");
}

TEST(CliPackage, CheckLoadsEveryFile) {
    BrokenDemo demo([](std::string&) {});
    // Corrupt one byte of the voice file's image: its digest no longer matches.
    auto bytes = test::readFile(demo.dir.file("data/pkg003.ftf"));
    bytes[bytes.size() / 2] ^= 0x20;
    test::writeFile(demo.dir.file("data/pkg003.ftf"), bytes);
    auto r = demo.check();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Error:invalid file [" + demo.dir.file("data") + "/pkg003.ftf]."),
              std::string::npos)
        << r.output;
}

}  // namespace
}  // namespace vkt
