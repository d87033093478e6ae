// The update journal on its own: rows and states, what is pending, which
// backups may go, and the journal's behaviour across processes: a process
// killed between state changes, two processes writing at once, a damaged
// file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/update_journal.h"
#include "core/error_log.h"

namespace vkt {
namespace {

namespace fs = std::filesystem;

class Journal : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vkt-journal-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        path = (dir / "update-journal.db").string();
        ErrorLog::instance().setLogFolder(dir.string());
    }
    void TearDown() override {
        ErrorLog::instance().reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    static JournalRun sampleRun(const std::string& serial) {
        JournalRun r;
        r.startedAt = UpdateJournal::timestamp();
        r.toolVersion = "1.3.0";
        r.serial = serial;
        r.model = "VK2150EMA01";
        r.firmware = "R01.02.03";
        r.codeplug = "R01.02.03";
        r.packageDir = "/pkg";
        r.packageFirmware = "R01.02.04";
        r.packageCodeplug = "R01.02.04";
        r.files = {{"firmware", "/pkg/pkg001.ftf", "ab"}, {"address", "/pkg/pkg002.ftf", "cd"}};
        r.writesFirmware = r.writesCodeplug = r.writesVoice = r.keepsPersonality = true;
        return r;
    }

    // A run that went through backup and erase and ended in `state`.
    std::int64_t endedRun(UpdateJournal& j, const std::string& serial, RunState state,
                          const std::string& backup) {
        JournalRun r = sampleRun(serial);
        std::string error;
        EXPECT_TRUE(j.begin(r, error)) << error;
        EXPECT_TRUE(j.recordBackup(r.id, backup, "0123", error)) << error;
        EXPECT_TRUE(j.recordErasing(r.id, error)) << error;
        r.eraseStarted = true;
        r.backupFile = backup;
        r.state = state;
        r.endedAt = UpdateJournal::timestamp();
        EXPECT_TRUE(j.finish(r, error)) << error;
        return r.id;
    }

    fs::path dir;
    std::string path;
};

TEST_F(Journal, ARunKeepsWhatItWasGivenAndWhatItReported) {
    UpdateJournal j(path);
    std::string error;
    ASSERT_TRUE(j.open(error)) << error;
    EXPECT_TRUE(j.notice().empty());
    JournalRun r = sampleRun("123ABC0001");
    r.recovers = 0;
    ASSERT_TRUE(j.begin(r, error)) << error;
    ASSERT_GT(r.id, 0);
    ASSERT_TRUE(j.recordBackup(r.id, "/b/123ABC0001/x.pvk", "feed", error)) << error;
    ASSERT_TRUE(j.recordErasing(r.id, error)) << error;
    auto mid = j.run(r.id);
    ASSERT_TRUE(mid);
    EXPECT_EQ(mid->state, RunState::Erasing);
    EXPECT_TRUE(mid->pending()) << "a run killed now leaves a half-written radio";

    r.state = RunState::Failed;
    r.endedAt = UpdateJournal::timestamp();
    r.eraseStarted = true;
    r.backupFile = "/b/123ABC0001/x.pvk";
    r.errorCategory = "PROT";
    r.errorTexts = {"Error:failed to write.", "Finalize flashing data."};
    r.durationMs = 1234;
    r.wireBytes = 99999;
    r.radioType = 2;
    ASSERT_TRUE(j.finish(r, error)) << error;

    auto back = j.run(r.id);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->state, RunState::Failed);
    EXPECT_TRUE(back->pending());
    EXPECT_EQ(back->serial, "123ABC0001");
    EXPECT_EQ(back->files, r.files);
    EXPECT_EQ(back->backupFile, "/b/123ABC0001/x.pvk");
    EXPECT_EQ(back->backupSha256, "feed") << "the digest recorded with the backup stays";
    EXPECT_EQ(back->errorTexts, r.errorTexts);
    EXPECT_EQ(back->errorCategory, "PROT");
    EXPECT_EQ(back->radioType, 2);
    EXPECT_EQ(back->durationMs, 1234);
    EXPECT_EQ(back->wireBytes, 99999u);
    EXPECT_EQ(back->toolVersion, "1.3.0");
}

TEST_F(Journal, OnlyRunsThatBrokeOffAfterTheirFirstEraseArePending) {
    UpdateJournal j(path);
    std::string error;
    ASSERT_TRUE(j.open(error)) << error;
    // Before the erase: the radio was not touched.
    JournalRun early = sampleRun("A");
    ASSERT_TRUE(j.begin(early, error));
    early.state = RunState::Failed;
    ASSERT_TRUE(j.finish(early, error));
    const auto failed = endedRun(j, "B", RunState::Failed, "/b/B/1.pvk");
    const auto interrupted = endedRun(j, "C", RunState::Interrupted, "/b/C/1.pvk");
    endedRun(j, "D", RunState::Succeeded, "/b/D/1.pvk");

    auto pending = j.pendingRuns();
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0].id, interrupted) << "newest first";
    EXPECT_EQ(pending[1].id, failed);

    // A second broken attempt that wrote the same backup back: both are
    // recovered together.
    const auto again = endedRun(j, "B", RunState::Failed, "/b/B/1.pvk");
    ASSERT_TRUE(j.markRecovered(again, "/b/B/1.pvk", error)) << error;
    pending = j.pendingRuns();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].id, interrupted);
    EXPECT_EQ(j.run(failed)->state, RunState::Recovered);
    EXPECT_EQ(j.run(again)->state, RunState::Recovered);
    EXPECT_EQ(j.runs("B").size(), 2u);
    EXPECT_EQ(j.runs({}, 2).size(), 2u);
}

TEST_F(Journal, BackupsBeyondTheNewestKeptOnesMayGoUnlessAPendingRunNeedsThem) {
    UpdateJournal j(path);
    std::string error;
    ASSERT_TRUE(j.open(error)) << error;
    for (int i = 1; i <= 7; ++i)
        endedRun(j, "S", RunState::Succeeded, "/b/S/" + std::to_string(i) + ".pvk");
    endedRun(j, "T", RunState::Succeeded, "/b/T/1.pvk");
    EXPECT_EQ(j.backupsBeyond("S", 5), (std::vector<std::string>{"/b/S/2.pvk", "/b/S/1.pvk"}));
    EXPECT_TRUE(j.backupsBeyond("T", 5).empty());
    // A pending run of another radio that holds an old file keeps it.
    endedRun(j, "U", RunState::Failed, "/b/S/1.pvk");
    EXPECT_EQ(j.backupsBeyond("S", 5), (std::vector<std::string>{"/b/S/2.pvk"}));
}

TEST_F(Journal, AKilledProcessLeavesTheRowOfTheLastStateItCommitted) {
    for (int stage = 0; stage < 3; ++stage) {
        SCOPED_TRACE(stage);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            UpdateJournal j(path);
            std::string error;
            JournalRun r = sampleRun("K" + std::to_string(stage));
            if (!j.open(error) || !j.begin(r, error))
                _exit(2);
            if (stage >= 1 && !j.recordBackup(r.id, "/b/k.pvk", "00", error))
                _exit(2);
            if (stage >= 2 && !j.recordErasing(r.id, error))
                _exit(2);
            raise(SIGKILL);
            _exit(3);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        UpdateJournal j(path);
        std::string error;
        ASSERT_TRUE(j.open(error)) << error;
        auto runs = j.runs("K" + std::to_string(stage));
        ASSERT_EQ(runs.size(), 1u);
        const RunState expected[] = {RunState::Started, RunState::BackedUp, RunState::Erasing};
        EXPECT_EQ(runs[0].state, expected[stage]);
        EXPECT_EQ(runs[0].pending(), stage == 2);
        EXPECT_TRUE(runs[0].endedAt.empty());
    }
}

TEST_F(Journal, TwoProcessesWritingAtOnceLoseNothing) {
    constexpr int kRunsEach = 40;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            UpdateJournal j(path);
            std::string error;
            if (!j.open(error))
                _exit(2);
            for (int i = 0; i < kRunsEach; ++i) {
                JournalRun r = sampleRun("P" + std::to_string(c));
                if (!j.begin(r, error) || !j.recordErasing(r.id, error))
                    _exit(3);
                r.state = RunState::Succeeded;
                r.eraseStarted = true;
                if (!j.finish(r, error))
                    _exit(4);
            }
            _exit(0);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    UpdateJournal j(path);
    std::string error;
    ASSERT_TRUE(j.open(error)) << error;
    for (const char* serial : {"P0", "P1"}) {
        auto runs = j.runs(serial);
        EXPECT_EQ(runs.size(), static_cast<std::size_t>(kRunsEach));
        for (const JournalRun& r : runs) {
            EXPECT_EQ(r.state, RunState::Succeeded);
            EXPECT_EQ(r.files.size(), 2u);
        }
    }
}

TEST_F(Journal, ADamagedFileIsMovedAsideAndANewJournalStarted) {
    {
        std::ofstream(path, std::ios::binary) << std::string(4096, 'x');
        std::ofstream(path + "-journal", std::ios::binary) << "stale";
    }
    UpdateJournal j(path);
    std::string error;
    ASSERT_TRUE(j.open(error)) << error;
    EXPECT_NE(j.notice().find("was damaged; it was moved to"), std::string::npos) << j.notice();
    JournalRun r = sampleRun("N");
    EXPECT_TRUE(j.begin(r, error)) << error;
    // The damaged file is kept for a person; the new journal works.
    int aside = 0;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string().find(".damaged-") != std::string::npos &&
            fs::file_size(e.path()) == 4096)
            ++aside;
    EXPECT_EQ(aside, 1);
    EXPECT_EQ(j.runs().size(), 1u);
    std::ifstream log(dir / "log" / "err.log");
    std::string text((std::istreambuf_iterator<char>(log)), {});
    EXPECT_NE(text.find("was damaged"), std::string::npos);
}

TEST_F(Journal, AJournalOfANewerToolOrInAFolderThatCannotBeWrittenIsRefused) {
    {
        UpdateJournal j(path);
        std::string error;
        ASSERT_TRUE(j.open(error)) << error;
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "UPDATE schema_version SET version = 7", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    UpdateJournal newer(path);
    std::string error;
    EXPECT_FALSE(newer.open(error));
    EXPECT_NE(error.find("newer version"), std::string::npos) << error;

    fs::create_directories(dir / "locked");
    fs::permissions(dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    UpdateJournal locked((dir / "locked" / "update-journal.db").string());
    if (::geteuid() != 0) {
        EXPECT_FALSE(locked.open(error));
    }
    fs::permissions(dir / "locked", fs::perms::owner_all);
}

}  // namespace
}  // namespace vkt
