#include "package/ftf_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "test_util.h"

namespace vkt {
namespace {

using test::TempDir;

// FTF bytes put together by hand: signature, digest, version, type, P, name,
// payload (type header + already scrambled image). `payloadLength` overrides P.
std::vector<std::uint8_t> rawFtf(std::uint8_t type, const std::string& name,
                                 const std::vector<std::uint8_t>& payload,
                                 std::int64_t payloadLength = -1, bool digest = true) {
    std::vector<std::uint8_t> f(kFtfSignature.begin(), kFtfSignature.end());
    f.resize(24, 0);
    f.insert(f.end(), {'R', 1, 2, 3, type});
    auto p = static_cast<std::uint32_t>(payloadLength < 0 ? payload.size() : payloadLength);
    f.insert(f.end(), {static_cast<std::uint8_t>(p >> 24), static_cast<std::uint8_t>(p >> 16),
                       static_cast<std::uint8_t>(p >> 8), static_cast<std::uint8_t>(p)});
    f.push_back(static_cast<std::uint8_t>(name.size()));
    f.insert(f.end(), name.begin(), name.end());
    f.insert(f.end(), payload.begin(), payload.end());
    if (digest) {
        auto d = md5Digest(std::span(f).subspan(24));
        std::copy(d.begin(), d.end(), f.begin() + 8);
    }
    return f;
}

std::vector<std::uint8_t> built(const FtfSource& source) {
    std::vector<std::uint8_t> out;
    std::string error;
    EXPECT_TRUE(buildFtfFile(source, out, error)) << error;
    return out;
}

class FtfTest : public ::testing::Test {
  protected:
    void SetUp() override { removeErrors(ErrorCategory::Ok); }
    void TearDown() override { removeErrors(ErrorCategory::Ok); }
    std::string put(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        std::string path = dir.file(name);
        test::writeFile(path, bytes);
        return path;
    }
    TempDir dir;
};

TEST_F(FtfTest, PackedFilesLoadBackWithTheirHeaderFields) {
    FtfSource src;
    src.type = 0;
    src.internalName = "M1DEFR01.02.04";
    src.version = {'R', 1, 2, 4};
    src.codeplugVersion = {'R', 1, 2, 5};
    src.modelNumber = "VK2150EMA01";
    src.image = {1, 2, 3, 4, 5, 6, 7};
    std::string path = put("a.ftf", built(src));

    FtfImage image;
    ASSERT_TRUE(loadFtfImage(path, image));
    EXPECT_EQ(image.data, src.image);
    EXPECT_EQ(image.length, 7);
    EXPECT_EQ(image.type, 0);
    EXPECT_EQ(image.versionText, "R01.02");
    EXPECT_EQ(image.internalName, "M1DEFR01.02.04");
    EXPECT_EQ(image.versionWord, 'R' | (1 << 8) | (2 << 16) | (4 << 24));
    EXPECT_EQ(image.codeplugVersion, 'R' | (1 << 8) | (2 << 16) | (5 << 24));
    EXPECT_EQ(std::string(image.modelName.begin(), image.modelName.begin() + image.modelNameLength),
              "VK2150EMA01");

    FtfInfo info;
    ASSERT_TRUE(readFtfInfo(path, info));
    EXPECT_EQ(info.type, 0);
    EXPECT_EQ(info.imageLength, 7);
    EXPECT_EQ(info.internalName, "M1DEFR01.02.04");
    EXPECT_EQ(info.modelNumberLength, 11);
    EXPECT_EQ(info.codeplugVersion[3], 5);

    // Types 1 and 2 take versionWord from the type header; type 3 carries a region.
    src.type = 2;
    ASSERT_TRUE(loadFtfImage(put("b.ftf", built(src)), image));
    EXPECT_EQ(image.versionWord, 'R' | (1 << 8) | (2 << 16) | (5 << 24));
    src.type = 3;
    src.regionName = "EMEA";
    ASSERT_TRUE(loadFtfImage(put("c.ftf", built(src)), image));
    EXPECT_EQ(image.regionName, "EMEA");
    EXPECT_EQ(image.data, src.image);
}

TEST_F(FtfTest, ImageIsScrambledWithTheSignatureCharacters) {
    std::vector<std::uint8_t> payload = {'R', 1, 2, 3, 0x41 ^ 'V', 0x42 ^ 'K', 0x43 ^ 'F'};
    std::string path = put("abc.ftf", rawFtf(1, "ABC", payload));
    FtfImage image;
    ASSERT_TRUE(loadFtfImage(path, image));
    EXPECT_EQ(image.data, (std::vector<std::uint8_t>{0x41, 0x42, 0x43}));

    // The packer stores the same bytes.
    FtfSource src;
    src.type = 1;
    src.internalName = "ABC";
    src.version = {'R', 1, 2, 3};
    src.codeplugVersion = {'R', 1, 2, 3};
    src.image = {0x41, 0x42, 0x43};
    EXPECT_EQ(built(src), rawFtf(1, "ABC", payload));
}

// Oracles from outside the code: image bytes scrambled by hand (a 12-byte
// image tells "i mod 3" from any other key index), and a digest and its
// byte range computed by Python. Loader and packer are checked apart, since
// they would agree with each other on any mistake they share.
TEST_F(FtfTest, ScrambleAndDigestAgreeWithOutsideOracles) {
    const std::vector<std::uint8_t> image = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    // Byte i XOR 'V' (0x56), 'K' (0x4B), 'F' (0x46) in turn.
    const std::vector<std::uint8_t> stored = {0x56, 0x4A, 0x44, 0x55, 0x4F, 0x43,
                                              0x50, 0x4C, 0x4E, 0x5F, 0x41, 0x4D};
    const std::string python =
        "python3 -c \"import hashlib,sys; p=sys.argv[1]; "
        "d=bytearray(open(p,'rb').read()); ";

    // The loader: a hand-made file whose digest Python wrote over bytes 24 on.
    std::vector<std::uint8_t> payload = {'R', 1, 2, 3};
    payload.insert(payload.end(), stored.begin(), stored.end());
    std::string path = put("hand.ftf", rawFtf(1, "HAND", payload, -1, false));
    ASSERT_EQ(test::runCommand(python +
                               "d[8:24]=hashlib.md5(d[24:]).digest(); "
                               "open(p,'wb').write(d)\" " +
                               path)
                  .exitCode,
              0);
    FtfImage loaded;
    ASSERT_TRUE(loadFtfImage(path, loaded)) << allErrorTexts();
    EXPECT_EQ(loaded.data, image);

    // The packer: the stored image and the digest, read back by Python.
    FtfSource src;
    src.type = 1;
    src.internalName = "HAND";
    src.version = {'R', 1, 2, 3};
    src.codeplugVersion = {'R', 1, 2, 3};
    src.image = image;
    const auto packed = built(src);
    ASSERT_EQ(packed.size(), 34u + 4 + 4 + stored.size());
    EXPECT_EQ(std::vector<std::uint8_t>(packed.end() - 12, packed.end()), stored);
    path = put("packed.ftf", packed);
    EXPECT_EQ(test::runCommand(python + "print(hashlib.md5(d[24:]).digest() == d[8:24])\" " + path)
                  .output,
              "True\n");
}

TEST_F(FtfTest, DigestAgreesWithOpenssl) {
    if (std::string(VKT_OPENSSL).empty())
        GTEST_SKIP() << "openssl not installed";
    std::mt19937 rng(7);
    auto bytes = test::randomBytes(rng, 100000);
    std::string path = put("blob.bin", bytes);
    auto result = test::runCommand(std::string(VKT_OPENSSL) + " dgst -md5 -r " + path);
    ASSERT_EQ(result.exitCode, 0);
    auto digest = md5Digest(bytes);
    std::string hex;
    for (auto b : digest)
        hex += fmt::sprintf("%02x", b);
    EXPECT_EQ(result.output.substr(0, 32), hex);
}

TEST_F(FtfTest, ScanAcceptsWhatTheLoaderRefuses) {
    // Zero digest: indexed by the scan, refused by the loader.
    auto zeroDigest = rawFtf(1, "ZERO", {'R', 1, 0, 0, 9, 9}, -1, false);
    std::string path = put("zero.ftf", zeroDigest);
    FtfInfo info;
    EXPECT_TRUE(readFtfInfo(path, info));
    FtfImage image;
    EXPECT_FALSE(loadFtfImage(path, image));
    EXPECT_EQ(firstErrorText(), "Error:invalid file [" + path + "].");
    EXPECT_EQ(firstErrorCode(), 7);
    EXPECT_TRUE(image.data.empty());
    EXPECT_EQ(image.length, 0);
    EXPECT_TRUE(image.internalName.empty());
    removeErrors(ErrorCategory::Ok);

    // Model number of 25 bytes: cut to 11 by the scan, too long for the loader.
    std::vector<std::uint8_t> payload = {'R', 1, 0, 0, 25};
    payload.insert(payload.end(), 25, 'M');
    path = put("model.ftf", rawFtf(0, "LONGMODEL", payload));
    ASSERT_TRUE(readFtfInfo(path, info));
    EXPECT_EQ(info.modelNumberLength, 11);
    EXPECT_FALSE(loadFtfImage(path, image));
    EXPECT_EQ(firstErrorText(), "Error:the model name is tool long for [" + path + "].");
    removeErrors(ErrorCategory::Ok);

    // Region name of 12 characters: 10 kept by the scan, refused by the loader.
    payload = {12};
    for (char c : std::string("ABCDEFGHIJKL"))
        payload.push_back(static_cast<std::uint8_t>(c));
    path = put("region.ftf", rawFtf(3, "LONGREGION", payload));
    ASSERT_TRUE(readFtfInfo(path, info));
    EXPECT_EQ(info.regionName, "ABCDEFGHIJ");
    EXPECT_FALSE(loadFtfImage(path, image));
    EXPECT_EQ(firstErrorText(), "Error:the region name is too long for [" + path + "].");
}

TEST_F(FtfTest, HeaderReaderNamesWhatIsMissing) {
    const std::string name = "NAME";
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::string message;
    };
    auto full0 = rawFtf(0, name, {'R', 1, 0, 0, 3, 'A', 'B', 'C'});
    auto full3 = rawFtf(3, name, {4, 'E', 'M', 'E', 'A'});
    auto cut = [](std::vector<std::uint8_t> v, std::size_t n) {
        v.resize(n);
        return v;
    };
    auto badSignature = full0;
    badSignature[7] = 1;
    auto badType = full0;
    badType[28] = 4;
    std::vector<Case> cases = {
        {{}, "Error:failed to read FTF header for file [%s]."},
        {cut(full0, 33), "Error:failed to read FTF header for file [%s]."},
        {badSignature, "Error:invalid signature for file [%s]."},
        {badType, "Error:invalid FTF type for file [%s]."},
        {cut(full0, 36), "Error:failed to read internal name for file [%s]."},
        {cut(full0, 40), "Error:faild to retrival codeplug version for [%s]."},
        {cut(full0, 44), "Error:failed to retrival model number for [%s]."},
        {cut(rawFtf(1, name, {'R', 1, 0, 0}), 40),
         "Error:faild to retreval codeplug version for [%s]."},
        {cut(full3, 38), "Error:faild to retreval codeplug version for [%s]."},
        {cut(full3, 41), "Error:failed to retrival model number for [%s]."},
    };
    for (const Case& c : cases) {
        removeErrors(ErrorCategory::Ok);
        std::string path = put("case.ftf", c.bytes);
        FtfInfo info;
        EXPECT_FALSE(readFtfInfo(path, info)) << c.message;
        EXPECT_EQ(firstErrorText(), fmt::sprintf(c.message, path));
        EXPECT_EQ(firstErrorCode(), 7);
    }
    removeErrors(ErrorCategory::Ok);
    FtfInfo info;
    EXPECT_FALSE(readFtfInfo(dir.file("missing.ftf"), info));
    EXPECT_EQ(firstErrorText(), "Error:failed to open the file [" + dir.file("missing.ftf") + "].");
    EXPECT_EQ(firstErrorCode(), 1);
    removeErrors(ErrorCategory::Ok);
    FtfImage image;
    EXPECT_FALSE(loadFtfImage(dir.file("missing.ftf"), image));
    EXPECT_EQ(firstErrorText(), "Error:failed to open file [" + dir.file("missing.ftf") + "].");
}

TEST_F(FtfTest, LengthsThatPointPastTheEndAreRefused) {
    const std::vector<std::uint8_t> payload = {'R', 1, 0, 0, 2, 'A', 'B', 9, 9};
    for (std::int64_t p : {std::int64_t{10}, std::int64_t{0x7FFFFFFF}, std::int64_t{0xFFFFFFFF},
                           std::int64_t{0}, std::int64_t{4}, std::int64_t{6}}) {
        removeErrors(ErrorCategory::Ok);
        std::string path = put("len.ftf", rawFtf(0, "N", payload, p));
        FtfImage image;
        EXPECT_FALSE(loadFtfImage(path, image)) << p;
        EXPECT_EQ(firstErrorText(), "Error:invalid file [" + path + "].") << p;
        EXPECT_TRUE(image.data.empty());
    }
    // The name itself running past the end.
    auto bytes = rawFtf(1, "NAME", {});
    bytes[33] = 200;
    auto d = md5Digest(std::span(bytes).subspan(24));
    std::copy(d.begin(), d.end(), bytes.begin() + 8);
    removeErrors(ErrorCategory::Ok);
    FtfImage image;
    EXPECT_FALSE(loadFtfImage(put("name.ftf", bytes), image));
    EXPECT_EQ(firstErrorCode(), 7);
}

TEST_F(FtfTest, OversizedFilesAreRefusedBeforeTheyAreRead) {
    // A sparse file just over the limit, with a valid header at its start.
    std::string path = put("big.ftf", rawFtf(1, "BIG", {'R', 1, 0, 0}));
    std::filesystem::resize_file(path, kMaxFtfFileSize + 1);
    FtfInfo info;
    EXPECT_TRUE(readFtfInfo(path, info));  // the header scan reads only the header
    FtfImage image;
    EXPECT_FALSE(loadFtfImage(path, image));
    EXPECT_EQ(firstErrorText(), "Error:failed to read file [" + path + "].");
    EXPECT_EQ(firstErrorCode(), 1);
    EXPECT_EQ(image.data.capacity(), 0u);
}

TEST_F(FtfTest, TruncatedAndRandomFilesNeverCrashTheReaders) {
    FtfSource src;
    src.type = 0;
    src.internalName = "TRUNC";
    src.modelNumber = "MODEL";
    src.image.assign(300, 0x5A);
    auto full = built(src);
    for (std::size_t n = 0; n < full.size(); ++n) {
        std::string path = put("t.ftf", std::vector<std::uint8_t>(full.begin(), full.begin() + n));
        FtfInfo info;
        FtfImage image;
        readFtfInfo(path, info);
        EXPECT_FALSE(loadFtfImage(path, image)) << n;
        EXPECT_EQ(image.length, 0);
    }
    std::mt19937 rng(1234);
    for (int i = 0; i < 300; ++i) {
        // Random bodies behind a valid signature and digest reach the deeper checks.
        auto body = test::randomBytes(rng, rng() % 400);
        std::vector<std::uint8_t> bytes(kFtfSignature.begin(), kFtfSignature.end());
        bytes.resize(24, 0);
        bytes.insert(bytes.end(), body.begin(), body.end());
        auto d = md5Digest(std::span(bytes).subspan(24));
        std::copy(d.begin(), d.end(), bytes.begin() + 8);
        std::string path = put("r.ftf", i % 2 ? bytes : body);
        FtfInfo info;
        FtfImage image;
        readFtfInfo(path, info);
        if (loadFtfImage(path, image)) {
            EXPECT_EQ(image.data.size(), static_cast<std::size_t>(image.length));
            EXPECT_LE(image.data.size(), bytes.size());
        }
        removeErrors(ErrorCategory::Ok);
    }
}

TEST_F(FtfTest, ScanIndexesOnlyValidFilesAndLeavesNoErrors) {
    FtfSource src;
    src.type = 1;
    src.internalName = "VOICE_R01.00";
    src.image = {1, 2, 3};
    put("pkg001.ftf", built(src));
    test::writeText(dir.file("readme.txt"), "not an FTF file");
    put("empty.ftf", {});
    std::filesystem::create_directory(dir.file("sub"));
    test::writeText(dir.file(std::string("bad\xff\xfe name.ftf")), "junk");
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);  // must not block the scan
    src.internalName = "FW";
    put(std::string("fw\xe9.ftf"), built(src));  // a file name that is not UTF-8

    FtfFileIndex files;
    FtfNameIndex names;
    EXPECT_EQ(scanFtfFiles(dir.path(), files, names), 2);
    EXPECT_EQ(errorCount(), 0u);
    std::string path;
    ASSERT_TRUE(findFtfPath(names, "VOICE_R01.00", path));
    EXPECT_EQ(path, dir.file("pkg001.ftf"));
    EXPECT_TRUE(findFtfPath(names, "FW", path));
    EXPECT_EQ(path, dir.file(std::string("fw\xe9.ftf")));
    EXPECT_EQ(files.count("pkg001.ftf"), 1u);
    path = "unchanged";
    EXPECT_FALSE(findFtfPath(names, "voice_R01.00", path));  // case-sensitive
    EXPECT_EQ(path, "unchanged");

    EXPECT_EQ(scanFtfFiles(dir.file("nowhere"), files, names), 0);
    EXPECT_TRUE(files.empty() && names.empty());
    EXPECT_EQ(firstErrorText(), "Error:failed to find the file [" + dir.file("nowhere") + "].");
    EXPECT_EQ(firstErrorCode(), 1);
}

TEST_F(FtfTest, PackerRefusesFieldsThatDoNotFit) {
    FtfSource src;
    std::vector<std::uint8_t> out;
    std::string error;
    src.type = 4;
    EXPECT_FALSE(buildFtfFile(src, out, error));
    src.type = 0;
    src.modelNumber.assign(21, 'M');
    EXPECT_FALSE(buildFtfFile(src, out, error));
    src.type = 3;
    src.regionName.assign(11, 'R');
    EXPECT_FALSE(buildFtfFile(src, out, error));
    src.regionName = "EMEA";
    src.internalName.assign(256, 'N');
    EXPECT_FALSE(buildFtfFile(src, out, error));

    std::array<std::uint8_t, 4> v{};
    EXPECT_TRUE(parseVersionBytes("R01.02.03", v));
    EXPECT_EQ(v, (std::array<std::uint8_t, 4>{'R', 1, 2, 3}));
    for (const char* bad :
         {"", "R", "R01.02", "R01.02.03.04", "R1.2.256", "R01.02.x3", "R01-02-03"}) {
        EXPECT_FALSE(parseVersionBytes(bad, v)) << bad;
    }
}

}  // namespace
}  // namespace vkt
