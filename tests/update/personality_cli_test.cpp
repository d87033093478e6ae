// `vkt personality show` and `vkt personality restore`, run as a user runs
// them (the restore against the command line's simulated radio).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <array>
#include <cstdio>

#include "app/update_journal.h"
#include "tests/integration/private_runtime.h"
#include "tests/update/program_bench.h"

namespace vkt::testing {
namespace {

struct Result {
    int exitCode = -1;
    std::string output;
};

Result vkt(const std::string& env, const std::string& args) {
    Result r;
    const std::string command =
        test::privateRuntimeDir().environment() + " " + env + " " VKT_BIN " " + args + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return r;
    std::array<char, 512> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe))
        r.output += buffer.data();
    const int status = pclose(pipe);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string writeBackup(const std::string& folder, const std::string& serial) {
    PersonalityBackup b;
    std::copy(serial.begin(), serial.end(), b.serialNumber.begin());
    b.modelRecord = {'V', 'K', '2', '1', '5', '0', 'E', 'M', 'A', '0', '1'};
    b.firmwareVersion = {'R', 1, 2, 3};
    b.codeplugVersion = {'R', 1, 2, 3};
    b.createdAt = 1796601600;
    b.records = {{0, kDynAddress, pattern(300, 1)}, {7, kFreAddress, pattern(20, 2)}};
    std::string path;
    EXPECT_TRUE(writePersonalityBackup(folder, b, path));
    return path;
}

TEST(PersonalityCli, ShowListsTheHeaderAndTheBlocks) {
    TempDir dir;
    const std::string path = writeBackup(dir.path, "471ABC0042");
    Result r = vkt("", "personality show --json " + path);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("\"serial_number\":\"471ABC0042\""), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\"created\":\"2026-12-07T00:00:00Z\""), std::string::npos);
    EXPECT_NE(r.output.find("[{\"kind\":\"DYN\",\"space\":\"memory\",\"address\":8519680,"
                            "\"length\":300},{\"kind\":\"FRE\",\"space\":\"memory\","
                            "\"address\":8527872,\"length\":20}]"),
              std::string::npos)
        << r.output;
    r = vkt("", "personality show " + path);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.output.find("DYN      memory 0x820000, 300 bytes"), std::string::npos) << r.output;

    // A damaged file is refused; a missing argument is a usage error.
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, 100, SEEK_SET);
    std::fputc(0x5A, f);
    std::fclose(f);
    r = vkt("", "personality show " + path);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("the checksum does not match"), std::string::npos) << r.output;
    EXPECT_EQ(vkt("", "personality show").exitCode, 2);
}

TEST(PersonalityCli, RestoreRefusesAnotherRadiosBackupUnlessForced) {
    TempDir dir;
    const std::string env = "VKT_DATA_DIR=" + dir.path + " VKT_SIM_OPTIONS=";
    const std::string path = writeBackup(dir.path + "/backup", "999ZZZ0001");
    Result r = vkt(env, "--simulate personality restore " + path);
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("Error:the backup belongs to the radio [999ZZZ0001]"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("run `vkt recover`"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("run `vkt serial 999ZZZ0001`"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("add --force"), std::string::npos);
    r = vkt(env, "--simulate personality restore --force --json " + path);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("\"ok\":true"), std::string::npos) << r.output;
}

// A radio whose broken update reset its serial number: the journal's
// pending run links the backup to it, so the restore takes it and writes
// the serial number back first.
TEST(PersonalityCli, RestoreAcceptsARadioTheJournalLinksToTheBackup) {
    TempDir dir;
    const std::string env = "VKT_DATA_DIR=" + dir.path + " VKT_SIM_OPTIONS=";
    const std::string path = writeBackup(dir.path + "/backup", "999ZZZ0001");
    {
        UpdateJournal journal(updateJournalPath(dir.path));
        std::string error;
        JournalRun run;
        run.startedAt = UpdateJournal::timestamp();
        run.toolVersion = "test";
        run.serial = "999ZZZ0001";
        run.model = "VK2150EMA01";
        ASSERT_TRUE(journal.open(error) && journal.begin(run, error) &&
                    journal.recordBackup(run.id, path, "00", error) &&
                    journal.recordErasing(run.id, error))
            << error;
    }
    Result r = vkt(env, "--simulate personality restore " + path);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("the journal links the backup to the radio 999ZZZ0001"),
              std::string::npos)
        << r.output;
    r = vkt(env, "--simulate identity");
    EXPECT_NE(r.output.find("Serial number     999ZZZ0001"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace vkt::testing
