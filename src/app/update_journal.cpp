#include "app/update_journal.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <filesystem>
#include <set>
#include <utility>

#include <fmt/format.h>

#include "core/error_log.h"

namespace vkt {

namespace fs = std::filesystem;

namespace {

// The schema of version 1. Times are ISO 8601 UTC text, paths are text.
constexpr const char* kSchema = R"sql(
CREATE TABLE runs(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  started_at TEXT NOT NULL,
  ended_at TEXT,
  tool_version TEXT NOT NULL,
  serial TEXT NOT NULL,
  model TEXT NOT NULL,
  radio_type INTEGER,
  firmware TEXT NOT NULL,
  codeplug TEXT NOT NULL,
  package_dir TEXT NOT NULL,
  package_firmware TEXT NOT NULL,
  package_codeplug TEXT NOT NULL,
  writes_firmware INTEGER NOT NULL,
  writes_codeplug INTEGER NOT NULL,
  writes_voice INTEGER NOT NULL,
  keeps_personality INTEGER NOT NULL,
  state TEXT NOT NULL,
  erase_started INTEGER NOT NULL DEFAULT 0,
  backup_file TEXT,
  backup_sha256 TEXT,
  recovers INTEGER REFERENCES runs(id),
  error_category TEXT,
  duration_ms INTEGER,
  wire_bytes INTEGER
);
CREATE INDEX runs_by_serial ON runs(serial);
CREATE TABLE run_files(
  run_id INTEGER NOT NULL REFERENCES runs(id),
  role TEXT NOT NULL,
  path TEXT NOT NULL,
  sha256 TEXT NOT NULL
);
CREATE INDEX run_files_by_run ON run_files(run_id);
CREATE TABLE run_errors(
  run_id INTEGER NOT NULL REFERENCES runs(id),
  position INTEGER NOT NULL,
  text TEXT NOT NULL
);
CREATE INDEX run_errors_by_run ON run_errors(run_id);
)sql";

constexpr const char* kRunColumns =
    "id, started_at, ended_at, tool_version, serial, model, radio_type, firmware, codeplug, "
    "package_dir, package_firmware, package_codeplug, writes_firmware, writes_codeplug, "
    "writes_voice, keeps_personality, state, erase_started, backup_file, backup_sha256, "
    "recovers, error_category, duration_ms, wire_bytes";

// Pending, as JournalRun::pending() says it, in SQL.
constexpr const char* kPendingCondition =
    "erase_started = 1 AND state IN ('erasing', 'failed', 'interrupted')";

std::string lastError(sqlite3* db) {
    return db ? sqlite3_errmsg(db) : "out of memory";
}

bool isDamage(int code) {
    const int primary = code & 0xFF;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

// One prepared statement, finalised on every path.
class Statement {
  public:
    Statement(sqlite3* db, const std::string& sql) {
        code_ = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return code_ == SQLITE_OK || code_ == SQLITE_ROW || code_ == SQLITE_DONE; }
    int code() const { return code_; }

    Statement& bind(const std::string& text) {
        if (ok())
            code_ = sqlite3_bind_text(stmt_, ++index_, text.c_str(), static_cast<int>(text.size()),
                                      SQLITE_TRANSIENT);
        return *this;
    }
    // An empty text is stored as NULL.
    Statement& bindOrNull(const std::string& text) {
        if (!text.empty())
            return bind(text);
        if (ok())
            code_ = sqlite3_bind_null(stmt_, ++index_);
        return *this;
    }
    Statement& bind(std::int64_t value) {
        if (ok())
            code_ = sqlite3_bind_int64(stmt_, ++index_, value);
        return *this;
    }
    Statement& bind(bool value) { return bind(std::int64_t{value ? 1 : 0}); }

    // The next row: true while there is one.
    bool step() {
        if (!ok())
            return false;
        code_ = sqlite3_step(stmt_);
        return code_ == SQLITE_ROW;
    }
    // Runs a statement that returns no rows.
    bool run() {
        step();
        return code_ == SQLITE_DONE;
    }

    std::string text(int column) const {
        const auto* p = sqlite3_column_text(stmt_, column);
        return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
    }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

  private:
    sqlite3_stmt* stmt_ = nullptr;
    int code_ = SQLITE_OK;
    int index_ = 0;
};

bool execute(sqlite3* db, const char* sql, std::string& error) {
    char* message = nullptr;
    const int code = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    if (code != SQLITE_OK) {
        error = message ? message : lastError(db);
        sqlite3_free(message);
        return false;
    }
    return true;
}

// A write transaction: taken at once (so a second writer waits for the
// first as a whole) and rolled back unless committed.
class Transaction {
  public:
    Transaction(sqlite3* db, std::string& error) : db_(db) {
        began_ = execute(db, "BEGIN IMMEDIATE", error);
    }
    ~Transaction() {
        if (began_ && !done_) {
            std::string ignored;
            execute(db_, "ROLLBACK", ignored);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool began() const { return began_; }
    bool commit(std::string& error) {
        done_ = execute(db_, "COMMIT", error);
        return done_;
    }

  private:
    sqlite3* db_;
    bool began_ = false;
    bool done_ = false;
};

std::string compactStamp() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::array<char, 32> text{};
    const std::size_t n = std::strftime(text.data(), text.size(), "%Y%m%dT%H%M%SZ", &tm);
    return std::string(text.data(), n);
}

}  // namespace

std::string updateJournalPath(const std::string& dataDir) {
    return dataDir + "/update-journal.db";
}

std::string journalTimeAsLocal(const std::string& stamp) {
    std::tm utc{};
    const char* end = strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc);
    if (end == nullptr || *end != '\0')
        return stamp;
    const std::time_t t = timegm(&utc);
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr)
        return stamp;
    std::array<char, 32> text{};
    const std::size_t n = std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M", &local);
    return std::string(text.data(), n);
}

const char* runStateName(RunState state) {
    switch (state) {
        case RunState::Started:
            return "started";
        case RunState::BackedUp:
            return "backed-up";
        case RunState::Erasing:
            return "erasing";
        case RunState::Succeeded:
            return "succeeded";
        case RunState::Failed:
            return "failed";
        case RunState::Interrupted:
            return "interrupted";
        case RunState::Recovered:
            return "recovered";
    }
    return "failed";
}

std::optional<RunState> runStateFromName(const std::string& name) {
    for (RunState state :
         {RunState::Started, RunState::BackedUp, RunState::Erasing, RunState::Succeeded,
          RunState::Failed, RunState::Interrupted, RunState::Recovered})
        if (name == runStateName(state))
            return state;
    return std::nullopt;
}

const JournalRun* pendingRunFor(const std::vector<JournalRun>& pending, const std::string& serial,
                                const std::string& model) {
    for (const JournalRun& r : pending)
        if (r.serial == serial)
            return &r;
    for (const JournalRun& r : pending)
        if (r.model == model)
            return &r;
    return nullptr;
}

std::string UpdateJournal::timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::array<char, 32> text{};
    const std::size_t n = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return std::string(text.data(), n);
}

UpdateJournal::UpdateJournal(std::string path) : path_(std::move(path)) {}

UpdateJournal::~UpdateJournal() {
    close();
}

void UpdateJournal::close() {
    if (db_)
        sqlite3_close_v2(db_);
    db_ = nullptr;
}

bool UpdateJournal::openFile(int flags, std::string& error) {
    const int code = sqlite3_open_v2(path_.c_str(), &db_, flags | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (code != SQLITE_OK) {
        error = fmt::format("cannot open {}: {}", path_, lastError(db_));
        close();
        return false;
    }
    sqlite3_busy_timeout(db_, static_cast<int>(kBusyTimeout.count()));
    sqlite3_extended_result_codes(db_, 1);
    return true;
}

// False only for a file SQLite calls damaged; a busy file is not damaged.
bool UpdateJournal::isIntact() {
    Statement check(db_, "PRAGMA quick_check");
    if (!check.ok())
        return !isDamage(check.code());
    if (!check.step())
        return !isDamage(check.code());
    return check.text(0) == "ok";
}

void UpdateJournal::moveAside() {
    const std::string aside = path_ + ".damaged-" + compactStamp();
    std::error_code ec;
    fs::rename(path_, aside, ec);
    // A rollback journal left beside the file belongs to it, not to the new
    // database that takes its name.
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
        std::error_code ignored;
        if (fs::exists(path_ + suffix, ignored))
            fs::rename(path_ + suffix, aside + suffix, ignored);
    }
    notice_ = ec ? fmt::format("The update journal {} is damaged and could not be moved aside: {}.",
                               path_, ec.message())
                 : fmt::format(
                       "The update journal {} was damaged; it was moved to {} and a new journal "
                       "was started.",
                       path_, aside);
    ErrorLog::instance().writeLog("%s", notice_);
}

bool UpdateJournal::open(std::string& error, bool readOnly) {
    if (db_)
        return true;
    notice_.clear();
    if (readOnly) {
        if (!openFile(SQLITE_OPEN_READONLY, error))
            return false;
        if (!isIntact()) {
            error = fmt::format("the update journal {} is damaged", path_);
            close();
            return false;
        }
        Statement version(db_, "SELECT version FROM schema_version");
        if (!version.step() || version.integer(0) > kSchemaVersion) {
            error = fmt::format("the update journal {} has no schema this tool knows", path_);
            close();
            return false;
        }
        return true;
    }
    std::error_code ec;
    const fs::path folder = fs::path(path_).parent_path();
    if (!folder.empty())
        fs::create_directories(folder, ec);
    if (!openFile(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error))
        return false;
    if (!isIntact()) {
        close();
        moveAside();
        if (!openFile(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error))
            return false;
    }
    std::string reason;
    bool ready = execute(db_, "PRAGMA synchronous=FULL", reason) &&
                 execute(db_, "PRAGMA foreign_keys=ON", reason) && prepareSchema(reason);
    if (!ready && !reason.empty() && db_ && isDamage(sqlite3_extended_errcode(db_))) {
        // Damage that the quick check did not see shows when the schema is read.
        close();
        moveAside();
        ready = openFile(SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, error) &&
                execute(db_, "PRAGMA synchronous=FULL", reason) && prepareSchema(reason);
    }
    if (!ready) {
        error = fmt::format("cannot use the update journal {}: {}", path_, reason);
        close();
        return false;
    }
    return true;
}

bool UpdateJournal::prepareSchema(std::string& error) {
    Transaction transaction(db_, error);
    if (!transaction.began())
        return false;
    if (!execute(db_, "CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL)", error))
        return false;
    Statement read(db_, "SELECT version FROM schema_version");
    std::int64_t version = 0;
    if (read.step())
        version = read.integer(0);
    else if (!read.ok()) {
        error = lastError(db_);
        return false;
    }
    if (version > kSchemaVersion) {
        error = fmt::format("it was written by a newer version of the tool (schema {})", version);
        return false;
    }
    if (version == 0) {
        if (!execute(db_, kSchema, error))
            return false;
        Statement insert(db_, "INSERT INTO schema_version(version) VALUES(?)");
        if (!insert.bind(std::int64_t{kSchemaVersion}).run()) {
            error = lastError(db_);
            return false;
        }
    }
    // Later schema versions migrate forward here, inside this transaction.
    return transaction.commit(error);
}

bool UpdateJournal::begin(JournalRun& run, std::string& error) {
    if (!db_ && !open(error))
        return false;
    Transaction transaction(db_, error);
    if (!transaction.began())
        return false;
    Statement insert(db_,
                     "INSERT INTO runs(started_at, ended_at, tool_version, serial, model, "
                     "radio_type, firmware, codeplug, package_dir, package_firmware, "
                     "package_codeplug, writes_firmware, writes_codeplug, writes_voice, "
                     "keeps_personality, state, erase_started, backup_file, backup_sha256, "
                     "recovers) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    insert.bind(run.startedAt)
        .bindOrNull(run.endedAt)
        .bind(run.toolVersion)
        .bind(run.serial)
        .bind(run.model);
    if (run.radioType >= 0)
        insert.bind(std::int64_t{run.radioType});
    else
        insert.bindOrNull({});
    insert.bind(run.firmware)
        .bind(run.codeplug)
        .bind(run.packageDir)
        .bind(run.packageFirmware)
        .bind(run.packageCodeplug)
        .bind(run.writesFirmware)
        .bind(run.writesCodeplug)
        .bind(run.writesVoice)
        .bind(run.keepsPersonality)
        .bind(std::string(runStateName(run.state)))
        .bind(run.eraseStarted)
        .bindOrNull(run.backupFile)
        .bindOrNull(run.backupSha256);
    if (run.recovers > 0)
        insert.bind(run.recovers);
    else
        insert.bindOrNull({});
    if (!insert.run()) {
        error = lastError(db_);
        return false;
    }
    const std::int64_t id = sqlite3_last_insert_rowid(db_);
    for (const JournalFile& file : run.files) {
        Statement add(db_, "INSERT INTO run_files(run_id, role, path, sha256) VALUES(?,?,?,?)");
        if (!add.bind(id).bind(file.role).bind(file.path).bind(file.sha256).run()) {
            error = lastError(db_);
            return false;
        }
    }
    if (!transaction.commit(error))
        return false;
    run.id = id;
    return true;
}

bool UpdateJournal::recordBackup(std::int64_t id, const std::string& file,
                                 const std::string& sha256, std::string& error) {
    if (!db_ && !open(error))
        return false;
    Statement update(db_,
                     "UPDATE runs SET state = 'backed-up', backup_file = ?, backup_sha256 = ? "
                     "WHERE id = ?");
    if (!update.bind(file).bind(sha256).bind(id).run() || sqlite3_changes(db_) != 1) {
        error = update.ok() ? fmt::format("run {} is not in the journal", id) : lastError(db_);
        return false;
    }
    return true;
}

bool UpdateJournal::recordErasing(std::int64_t id, std::string& error) {
    if (!db_ && !open(error))
        return false;
    Statement update(db_, "UPDATE runs SET state = 'erasing', erase_started = 1 WHERE id = ?");
    if (!update.bind(id).run() || sqlite3_changes(db_) != 1) {
        error = update.ok() ? fmt::format("run {} is not in the journal", id) : lastError(db_);
        return false;
    }
    return true;
}

bool UpdateJournal::finish(const JournalRun& run, std::string& error) {
    if (!db_ && !open(error))
        return false;
    Transaction transaction(db_, error);
    if (!transaction.began())
        return false;
    // The backup's digest was recorded with the backup; a run that removed
    // its backup (it failed before erasing anything) clears both.
    Statement update(db_,
                     "UPDATE runs SET state = ?, ended_at = ?, error_category = ?, "
                     "duration_ms = ?, wire_bytes = ?, radio_type = ?, backup_file = ?, "
                     "backup_sha256 = CASE WHEN ? IS NULL THEN NULL ELSE "
                     "COALESCE(?, backup_sha256) END, erase_started = ? WHERE id = ?");
    update.bind(std::string(runStateName(run.state)))
        .bindOrNull(run.endedAt)
        .bindOrNull(run.errorCategory)
        .bind(run.durationMs)
        .bind(static_cast<std::int64_t>(run.wireBytes));
    if (run.radioType >= 0)
        update.bind(std::int64_t{run.radioType});
    else
        update.bindOrNull({});
    update.bindOrNull(run.backupFile)
        .bindOrNull(run.backupFile)
        .bindOrNull(run.backupSha256)
        .bind(run.eraseStarted)
        .bind(run.id);
    if (!update.run() || sqlite3_changes(db_) != 1) {
        error = update.ok() ? fmt::format("run {} is not in the journal", run.id) : lastError(db_);
        return false;
    }
    Statement clear(db_, "DELETE FROM run_errors WHERE run_id = ?");
    if (!clear.bind(run.id).run()) {
        error = lastError(db_);
        return false;
    }
    std::int64_t position = 0;
    for (const std::string& text : run.errorTexts) {
        Statement add(db_, "INSERT INTO run_errors(run_id, position, text) VALUES(?,?,?)");
        if (!add.bind(run.id).bind(position++).bind(text).run()) {
            error = lastError(db_);
            return false;
        }
    }
    return transaction.commit(error);
}

bool UpdateJournal::markRecovered(std::int64_t id, const std::string& backupFile,
                                  std::string& error) {
    if (!db_ && !open(error))
        return false;
    Statement update(db_, std::string("UPDATE runs SET state = 'recovered' WHERE ") +
                              kPendingCondition + " AND (id = ? OR (backup_file = ? AND ? <> ''))");
    if (!update.bind(id).bind(backupFile).bind(backupFile).run()) {
        error = lastError(db_);
        return false;
    }
    return true;
}

std::vector<JournalRun> UpdateJournal::select(const std::string& where,
                                              const std::vector<std::string>& args,
                                              std::size_t limit) {
    std::vector<JournalRun> out;
    if (!db_)
        return out;
    std::string sql = std::string("SELECT ") + kRunColumns + " FROM runs";
    if (!where.empty())
        sql += " WHERE " + where;
    sql += " ORDER BY id DESC";
    if (limit > 0)
        sql += fmt::format(" LIMIT {}", limit);
    Statement query(db_, sql);
    for (const std::string& arg : args)
        query.bind(arg);
    while (query.step()) {
        JournalRun r;
        int c = 0;
        r.id = query.integer(c++);
        r.startedAt = query.text(c++);
        r.endedAt = query.text(c++);
        r.toolVersion = query.text(c++);
        r.serial = query.text(c++);
        r.model = query.text(c++);
        r.radioType = query.isNull(c) ? -1 : static_cast<int>(query.integer(c));
        ++c;
        r.firmware = query.text(c++);
        r.codeplug = query.text(c++);
        r.packageDir = query.text(c++);
        r.packageFirmware = query.text(c++);
        r.packageCodeplug = query.text(c++);
        r.writesFirmware = query.integer(c++) != 0;
        r.writesCodeplug = query.integer(c++) != 0;
        r.writesVoice = query.integer(c++) != 0;
        r.keepsPersonality = query.integer(c++) != 0;
        r.state = runStateFromName(query.text(c++)).value_or(RunState::Failed);
        r.eraseStarted = query.integer(c++) != 0;
        r.backupFile = query.text(c++);
        r.backupSha256 = query.text(c++);
        r.recovers = query.integer(c++);
        r.errorCategory = query.text(c++);
        r.durationMs = query.integer(c++);
        r.wireBytes = static_cast<std::uint64_t>(query.integer(c++));
        out.push_back(std::move(r));
    }
    for (JournalRun& r : out) {
        Statement files(db_,
                        "SELECT role, path, sha256 FROM run_files WHERE run_id = ? ORDER BY rowid");
        files.bind(r.id);
        while (files.step())
            r.files.push_back({files.text(0), files.text(1), files.text(2)});
        Statement errors(db_, "SELECT text FROM run_errors WHERE run_id = ? ORDER BY position");
        errors.bind(r.id);
        while (errors.step())
            r.errorTexts.push_back(errors.text(0));
    }
    return out;
}

std::vector<JournalRun> UpdateJournal::runs(const std::string& serial, std::size_t limit) {
    if (serial.empty())
        return select({}, {}, limit);
    return select("serial = ?", {serial}, limit);
}

std::optional<JournalRun> UpdateJournal::run(std::int64_t id) {
    auto found = select("id = ?", {std::to_string(id)}, 1);
    if (found.empty())
        return std::nullopt;
    return std::move(found.front());
}

std::vector<JournalRun> UpdateJournal::pendingRuns() {
    return select(kPendingCondition, {}, 0);
}

std::vector<std::string> UpdateJournal::backupsBeyond(const std::string& serial, std::size_t keep) {
    std::set<std::string> needed;
    for (const JournalRun& r : pendingRuns())
        needed.insert(r.backupFile);
    std::vector<std::string> kept;
    std::vector<std::string> beyond;
    for (const JournalRun& r :
         select("serial = ? AND state IN ('succeeded', 'recovered') AND backup_file <> ''",
                {serial}, 0)) {
        if (std::find(kept.begin(), kept.end(), r.backupFile) != kept.end() ||
            std::find(beyond.begin(), beyond.end(), r.backupFile) != beyond.end())
            continue;
        if (kept.size() < keep)
            kept.push_back(r.backupFile);
        else if (!needed.count(r.backupFile))
            beyond.push_back(r.backupFile);
    }
    return beyond;
}

}  // namespace vkt
