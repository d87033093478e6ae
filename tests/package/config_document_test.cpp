#include "package/config_document.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/file_io.h"
#include "test_util.h"

namespace vkt {
namespace {

using test::TempDir;

std::vector<std::uint8_t> scrambled(const std::string& text) {
    return scrambleConfigBytes(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

std::string unscrambled(const std::string& path) {
    auto bytes = scrambleConfigBytes(test::readFile(path));
    return {bytes.begin(), bytes.end()};
}

class ConfigDocumentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        removeErrors(ErrorCategory::Ok);
        ASSERT_TRUE(store.createConfigDocument());
    }
    void TearDown() override { removeErrors(ErrorCategory::Ok); }
    std::string put(const std::string& name, const std::string& xml) {
        std::string path = dir.file(name);
        test::writeFile(path, scrambled(xml));
        return path;
    }
    TempDir dir;
    ConfigDocument store;
};

TEST_F(ConfigDocumentTest, ScrambleWithTheFourByteKey) {
    const std::vector<std::uint8_t> zeros(8, 0);
    auto once = scrambleConfigBytes(zeros);
    EXPECT_EQ(std::string(once.begin(), once.end()), "KZRWKZRW");
    EXPECT_EQ(scrambleConfigBytes(once), zeros);
    std::vector<std::uint8_t> out(8, 0xEE);
    const auto* key = reinterpret_cast<const std::uint8_t*>("KZRW");
    EXPECT_EQ(scrambleBytes(nullptr, out.data(), 8, key, 4), 0u);
    EXPECT_EQ(scrambleBytes(zeros.data(), nullptr, 8, key, 4), 0u);
    EXPECT_EQ(out, std::vector<std::uint8_t>(8, 0xEE));

    // A 5-byte file: the key restarts at the fifth byte.
    std::string path = dir.file("five");
    test::writeFile(path, {0, 0, 0, 0, 0});
    ASSERT_TRUE(store.readScrambledFile(path));
    EXPECT_EQ(store.textLength(), 5u);
    EXPECT_EQ(store.text(), (std::vector<std::uint8_t>{'K', 'Z', 'R', 'W', 'K', 0}));
}

TEST_F(ConfigDocumentTest, ReadFailuresAndThePathRule) {
    std::string empty = dir.file("empty");
    test::writeFile(empty, {});
    EXPECT_FALSE(store.readScrambledFile(empty));
    EXPECT_EQ(errorCount(), 0u);

    EXPECT_FALSE(store.readScrambledFile(""));
    EXPECT_EQ(errorCount(), 0u);

    // 511 characters are accepted (the open then fails); 512 are refused
    // silently. The 2-byte character counts as one.
    std::string path511 = dir.path() + "/\xc3\xa9";
    path511 += std::string(511 - (dir.path().size() + 2), 'a');
    EXPECT_FALSE(store.readScrambledFile(path511));
    EXPECT_EQ(firstErrorCode(), 1);
    EXPECT_EQ(store.documentPath(), path511);
    removeErrors(ErrorCategory::Ok);
    std::string path512 = path511 + "q";
    EXPECT_FALSE(store.readScrambledFile(path512));
    EXPECT_EQ(errorCount(), 0u);
    EXPECT_EQ(store.documentPath(), path511);

    // documentPath moves to a file that cannot be opened, before the open.
    std::string good = put("config.xml", "<r id='1'/>");
    ASSERT_TRUE(store.readScrambledFile(good));
    EXPECT_FALSE(store.readScrambledFile(dir.file("setup.dat")));
    EXPECT_EQ(store.documentPath(), dir.file("setup.dat"));
    EXPECT_EQ(firstErrorText(),
              "Error:failed to open the specified file [" + dir.file("setup.dat") + "].");
    EXPECT_EQ(firstErrorCode(), 1);
    removeErrors(ErrorCategory::Ok);
    EXPECT_FALSE(store.readScrambledFile(dir.path()));  // a folder is no file
    EXPECT_EQ(firstErrorCode(), 1);
    removeErrors(ErrorCategory::Ok);
    // A (sparse) file over the size limit is refused before it is read.
    std::filesystem::resize_file(good, kMaxConfigFileSize + 1);
    EXPECT_FALSE(store.readScrambledFile(good));
    EXPECT_EQ(firstErrorText(), "Error:invalid config file.");
}

TEST_F(ConfigDocumentTest, ParseRefusesBadXmlWithoutMessages) {
    for (const char* bad :
         {"<r>", "not xml", "<r a='1' a='2'/>", "<a/><b/>", "<!-- only -->",
          // What a lenient parser lets through.
          "<r alias=\"VK&215\"/>", "<r a=\"&foo;\"/>", "<r>&foo;</r>", "<r a=\"a<b\"/>", "text<r/>",
          "<r/>text", "<r>a & b</r>", "<r><!-- a -- b --></r>", "<1r/>", "<r>\x01</r>"}) {
        ASSERT_TRUE(store.readScrambledFile(put("bad.xml", bad)));
        EXPECT_FALSE(store.parseDocument()) << bad;
        EXPECT_FALSE(store.root()) << bad;
        std::string description;
        EXPECT_FALSE(ConfigDocument::isWellFormed(bad, description)) << bad;
        EXPECT_FALSE(description.empty());
    }
    EXPECT_EQ(errorCount(), 0u);
    ConfigDocument noDocument;
    ASSERT_TRUE(noDocument.readScrambledFile(put("ok.xml", "<r/>")));
    EXPECT_FALSE(noDocument.parseDocument());
}

// A DTD is kept but never applied, and nothing it names is fetched: what it
// would change is refused instead of being read differently.
TEST_F(ConfigDocumentTest, DoctypesAreAcceptedButNeverApplied) {
    test::writeText(dir.file("outside.dtd"), "<!ENTITY x \"EXPANDED\">");
    const std::string outside = "file://" + dir.file("outside.dtd");
    const std::pair<std::string, std::string> good[] = {
        {"<!DOCTYPE r [<!ELEMENT r ANY><!ATTLIST r a CDATA #IMPLIED>]><r a='&amp;'/>", "&"},
        {"<!DOCTYPE r SYSTEM \"" + outside + "\"><r a=\"1&#65;&lt;\"/>", "1A<"},
        {"<!DOCTYPE r [<!ENTITY % p \"\">]><r a=''/>", ""}};
    for (const auto& [text, value] : good) {
        ASSERT_TRUE(store.readScrambledFile(put("good.xml", text)));
        EXPECT_TRUE(store.parseDocument()) << text;
        EXPECT_EQ(ConfigDocument::attribute(store.root(), "a"), value) << text;
    }
    for (const std::string& refused : std::vector<std::string>{
             // Entities it declares, inside or outside the file.
             std::string("<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\"><!ENTITY y "
                         "\"EXPANDED\">]><r a=\"&x;\" b=\"&y;\"/>"),
             "<!DOCTYPE r [<!ENTITY y \"EXPANDED\">]><r>&y;</r>",
             "<!DOCTYPE r [<!ENTITY y \"unused\">]><r/>",
             "<!DOCTYPE r [<!ENTITY a \"aaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]><r>&b;</r>",
             "<!DOCTYPE r SYSTEM \"" + outside + "\"><r a=\"&x;\"/>",
             "<!DOCTYPE r SYSTEM \"" + outside + "\"><r>&x;</r>",
             // A default it gives an attribute.
             "<!DOCTYPE r [<!ATTLIST r a CDATA \"d\">]><r/>"}) {
        ASSERT_TRUE(store.readScrambledFile(put("dtd.xml", refused)));
        EXPECT_FALSE(store.parseDocument()) << refused;
    }
}

TEST_F(ConfigDocumentTest, SetAttributeChangesOnlyThatAttributeAndRewritesTheFile) {
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<setup id=\"EMEA\" name=\"EMEA\">\n"
        "  <!-- kept -->\n  <g><langs def=\"\" x=\"1\"/></g>\n  <langs def=\"second\"/>\n"
        "  <pwd cd2=\"123\"/>\n  <t>caf\xc3\xa9 &amp; more</t>\n</setup>\n";
    std::string path = put("setup.dat", xml);
    ASSERT_TRUE(store.readScrambledFile(path));
    ASSERT_TRUE(store.parseDocument());
    ASSERT_TRUE(store.setDocumentAttribute("langs", "def", "de"));
    std::string expected = xml;
    expected.replace(expected.find("def=\"\""), 6, "def=\"de\"");
    EXPECT_EQ(unscrambled(path), expected);
    // A new attribute is appended to the element.
    ASSERT_TRUE(store.setDocumentAttribute("pwd", "new", "v<&\""));
    ASSERT_TRUE(store.readScrambledFile(path));
    ASSERT_TRUE(store.parseDocument());
    auto pwd = ConfigDocument::descendants(store.root(), "pwd");
    ASSERT_EQ(pwd.size(), 1u);
    EXPECT_EQ(ConfigDocument::attribute(pwd[0], "new"), "v<&\"");
    EXPECT_EQ(ConfigDocument::attribute(pwd[0], "cd2"), "123");
    // No temporary file is left beside the target.
    std::size_t files = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.path()))
        files += e.is_regular_file();
    EXPECT_EQ(files, 1u);
}

// Nothing but the value changes: not the declaration, the DOCTYPE, a
// processing instruction, the quotes, references elsewhere, line ends or a
// byte-order mark.
TEST_F(ConfigDocumentTest, ARewriteKeepsEveryOtherByte) {
    const std::string xml =
        "\xEF\xBB\xBF<?xml version='1.0' encoding='utf-8' standalone='yes'?>\r\n"
        "<!DOCTYPE setup [<!ELEMENT setup ANY>]>\r\n<?tool keep this?>\r\n"
        "<setup id='EMEA' name=\"EMEA\">\r\n\t<langs  def = 'fr' x='&#65;'/>\r\n"
        "\t<pwd\r\n/>\r\n</setup>\r\n<!-- after -->\r\n";
    std::string path = put("setup.dat", xml);
    ASSERT_TRUE(store.readScrambledFile(path));
    ASSERT_TRUE(store.parseDocument());
    ASSERT_TRUE(store.setDocumentAttribute("langs", "def", "it's"));
    ASSERT_TRUE(store.setDocumentAttribute("pwd", "cd2", "1&2<3>\t\"4\n"));
    std::string expected = xml;
    expected.replace(expected.find("'fr'"), 4, "'it&apos;s'");
    expected.replace(expected.find("<pwd") + 4, 0, " cd2=\"1&amp;2&lt;3&gt;&#9;&quot;4&#10;\"");
    EXPECT_EQ(unscrambled(path), expected);
    EXPECT_EQ(store.documentText(), expected);

    ConfigDocument back;
    ASSERT_TRUE(back.createConfigDocument());
    ASSERT_TRUE(back.readScrambledFile(path));
    ASSERT_TRUE(back.parseDocument());
    auto first = [&](const char* tag) { return ConfigDocument::descendants(back.root(), tag)[0]; };
    EXPECT_EQ(ConfigDocument::attribute(first("langs"), "def"), "it's");
    EXPECT_EQ(ConfigDocument::attribute(first("langs"), "x"), "A");
    EXPECT_EQ(ConfigDocument::attribute(first("pwd"), "cd2"), "1&2<3>\t\"4\n");

    // A value XML cannot carry changes nothing.
    EXPECT_FALSE(store.setDocumentAttribute("langs", "def", std::string("a\x01", 2)));
    EXPECT_EQ(unscrambled(path), expected);
    EXPECT_EQ(store.documentText(), expected);
}

// A file in a single-byte code page is read as Latin-1 and written back in
// the same bytes; a value it cannot hold is refused without a write.
TEST_F(ConfigDocumentTest, SingleByteTextIsReadAsLatin1AndWrittenBackAsSuch) {
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
        "<setup alias=\"Caf\xE9 \xC3(\"><langs def=\"fr\"/></setup>\n";
    std::string path = put("setup.dat", xml);
    ASSERT_TRUE(store.readScrambledFile(path));
    ASSERT_TRUE(store.parseDocument());
    EXPECT_EQ(ConfigDocument::attribute(store.root(), "alias"), "Caf\xC3\xA9 \xC3\x83(");
    std::string description;
    EXPECT_TRUE(ConfigDocument::isWellFormed(xml, description)) << description;

    ASSERT_TRUE(store.setDocumentAttribute("langs", "def", "d\xC3\xA9"));
    std::string expected = xml;
    expected.replace(expected.find("\"fr\""), 4, "\"d\xE9\"");
    EXPECT_EQ(unscrambled(path), expected);
    EXPECT_FALSE(store.setDocumentAttribute("langs", "def", "\xE2\x82\xAC"));  // the euro sign
    EXPECT_EQ(unscrambled(path), expected);
}

TEST_F(ConfigDocumentTest, AReadOnlyFileIsNotReplaced) {
    std::string path = put("setup.dat", "<setup><langs def=\"fr\"/></setup>");
    ASSERT_TRUE(store.readScrambledFile(path));
    ASSERT_TRUE(store.parseDocument());
    const auto original = test::readFile(path);
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    EXPECT_FALSE(store.setDocumentAttribute("langs", "def", "de"));
    EXPECT_EQ(test::readFile(path), original);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
}

TEST_F(ConfigDocumentTest, ARewriteKeepsOwnerGroupAndMode) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a file another owner needs root";
    std::string path = put("setup.dat", "<setup><langs def=\"fr\"/></setup>");
    ASSERT_EQ(::chown(path.c_str(), 4321, 4322), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(store.readScrambledFile(path));
    ASSERT_TRUE(store.parseDocument());
    ASSERT_TRUE(store.setDocumentAttribute("langs", "def", "de"));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(unscrambled(path), "<setup><langs def=\"de\"/></setup>");

    // A user who may write the file but cannot give a new one its owner
    // rewrites it in place.
    ASSERT_EQ(::chown(path.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    const std::vector<std::uint8_t> bytes{1, 2, 3};
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const bool switched =
            ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
        ::_exit(switched && writeFileAtomically(path, bytes) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_ino, before.st_ino);
    EXPECT_EQ(test::readFile(path), bytes);
}

TEST_F(ConfigDocumentTest, NothingIsWrittenForAnEmptyValueOrAMissingElement) {
    std::string path = put("setup.dat", "<setup id=\"E\"><langs def=\"fr\"/></setup>");
    ASSERT_TRUE(store.readScrambledFile(path));
    ASSERT_TRUE(store.parseDocument());
    struct stat before {};
    ::stat(path.c_str(), &before);
    const auto original = test::readFile(path);
    EXPECT_FALSE(store.setDocumentAttribute("langs", "def", ""));
    EXPECT_FALSE(store.setDocumentAttribute("pwd", "cd2", "1234"));
    EXPECT_EQ(test::readFile(path), original);
    EXPECT_EQ(store.documentText(), "<setup id=\"E\"><langs def=\"fr\"/></setup>");
    struct stat after {};
    ::stat(path.c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);  // not even replaced
}

TEST_F(ConfigDocumentTest, FailedSaveLeavesNoTemporaryFileBehind) {
    std::string path = put("setup.dat", "<setup><langs def=\"fr\"/></setup>");
    ASSERT_TRUE(store.readScrambledFile(path));
    ASSERT_TRUE(store.parseDocument());
    // The target turned into a non-empty folder: the final rename must fail.
    std::filesystem::remove(path);
    std::filesystem::create_directories(path + "/inside");
    EXPECT_FALSE(store.setDocumentAttribute("langs", "def", "de"));
    std::size_t entries = 0;
    for (auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
    // A folder that does not exist.
    EXPECT_FALSE(writeFileAtomically(dir.file("none/setup.dat"), std::vector<std::uint8_t>{1}));
    ConfigDocument fresh;
    EXPECT_FALSE(fresh.saveDocument());  // no documentPath
}

TEST_F(ConfigDocumentTest, SavedFileReadsBackWithTheSameElementsInOtherParsers) {
    const std::string xml =
        "<setup id=\"EMEA\" name=\"EMEA\"><langs def=\"\"/><pwd cd2=\"42\"/>"
        "<deep><deeper a=\"1\" b=\"&lt;2&gt;\"/></deep></setup>";
    std::string path = put("setup.dat", xml);
    ASSERT_TRUE(store.readScrambledFile(path));
    ASSERT_TRUE(store.parseDocument());
    ASSERT_TRUE(store.setDocumentAttribute("pwd", "cd2", "98765"));
    std::string plain = dir.file("plain.xml");
    test::writeText(plain, unscrambled(path));
    if (!std::string(VKT_XMLLINT).empty()) {
        auto r = test::runCommand(std::string(VKT_XMLLINT) + " --noout " + plain + " 2>&1");
        EXPECT_EQ(r.exitCode, 0) << r.output;
        r = test::runCommand(std::string(VKT_XMLLINT) +
                             " --xpath 'concat(/setup/pwd/@cd2,\"|\",/setup/@id,\"|\","
                             "/setup/deep/deeper/@b,\"|\",count(//*))' " +
                             plain);
        EXPECT_EQ(r.output, "98765|EMEA|<2>|5\n");
    }
    auto r = test::runCommand(
        "python3 -c \"import sys,xml.etree.ElementTree as E; t=E.parse(sys.argv[1]).getroot(); "
        "print(sorted((e.tag, sorted(e.attrib.items())) for e in t.iter()))\" " +
        plain);
    EXPECT_EQ(r.output,
              "[('deep', []), ('deeper', [('a', '1'), ('b', '<2>')]), ('langs', [('def', '')]), "
              "('pwd', [('cd2', '98765')]), ('setup', [('id', 'EMEA'), ('name', 'EMEA')])]\n");
}

TEST_F(ConfigDocumentTest, DeepAndHugeDocumentsDoNotCrash) {
    const int depth = 200000;
    std::string deep;
    deep.reserve(depth * 8);
    for (int i = 0; i < depth; ++i)
        deep += "<a>";
    deep += "<langs def=\"x\"/>";
    for (int i = 0; i < depth; ++i)
        deep += "</a>";
    std::string path = put("deep.dat", deep);
    ASSERT_TRUE(store.readScrambledFile(path));
    ASSERT_TRUE(store.parseDocument());
    EXPECT_EQ(ConfigDocument::descendants(store.root(), "langs").size(), 1u);
    ASSERT_TRUE(store.setDocumentAttribute("langs", "def", "de"));
    EXPECT_EQ(test::readFile(path).size(), deep.size() + 1);  // "x" became "de"

    std::string huge = "<r>";
    for (int i = 0; i < 200000; ++i)
        huge += "<vp ver=\"R" + std::to_string(i) + "\" name=\"V\"/>";
    huge += "</r>";
    ASSERT_TRUE(store.readScrambledFile(put("huge.dat", huge)));
    ASSERT_TRUE(store.parseDocument());
    EXPECT_EQ(ConfigDocument::descendants(store.root(), "vp").size(), 200000u);
    std::string unclosed(100000, '<');
    ASSERT_TRUE(store.readScrambledFile(put("unclosed.dat", unclosed)));
    EXPECT_FALSE(store.parseDocument());
}

}  // namespace
}  // namespace vkt
