#include "cli/terminal_frontend.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>

#include <fmt/format.h>

#include "app/strings.h"
#include "cli/cable_access.h"
#include "cli/password_input.h"
#include "cli/signal_watch.h"
#include "core/error_log.h"
#include "core/version.h"
#include "link/usb_serial.h"
#include "package/text_util.h"

namespace vkt::cli {

namespace {

constexpr int kBarWidth = 30;

std::string clock(std::chrono::seconds s) {
    long total = static_cast<long>(s.count());
    return fmt::format("{:02}:{:02}", total / 60, total % 60);
}

}  // namespace

TerminalFrontEnd::TerminalFrontEnd(EventLoop& loop, TerminalOptions options, std::istream& in,
                                   std::ostream& out, std::ostream& err)
    : loop_(loop), options_(std::move(options)), in_(in), out_(out), err_(err) {}

ButtonId TerminalFrontEnd::showMessage(const std::string& text, MessageStyle style) {
    endProgressLine();
    std::ostream& out = options_.json ? err_ : out_;
    ShownMessage shown{text, style, ButtonId::Ok};
    if (isYesNoStyle(style)) {
        // Questions go to the terminal the answer comes from.
        err_ << text << " [y/N] ";
        if (options_.assumeYes) {
            err_ << "yes (--yes)\n";
            shown.answer = ButtonId::Yes;
        } else if (!options_.interactive) {
            err_ << "no (no terminal to ask; --yes answers Yes)\n";
            shown.answer = ButtonId::No;
        } else {
            err_.flush();
            std::string line;
            std::getline(in_, line);
            bool yes =
                line == "y" || line == "Y" || line == "yes" || line == "Yes" || line == "YES";
            shown.answer = yes ? ButtonId::Yes : ButtonId::No;
        }
    } else if (style != MessageStyle::Error && style != MessageStyle::Warning) {
        out << text << std::endl;
    }
    // An error or a warning ends its flow: the command reports it, with its
    // causes and what to do, once the flow has returned.
    messages_.push_back(shown);
    return shown.answer;
}

void TerminalFrontEnd::runWaitIndicator(const std::function<bool()>& finished) {
    waitStart_ = std::chrono::steady_clock::now();
    progressDrawn_ = false;
    lastPlainStep_ = -1;
    lastPhase_ = UpdatePhase::None;
    loop_.runUntil(finished, std::chrono::milliseconds::max());
    endProgressLine();
}

std::optional<std::string> TerminalFrontEnd::askPassword(bool wrongPassword, const std::string&) {
    constexpr int kTerminalAttempts = 3;
    if (options_.password) {
        // A password given on the command line, in a file or the
        // environment is tried once.
        if (wrongPassword || passwordAttempts_++ > 0) {
            passwordRefused_ = true;
            return std::nullopt;
        }
        return options_.password;
    }
    if (!options_.interactive) {
        passwordMissing_ = true;
        return std::nullopt;
    }
    if (wrongPassword) {
        if (passwordAttempts_ >= kTerminalAttempts) {
            passwordRefused_ = true;
            return std::nullopt;
        }
        err_ << loadString(str::kWrongPassword) << "\n";
    }
    ++passwordAttempts_;
    std::optional<std::string> entry = readHiddenLine(in_, err_, "Dealer password: ");
    if (!entry)
        passwordMissing_ = true;
    return entry;
}

std::string TerminalFrontEnd::progressText(const ProgressView& view, std::chrono::seconds elapsed,
                                           bool bar) {
    const int percent = std::clamp(view.percent, 0, 100);
    std::string text;
    if (bar) {
        int filled = percent * kBarWidth / 100;
        text = "[" + std::string(static_cast<std::size_t>(filled), '#') +
               std::string(static_cast<std::size_t>(kBarWidth - filled), '-') + "] ";
    } else {
        text = "progress ";
    }
    text += fmt::format("{:3}%  ", percent);
    if (const std::string phase = phaseText(view.phase); !phase.empty())
        text += phase + "  ";
    text += clock(elapsed) + " elapsed";
    if (view.secondsLeft >= 0 && view.phase != UpdatePhase::Done)
        text += fmt::format(", about {} left", clock(std::chrono::seconds(view.secondsLeft)));
    return text;
}

void TerminalFrontEnd::writeProgressLine(const ProgressView& view, std::chrono::seconds elapsed) {
    if (view.percent == lastStreamedPercent_ && view.phase == lastStreamedPhase_)
        return;
    lastStreamedPercent_ = view.percent;
    lastStreamedPhase_ = view.phase;
    Json line;
    line["percent"] = std::clamp(view.percent, 0, 100);
    line["phase"] = textOrNull(phaseText(view.phase));
    line["elapsed_seconds"] = elapsed.count();
    line["seconds_left"] = view.secondsLeft >= 0 && view.phase != UpdatePhase::Done
                               ? Json(view.secondsLeft)
                               : Json(nullptr);
    const std::string text = jsonText(line) + "\n";
    // A reader that went away costs the update nothing: the line is dropped.
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(options_.progressFd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

void TerminalFrontEnd::showProgress(const ProgressView& view) {
    // A run that failed ends on its last real frame, not on a full bar; the
    // bar emptied after a run is no frame at all.
    if (view.phase == UpdatePhase::Failed ||
        (view.phase == UpdatePhase::Done && view.percent < 100))
        return;
    auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - waitStart_);
    if (options_.progressFd >= 0)
        writeProgressLine(view, elapsed);
    if (options_.progressBar) {
        err_ << "\r" << progressText(view, elapsed, true) << "\x1b[K" << std::flush;
        progressDrawn_ = true;
    } else {
        // Plain lines, one per phase and one per tenth, so a log stays
        // readable; a command that starts at 0 with no phase has nothing to
        // report yet.
        const int step = view.percent / 10;
        if ((view.phase == lastPhase_ && step == lastPlainStep_) ||
            (view.percent == 0 && view.phase == UpdatePhase::None))
            return;
        lastPhase_ = view.phase;
        lastPlainStep_ = step;
        err_ << progressText(view, elapsed, false) << "\n" << std::flush;
    }
}

bool TerminalFrontEnd::showUpdatePlan(const UpdatePreview& preview) {
    endProgressLine();
    plan_ = preview;
    std::ostream& out = options_.json ? err_ : out_;
    for (const std::string& line : updatePlanLines(preview))
        out << line << "\n";
    out << std::flush;
    return !options_.dryRun;
}

std::vector<std::string> updatePlanLines(const UpdatePreview& p) {
    std::vector<std::string> lines;
    lines.push_back(fmt::format("{:<16}{:<13}{}", "", "radio", "package"));
    lines.push_back(fmt::format("{:<16}{:<13}{}", "Firmware:", p.radioFirmware, p.packageFirmware));
    lines.push_back(fmt::format("{:<16}{:<13}{}", "Codeplug:", p.radioCodeplug, p.packageCodeplug));
    std::vector<std::string> parts;
    if (p.firmware)
        parts.emplace_back("firmware");
    if (p.codeplug)
        parts.emplace_back("codeplug");
    if (p.voicePrompts)
        parts.emplace_back("voice prompts");
    std::string writes;
    for (const std::string& part : parts)
        writes += (writes.empty() ? "" : ", ") + part;
    if (!p.firmware)
        writes += " (the firmware stays as it is)";
    lines.push_back(fmt::format("{:<16}{}", "Writes:", writes));
    std::string personality;
    switch (p.personality) {
        case UpdatePreview::Personality::Kept:
            personality = "kept: read from the radio first and written back after the update";
            break;
        case UpdatePreview::Personality::FromBackup:
            personality = "written back from " + p.backupFile +
                          ", the backup made before the radio's interrupted update";
            break;
        case UpdatePreview::Personality::NotKept:
            personality = p.recovery ? "not kept: the radio's interrupted update left no backup "
                                       "of it"
                                     : "NOT kept: the radio's channels, frequencies and "
                                       "user-defined voice will be erased";
            break;
    }
    lines.push_back(fmt::format("{:<16}{}", "Personality:", personality));
    lines.push_back(fmt::format("{:<16}{}", "Package folder:", p.packageDir));
    if (p.recovery)
        lines.emplace_back("The radio's last update was interrupted: it is updated in full.");
    if (p.downgrade)
        lines.emplace_back("The package's versions are older than the radio's.");
    return lines;
}

std::string TerminalFrontEnd::updateAgainAdvice() const {
    return "run `vkt update` again";
}

void TerminalFrontEnd::radioChanging(bool changing) {
    SignalWatch::protect(changing);
}

void TerminalFrontEnd::endProgressLine() {
    if (progressDrawn_) {
        err_ << "\n" << std::flush;
        progressDrawn_ = false;
    }
}

// ---------------------------------------------------------------------------

TerminalSession::TerminalSession(TerminalOptions options) : options_(std::move(options)) {}

TerminalSession::~TerminalSession() {
    SignalWatch::setHandler(nullptr, {});
    controller_.reset();
    app_.shutdown();
}

std::optional<int> TerminalSession::start(const GlobalOptions& options, CommandReport& report,
                                          bool lockRadio) {
    report.logFailuresIn(effectiveDataDir(options));
    if (lockRadio) {
        if (auto failed = lockRadioOperations(radioLock_, report))
            return failed;
    }
    CableSetup cable = chooseCableDriver(options, report);
    if (!cable.driver)
        return cable.exitCode;
    cablePath_ = cable.path;
    backend_ = backendName(options);
    StartupOptions startup;
    setStartupFolders(options, startup);
    startup.driver = std::move(cable.driver);
    startup.queue = &loop_;
    StartupResult result = app_.start(startup);
    if (!result.ok) {
        Failure failure;
        failure.category = errorCategoryName(static_cast<std::int32_t>(result.category));
        if (failure.category.empty() || failure.category == "OK")
            failure.category = "RESOURCE";
        if (result.messageId != 0)
            failure.messages.push_back(loadString(result.messageId));
        if (!result.logLine.empty())
            failure.messages.push_back(result.logLine);
        if (result.messageId == str::kReinstall)
            failure.hint = "`vkt package check` lists every problem of the package.";
        return report.fail(failure);
    }
    // Only a started tool can change the simulated radio: a failed start
    // saves nothing (and creates no folder under a mistyped data folder).
    simulatedRadioSaver_ = std::make_unique<SimulatedRadioSaver>();
    front_ = std::make_unique<TerminalFrontEnd>(loop_, options_, std::cin, std::cout, std::cerr);
    controller_ = std::make_unique<MainController>(app_, *front_);
    controller_->open();
    // A signal while the radio is being changed reaches the update flow here.
    SignalWatch::setHandler(&loop_, [this](int) {
        std::cerr << "\n" << stopReplyText(controller_->onStopRequest()) << std::endl;
    });
    return std::nullopt;
}

std::string stopReplyText(const StopReply& reply) {
    switch (reply.kind) {
        case StopReply::Kind::Continuing:
            return fmt::format(
                "The radio is being written and cannot be stopped safely; the update will finish "
                "in about {} s. Press Ctrl-C again to abort; the radio will then need `vkt "
                "update` again.",
                reply.secondsLeft);
        case StopReply::Kind::Stopping:
            return reply.afterErase ? "Stopping at the next request; the radio will then need "
                                      "`vkt update` again."
                                    : "Stopping; nothing on the radio will be changed.";
        case StopReply::Kind::NotRunning:
            break;
    }
    return "The radio is being finished and cannot be stopped now.";
}

Failure TerminalSession::failureOf(const FlowOutcome& outcome) {
    Failure failure;
    failure.messages.push_back(outcome.text);
    bool portProblem = false;
    for (const ErrorEntry& entry : outcome.errors) {
        failure.messages.push_back(entry.message);
        portProblem =
            portProblem || entry.category == static_cast<std::int32_t>(ErrorCategory::Prot);
    }
    if (!outcome.errors.empty())
        failure.category = errorCategoryName(outcome.errors.front().category);
    const auto is = [&outcome](int id) { return outcome.text == loadString(id); };
    if (is(str::kConnectFailed)) {
        CableDriver* chosen =
            app_.hasRadioManager() ? &app_.radioManager().radio().cable().driver() : nullptr;
        std::uint32_t cables = 0;
        if (portProblem && chosen != nullptr) {
            // The cable could not be opened: find out why.
            explainOpenFailure(*chosen, backend_, failure);
        } else if (chosen == nullptr || chosen->countDevices(cables) != kCableOk || cables == 0) {
            failure.category = "CABLE";
            failure.messages.emplace_back("No programming cable found");
            failure.hint = noCableHint(backend_);
        } else {
            // The cable is there and open; the radio did not answer.
            if (failure.category.empty())
                failure.category = "SBEP";
            failure.hint = silentRadioHint();
        }
    } else if (is(str::kToggleAnalog) || is(str::kToggleAnalogRetry) ||
               is(str::kCableUnsupported)) {
        failure.category = failure.category.empty() ? "CABLE" : failure.category;
    } else if (is(str::kRadioUnsupported) || is(str::kVersionIncompatible)) {
        failure.category = "RADIO";
    } else if (is(str::kReinstall)) {
        failure.category = failure.category.empty() ? "INI" : failure.category;
        failure.hint = "`vkt package check` lists every problem of the package; " +
                       ErrorLog::instance().path() + " holds the reason.";
    } else if (is(str::kSerialIncorrect) || is(str::kSerialIdentical)) {
        failure.category = "INPUT";
    } else if (is(str::kWrongPassword)) {
        failure.category = "LOGIN";
    }
    if (outcome.kind == FlowOutcome::Kind::Interrupted)
        failure.category = "INTERRUPTED";
    if (failure.category.empty())
        failure.category = "UPDATE";
    return failure;
}

int TerminalSession::report(const FlowOutcome& outcome, CommandReport& report) {
    report.fields()["severity"] = severityOfStyle(outcome.style);
    report.fields()["cable"] = textOrNull(cablePath_);
    switch (outcome.kind) {
        case FlowOutcome::Kind::Done:
            return report.succeed(outcome.text);
        case FlowOutcome::Kind::Previewed: {
            const std::string text = "Dry run: the radio was only read; nothing was written to it.";
            report.text() << text << "\n" << std::flush;
            return report.succeed(text);
        }
        case FlowOutcome::Kind::NothingDone:
            if (outcome.text.empty()) {
                const std::string text = "Nothing was done.";
                report.text() << text << "\n" << std::flush;
                return report.nothingDone(Failure{"DECLINED", {text}, {}});
            }
            return report.nothingDone(Failure{outcome.text == loadString(str::kNothingToRecover)
                                                  ? "NOTHING_TO_RECOVER"
                                                  : "UP_TO_DATE",
                                              {outcome.text},
                                              {}});
        case FlowOutcome::Kind::Failed:
        case FlowOutcome::Kind::Interrupted:
            break;
    }
    return report.fail(failureOf(outcome), exitCodeOf(outcome));
}

TerminalOptions terminalOptions(bool json) {
    TerminalOptions t;
    t.json = json;
    t.interactive = ::isatty(STDIN_FILENO) == 1;
    t.progressBar = ::isatty(STDERR_FILENO) == 1;
    return t;
}

int exitCodeOf(const FlowOutcome& outcome) {
    if (outcome.kind == FlowOutcome::Kind::Interrupted ||
        (outcome.kind != FlowOutcome::Kind::Done && SignalWatch::count() > 0))
        return kExitSignal;
    switch (outcome.kind) {
        case FlowOutcome::Kind::Done:
        case FlowOutcome::Kind::Previewed:
            return kExitOk;
        case FlowOutcome::Kind::NothingDone:
            return kExitNothingDone;
        default:
            return kExitFailure;
    }
}

}  // namespace vkt::cli
