#include "app/main_controller.h"

#include <algorithm>
#include <ctime>

#include "app/controller_support.h"
#include "core/error_log.h"
#include "core/error_stack.h"
#include "core/messages.h"
#include "core/version.h"
#include "link/radio_info.h"
#include "link/sbep.h"
#include "link/usb_serial.h"
#include "package/cpg.h"

namespace vkt {

using namespace controller;  // the helpers the controller's files share

namespace {

constexpr const char* kTestModeQuestion =
    "Update flash tool is entering test mode, \t\r\ndo you want to continue?";
constexpr const char* kTestModeMark = " [Test mode]";

std::string localTimeLabel() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_r(&now, &local) == nullptr)
        return {};
    char buffer[32];
    std::size_t n = std::strftime(buffer, sizeof buffer, "[ %m-%d %H:%M ]", &local);
    return std::string(buffer, n);
}

}  // namespace

std::string phaseText(UpdatePhase phase) {
    switch (phase) {
        case UpdatePhase::ReadingPersonality:
            return loadString(str::kPhaseReadingPersonality);
        case UpdatePhase::Erasing:
            return loadString(str::kPhaseErasing);
        case UpdatePhase::Firmware:
            return loadString(str::kPhaseFirmware);
        case UpdatePhase::Codeplug:
            return loadString(str::kPhaseCodeplug);
        case UpdatePhase::VoicePrompts:
            return loadString(str::kPhaseVoicePrompts);
        case UpdatePhase::Verifying:
            return loadString(str::kPhaseVerifying);
        case UpdatePhase::RestoringPersonality:
            return loadString(str::kPhaseRestoringPersonality);
        case UpdatePhase::Finishing:
            return loadString(str::kPhaseFinishing);
        case UpdatePhase::Done:
            return loadString(str::kPhaseDone);
        case UpdatePhase::None:
        case UpdatePhase::Failed:
            break;
    }
    return {};
}

std::string FrontEnd::updateAgainAdvice() const {
    return loadString(str::kUpdateAgainWindow);
}

MainController::MainController(Application& app, FrontEnd& frontEnd, ConsoleLink* console)
    : app_(app), front_(frontEnd), console_(console), windowTitle_(app.title()) {
    window_ = createWindow(this, app_.queue());
}

MainController::~MainController() {
    close();
    destroyWindow(window_);
}

void MainController::open() {
    if (opened_)
        return;
    opened_ = true;
    front_.setTitle(windowTitle_);
    front_.layoutSerialSection(dealerLoggedIn_);
    app_.radioManager().addListener(window_);
    app_.radioManager().setPolling(true);
    refreshControls();
    refreshRadioInfo();
}

void MainController::close() {
    if (!opened_)
        return;
    opened_ = false;
    app_.radioManager().removeListener(window_);
    app_.radioManager().setPolling(false);
}

std::intptr_t MainController::onMessage(std::uint32_t id, std::uintptr_t wParam,
                                        std::intptr_t lParam) {
    switch (id) {
        case WM_CABLE_COUNT:
            onCableCount(lParam);
            return 1;
        case WM_CMD_PROGRESS:
            onProgress(wParam, lParam);
            return 1;
        case WM_CMD_BEGIN:
            return 1;
        default:
            return 0;
    }
}

void MainController::showControls() {
    front_.showControls(controls_);
}

void MainController::setBusy(BusyState state) {
    busy_ = state;
}

// ---------------------------------------------------------------------------
// Shared operations

void MainController::refreshControls(ControlState::Focus focus) {
    if (cableConnected_) {
        if (!controls_.getInfo)
            focus = ControlState::Focus::GetInfo;
        else if (!controls_.update)
            focus = ControlState::Focus::Update;
        controls_.getInfo = controls_.keepPersonality = controls_.update = true;
        if (dealerLoggedIn_)
            controls_.serialEntry = controls_.serialButton = true;
        controls_.focus = focus;
        controls_.cableMissing = false;
    } else {
        controls_.getInfo = controls_.keepPersonality = controls_.update = false;
        controls_.cableMissing = true;
        controls_.focus = ControlState::Focus::RadioType;
    }
    controls_.serialSectionShown = dealerLoggedIn_;
    if (infoShown_)
        controls_.timeLabelShown = true;
    showControls();
}

void MainController::refreshRadioInfo() {
    RadioInfo& radio = app_.radioManager().radio();
    RadioDisplay d;
    if (radio.regionalCode < 0x80)
        regionalCodeText(radio.regionalCode, d.regionalCode);
    codeplugVersionText(radio.codeplugVersion, d.codeplugVersion);
    firmwareVersionText(radio.firmwareVersion, d.firmwareVersion);
    std::string key = modelKey(radio);
    ModelEntry model;
    if (app_.config().getModel(key, model)) {
        d.radioType = replacePlaceholder(loadString(str::kSeries), model.type);
        d.model = model.alias;
    }
    serialNumberText(radio.serialNumber, d.serialNumber);
    const std::string notAvailable = loadString(str::kNotAvailable);
    for (std::string* field : {&d.radioType, &d.regionalCode, &d.model, &d.serialNumber,
                               &d.firmwareVersion, &d.codeplugVersion}) {
        *field = cutAtNul(*field);
        if (field->empty())
            *field = notAvailable;
    }
    d.radioTypeKey = cutAtNul(key);
    d.timeLabel = infoShown_ ? localTimeLabel() : display_.timeLabel;
    if (d.timeLabel.empty() && !infoShown_)
        d.timeLabel = loadString(str::kTimeLabelEmpty);
    display_ = d;
    front_.showRadioInfo(display_);
}

int MainController::ensureSingleCable() {
    if (testMode_)
        return 0;
    USBSerial& cable = app_.radioManager().radio().cable();
    int first = -1;
    int count = cable.findCables(first);
    while (count >= 2) {
        front_.showMessage(formatString(str::kManyCables, count), MessageStyle::Warning);
        first = -1;
        count = cable.findCables(first);
    }
    return count;
}

bool MainController::runCommands(std::initializer_list<Runnable*> items) {
    bool done = false;
    TaskWaiter waiter(
        app_.task(), [&done] { done = true; }, app_.queue());
    for (Runnable* item : items)
        waiter.add(item);
    if (!waiter.begin())
        return false;
    front_.runWaitIndicator([&done] { return done; });
    return true;
}

bool MainController::askYesNo(const std::string& text) {
    return front_.showMessage(text, MessageStyle::Question) == ButtonId::Yes;
}

void MainController::finishOperation() {
    front_.radioChanging(false);
    refreshControls();
    setBusy(BusyState::Idle);
    front_.setBusy(false);
}

// ---------------------------------------------------------------------------
// Notices

void MainController::onCableCount(std::intptr_t count) {
    bool missing = count == 0;
    if (controls_.cableMissing != missing) {
        controls_.cableMissing = missing;
        showControls();
    }
    if (inCableCount_)
        return;
    inCableCount_ = true;
    bool old = cableConnected_;
    cableConnected_ = count > 0;
    if (busy_ != BusyState::Idle) {
        inCableCount_ = false;
        return;
    }
    if (old != cableConnected_)
        refreshControls();
    if (count >= 2) {
        front_.setBusy(true);
        bool before = cableConnected_;
        cableConnected_ = ensureSingleCable() > 0;
        front_.setBusy(false);
        if (before != cableConnected_)
            refreshControls();
    }
    inCableCount_ = false;
}

void MainController::onProgress(std::uintptr_t done, std::intptr_t total) {
    double value = total != 0
                       ? static_cast<double>(done) * kProgressRange / static_cast<double>(total)
                       : static_cast<double>(done);
    if (value > kProgressRange || value < 0)
        return;
    // The programming run says what it is doing with each position; a new
    // phase is shown even where the percentage stays.
    const ProgressNote note = programRunning_ ? program_.progressNote() : ProgressNote{};
    const int percent = static_cast<int>(value);
    if (percent == percent_ && note.phase == phase_)
        return;
    percent_ = percent;
    phase_ = note.phase;
    front_.showProgress({percent_, note.phase, note.secondsLeft});
}

// ---------------------------------------------------------------------------
// Get radio information

FlowOutcome MainController::onGetRadioInfo() {
    removeErrors(0);  // the stack describes this operation only
    front_.setBusy(true);
    Result result{loadString(str::kGetInfoSuccessful), MessageStyle::Info, true};
    setBusy(BusyState::ReadingInfo);
    controls_.getInfo = false;
    showControls();

    ensureSingleCable();
    RadioManager& manager = app_.radioManager();
    RadioInfo& radio = manager.radio();
    if (!manager.connect()) {
        result.set(str::kConnectFailed, MessageStyle::Error);
    } else {
        radio.cable().setBaudRate(kSlowLineRate);
        const EchoResult echo = radio.engine().detectEcho();
        radio.cable().setBaudRate(kSlowLineRate);
        if (echo == EchoResult::Silent)
            result.set(str::kToggleAnalog, MessageStyle::Warning);
        else if (echo == EchoResult::Undecided)
            result.set(str::kCableUnsupported, MessageStyle::Error);
        else if (!radio.readIdentity())
            result.set(str::kConnectFailed, MessageStyle::Error);
        else if (!app_.config().isModelKnown(modelKey(radio)))
            result.set(str::kRadioUnsupported, MessageStyle::Error);
    }
    if (radio.portOpen())
        manager.disconnect();
    FlowOutcome outcome{result.success ? FlowOutcome::Kind::Done : FlowOutcome::Kind::Failed,
                        result.text,
                        result.style,
                        {},
                        {},
                        {}};
    if (result.success) {
        infoShown_ = true;
        refreshRadioInfo();
        outcome.pendingRun = pendingRunOf(radio);
    }
    front_.showMessage(result.text, result.style);
    finishOperation();
    if (!result.success)
        outcome.errors = errorEntries();
    return outcome;
}

std::optional<JournalRun> MainController::pendingRunOf(const RadioInfo& radio) {
    std::string serial;
    serialNumberText(radio.serialNumber, serial);
    serial = cutAtNul(serial);
    const std::vector<JournalRun> pending = pendingRuns();
    if (const JournalRun* run = pendingRunFor(pending, serial, cutAtNul(modelKey(radio))))
        return *run;
    return std::nullopt;
}

StopReply MainController::onStopRequest() {
    StopReply reply;
    if (!programRunning_)
        return reply;
    reply.afterErase = program_.eraseStarted();
    if (!reply.afterErase || stopRequests_ > 0) {
        ++stopRequests_;
        program_.requestStop();
        reply.kind = StopReply::Kind::Stopping;
        return reply;
    }
    // The first request after the erase: stopping now would leave a
    // half-written radio, so the run goes on.
    ++stopRequests_;
    reply.kind = StopReply::Kind::Continuing;
    reply.secondsLeft = std::max(program_.progressNote().secondsLeft, 1);
    return reply;
}

void MainController::writeSerialNumber(const std::array<std::uint8_t, 10>& serial, Result& result) {
    RadioInfo& radio = app_.radioManager().radio();
    serialCmd_.radio = &radio;
    serialCmd_.owner = window_;
    serialCmd_.progress.total = kProgressRange;
    serialCmd_.progress.base = 0;
    serialCmd_.newSerialNumber = serial;
    if (!runCommands({&serialCmd_}) || !serialCmd_.ok) {
        result.set(str::kSerialFailed, MessageStyle::Error);
    } else if (!radio.readIdentity()) {
        result.text = loadString(str::kConnectFailed);
        result.style = MessageStyle::Error;
    } else {
        infoShown_ = true;
    }
    serialCmd_.radio = nullptr;
    serialCmd_.owner = 0;
}

void MainController::reportToConsole(bool success) {
    for (int attempt = 0; attempt < kConsoleAttempts; ++attempt) {
        if (console_ &&
            console_->post(consoleWindow_, kToolUpdateEnd, kConsoleReplyCode, success ? 1 : 0))
            return;
    }
    front_.showMessage(kConsoleGone, MessageStyle::Info);
}

// ---------------------------------------------------------------------------
// Language and help

void MainController::onLanguage(const std::string& code) {
    app_.config().setDefaultLanguage(code);
    front_.showMessage(loadString(str::kRestartForLanguage), MessageStyle::Info);
}

void MainController::onHelp(const std::function<bool(const std::string& code)>& open) {
    const std::string& language = app_.config().defaultLanguage;
    if (open(language.empty() ? std::string("en_us") : language))
        return;
    front_.showMessage(loadString(str::kHelpUnavailable), MessageStyle::Info);
    ErrorLog::instance().writeLine("Failed to load help file.");
}

// ---------------------------------------------------------------------------
// Dealer login and serial number

bool MainController::onDealerLogin() {
    if (dealerLoggedIn_)
        return true;
    PackageConfig& config = app_.config();
    const std::string password = config.loginPassword;
    if (password.empty())
        return false;
    bool wrong = false;
    std::string entry;
    for (;;) {
        std::optional<std::string> answer = front_.askPassword(wrong, entry);
        if (!answer)
            return false;
        entry = *answer;
        if (entry == password)
            break;
        wrong = true;
    }
    dealerLoggedIn_ = true;
    config.setDealerPassword(password);  // a failed save is not reported
    front_.layoutSerialSection(true);
    refreshControls();
    return true;
}

FlowOutcome MainController::onUpdateSerialNumber() {
    removeErrors(0);
    front_.setBusy(true);
    Result result{loadString(str::kSerialSuccessful), MessageStyle::Info, true};
    setBusy(BusyState::WritingSerial);
    controls_.serialEntry = controls_.serialButton = false;
    showControls();

    ensureSingleCable();
    RadioManager& manager = app_.radioManager();
    RadioInfo& radio = manager.radio();
    [&] {
        if (!manager.connect() || !radio.readIdentity())
            return result.set(str::kConnectFailed, MessageStyle::Error);
        if (!app_.config().isModelKnown(modelKey(radio)))
            return result.set(str::kRadioUnsupported, MessageStyle::Error);
        std::string current;
        serialNumberText(radio.serialNumber, current);
        // The entry takes ten characters; a longer text (possible where the
        // front end does not limit it) is refused rather than cut.
        if (serialEntry_.size() > 10)
            return result.set(str::kSerialIncorrect, MessageStyle::Error);
        std::array<std::uint8_t, 10> entry{};
        std::copy(serialEntry_.begin(), serialEntry_.end(), entry.begin());
        std::string_view entryText(reinterpret_cast<const char*>(entry.data()), entry.size());
        if (!isValidSerialNumber(entryText))
            return result.set(str::kSerialIncorrect, MessageStyle::Error);
        if (entryText == current)
            return result.set(str::kSerialIdentical, MessageStyle::Error);
        front_.radioChanging(true);
        writeSerialNumber(entry, result);
    }();
    if (radio.portOpen())
        manager.disconnect();
    if (result.success)
        refreshRadioInfo();
    front_.showMessage(result.text, result.style);
    // A refused number stays in the entry, selected whole with the focus on
    // it, so the dealer types the correction straight over it. The refresh
    // comes after: when the cable went meanwhile, it moves the focus away.
    refreshControls(result.success ? ControlState::Focus::None : ControlState::Focus::SerialEntry);
    front_.radioChanging(false);
    setBusy(BusyState::Idle);
    front_.setBusy(false);
    return {result.success ? FlowOutcome::Kind::Done : FlowOutcome::Kind::Failed,
            result.text,
            result.style,
            {},
            {},
            result.success ? std::vector<ErrorEntry>{} : errorEntries()};
}

// ---------------------------------------------------------------------------
// Verify

FlowOutcome MainController::onVerify() {
    removeErrors(0);
    ErrorLog& log = ErrorLog::instance();
    RadioManager& manager = app_.radioManager();
    RadioInfo& radio = manager.radio();
    front_.setBusy(true);
    Result result{loadString(str::kVerifyMatches), MessageStyle::Info, true};
    setBusy(BusyState::Verifying);
    controls_.getInfo = controls_.update = controls_.keepPersonality = false;
    showControls();

    ensureSingleCable();
    UpdateTarget target;
    readUpdateTarget(target, result);
    PackageFiles files;
    std::string lost;
    if (result.success && !findPackageFiles(target.key, target.packageCp, files, lost)) {
        log.writeLog("%s", lost);
        result.set(str::kReinstall, MessageStyle::Error);
    }
    std::vector<ErrorEntry> errors;
    if (result.success) {
        verifyCmd_.radio = &radio;
        verifyCmd_.owner = window_;
        verifyCmd_.addressFile = files.address;
        verifyCmd_.files = {target.firmwarePath, files.defaultBlock, files.voice};
        // The user-defined voice a kept personality put back inside the voice
        // window is the radio's own.
        verifyCmd_.userVoice.reset();
        VersionTriple radioCp{};
        KeepBlock voice;
        if (parseVersionText(target.codeplug, radioCp) &&
            app_.config().findUserInfoRange(static_cast<std::int32_t>(BlockKind::USERVOI),
                                            radioCp[0], target.packageCpTriple[0], voice.address,
                                            voice.length) &&
            voice.address >= 0 && voice.length > 0)
            verifyCmd_.userVoice = FlashRange{static_cast<std::uint32_t>(voice.address),
                                              static_cast<std::uint32_t>(voice.length)};
        verifyCmd_.progress.total = kProgressRange;
        verifyCmd_.progress.base = 0;
        const bool ran = runCommands({&verifyCmd_});
        if (!ran)
            raiseError(ErrorCategory::Update, "Error:an earlier operation is still running.");
        if (!ran || !verifyCmd_.ok) {
            errors = errorEntries();
            log.writeLog("Verify radio failed, this's caused by:\n%s", allErrorTexts());
            // Every byte read and compared: the radio's flash differs;
            // otherwise reading it back broke off.
            const VerifyReport& report = verifyCmd_.report();
            const bool allRead = !report.areas.empty() &&
                                 std::all_of(report.areas.begin(), report.areas.end(),
                                             [](const AreaCheck& a) { return a.read == a.length; });
            result.set(ran && allRead ? str::kVerifyDiffers : str::kVerifyFailed,
                       MessageStyle::Error);
            removeErrors(0);
        }
        verifyCmd_.radio = nullptr;
        verifyCmd_.owner = 0;
    } else {
        errors = errorEntries();
    }
    if (radio.portOpen())
        manager.disconnect();
    front_.showMessage(result.text, result.style);
    finishOperation();
    FlowOutcome outcome;
    outcome.kind = result.success ? FlowOutcome::Kind::Done : FlowOutcome::Kind::Failed;
    outcome.text = result.text;
    outcome.style = result.style;
    if (!result.success)
        outcome.errors = std::move(errors);
    return outcome;
}

void MainController::onDeviceRemoved() {
    if (!app_.hasRadioManager())
        return;
    RadioManager& manager = app_.radioManager();
    if ((manager.radio().cable().countDevices() & 0xFF) == 0 && manager.radio().portOpen())
        manager.disconnect();
}

// ---------------------------------------------------------------------------
// Console protocol

std::intptr_t MainController::onConsoleUpdateStart(ConsoleHandle console, std::uintptr_t magic) {
    if (busy_ != BusyState::Idle || magic != kConsoleMagic || !console_ ||
        !console_->isAlive(console))
        return 1;
    consoleWindow_ = console;
    onUpdate();
    return 1;
}

std::intptr_t MainController::onConsoleEnterTestMode(ConsoleHandle console, std::uintptr_t magic) {
    if (magic != kConsoleMagic || !console_ || !console_->isAlive(console))
        return 1;
    if (!testMode_) {
        if (front_.showMessage(kTestModeQuestion, MessageStyle::YesNo) != ButtonId::Yes)
            return 1;
        testMode_ = true;
        windowTitle_ += kTestModeMark;
        front_.setTitle(windowTitle_);
    }
    front_.flashWindow();
    console_->post(console, kToolEnterTestMode, window_, kConsoleReplyCode);
    return 1;
}

std::intptr_t MainController::onConsoleExitTestMode(ConsoleHandle console, std::uintptr_t magic) {
    if (magic != kConsoleMagic || !console_ || !console_->isAlive(console))
        return 1;
    if (testMode_) {
        testMode_ = false;
        windowTitle_ = app_.title();
        front_.setTitle(windowTitle_);
    }
    front_.flashWindow();
    console_->post(console, kToolExitTestMode, window_, kConsoleReplyCode);
    return 1;
}

}  // namespace vkt
