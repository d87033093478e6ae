#include "update/personality_backup.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <openssl/evp.h>

#include "tests/update/program_bench.h"

namespace vkt::testing {
namespace {

PersonalityBackup sampleBackup() {
    PersonalityBackup b;
    const std::string serial = "471ABC0042";
    std::copy(serial.begin(), serial.end(), b.serialNumber.begin());
    b.modelRecord = {'Q', 'X', '7', '5', '0', '0', 'A', 0, 0, 0, 0};
    b.radioType = 2;
    b.firmwareVersion = {'R', 1, 0x02, 0x03};
    b.codeplugVersion = {'R', 1, 2, 3};
    b.createdAt = 1796601600;  // 2026-12-07 00:00:00 UTC
    b.records = {{0, kDynAddress, pattern(kWindowSize, 1)},
                 {6, kChAddress, pattern(kWindowSize, 2)},
                 {7, kFreAddress, {}},
                 {9, 0x117000, pattern(kUserVoiceLength, 4)}};
    return b;
}

// Replaces the trailing digest so that a deliberately inconsistent body
// reaches the structural checks.
void reseal(Bytes& file) {
    file.resize(file.size() - 32);
    std::array<std::uint8_t, 32> digest{};
    unsigned int n = 0;
    EVP_Digest(file.data(), file.size(), digest.data(), &n, EVP_sha256(), nullptr);
    file.insert(file.end(), digest.begin(), digest.end());
}

std::string decodeError(const Bytes& file) {
    PersonalityBackup out;
    std::string error;
    EXPECT_FALSE(decodePersonalityBackup(file, out, error));
    return error;
}

TEST(PersonalityBackup, RoundTripsThroughAFile) {
    TempDir dir;
    const PersonalityBackup backup = sampleBackup();
    EXPECT_EQ(personalityBackupName(backup), "471ABC0042-20261207-000000.pvk");
    std::string path;
    ASSERT_TRUE(writePersonalityBackup(dir.path + "/new/folder", backup, path)) << allErrorTexts();
    EXPECT_EQ(path, dir.path + "/new/folder/471ABC0042/471ABC0042-20261207-000000.pvk")
        << "each radio's backups go into a folder named after its serial number";
    PersonalityBackup read;
    ASSERT_TRUE(readPersonalityBackup(path, read)) << allErrorTexts();
    EXPECT_EQ(read, backup);
    ASSERT_NE(read.record(9), nullptr);
    EXPECT_EQ(read.record(9)->address, 0x117000u);

    // A second backup in the same second does not overwrite the first.
    std::string second;
    ASSERT_TRUE(writePersonalityBackup(dir.path + "/new/folder", backup, second));
    EXPECT_NE(second, path);
    EXPECT_EQ(
        std::distance(std::filesystem::directory_iterator(dir.path + "/new/folder/471ABC0042"),
                      std::filesystem::directory_iterator()),
        2);
}

// The layout as the documentation gives it, read by Python: writer and
// reader share their helpers and would agree on a mistake in both.
TEST(PersonalityBackup, TheFileHasTheDocumentedLayout) {
    TempDir dir;
    const PersonalityBackup backup = sampleBackup();
    std::string path;
    ASSERT_TRUE(writePersonalityBackup(dir.path, backup, path)) << allErrorTexts();
    const std::string script =
        "import hashlib,struct,sys\n"
        "d=open(sys.argv[1],'rb').read()\n"
        "out=[d[:8]==b'VKTPERS\\0', struct.unpack('>H',d[8:10])[0], d[10:20].decode(),"
        " d[20:31].hex(), d[31], d[32:36].hex(), d[36:40].hex(),"
        " struct.unpack('>q',d[40:48])[0], d[50:52].hex()]\n"
        "n=struct.unpack('>H',d[48:50])[0]; at=52\n"
        "for i in range(n):\n"
        "  k,a,l=struct.unpack('>iII',d[at:at+12]); "
        "out.append('%d:%x:%d:%s'%(k,a,l,d[at+12:at+12+min(l,2)].hex())); at+=12+l\n"
        "out.append(at==len(d)-32 and hashlib.sha256(d[:at]).digest()==d[at:])\n"
        "print(*out)\n";
    const std::string scriptPath = dir.path + "/layout.py";
    std::ofstream(scriptPath) << script;
    std::string output;
    if (FILE* pipe = ::popen(("python3 " + scriptPath + " " + path).c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
            output += buffer;
        ::pclose(pipe);
    }
    std::string expected =
        "True 1 471ABC0042 5158373530304100000000 2 52010203 52010203 "
        "1796601600 0000";
    for (const auto& r : backup.records)
        expected +=
            fmt::format(" {}:{:x}:{}:{}", r.kind, r.address, r.bytes.size(),
                        r.bytes.size() >= 2 ? fmt::format("{:02x}{:02x}", r.bytes[0], r.bytes[1])
                                            : std::string());
    EXPECT_EQ(output, expected + " True\n");
}

TEST(PersonalityBackup, DamagedFilesAreRefused) {
    const Bytes good = encodePersonalityBackup(sampleBackup());

    Bytes magic = good;
    magic[0] = 'X';
    EXPECT_NE(decodeError(magic).find("not a personality backup"), std::string::npos);

    for (std::size_t cut :
         {std::size_t{8}, std::size_t{40}, std::size_t{60}, good.size() / 2, good.size() - 1}) {
        SCOPED_TRACE(cut);
        EXPECT_FALSE(decodeError(Bytes(good.begin(), good.begin() + cut)).empty());
    }

    Bytes flipped = good;
    flipped[good.size() / 2] ^= 0x01;
    EXPECT_NE(decodeError(flipped).find("checksum"), std::string::npos);

    Bytes version = good;
    version[9] = 2;
    reseal(version);
    EXPECT_NE(decodeError(version).find("version 2"), std::string::npos);

    // A record length past the end, and a record count past the end, with
    // a digest that matches: refused without reading beyond the buffer.
    Bytes length = good;
    length[52 + 8] = 0x7F;
    reseal(length);
    EXPECT_NE(decodeError(length).find("past the end"), std::string::npos);

    Bytes count = good;
    count[48] = 0xFF;
    reseal(count);
    EXPECT_NE(decodeError(count).find("past the end"), std::string::npos);

    Bytes kind = good;
    kind[52 + 3] = 4;  // DEF is no personality block
    reseal(kind);
    EXPECT_NE(decodeError(kind).find("unknown kind"), std::string::npos);
}

TEST(PersonalityBackup, ReadingNamesTheFileAndTheReason) {
    TempDir dir;
    const std::string path = dir.path + "/cut.pvk";
    const Bytes good = encodePersonalityBackup(sampleBackup());
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(good.data()), 100);
    removeErrors(0);
    PersonalityBackup out;
    EXPECT_FALSE(readPersonalityBackup(path, out));
    EXPECT_EQ(firstErrorText(),
              fmt::format("Error:the personality backup [{}] is invalid: the checksum does not "
                          "match (the file is damaged or truncated).",
                          path));
    removeErrors(0);
    EXPECT_FALSE(readPersonalityBackup(dir.path + "/missing.pvk", out));
    EXPECT_EQ(firstErrorText(),
              fmt::format("Error:failed to open the file [{}/missing.pvk].", dir.path));
    removeErrors(0);

    // A pipe without a writer is refused at once instead of waiting for
    // one, and a huge file is refused before it is read.
    const std::string pipe = dir.path + "/pipe.pvk";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_FALSE(readPersonalityBackup(pipe, out));
    EXPECT_EQ(
        firstErrorText(),
        fmt::format("Error:the personality backup [{}] is invalid: not a regular file.", pipe));
    removeErrors(0);
    const std::string huge = dir.path + "/huge.pvk";
    std::ofstream(huge, std::ios::binary)
        .write(reinterpret_cast<const char*>(good.data()),
               static_cast<std::streamsize>(good.size()));
    std::filesystem::resize_file(huge, kMaxPersonalityFileSize + 1);
    EXPECT_FALSE(readPersonalityBackup(huge, out));
    EXPECT_EQ(
        firstErrorText(),
        fmt::format("Error:the personality backup [{}] is invalid: the file is too large.", huge));
    removeErrors(0);
}

TEST(PersonalityRestore, ABackupOfAnotherRadioNeedsForce) {
    ProgramBench b(2);
    ASSERT_TRUE(b.connect());
    // The personality as another radio had it.
    PersonalityBackup backup = sampleBackup();
    const std::string other = "999ZZZ0001";
    std::copy(other.begin(), other.end(), backup.serialNumber.begin());
    b.sim->clearRequestLog();

    CmdRestorePersonality restore;
    restore.radio = b.radio.get();
    restore.backup = backup;
    EXPECT_FALSE(b.runCommand(restore));
    EXPECT_TRUE(b.hasError(
        "Error:the backup belongs to the radio [999ZZZ0001], not to this radio [471ABC0042]."));
    for (const auto& e : b.sim->requestLog())
        EXPECT_FALSE(writesRadio(e));
    EXPECT_EQ(b.personality(), b.before);

    removeErrors(0);
    restore.force = true;
    EXPECT_TRUE(b.runCommand(restore)) << allErrorTexts();
    EXPECT_EQ(b.sim->memory(kDynAddress, kWindowSize), backup.records[0].bytes);
    EXPECT_EQ(b.sim->memory(kChAddress, kWindowSize), backup.records[1].bytes);
    EXPECT_EQ(b.sim->flash(0x117000, kUserVoiceLength), backup.records[3].bytes);
    EXPECT_EQ(b.sim->lineRate(), 16406u);
    EXPECT_EQ(b.sim->protection(), 0x1040);
}

TEST(PersonalityRestore, AUserVoiceIsNotWrittenIntoARadioWithoutOne) {
    ProgramBench b(1);
    ASSERT_TRUE(b.connect());
    CmdRestorePersonality restore;
    restore.radio = b.radio.get();
    restore.backup = sampleBackup();
    restore.force = true;
    b.sim->clearRequestLog();
    EXPECT_FALSE(b.runCommand(restore));
    for (const auto& e : b.sim->requestLog())
        EXPECT_FALSE(writesRadio(e));
}

}  // namespace
}  // namespace vkt::testing
