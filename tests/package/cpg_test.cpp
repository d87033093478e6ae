#include "package/cpg.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace vkt {
namespace {

std::string record(int type, std::size_t addressBytes, std::uint32_t address,
                   const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> body;
    for (std::size_t i = addressBytes; i-- > 0;)
        body.push_back(static_cast<std::uint8_t>(address >> (8 * i)));
    body.insert(body.end(), data.begin(), data.end());
    auto count = static_cast<std::uint8_t>(body.size() + 1);
    std::uint8_t sum = count;
    std::string text = fmt::sprintf("S%d%02X", type, count);
    for (auto b : body) {
        sum = static_cast<std::uint8_t>(sum + b);
        text += fmt::sprintf("%02X", b);
    }
    return text + fmt::sprintf("%02X", static_cast<std::uint8_t>(~sum));
}

bool parse(Cpg& cpg, const std::string& text) {
    return cpg.parseStream(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

class CpgTest : public ::testing::Test {
  protected:
    void SetUp() override { removeErrors(ErrorCategory::Ok); }
    void TearDown() override { removeErrors(ErrorCategory::Ok); }
    Cpg cpg;
};

TEST_F(CpgTest, Defaults) {
    EXPECT_EQ(cpg.block(BlockKind::DYN).address, 0x820000u);
    EXPECT_EQ(cpg.block(BlockKind::CH).address, 0x821000u);
    EXPECT_EQ(cpg.block(BlockKind::VOI).size, 0xBD000u);
    EXPECT_EQ(cpg.block(BlockKind::USERVOI).size, 0x1000u);
    EXPECT_TRUE(cpg.block(BlockKind::DEF).data.empty());
    EXPECT_STREQ(blockKindName(BlockKind::USERVOI), "USERVOI");
    EXPECT_STREQ(blockKindName(6), "CH");
    EXPECT_STREQ(blockKindName(10), "");
}

TEST_F(CpgTest, AddressMapKeywordsValuesAndEqualsSigns) {
    EXPECT_TRUE(cpg.parseAddressMap("VOICE ADDRESS 840000 BSIZE 800"));
    EXPECT_EQ(cpg.block(BlockKind::VOI).address, 0x840000u);
    EXPECT_EQ(cpg.block(BlockKind::VOI).size, 0x800u);
    EXPECT_TRUE(cpg.parseAddressMap("voice\n  address = 830000\tbsize = 2000"));
    EXPECT_EQ(cpg.block(BlockKind::VOI).address, 0x830000u);
    EXPECT_EQ(cpg.block(BlockKind::VOI).size, 0x800u);  // windows never grow
    EXPECT_TRUE(cpg.parseAddressMap("[XDEF_FREQ] ADDRESSES 1 ADDRESS = 0x900000"));
    EXPECT_EQ(cpg.block(BlockKind::DEF).address, 0x900000u);
    EXPECT_TRUE(cpg.parseAddressMap("DYN_START ADDRESS = 820000 BSIZE = 800 FREQ_START BSIZE 10"));
    EXPECT_EQ(cpg.block(BlockKind::DYN).size, 0x800u);
    EXPECT_EQ(cpg.block(BlockKind::FRE).size, 0x10u);
    // End of input while a value is expected ends the parse successfully.
    EXPECT_TRUE(cpg.parseAddressMap("CH_INFO_START ADDRESS ="));
    EXPECT_EQ(cpg.block(BlockKind::CH).address, 0x821000u);
}

TEST_F(CpgTest, AddressMapFailuresAndUnattachedValues) {
    Cpg fresh;
    EXPECT_FALSE(cpg.parseAddressMap(nullptr, 5));
    EXPECT_FALSE(cpg.parseAddressMap(""));
    // A value before any section keyword is read but changes no block.
    EXPECT_TRUE(cpg.parseAddressMap("ADDRESS = 123456 BSIZE = 10"));
    for (int k = 0; k < kBlockKindCount; ++k) {
        EXPECT_EQ(cpg.block(k).address, fresh.block(k).address);
        EXPECT_EQ(cpg.block(k).size, fresh.block(k).size);
    }
    EXPECT_FALSE(cpg.parseAddressMap("ADDRESS = xyz"));
    // Changes before a bad value stay.
    EXPECT_FALSE(cpg.parseAddressMap("DYN_START ADDRESS 10 BSIZE = G00"));
    EXPECT_EQ(cpg.block(BlockKind::DYN).address, 0x10u);
    EXPECT_FALSE(cpg.parseAddressMap("DYN_START ADDRESS =   "));  // empty value token
    EXPECT_EQ(errorCount(), 0u);
    // A 60-character token is cut after 49: its rest is read as the next token.
    std::string longToken(49, 'X');
    EXPECT_TRUE(cpg.parseAddressMap(longToken + "VOICE ADDRESS 850000"));
    EXPECT_EQ(cpg.block(BlockKind::VOI).address, 0x850000u);
}

TEST_F(CpgTest, RecordsAreRoutedIntoTheirWindow) {
    // S1 record from the checksum example: accepted, but 0x8200 lies in no window.
    EXPECT_TRUE(parse(cpg,
                      "S105820011224"
                      "5\n"));
    EXPECT_FALSE(parse(cpg, "S1058200112246\n"));
    EXPECT_EQ(firstErrorText(), "Error:failed to parse CPG stream.");
    EXPECT_EQ(firstErrorCode(), 4);
    removeErrors(ErrorCategory::Ok);

    std::string text = record(3, 4, 0x830000 + 16, {1, 2, 3, 4}) + "\n" +
                       record(2, 3, 0x826FFE, {7, 8, 9, 10}) + "\r\n" +  // cut at the window end
                       record(1, 2, 0x1234, {0xEE}) + "\n";
    ASSERT_TRUE(parse(cpg, text));
    const auto& voi = cpg.block(BlockKind::VOI).data;
    ASSERT_EQ(voi.size(), 0xBD000u);
    EXPECT_EQ(std::vector<std::uint8_t>(voi.begin() + 16, voi.begin() + 20),
              (std::vector<std::uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(voi[15], 0);
    const auto& def = cpg.block(BlockKind::DEF).data;
    EXPECT_EQ(def[0xFFE], 7);
    EXPECT_EQ(def[0xFFF], 8);
    EXPECT_EQ(cpg.block(BlockKind::FAC).data[0], 0);  // 0x827000 belongs to BAK, not FAC
    EXPECT_EQ(cpg.block(BlockKind::BAK).data[0], 0);

    // A new stream starts from zeroed buffers; later records overwrite earlier ones.
    ASSERT_TRUE(
        parse(cpg, record(3, 4, 0x826000, {5, 5}) + "\n" + record(3, 4, 0x826001, {6}) + "\n"));
    EXPECT_EQ(cpg.block(BlockKind::DEF).data[0], 5);
    EXPECT_EQ(cpg.block(BlockKind::DEF).data[1], 6);
    EXPECT_EQ(cpg.block(BlockKind::DEF).data[0xFFE], 0);
}

TEST_F(CpgTest, StreamEndsNeedOneCharacterAfterTheLastRecord) {
    std::string rec = record(3, 4, 0x826000, {0x42});
    EXPECT_FALSE(parse(cpg, rec));
    EXPECT_EQ(firstErrorText(), "Error:failed to parse CPG stream.");
    removeErrors(ErrorCategory::Ok);
    EXPECT_TRUE(parse(cpg, rec + "\n"));
    EXPECT_TRUE(parse(cpg, rec + "X"));
    EXPECT_TRUE(parse(cpg, rec + "\n\n  \n"));
    EXPECT_FALSE(parse(cpg, rec + "\nXY"));
    removeErrors(ErrorCategory::Ok);
    // White space may split a record anywhere, even a byte's two digits.
    std::string spaced;
    for (char c : rec)
        spaced += std::string(1, c) + " \n";
    EXPECT_TRUE(parse(cpg, spaced));
    EXPECT_EQ(cpg.block(BlockKind::DEF).data[0], 0x42);
    EXPECT_TRUE(parse(cpg, "s" + rec.substr(1) + "\n"));
    EXPECT_TRUE(parse(cpg, ""));
    EXPECT_EQ(errorCount(), 0u);
}

TEST_F(CpgTest, RecordsWithoutRoomForAddressAndChecksumAreMalformed) {
    for (const char* text : {"S100FF\n", "S101FE\n", "S302FDFF\n", "S3040000FB\n", "X1050000\n",
                             "S\n\n", "SA05\n", "S1zz\n"}) {
        removeErrors(ErrorCategory::Ok);
        EXPECT_FALSE(parse(cpg, text)) << text;
        EXPECT_EQ(firstErrorText(), "Error:failed to parse CPG stream.") << text;
    }
    removeErrors(ErrorCategory::Ok);
    // Count = address bytes + 1: an empty record is fine; types 5..8 carry data at 0.
    EXPECT_TRUE(parse(cpg, record(1, 2, 0x8200, {}) + "\n" + record(5, 0, 0, {0, 3}) + "\n" +
                               record(7, 0, 0, {0, 0x82, 0x60, 0}) + "\n"));
}

TEST_F(CpgTest, ObjcopyStreamsParseToTheOriginalBytes) {
    if (std::string(VKT_OBJCOPY).empty())
        GTEST_SKIP() << "objcopy not installed";
    test::TempDir dir;
    std::mt19937 rng(42);
    struct Case {
        const char* options;
        BlockKind kind;
        std::uint32_t address;
        std::size_t length;
    };
    for (const Case& c : {Case{"", BlockKind::DEF, 0x826000, 0x1000},
                          Case{"--srec-forceS3", BlockKind::VOI, 0x830000, 0x8000},
                          Case{"--srec-len=64", BlockKind::CH, 0x821100, 0x700},
                          Case{"", BlockKind::DYN, 0x820000, 0x1000}}) {
        auto bytes = test::randomBytes(rng, c.length);
        test::writeFile(dir.file("in.bin"), bytes);
        auto result = test::runCommand(
            fmt::sprintf("%s -I binary -O srec %s --change-addresses 0x%x %s %s 2>&1", VKT_OBJCOPY,
                         c.options, c.address, dir.file("in.bin"), dir.file("out.srec")));
        ASSERT_EQ(result.exitCode, 0) << result.output;
        auto srec = test::readFile(dir.file("out.srec"));
        ASSERT_TRUE(cpg.parseStream(srec)) << firstErrorText();
        const CpgBlock& block = cpg.block(c.kind);
        const std::size_t offset = c.address - block.address;
        EXPECT_EQ(std::vector<std::uint8_t>(block.data.begin() + offset,
                                            block.data.begin() + offset + c.length),
                  bytes);
    }
}

TEST_F(CpgTest, RandomInputNeverCrashes) {
    std::mt19937 rng(5);
    const std::string alphabet = "S0123456789ABCDEFabcdef \n\r\tSs";
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        const std::size_t n = rng() % 80;
        for (std::size_t k = 0; k < n; ++k)
            text += alphabet[rng() % alphabet.size()];
        parse(cpg, text);
        cpg.parseAddressMap(text);
        auto raw = test::randomBytes(rng, rng() % 80);
        cpg.parseStream(raw);
        cpg.parseAddressMap(reinterpret_cast<const char*>(raw.data()), raw.size());
    }
    removeErrors(ErrorCategory::Ok);
    for (int k = 0; k < kBlockKindCount; ++k)
        EXPECT_GE(cpg.block(k).data.size(), cpg.block(k).size);
}

}  // namespace
}  // namespace vkt
