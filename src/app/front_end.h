// What a front end (the desktop window, the terminal, a test script) does for
// the radio flows. The flows themselves live in MainController; a front end
// only shows what they hand it and answers their questions.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "update/progress.h"

namespace vkt {

// Message-box styles: the button set in the low 4 bits, the icon above.
enum class MessageStyle : int {
    None = 0,       // no message; as a box: OK without an icon
    OkCancel = 1,   // OK/Cancel without an icon
    YesNo = 4,      // Yes/No without an icon (the test-mode question)
    Error = 16,     // error icon, OK
    Question = 36,  // question icon, Yes/No
    Warning = 48,   // warning icon, OK
    Info = 64,      // information icon, OK
};

// Ids of the buttons that close a message box.
enum class ButtonId : int {
    Ok = 1,
    Cancel = 2,
    Yes = 6,
    No = 7,
};

// True when the style's button set is Yes/No.
inline bool isYesNoStyle(MessageStyle style) {
    return (static_cast<int>(style) & 0x0F) == 4;
}

// Enabled state of the main window's radio controls.
struct ControlState {
    bool getInfo = false;             // button "Get Radio Information"
    bool keepPersonality = false;     // check box "Restore radio's personality"
    bool update = false;              // button "Update"
    bool serialEntry = false;         // serial-number entry (dealer section)
    bool serialButton = false;        // button "Update Serial Number"
    bool serialSectionShown = false;  // the dealer section is visible
    bool timeLabelShown = false;      // the time of the last successful read
    bool cableMissing = true;         // status pane: "USB Cable Disconnected"
    // Control that should take the focus after this change. The serial
    // entry takes it with its whole text selected, ready to be typed over.
    enum class Focus { None, GetInfo, Update, RadioType, SerialEntry } focus = Focus::None;
    bool operator==(const ControlState&) const = default;
};

// The six identity fields as the window shows them ("N/A" where empty).
struct RadioDisplay {
    std::string radioType;
    std::string regionalCode;
    std::string model;
    std::string serialNumber;
    std::string firmwareVersion;
    std::string codeplugVersion;
    std::string radioTypeKey;  // model number text: selects the radio's picture
    std::string timeLabel;     // "[ %m-%d %H:%M ]" of the last successful read
    bool operator==(const RadioDisplay&) const = default;
};

// One frame of a running command's progress.
struct ProgressView {
    int percent = 0;  // 0..100
    UpdatePhase phase = UpdatePhase::None;
    int secondsLeft = -1;  // -1: no estimate
    bool operator==(const ProgressView&) const = default;
};

// The phase as the progress display names it (empty for None and Failed).
std::string phaseText(UpdatePhase phase);

// What an update is about to do, once every check has passed.
struct UpdatePreview {
    std::string radioFirmware;  // the radio's versions
    std::string radioCodeplug;
    std::string packageFirmware;  // the package's
    std::string packageCodeplug;
    std::string packageDir;
    // What is written.
    bool firmware = false;
    bool codeplug = false;
    bool voicePrompts = false;
    enum class Personality {
        Kept,        // read from the radio and written back
        FromBackup,  // the backup of an interrupted update is written back
        NotKept,     // erased with the codeplug and not written back
    } personality = Personality::Kept;
    std::string backupFile;  // FromBackup: the backup's file
    // The radio's last update broke off: it is updated in full.
    bool recovery = false;
    // The package's versions are older: the downgrade question comes next.
    bool downgrade = false;
};

class FrontEnd {
  public:
    virtual ~FrontEnd() = default;

    // Shows text with the style's icon and buttons (caption: the application
    // title) and returns the id of the button that closed it.
    virtual ButtonId showMessage(const std::string& text, MessageStyle style) = 0;

    // Shows the wait indicator (string 147) and keeps the user-interface
    // thread's messages flowing until finished() is true, then hides it. The
    // user cannot close it. finished() must be checked after every round of
    // dispatched messages.
    virtual void runWaitIndicator(const std::function<bool()>& finished) = 0;

    // Asks for the dealer password; `wrongPassword` is set when the previous
    // entry (`previous`) was refused. Nothing = the dialog was closed without
    // the Login button.
    virtual std::optional<std::string> askPassword(bool wrongPassword,
                                                   const std::string& previous) = 0;

    // Wait cursor on/off around every radio operation.
    virtual void setBusy(bool) {}
    // The progress pane. A run's last frames have the phase Done or Failed:
    // the full bar, then the emptied one (percent 0) once the run is over.
    virtual void showProgress(const ProgressView&) {}
    virtual void showControls(const ControlState&) {}
    virtual void showRadioInfo(const RadioDisplay&) {}
    virtual void setTitle(const std::string&) {}
    // Flashes the window once (answering a console's test-mode request).
    virtual void flashWindow() {}
    // The dealer section appears (after a login).
    virtual void layoutSerialSection(bool) {}
    // How the user updates the radio again, as the end of a sentence that
    // starts "Switch the radio off and on, then ". The window's: string 303.
    virtual std::string updateAgainAdvice() const;
    // Whether the update is confirmed after its checks, with what it will do
    // shown first (the command line), rather than before them with the
    // package's versions only (the window). Such a front end is asked the
    // downgrade question, the confirmation and, when the personality is not
    // kept on the user's choice, whether to erase it, in that order.
    virtual bool asksAfterChecks() const { return false; }
    // Shows what the update will do, before any question; only called when
    // asksAfterChecks(). False ends the update here (a dry run): nothing has
    // been sent to the radio but the reads of its identity.
    virtual bool showUpdatePlan(const UpdatePreview&) { return true; }
    // The radio is about to be changed (true), until the flow that changes
    // it has ended (false). In between a front end that could end the
    // process on a signal must not: it asks the controller to stop instead
    // (MainController::onStopRequest), so the closing requests still go out.
    virtual void radioChanging(bool) {}
};

// Names of the console protocol's messages.
inline constexpr const char* kToolUpdateStart = "WM_TOOL_UPDATE_START";
inline constexpr const char* kToolUpdateEnd = "WM_TOOL_UPDATE_END";
inline constexpr const char* kToolEnterTestMode = "WM_TOOL_UPDATE_ENTER_TEST_MODE";
inline constexpr const char* kToolExitTestMode = "WM_TOOL_UPDATE_EXIT_TEST_MODE";
// Second parameter of every request a console sends.
inline constexpr std::uintptr_t kConsoleMagic = 0x808;
// First parameter of the tool's end-of-update report; second of its replies.
inline constexpr std::uintptr_t kConsoleReplyCode = 8;

// The console program's end of the protocol. A console is named by an opaque
// handle (0 = none) that the transport hands to the controller with each
// request.
using ConsoleHandle = std::uint64_t;

class ConsoleLink {
  public:
    virtual ~ConsoleLink() = default;
    // Whether the console behind handle is still there.
    virtual bool isAlive(ConsoleHandle console) const = 0;
    // Sends one message to the console without waiting for it to be handled.
    // False when it could not be delivered (the console is gone).
    virtual bool post(ConsoleHandle console, const std::string& message, std::uintptr_t wParam,
                      std::intptr_t lParam) = 0;
};

}  // namespace vkt
