// The update journal: one row per update run, kept in an SQLite database in
// the tool's data folder, so that a run that broke off (a pulled cable, a
// power cut, a killed process) is known to the next run of either program
// (the desktop tool and `vkt` share the file). docs/recovery.md describes
// the rows, the states and how a pending run is recovered.
//
// Every change is its own transaction, committed with synchronous=FULL
// before the caller goes on, so the row is truthful whenever the process
// ends. Another writer holding the file is waited for (busy time-out). A
// damaged file is moved aside at open and a new one started.
//
// Nothing else in the tool knows SQLite: the programming procedure reports
// through update/run_journal.h, the flows through this class.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace vkt {

// <data dir>/update-journal.db
std::string updateJournalPath(const std::string& dataDir);
// A journal time stamp ("2024-05-01T12:34:56Z") as local time for the user
// ("2024-05-01 14:34"); the stamp itself when it does not parse.
std::string journalTimeAsLocal(const std::string& stamp);

enum class RunState { Started, BackedUp, Erasing, Succeeded, Failed, Interrupted, Recovered };

// "started", "backed-up", "erasing", "succeeded", "failed", "interrupted",
// "recovered".
const char* runStateName(RunState state);
std::optional<RunState> runStateFromName(const std::string& name);

// A package file the run writes, with the SHA-256 (hex) of its bytes.
struct JournalFile {
    std::string role;  // firmware, default, voice, address
    std::string path;
    std::string sha256;
    bool operator==(const JournalFile&) const = default;
};

struct JournalRun {
    std::int64_t id = 0;
    std::string startedAt;  // ISO 8601, UTC
    std::string endedAt;    // empty while the run has not ended
    std::string toolVersion;
    // The radio before the run.
    std::string serial;
    std::string model;
    int radioType = -1;  // -1 until the run has read it
    std::string firmware;
    std::string codeplug;
    // The package.
    std::string packageDir;
    std::string packageFirmware;
    std::string packageCodeplug;
    std::vector<JournalFile> files;
    // The plan.
    bool writesFirmware = false;
    bool writesCodeplug = false;
    bool writesVoice = false;
    bool keepsPersonality = false;
    // Progress and result.
    RunState state = RunState::Started;
    bool eraseStarted = false;  // the first erase may have reached the radio
    std::string backupFile;
    std::string backupSha256;
    std::int64_t recovers = 0;  // id of the pending run whose backup this run writes back
    std::string errorCategory;  // "UPDATE", "PROT", ... (empty: none)
    std::vector<std::string> errorTexts;
    std::int64_t durationMs = 0;
    std::uint64_t wireBytes = 0;

    // A run that broke off after its first erase and is not recovered yet:
    // the radio is half-written and its personality lives in backupFile.
    bool pending() const {
        return eraseStarted && (state == RunState::Erasing || state == RunState::Failed ||
                                state == RunState::Interrupted);
    }
};

class UpdateJournal {
  public:
    static constexpr int kSchemaVersion = 1;
    static constexpr std::chrono::milliseconds kBusyTimeout{10000};

    explicit UpdateJournal(std::string path);
    ~UpdateJournal();
    UpdateJournal(const UpdateJournal&) = delete;
    UpdateJournal& operator=(const UpdateJournal&) = delete;

    const std::string& path() const { return path_; }

    // Opens the database, creating it (and its folder) when it does not
    // exist, or with `readOnly` only an existing one. A file that is not an
    // intact database is renamed to "<path>.damaged-<time>" and a new one
    // started; notice() then says so. False with `error` set when the
    // journal cannot be used (a folder that cannot be written, a file
    // written by a newer tool). Opening an open journal does nothing.
    bool open(std::string& error, bool readOnly = false);
    bool isOpen() const { return db_ != nullptr; }
    void close();
    // What the user should know about the last open (empty: nothing).
    const std::string& notice() const { return notice_; }

    // Inserts `run` (state, times and the rest as given) and sets its id.
    bool begin(JournalRun& run, std::string& error);
    // State changes during the run.
    bool recordBackup(std::int64_t id, const std::string& file, const std::string& sha256,
                      std::string& error);
    bool recordErasing(std::int64_t id, std::string& error);
    // The end of the run: state, end time, error, duration, wire bytes,
    // radio type and backup file as `run` holds them.
    bool finish(const JournalRun& run, std::string& error);
    // Every pending run whose backup is `backupFile` becomes recovered, and
    // so does the run `id` (when it is pending).
    bool markRecovered(std::int64_t id, const std::string& backupFile, std::string& error);

    // Runs, newest first; only those of one serial number when it is given;
    // at most `limit` (0: all).
    std::vector<JournalRun> runs(const std::string& serial = {}, std::size_t limit = 0);
    std::optional<JournalRun> run(std::int64_t id);
    // Pending runs, newest first.
    std::vector<JournalRun> pendingRuns();
    // Backup files of successful runs of `serial` beyond the newest `keep`
    // ones, that no pending run still needs.
    std::vector<std::string> backupsBeyond(const std::string& serial, std::size_t keep);

    // The current time as the journal writes it: "2024-05-01T12:34:56Z".
    static std::string timestamp();

  private:
    bool prepareSchema(std::string& error);
    bool openFile(int flags, std::string& error);
    bool isIntact();
    void moveAside();
    std::vector<JournalRun> select(const std::string& where, const std::vector<std::string>& args,
                                   std::size_t limit);

    std::string path_;
    sqlite3* db_ = nullptr;
    std::string notice_;
};

// The pending run (of `pending`, newest first) that belongs to a radio: the
// newest with its serial number, else the newest of its model, whose serial
// number then differs (the radio's went back to the default or was changed,
// and the caller asks whether it is that radio). Null when there is none.
const JournalRun* pendingRunFor(const std::vector<JournalRun>& pending, const std::string& serial,
                                const std::string& model);

}  // namespace vkt
