// The radio flows of the main window, written once for every front end: get
// radio information, update (with its checks and questions), the dealer
// login and the serial-number update, the cable notices, the commands'
// progress and the console protocol with its test mode.
//
// The controller lives on the user-interface thread. It has a window on the
// application's queue that receives WM_CABLE_COUNT from the cable monitor and
// WM_CMD_PROGRESS from running commands; everything it shows goes through the
// FrontEnd.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/front_end.h"
#include "app/strings.h"
#include "app/update_journal.h"
#include "app/update_plan.h"
#include "core/error_stack.h"
#include "core/messaging.h"
#include "update/cmd_program.h"
#include "update/cmd_sn.h"
#include "update/cmd_verify.h"

namespace vkt {

// What a radio operation of the main window is doing.
enum class BusyState : int {
    Idle = 0,
    Updating = 1,
    WritingSerial = 2,
    ReadingInfo = 3,
    Verifying = 4,
};

// How a flow ended, for front ends that report it (the command line).
struct FlowOutcome {
    enum class Kind {
        Done,         // the operation succeeded
        Failed,       // it failed; text and style say why
        NothingDone,  // refused by the user, or the radio is already up to date
        Interrupted,  // an update stopped on request (a signal)
        Previewed,    // an update shown and not carried out (a dry run)
    } kind = Kind::Done;
    std::string text;  // the message shown (empty when none was shown)
    MessageStyle style = MessageStyle::None;
    // An update that failed or stopped after its first erase: the file that
    // holds the radio's personality (empty otherwise).
    std::string backupFile;
    // Get Radio Information: the radio has an update that broke off after
    // its first erase and is not recovered yet.
    std::optional<JournalRun> pendingRun;
    // After a failure: the error-stack entries behind it, oldest first, as
    // they were when the flow gave up (the stack itself may be cleared).
    std::vector<ErrorEntry> errors;
    bool ok() const { return kind == Kind::Done; }
};

// What a request to stop (a signal, the end of the session) does.
struct StopReply {
    enum class Kind {
        NotRunning,  // no programming run: nothing to stop
        Stopping,    // the run stops at its next request boundary
        Continuing,  // the radio is being written: the run goes on
    } kind = Kind::NotRunning;
    // Stopping: whether the first erase had been sent (the radio will need
    // another update). Continuing: always true.
    bool afterErase = false;
    // Continuing: about how many seconds the run still takes.
    int secondsLeft = 0;
};

// The serial number a radio reports after an update reset it.
inline constexpr const char* kDefaultSerialNumber = "158THL0001";
// Backups of successful updates kept per radio (those of pending runs are
// kept besides, until they are recovered).
inline constexpr std::size_t kKeptBackups = 5;
// How often the end of an update is posted to the console before giving up.
inline constexpr int kConsoleAttempts = 11;
inline constexpr const char* kConsoleGone = "Failed to connect to console.";

class MainController : public MessageTarget {
  public:
    // The application must have started. console may be null (no console
    // protocol).
    MainController(Application& app, FrontEnd& frontEnd, ConsoleLink* console = nullptr);
    ~MainController() override;
    MainController(const MainController&) = delete;
    MainController& operator=(const MainController&) = delete;

    // Registers with the cable monitor, resumes its polling and shows the
    // initial state (controls disabled, every field "N/A"). Called once when
    // the window opens; close() undoes it.
    void open();
    void close();

    // The three radio operations and the login. An update of a radio with a
    // pending run (one that broke off after its first erase) recovers it:
    // the run's personality backup is written back, in a full update.
    FlowOutcome onGetRadioInfo();
    FlowOutcome onUpdate();
    // An update that only recovers: of the pending run of the radio on the
    // cable, or of run `runId` of the journal. Nothing is done (and said so)
    // when there is none.
    FlowOutcome onRecover(std::int64_t runId = 0);
    // A stop request during an update: before the first erase the run
    // stops; after it the first request is refused with an estimate of the
    // time left and the second stops the run. The closing requests are
    // always sent.
    StopReply onStopRequest();
    // The journal's pending runs, newest first (empty when it cannot be
    // read).
    std::vector<JournalRun> pendingRuns();
    FlowOutcome onUpdateSerialNumber();
    // Reads back the flash areas the package writes for this radio and
    // compares them with the package; changes nothing on the radio.
    FlowOutcome onVerify();
    // True when the dealer is logged in afterwards.
    bool onDealerLogin();

    // A language chosen in the menu: stored as the setup file's default (a
    // failed save is not reported) and used from the next start on.
    void onLanguage(const std::string& code);
    // Help contents: `open` shows the help page of a language code (the
    // default language, "en_us" when none) and says whether it could.
    void onHelp(const std::function<bool(const std::string& code)>& open);

    // Notices (normally arriving as window messages).
    void onCableCount(std::intptr_t count);
    void onProgress(std::uintptr_t done, std::intptr_t total);
    // The system saw a serial device go away: when no device of any kind is
    // left and the link is still open, the link is closed.
    void onDeviceRemoved();

    // Console requests; each returns 1 like the window's handlers.
    std::intptr_t onConsoleUpdateStart(ConsoleHandle console, std::uintptr_t magic);
    std::intptr_t onConsoleEnterTestMode(ConsoleHandle console, std::uintptr_t magic);
    std::intptr_t onConsoleExitTestMode(ConsoleHandle console, std::uintptr_t magic);

    // Shared operations.
    int ensureSingleCable();
    // `focus` is where the caller has just put the focus; the refresh keeps
    // it there unless it has to move the focus itself (a cable came or went).
    void refreshControls(ControlState::Focus focus = ControlState::Focus::None);
    void refreshRadioInfo();

    // Window state the front end reads or sets.
    WindowHandle window() const { return window_; }
    BusyState busyState() const { return busy_; }
    bool cableConnected() const { return cableConnected_; }
    bool dealerLoggedIn() const { return dealerLoggedIn_; }
    bool testMode() const { return testMode_; }
    bool infoShown() const { return infoShown_; }
    int percent() const { return percent_; }
    const ControlState& controls() const { return controls_; }
    const RadioDisplay& display() const { return display_; }
    bool keepPersonality() const { return keepPersonality_; }
    void setKeepPersonality(bool keep) { keepPersonality_ = keep; }
    // Whether an update reads the flash it wrote back and compares it with
    // the package before it finishes (check box "Verify", off by default).
    bool verifyFlash() const { return verifyFlash_; }
    void setVerifyFlash(bool verify) { verifyFlash_ = verify; }
    const std::string& serialEntry() const { return serialEntry_; }
    void setSerialEntry(std::string text) { serialEntry_ = std::move(text); }
    ConsoleHandle consoleWindow() const { return consoleWindow_; }
    const std::string& windowTitle() const { return windowTitle_; }
    // The commands, for inspection after a run.
    const CmdProgram& program() const { return program_; }
    const CmdSN& serialCommand() const { return serialCmd_; }
    const CmdVerify& verifyCommand() const { return verifyCmd_; }

    std::intptr_t onMessage(std::uint32_t id, std::uintptr_t wParam, std::intptr_t lParam) override;

  private:
    // One result of a flow: text, style, success.
    struct Result {
        std::string text;
        MessageStyle style = MessageStyle::None;
        bool success = true;
        void set(int stringId, MessageStyle messageStyle) {
            text = loadString(stringId);
            style = messageStyle;
            success = false;
        }
    };

    // What Phase A of an update found: the radio and the package's versions.
    struct UpdateTarget {
        std::array<std::uint8_t, 10> oldSerial{};
        std::string serial;    // oldSerial as text
        std::string firmware;  // the radio's versions as text
        std::string codeplug;
        std::string key;              // the radio-type key (model number text)
        std::string packageCpListed;  // as the configuration lists it
        std::string packageCp;        // upper case
        VersionTriple packageCpTriple{};
        std::string packageFw;  // upper case
        std::string firmwarePath;
        // The pending run this update recovers, and its backup (when the
        // personality is kept and the run made one).
        std::optional<JournalRun> pending;
        std::optional<PersonalityBackup> pendingBackup;
    };
    // How a part of the update ended: with a result to report, refused by
    // the user (no message), with nothing to do, or stopped on request.
    enum class Ending { Reported, Declined, UpToDate, Interrupted, Previewed };

    // Phase A of an update: connects, reads the identity and the package's
    // versions; failures set the result.
    void readUpdateTarget(UpdateTarget& target, Result& result);
    // Phase B: the compatibility checks, the plan's question and the
    // programming run with the serial-number write-back.
    Ending checkAndProgram(UpdateTarget& target, Result& result);
    // An update the user declined: no message, the controls back.
    FlowOutcome refusedUpdate();

    enum class UpdateMode { Update, Recover };

    // The update flow behind onUpdate and onRecover.
    FlowOutcome updateFlow(UpdateMode mode, std::int64_t runId);
    // The journal, opened on first use (null with the result set when it
    // cannot be used).
    UpdateJournal* openJournal(Result& result);
    // Finds the pending run of the radio Phase A read: by its serial number,
    // else (after asking) the latest of its model; or run `runId`. Reads the
    // run's backup. Sets the result when the update must not go on; false
    // when the user declined the match.
    bool findPending(UpdateTarget& target, UpdateMode mode, std::int64_t runId, Result& result);
    // The programming run with its journal row: the row is written before
    // the run starts and finished afterwards.
    Ending programWithJournal(UpdateTarget& target, const UpdatePlan& plan, Result& result);
    // Ends the journal row of the run; a failure to write it is logged.
    void finishJournalRun(JournalRun& run, RunState state, const std::vector<ErrorEntry>& errors);
    // Removes backups of the radio beyond the newest kept ones.
    void pruneBackups(const std::string& serial);
    // The result text of a failed or stopped run, with the backup and the
    // next step.
    void describeBrokenRun(Result& result);

    // The pending run of this radio: by its serial number, else the latest
    // of its model.
    std::optional<JournalRun> pendingRunOf(const RadioInfo& radio);

    // Runs the commands while the wait indicator shows. False when the Task
    // was still busy and nothing ran.
    bool runCommands(std::initializer_list<Runnable*> items);
    void showControls();
    void setBusy(BusyState state);
    // The last of `versions` that parses, before the first one that does not.
    static std::string lastParsableVersion(const std::vector<std::string>& versions);
    // Runs CmdSN with `serial` and reads the identity again; a failed write
    // fails the result, a failed read only changes its text.
    void writeSerialNumber(const std::array<std::uint8_t, 10>& serial, Result& result);
    // The package files for a radio of model `key` with the package's
    // codeplug version `packageCp`: the newest default block, voice prompts
    // and address map. False, with the error log's line in `lost`, when one
    // is lost.
    struct PackageFiles {
        std::string defaultBlock, voice, address;
    };
    bool findPackageFiles(const std::string& key, const std::string& packageCp, PackageFiles& files,
                          std::string& lost);
    void reportToConsole(bool success);
    bool askYesNo(const std::string& text);
    void finishOperation();

    Application& app_;
    FrontEnd& front_;
    ConsoleLink* console_;
    WindowHandle window_ = 0;
    bool opened_ = false;

    CmdProgram program_;
    CmdSN serialCmd_;
    CmdVerify verifyCmd_;
    std::unique_ptr<UpdateJournal> journal_;
    bool journalNoticeShown_ = false;
    // The programming run in progress (for stop requests and the estimate).
    bool programRunning_ = false;
    int stopRequests_ = 0;
    std::chrono::steady_clock::time_point runStart_;
    std::string backupFile_;                 // the last broken run's backup, for the outcome
    std::vector<ErrorEntry> failureErrors_;  // the stack when the last run failed

    BusyState busy_ = BusyState::Idle;
    bool cableConnected_ = false;
    bool dealerLoggedIn_ = false;
    bool testMode_ = false;
    bool infoShown_ = false;
    bool keepPersonality_ = true;
    bool verifyFlash_ = false;
    bool inCableCount_ = false;
    int percent_ = 0;
    UpdatePhase phase_ = UpdatePhase::None;
    std::string serialEntry_;
    ConsoleHandle consoleWindow_ = 0;
    std::string windowTitle_;
    ControlState controls_;
    RadioDisplay display_;
};

}  // namespace vkt
