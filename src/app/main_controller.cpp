#include "app/main_controller.h"

#include <algorithm>
#include <cctype>
#include <ctime>

#include "core/error_log.h"
#include "core/error_stack.h"
#include "core/messages.h"
#include "link/radio_info.h"
#include "link/sbep.h"
#include "link/usb_serial.h"

namespace vkt {

namespace {

constexpr int kProgressRange = 100;
constexpr const char* kTestModeQuestion =
    "Update flash tool is entering test mode, \t\r\ndo you want to continue?";
constexpr const char* kTestModeMark = " [Test mode]";

// A printf-style text from the string table; a translation whose format does
// not fit the arguments is shown as it is rather than crashing.
template <typename... Args>
std::string formatString(int id, const Args&... args) {
    std::string format = loadString(id);
    try {
        return fmt::sprintf(format, args...);
    } catch (const std::exception&) {
        return format;
    }
}

// Display texts end at the first zero character, as the radio's C strings do.
std::string cString(std::string text) {
    text.resize(std::min(text.size(), text.find('\0')));
    return text;
}

std::string upper(std::string text) {
    for (char& ch : text)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return text;
}

std::string modelKey(const RadioInfo& radio) {
    std::string key;
    modelNumberText(radio.modelRecord, key);
    return key;
}

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
        *field = cString(*field);
        if (field->empty())
            *field = notAvailable;
    }
    d.radioTypeKey = cString(key);
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
        front_.showMessage(formatString(str::kManyCables, count), kStyleWarning);
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
    return front_.showMessage(text, kStyleQuestion) == kButtonYes;
}

void MainController::finishOperation() {
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
    int percent = static_cast<int>(value);
    if (percent == percent_)
        return;
    percent_ = percent;
    front_.showProgress(percent_);
}

// ---------------------------------------------------------------------------
// Get radio information

FlowOutcome MainController::onGetRadioInfo() {
    removeErrors(0);  // the stack describes this operation only
    front_.setBusy(true);
    Result result{loadString(str::kGetInfoSuccessful), kStyleInfo, true};
    setBusy(BusyState::ReadingInfo);
    controls_.getInfo = false;
    showControls();

    ensureSingleCable();
    RadioManager& manager = app_.radioManager();
    RadioInfo& radio = manager.radio();
    if (!manager.connect(true)) {
        result.set(str::kConnectFailed, kStyleError);
    } else {
        radio.cable().setBaudRate(kSlowLineRate);
        int echo = radio.engine().detectEcho();
        radio.cable().setBaudRate(kSlowLineRate);
        if (echo == 2)
            result.set(str::kToggleAnalog, kStyleWarning);
        else if (echo == 0)
            result.set(str::kCableUnsupported, kStyleError);
        else if (!radio.readIdentity())
            result.set(str::kConnectFailed, kStyleError);
        else if (!app_.config().isModelKnown(modelKey(radio)))
            result.set(str::kRadioUnsupported, kStyleError);
    }
    if (radio.portOpen())
        manager.connect(false);
    if (result.success) {
        infoShown_ = true;
        refreshRadioInfo();
    }
    front_.showMessage(result.text, result.style);
    finishOperation();
    return {result.success ? FlowOutcome::Kind::Done : FlowOutcome::Kind::Failed, result.text,
            result.style};
}

// ---------------------------------------------------------------------------
// Update

template <typename Next>
std::string MainController::lastParsableVersion(Next next) {
    std::string candidate;
    std::string version;
    bool stopped = false;
    while (next(version)) {
        VersionTriple triple;
        if (stopped)
            continue;  // drained so that the next walk starts at the first version
        if (parseVersionText(version, triple))
            candidate = version;
        else
            stopped = true;
    }
    return candidate;
}

FlowOutcome MainController::onUpdate() {
    removeErrors(0);
    RadioManager& manager = app_.radioManager();
    RadioInfo& radio = manager.radio();

    // Phase A: identity and package versions.
    front_.setBusy(true);
    Result result{loadString(str::kUpdateSuccessful), kStyleInfo, true};
    setBusy(BusyState::Updating);
    controls_.update = controls_.keepPersonality = false;
    showControls();

    UpdateTarget target;
    ensureSingleCable();
    readUpdateTarget(target, result);

    // Confirmation.
    if (!testMode_ && result.success &&
        !askYesNo(formatString(str::kConfirmUpdate, target.packageFw, target.packageCp)))
        return refusedUpdate();

    // Phase B: compatibility and the programming command.
    Ending ending = Ending::Reported;
    if (result.success)
        ending = checkAndProgram(target, result);
    if (ending == Ending::Declined)
        return refusedUpdate();

    // End.
    if (radio.portOpen())
        manager.connect(false);
    if (result.success)
        refreshRadioInfo();
    if (testMode_)
        reportToConsole(result.success);
    else
        front_.showMessage(result.text, result.style);
    finishOperation();
    FlowOutcome::Kind kind = result.success               ? FlowOutcome::Kind::Done
                             : ending == Ending::UpToDate ? FlowOutcome::Kind::NothingDone
                                                          : FlowOutcome::Kind::Failed;
    return {kind, testMode_ ? std::string() : result.text, testMode_ ? 0 : result.style};
}

FlowOutcome MainController::refusedUpdate() {
    setBusy(BusyState::Idle);
    refreshControls();
    front_.setBusy(false);
    return FlowOutcome{FlowOutcome::Kind::NothingDone, {}, 0};
}

void MainController::readUpdateTarget(UpdateTarget& target, Result& result) {
    ErrorLog& log = ErrorLog::instance();
    PackageConfig& config = app_.config();
    RadioManager& manager = app_.radioManager();
    RadioInfo& radio = manager.radio();
    if (!manager.connect(true))
        return result.set(str::kConnectFailed, kStyleError);
    int echo = radio.engine().detectEcho();
    if (echo == 2)
        return result.set(str::kToggleAnalogRetry, kStyleWarning);
    if (echo == 0)
        return result.set(str::kCableUnsupported, kStyleError);
    if (!radio.readIdentity())
        return result.set(str::kConnectFailed, kStyleError);
    target.oldSerial = radio.serialNumber;
    target.key = modelKey(radio);
    if (!config.isModelKnown(target.key))
        return result.set(str::kRadioUnsupported, kStyleError);

    target.packageCpListed = lastParsableVersion(
        [&](std::string& v) { return config.nextBlockVersion(target.key, "DEF", v); });
    target.packageCp = upper(target.packageCpListed);
    if (target.packageCp.empty() || !parseVersionText(target.packageCp, target.packageCpTriple)) {
        result.set(str::kReinstall, kStyleError);
        log.writeLog("The tool CP version is invalid.");
    }
    if (!config.firmwarePath.empty()) {
        target.firmwarePath = config.firmwarePath;
        target.packageFw = upper(config.firmwareVersion);
    }
    VersionTriple packageFwTriple{};
    if (!parseVersionText(target.packageFw, packageFwTriple)) {
        result.set(str::kReinstall, kStyleError);
        log.writeLog("The tool FW verision is invalid.");
    }
}

MainController::Ending MainController::checkAndProgram(const UpdateTarget& target, Result& result) {
    ErrorLog& log = ErrorLog::instance();
    PackageConfig& config = app_.config();
    RadioInfo& radio = app_.radioManager().radio();
    const auto refuse = [&](int id, int style, const std::string& logLine) {
        if (!logLine.empty())
            log.writeLog("%s", logLine);
        result.set(id, style);
        return Ending::Reported;
    };

    radio.cable().setBaudRate(kSlowLineRate);
    int echo = radio.engine().detectEcho();
    radio.cable().setBaudRate(kSlowLineRate);
    if (echo == 2)
        return refuse(str::kToggleAnalogRetry, kStyleWarning, {});
    if (echo == 0)
        return refuse(str::kCableUnsupported, kStyleError, {});
    if (!config.isModelKnown(target.key))
        return refuse(str::kRadioUnsupported, kStyleError, {});

    UpdateVersions radioVersions;
    firmwareVersionText(radio.firmwareVersion, radioVersions.firmware);
    codeplugVersionText(radio.codeplugVersion, radioVersions.codeplug);
    UpdatePlanOptions options;
    options.testMode = testMode_;
    const UpdatePlan plan =
        planUpdate(radioVersions, {target.packageFw, target.packageCpListed}, options);
    if (plan.radioVersionsInvalid)
        return refuse(plan.messageId, plan.style, plan.logLine);

    std::string defaultFile;
    if (!config.getBlockFile(target.key, "DEF", target.packageCp, defaultFile))
        return refuse(str::kReinstall, kStyleError, "New CP file is lost.");
    std::string voiceFile;
    std::string voiceVersion =
        lastParsableVersion([&](std::string& v) { return config.nextVoiceVersion(v); });
    if (!config.getVoiceFile(voiceVersion, voiceFile))
        return refuse(str::kReinstall, kStyleError, "New VP file is lost.");
    std::string addressFile;
    std::string addressVersion =
        lastParsableVersion([&](std::string& v) { return config.nextAddressVersion(v); });
    if (!config.getAddressFile(addressVersion, addressFile))
        return refuse(str::kReinstall, kStyleError, "New ADDR file is lost.");

    // The kind of update, and the downgrade question when the plan calls
    // for it.
    if (plan.kind == UpdatePlan::Kind::UpToDate) {
        result.set(plan.messageId, plan.style);
        refreshRadioInfo();
        return Ending::UpToDate;
    }
    if (!plan.programs())
        return refuse(plan.messageId, plan.style, plan.logLine);
    if (plan.askDowngrade && !askYesNo(loadString(str::kConfirmDowngrade)))
        return Ending::Declined;

    // The programming command.
    VersionTriple radioCpTriple{};
    parseVersionText(radioVersions.codeplug, radioCpTriple);
    program_.updateFirmware = program_.updateDefault = program_.updateVoice = false;
    program_.progress.clearSteps();
    program_.firmwareFile.clear();
    program_.voiceFile.clear();
    if (plan.kind == UpdatePlan::Kind::Full) {
        program_.firmwareFile = target.firmwarePath;
        program_.enableFirmware();
    }
    program_.addressFile = addressFile;
    program_.defaultFile = defaultFile;
    program_.enableDefault();
    if (!voiceFile.empty()) {
        program_.voiceFile = voiceFile;
        program_.enableVoice();
    }
    if (keepPersonality_) {
        program_.keepUserInfo = true;
        program_.enableKeepUserInfo();
        std::vector<KeepBlock> blocks;
        std::int32_t kind = 0;
        while (config.nextUserInfoKind(kind)) {
            KeepBlock block;
            block.kind = kind;
            config.findUserInfoRange(kind, radioCpTriple[0], target.packageCpTriple[0],
                                     block.address, block.length);
            blocks.push_back(block);
        }
        program_.setKeepBlocks(std::move(blocks));
    } else {
        // Nothing of an earlier run's keep list may be read or restored.
        program_.keepUserInfo = false;
        program_.setKeepBlocks({});
    }
    program_.backupFolder = app_.backupFolder();
    program_.radio = &radio;
    program_.owner = window_;
    program_.progress.total = kProgressRange;
    program_.progress.base = 0;

    controls_.update = false;
    showControls();
    bool ran = runCommands({&program_});
    if (!ran)
        raiseError(ErrorCategory::Update, "Error:an earlier operation is still running.");
    if (!ran || !program_.ok) {
        log.writeLog("Upate radio failed, this's caused by:\n%s", allErrorTexts());
        std::int32_t code = firstErrorCode();
        bool packageProblem = code == 1 || code == 4 || code == 5 || code == 6 || code == 7;
        result.set(packageProblem ? str::kReinstall : str::kUpdateFailed, kStyleError);
        removeErrors(0);
    } else if (!radio.readIdentity()) {
        result.set(str::kConnectFailed, kStyleError);
    } else {
        infoShown_ = true;
    }
    program_.radio = nullptr;
    program_.owner = 0;

    std::string newSerial;
    if (result.success && serialNumberText(radio.serialNumber, newSerial) &&
        newSerial == kDefaultSerialNumber)
        writeSerialNumber(target.oldSerial, result);
    return Ending::Reported;
}

void MainController::writeSerialNumber(const std::array<std::uint8_t, 10>& serial, Result& result) {
    RadioInfo& radio = app_.radioManager().radio();
    serialCmd_.radio = &radio;
    serialCmd_.owner = window_;
    serialCmd_.progress.total = kProgressRange;
    serialCmd_.progress.base = 0;
    serialCmd_.newSerialNumber = serial;
    if (!runCommands({&serialCmd_}) || !serialCmd_.ok) {
        result.set(str::kSerialFailed, kStyleError);
    } else if (!radio.readIdentity()) {
        result.text = loadString(str::kConnectFailed);
        result.style = kStyleError;
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
    front_.showMessage(kConsoleGone, kStyleInfo);
}

// ---------------------------------------------------------------------------
// Language and help

void MainController::onLanguage(const std::string& code) {
    app_.config().setDefaultLanguage(code);
    front_.showMessage(loadString(str::kRestartForLanguage), kStyleInfo);
}

void MainController::onHelp(const std::function<bool(const std::string& code)>& open) {
    const std::string& language = app_.config().defaultLanguage;
    if (open(language.empty() ? std::string("en_us") : language))
        return;
    front_.showMessage(loadString(str::kHelpUnavailable), kStyleInfo);
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
    Result result{loadString(str::kSerialSuccessful), kStyleInfo, true};
    setBusy(BusyState::WritingSerial);
    controls_.serialEntry = controls_.serialButton = false;
    showControls();

    ensureSingleCable();
    RadioManager& manager = app_.radioManager();
    RadioInfo& radio = manager.radio();
    [&] {
        if (!manager.connect(true) || !radio.readIdentity())
            return result.set(str::kConnectFailed, kStyleError);
        if (!app_.config().isModelKnown(modelKey(radio)))
            return result.set(str::kRadioUnsupported, kStyleError);
        std::string current;
        serialNumberText(radio.serialNumber, current);
        // The entry takes ten characters; a longer text (possible where the
        // front end does not limit it) is refused rather than cut.
        if (serialEntry_.size() > 10)
            return result.set(str::kSerialIncorrect, kStyleError);
        std::array<std::uint8_t, 10> entry{};
        std::copy(serialEntry_.begin(), serialEntry_.end(), entry.begin());
        std::string_view entryText(reinterpret_cast<const char*>(entry.data()), entry.size());
        if (!isValidSerialNumber(entryText))
            return result.set(str::kSerialIncorrect, kStyleError);
        if (entryText == current)
            return result.set(str::kSerialIdentical, kStyleError);
        writeSerialNumber(entry, result);
    }();
    if (radio.portOpen())
        manager.connect(false);
    if (result.success)
        refreshRadioInfo();
    front_.showMessage(result.text, result.style);
    // A refused number stays in the entry, selected whole with the focus on
    // it, so the dealer types the correction straight over it. The refresh
    // comes after: when the cable went meanwhile, it moves the focus away.
    refreshControls(result.success ? ControlState::Focus::None : ControlState::Focus::SerialEntry);
    setBusy(BusyState::Idle);
    front_.setBusy(false);
    return {result.success ? FlowOutcome::Kind::Done : FlowOutcome::Kind::Failed, result.text,
            result.style};
}

void MainController::onDeviceRemoved() {
    if (!app_.hasRadioManager())
        return;
    RadioManager& manager = app_.radioManager();
    if ((manager.radio().cable().countDevices() & 0xFF) == 0 && manager.radio().portOpen())
        manager.connect(false);
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
        if (front_.showMessage(kTestModeQuestion, kStyleYesNo) != kButtonYes)
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
