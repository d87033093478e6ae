// The update flow of MainController: reading the radio and the package,
// the checks and questions before writing, the programming run with its
// journal and personality backup, and the outcome of a broken run.
#include <algorithm>
#include <filesystem>

#include "app/controller_support.h"
#include "app/main_controller.h"
#include "core/ascii.h"
#include "core/error_log.h"
#include "core/error_stack.h"
#include "core/messages.h"
#include "core/version.h"
#include "link/radio_info.h"
#include "link/sbep.h"
#include "link/usb_serial.h"
#include "update/file_digest.h"
#include "update/personality_backup.h"
#include "update/run_journal.h"

namespace vkt {

using namespace controller;  // the helpers the controller's files share

namespace {

std::string upper(std::string text) {
    for (char& ch : text)
        ch = asciiUpper(ch);
    return text;
}

}  // namespace

std::string MainController::lastParsableVersion(const std::vector<std::string>& versions) {
    std::string candidate;
    for (const std::string& version : versions) {
        VersionTriple triple;
        if (!parseVersionText(version, triple))
            break;
        candidate = version;
    }
    return candidate;
}

FlowOutcome MainController::onUpdate() {
    return updateFlow(UpdateMode::Update, 0);
}

FlowOutcome MainController::onRecover(std::int64_t runId) {
    return updateFlow(UpdateMode::Recover, runId);
}

FlowOutcome MainController::updateFlow(UpdateMode mode, std::int64_t runId) {
    removeErrors(0);
    backupFile_.clear();
    RadioManager& manager = app_.radioManager();
    RadioInfo& radio = manager.radio();

    // Phase A: identity and package versions.
    front_.setBusy(true);
    Result result{loadString(str::kUpdateSuccessful), MessageStyle::Info, true};
    setBusy(BusyState::Updating);
    controls_.update = controls_.keepPersonality = false;
    showControls();

    UpdateTarget target;
    ensureSingleCable();
    readUpdateTarget(target, result);

    // An interrupted update of this radio is recovered: its personality
    // from before that update is written back.
    Ending ending = Ending::Reported;
    if (result.success && !findPending(target, mode, runId, result))
        return refusedUpdate();
    if (result.success && mode == UpdateMode::Recover && !target.pending) {
        result.set(str::kNothingToRecover, MessageStyle::Info);
        ending = Ending::UpToDate;
    }
    if (result.success && target.pending) {
        const std::string notice =
            formatString(target.pendingBackup ? str::kRecoveryNotice : str::kRecoveryInFull,
                         journalTimeAsLocal(target.pending->startedAt));
        if (testMode_)
            ErrorLog::instance().writeLog("%s", notice);
        else
            front_.showMessage(notice, MessageStyle::Info);
    }

    // Confirmation (a front end that asks after the checks does it there).
    if (!testMode_ && result.success && !front_.asksAfterChecks() &&
        !askYesNo(formatString(str::kConfirmUpdate, target.packageFw, target.packageCp)))
        return refusedUpdate();

    // Phase B: compatibility and the programming command.
    if (result.success)
        ending = checkAndProgram(target, result);
    if (ending == Ending::Declined)
        return refusedUpdate();
    if (ending == Ending::Previewed) {
        if (radio.portOpen())
            manager.disconnect();
        FlowOutcome previewed = refusedUpdate();
        previewed.kind = FlowOutcome::Kind::Previewed;
        return previewed;
    }

    // End.
    if (radio.portOpen())
        manager.disconnect();
    if (result.success)
        refreshRadioInfo();
    if (testMode_)
        reportToConsole(result.success);
    else
        front_.showMessage(result.text, result.style);
    finishOperation();
    FlowOutcome outcome;
    outcome.kind = result.success                  ? FlowOutcome::Kind::Done
                   : ending == Ending::UpToDate    ? FlowOutcome::Kind::NothingDone
                   : ending == Ending::Interrupted ? FlowOutcome::Kind::Interrupted
                                                   : FlowOutcome::Kind::Failed;
    outcome.text = testMode_ ? std::string() : result.text;
    outcome.style = testMode_ ? MessageStyle::None : result.style;
    outcome.backupFile = backupFile_;
    if (!result.success && ending != Ending::UpToDate)
        outcome.errors = failureErrors_.empty() ? errorEntries() : std::move(failureErrors_);
    failureErrors_.clear();
    return outcome;
}

FlowOutcome MainController::refusedUpdate() {
    setBusy(BusyState::Idle);
    refreshControls();
    front_.setBusy(false);
    return FlowOutcome{FlowOutcome::Kind::NothingDone, {}, MessageStyle::None, {}, {}, {}};
}

void MainController::readUpdateTarget(UpdateTarget& target, Result& result) {
    ErrorLog& log = ErrorLog::instance();
    PackageConfig& config = app_.config();
    RadioManager& manager = app_.radioManager();
    RadioInfo& radio = manager.radio();
    if (!manager.connect())
        return result.set(str::kConnectFailed, MessageStyle::Error);
    const EchoResult echo = radio.engine().detectEcho();
    if (echo == EchoResult::Silent)
        return result.set(str::kToggleAnalogRetry, MessageStyle::Warning);
    if (echo == EchoResult::Undecided)
        return result.set(str::kCableUnsupported, MessageStyle::Error);
    if (!radio.readIdentity())
        return result.set(str::kConnectFailed, MessageStyle::Error);
    target.oldSerial = radio.serialNumber;
    serialNumberText(radio.serialNumber, target.serial);
    target.serial = cutAtNul(target.serial);
    firmwareVersionText(radio.firmwareVersion, target.firmware);
    codeplugVersionText(radio.codeplugVersion, target.codeplug);
    target.key = modelKey(radio);
    if (!config.isModelKnown(target.key))
        return result.set(str::kRadioUnsupported, MessageStyle::Error);

    target.packageCpListed = lastParsableVersion(config.blockVersions(target.key, "DEF"));
    target.packageCp = upper(target.packageCpListed);
    if (target.packageCp.empty() || !parseVersionText(target.packageCp, target.packageCpTriple)) {
        result.set(str::kReinstall, MessageStyle::Error);
        log.writeLog("The tool CP version is invalid.");
    }
    if (!config.firmwarePath.empty()) {
        target.firmwarePath = config.firmwarePath;
        target.packageFw = upper(config.firmwareVersion);
    }
    VersionTriple packageFwTriple{};
    if (!parseVersionText(target.packageFw, packageFwTriple)) {
        result.set(str::kReinstall, MessageStyle::Error);
        log.writeLog("The tool FW verision is invalid.");
    }
}

UpdateJournal* MainController::openJournal(Result& result) {
    if (!journal_)
        journal_ = std::make_unique<UpdateJournal>(app_.journalPath());
    std::string error;
    if (!journal_->open(error)) {
        ErrorLog::instance().writeLog("Error:%s", error);
        result.text = formatString(str::kJournalUnusable, error);
        result.style = MessageStyle::Error;
        result.success = false;
        return nullptr;
    }
    if (!journal_->notice().empty() && !journalNoticeShown_) {
        journalNoticeShown_ = true;
        if (!testMode_)
            front_.showMessage(journal_->notice(), MessageStyle::Warning);
    }
    return journal_.get();
}

std::vector<JournalRun> MainController::pendingRuns() {
    Result quiet;
    UpdateJournal* journal = openJournal(quiet);
    return journal ? journal->pendingRuns() : std::vector<JournalRun>{};
}

bool MainController::findPending(UpdateTarget& target, UpdateMode mode, std::int64_t runId,
                                 Result& result) {
    UpdateJournal* journal = openJournal(result);
    if (journal == nullptr)
        return true;
    const std::string model = cutAtNul(target.key);
    const std::vector<JournalRun> pending = journal->pendingRuns();
    std::optional<JournalRun> match;
    if (runId != 0) {
        auto it = std::find_if(pending.begin(), pending.end(),
                               [runId](const JournalRun& r) { return r.id == runId; });
        if (it == pending.end())
            return true;
        if (it->model != model) {
            result.text = formatString(str::kSelectedOtherModel, it->model);
            result.style = MessageStyle::Error;
            result.success = false;
            return true;
        }
        if (it->serial != target.serial &&
            (testMode_ ||
             !askYesNo(formatString(str::kSelectedOtherSerial, target.serial, it->serial))))
            return false;
        match = *it;
    } else if (const JournalRun* found = pendingRunFor(pending, target.serial, model)) {
        // A run found by the model alone (the radio's serial number went back
        // to the default one, or was changed) is this radio's only when the
        // user confirms it.
        const bool sameSerial = found->serial == target.serial;
        if (!sameSerial && testMode_) {
            ErrorLog::instance().writeLog(
                "The interrupted update of the radio %s (model %s) was not recovered: in test "
                "mode the tool cannot ask whether this radio (%s) is that one.",
                found->serial, model, target.serial);
        } else if (sameSerial ||
                   askYesNo(formatString(str::kPendingOtherSerial, target.serial, found->serial,
                                         journalTimeAsLocal(found->startedAt)))) {
            match = *found;
        } else if (mode == UpdateMode::Recover) {
            return false;
        }
    }
    if (!match)
        return true;
    target.pending = match;
    if (keepPersonality_ && !match->backupFile.empty()) {
        PersonalityBackup backup;
        if (!readPersonalityBackup(match->backupFile, backup)) {
            const std::string reason = firstErrorText();
            removeErrors(0);
            ErrorLog::instance().writeLog("%s", reason);
            result.text = formatString(str::kBackupUnreadable, reason);
            result.style = MessageStyle::Error;
            result.success = false;
            return true;
        }
        target.pendingBackup = std::move(backup);
    }
    return true;
}

MainController::Ending MainController::checkAndProgram(UpdateTarget& target, Result& result) {
    ErrorLog& log = ErrorLog::instance();
    PackageConfig& config = app_.config();
    RadioInfo& radio = app_.radioManager().radio();
    const auto refuse = [&](int id, MessageStyle style, const std::string& logLine) {
        if (!logLine.empty())
            log.writeLog("%s", logLine);
        result.set(id, style);
        return Ending::Reported;
    };

    radio.cable().setBaudRate(kSlowLineRate);
    const EchoResult echo = radio.engine().detectEcho();
    radio.cable().setBaudRate(kSlowLineRate);
    if (echo == EchoResult::Silent)
        return refuse(str::kToggleAnalogRetry, MessageStyle::Warning, {});
    if (echo == EchoResult::Undecided)
        return refuse(str::kCableUnsupported, MessageStyle::Error, {});
    if (!config.isModelKnown(target.key))
        return refuse(str::kRadioUnsupported, MessageStyle::Error, {});

    UpdatePlanOptions options;
    options.testMode = testMode_;
    options.recovery = target.pending.has_value();
    const UpdatePlan plan = planUpdate({target.firmware, target.codeplug},
                                       {target.packageFw, target.packageCpListed}, options);
    if (plan.radioVersionsInvalid)
        return refuse(plan.messageId, plan.style, plan.logLine);

    PackageFiles files;
    std::string lost;
    if (!findPackageFiles(target.key, target.packageCp, files, lost))
        return refuse(str::kReinstall, MessageStyle::Error, lost);
    const std::string& defaultFile = files.defaultBlock;
    const std::string& voiceFile = files.voice;
    const std::string& addressFile = files.address;

    // The kind of update, and the downgrade question when the plan calls
    // for it.
    if (plan.kind == UpdatePlan::Kind::UpToDate) {
        result.set(plan.messageId, plan.style);
        refreshRadioInfo();
        return Ending::UpToDate;
    }
    if (!plan.programs())
        return refuse(plan.messageId, plan.style, plan.logLine);
    const bool asksNow = front_.asksAfterChecks() && !testMode_;
    const bool keeps = target.pendingBackup.has_value() || (keepPersonality_ && !target.pending);
    if (asksNow) {
        UpdatePreview preview;
        preview.radioFirmware = target.firmware;
        preview.radioCodeplug = target.codeplug;
        preview.packageFirmware = target.packageFw;
        preview.packageCodeplug = target.packageCp;
        preview.packageDir = std::filesystem::path(app_.packageDir()).lexically_normal().string();
        preview.firmware = plan.kind == UpdatePlan::Kind::Full;
        preview.codeplug = true;
        preview.voicePrompts = !voiceFile.empty();
        preview.personality = target.pendingBackup ? UpdatePreview::Personality::FromBackup
                              : keeps              ? UpdatePreview::Personality::Kept
                                                   : UpdatePreview::Personality::NotKept;
        if (target.pendingBackup)
            preview.backupFile = target.pending->backupFile;
        preview.recovery = target.pending.has_value();
        preview.downgrade = plan.askDowngrade;
        if (!front_.showUpdatePlan(preview))
            return Ending::Previewed;
    }
    if (plan.askDowngrade && !askYesNo(loadString(str::kConfirmDowngrade)))
        return Ending::Declined;
    if (asksNow) {
        if (!askYesNo(formatString(str::kConfirmUpdate, target.packageFw, target.packageCp)))
            return Ending::Declined;
        // Not keeping the personality is the user's choice: asked on its own.
        if (!keeps && !target.pending && !askYesNo(loadString(str::kConfirmErasePersonality)))
            return Ending::Declined;
    }

    // The programming command.
    ProgramRequest request;
    if (plan.kind == UpdatePlan::Kind::Full)
        request.firmwareFile = target.firmwarePath;
    request.addressFile = addressFile;
    request.defaultFile = defaultFile;
    if (!voiceFile.empty())
        request.voiceFile = voiceFile;
    request.verifyFlash = verifyFlash_;
    if (target.pendingBackup) {
        // The radio's windows may be wiped: what it held before the broken
        // update is written back, never read again from the radio.
        request.keepUserInfo = true;
        request.keepBlocks = CmdProgram::keepBlocksOf(*target.pendingBackup);
        request.writeBack = PersonalityWriteBack{target.pending->backupFile, *target.pendingBackup};
    } else if (keepPersonality_ && !target.pending) {
        VersionTriple radioCpTriple{};
        parseVersionText(target.codeplug, radioCpTriple);
        request.keepUserInfo = true;
        for (const std::int32_t kind : config.userInfoKinds()) {
            KeepBlock block;
            block.kind = kind;
            config.findUserInfoRange(kind, radioCpTriple[0], target.packageCpTriple[0],
                                     block.address, block.length);
            request.keepBlocks.push_back(block);
        }
    } else {
        // Nothing of an earlier run's keep list may be read or restored.
        request.keepUserInfo = false;
    }
    request.backupFolder = app_.backupFolder();
    program_.setRequest(std::move(request));
    program_.radio = &radio;
    program_.owner = window_;
    program_.progress.total = kProgressRange;
    program_.progress.base = 0;
    return programWithJournal(target, plan, result);
}

namespace {

// The journal's side of a programming run: its state changes, written as
// the run reports them (on the worker thread).
class JournalReporter : public RunJournal {
  public:
    JournalReporter(UpdateJournal& journal, std::int64_t id) : journal_(journal), id_(id) {}

    bool backedUp(const std::string& file, const std::string& sha256) override {
        std::string error;
        return journal_.recordBackup(id_, file, sha256, error) || refused(error);
    }
    bool erasing() override {
        std::string error;
        return journal_.recordErasing(id_, error) || refused(error);
    }

  private:
    static bool refused(const std::string& error) {
        raiseError(ErrorCategory::Update, "Error:the update journal cannot be written: %s.", error);
        return false;
    }

    UpdateJournal& journal_;
    std::int64_t id_;
};

}  // namespace

MainController::Ending MainController::programWithJournal(UpdateTarget& target,
                                                          const UpdatePlan& plan, Result& result) {
    ErrorLog& log = ErrorLog::instance();
    RadioInfo& radio = app_.radioManager().radio();

    // The run's row is in the journal before the first request that could
    // change the radio; a journal that cannot take it stops the update here.
    JournalRun row;
    row.startedAt = UpdateJournal::timestamp();
    row.toolVersion = toolVersion();
    row.serial = target.serial;
    row.model = cutAtNul(target.key);
    row.firmware = target.firmware;
    row.codeplug = target.codeplug;
    row.packageDir = app_.packageDir();
    row.packageFirmware = target.packageFw;
    row.packageCodeplug = target.packageCp;
    const auto addFile = [&row](const char* role, const std::string& path) {
        JournalFile file{role, path, {}};
        fileSha256Hex(path, file.sha256);
        row.files.push_back(std::move(file));
    };
    const ProgramRequest& request = program_.request();
    if (plan.kind == UpdatePlan::Kind::Full && request.firmwareFile)
        addFile("firmware", *request.firmwareFile);
    if (request.defaultFile)
        addFile("default", *request.defaultFile);
    if (request.voiceFile)
        addFile("voice", *request.voiceFile);
    addFile("address", request.addressFile);
    row.writesFirmware = request.firmwareFile.has_value();
    row.writesCodeplug = request.defaultFile.has_value();
    row.writesVoice = request.voiceFile.has_value();
    row.keepsPersonality = request.keepUserInfo;
    row.recovers = target.pending ? target.pending->id : 0;
    UpdateJournal* journal = openJournal(result);
    std::string error;
    if (journal != nullptr && !journal->begin(row, error)) {
        log.writeLog("Error:the update journal cannot be written: %s", error);
        result.text = formatString(str::kJournalUnusable, error);
        result.style = MessageStyle::Error;
        result.success = false;
    }
    if (journal == nullptr || !result.success) {
        program_.radio = nullptr;
        program_.owner = 0;
        return Ending::Reported;
    }

    JournalReporter reporter(*journal, row.id);
    program_.journal = &reporter;
    program_.resetStop();
    stopRequests_ = 0;
    front_.radioChanging(true);
    controls_.update = false;
    showControls();
    const std::uint64_t bytesBefore = radio.cable().bytesMoved();
    runStart_ = std::chrono::steady_clock::now();
    programRunning_ = true;
    bool ran = runCommands({&program_});
    programRunning_ = false;
    program_.journal = nullptr;
    row.durationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - runStart_)
                         .count();
    row.wireBytes = radio.cable().bytesMoved() - bytesBefore;
    row.radioType = program_.radioType();
    row.eraseStarted = program_.eraseStarted();
    row.backupFile = program_.backupPath();

    if (!ran)
        raiseError(ErrorCategory::Update, "Error:an earlier operation is still running.");
    if (!ran || !program_.ok) {
        const bool stopped = ran && program_.stopped();
        failureErrors_ = errorEntries();
        finishJournalRun(row, stopped ? RunState::Interrupted : RunState::Failed, failureErrors_);
        log.writeLog("Upate radio failed, this's caused by:\n%s", allErrorTexts());
        if (stopped) {
            result.set(program_.eraseStarted() ? str::kStopped : str::kStoppedNothingChanged,
                       MessageStyle::Warning);
        } else {
            // Flash that reads back different from the package is the
            // radio's fault, not the package's.
            const VerifyReport& verified = program_.verifyReport();
            const bool flashDiffers = !verified.areas.empty() && !verified.matches();
            std::int32_t code = firstErrorCode();
            bool packageProblem =
                !flashDiffers && (code == 1 || code == 4 || code == 5 || code == 6 || code == 7);
            result.set(packageProblem ? str::kReinstall : str::kUpdateFailed, MessageStyle::Error);
        }
        describeBrokenRun(result);
        removeErrors(0);
        program_.radio = nullptr;
        program_.owner = 0;
        return stopped ? Ending::Interrupted : Ending::Reported;
    }
    if (!radio.readIdentity())
        result.set(str::kConnectFailed, MessageStyle::Error);
    else
        infoShown_ = true;
    program_.radio = nullptr;
    program_.owner = 0;

    // The serial number: a committed default block resets it, and a
    // recovered radio gets back the one it had before the broken update.
    std::array<std::uint8_t, 10> wanted = target.oldSerial;
    if (target.pendingBackup)
        wanted = target.pendingBackup->serialNumber;
    else if (target.pending)
        std::copy_n(target.pending->serial.begin(),
                    std::min(target.pending->serial.size(), wanted.size()), wanted.begin());
    std::string newSerial;
    const bool writeBack = target.pending ? radio.serialNumber != wanted
                                          : serialNumberText(radio.serialNumber, newSerial) &&
                                                newSerial == kDefaultSerialNumber;
    if (result.success && writeBack)
        writeSerialNumber(wanted, result);

    // The update is done once the radio holds its serial number again;
    // until then the row stays pending, and the next update recovers it.
    std::vector<ErrorEntry> errors;
    if (!result.success)
        errors.push_back({static_cast<std::int32_t>(ErrorCategory::Update), result.text});
    finishJournalRun(row, result.success ? RunState::Succeeded : RunState::Failed, errors);
    if (result.success && target.pending &&
        !journal->markRecovered(target.pending->id, target.pending->backupFile, error))
        log.writeLog("Error:the update journal cannot be written: %s", error);
    if (result.success)
        pruneBackups(row.serial);
    return Ending::Reported;
}

void MainController::finishJournalRun(JournalRun& run, RunState state,
                                      const std::vector<ErrorEntry>& errors) {
    run.state = state;
    run.endedAt = UpdateJournal::timestamp();
    run.errorTexts.clear();
    run.errorCategory.clear();
    if (!errors.empty())
        run.errorCategory = errorCategoryName(errors.front().category);
    for (const ErrorEntry& e : errors)
        run.errorTexts.push_back(e.message);
    std::string error;
    if (journal_ == nullptr || !journal_->finish(run, error))
        ErrorLog::instance().writeLog("Error:the update journal cannot be written: %s", error);
}

void MainController::pruneBackups(const std::string& serial) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path root = fs::weakly_canonical(app_.backupFolder(), ec);
    for (const std::string& file : journal_->backupsBeyond(serial, kKeptBackups)) {
        // Only files of the tool's own backup folder are ever removed.
        const fs::path path = fs::weakly_canonical(file, ec);
        if (ec ||
            std::mismatch(root.begin(), root.end(), path.begin(), path.end()).first != root.end())
            continue;
        fs::remove(path, ec);
    }
}

void MainController::describeBrokenRun(Result& result) {
    if (program_.eraseStarted()) {
        backupFile_ = program_.backupPath();
        result.text += "\n\n";
        result.text +=
            backupFile_.empty()
                ? formatString(str::kSwitchOffAndOn, front_.updateAgainAdvice())
                : formatString(str::kPersonalitySaved, backupFile_, front_.updateAgainAdvice());
    } else if (!program_.stopped()) {
        result.text += "\n\n" + loadString(str::kNothingChanged);
    }
    if (testMode_)
        ErrorLog::instance().writeLog("%s", result.text);
}

bool MainController::findPackageFiles(const std::string& key, const std::string& packageCp,
                                      PackageFiles& files, std::string& lost) {
    PackageConfig& config = app_.config();
    files = {};
    if (!config.getBlockFile(key, "DEF", packageCp, files.defaultBlock)) {
        lost = "New CP file is lost.";
        return false;
    }
    const std::string voiceVersion = lastParsableVersion(config.voiceVersions());
    if (!config.getVoiceFile(voiceVersion, files.voice)) {
        lost = "New VP file is lost.";
        return false;
    }
    const std::string addressVersion = lastParsableVersion(config.addressVersions());
    if (!config.getAddressFile(addressVersion, files.address)) {
        lost = "New ADDR file is lost.";
        return false;
    }
    return true;
}

}  // namespace vkt
