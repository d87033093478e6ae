#include "cli/terminal_frontend.h"

#include <unistd.h>

#include <iostream>
#include <thread>

#include <fmt/format.h>

#include "app/strings.h"
#include "cli/cable_setup.h"
#include "cli/signal_watch.h"
#include "core/version.h"
#include "package/text_util.h"

namespace vkt::cli {

namespace {

constexpr int kBarWidth = 30;

std::string clock(std::chrono::seconds s) {
    long total = static_cast<long>(s.count());
    return fmt::format("{:02}:{:02}", total / 60, total % 60);
}

// Message texts use "\n" and tabs for the window's layout; on a terminal
// they are printed as they are.
const char* prefixOf(int style) {
    switch (style & 0xF0) {
        case kStyleError:
            return "Error: ";
        case kStyleWarning:
            return "Warning: ";
        default:
            return "";
    }
}

}  // namespace

TerminalFrontEnd::TerminalFrontEnd(EventLoop& loop, TerminalOptions options, std::istream& in,
                                   std::ostream& out, std::ostream& err)
    : loop_(loop), options_(std::move(options)), in_(in), out_(out), err_(err) {}

int TerminalFrontEnd::showMessage(const std::string& text, int style) {
    endProgressLine();
    std::ostream& out = options_.json ? err_ : out_;
    ShownMessage shown{text, style, kButtonOk};
    if (isYesNoStyle(style)) {
        // Questions go to the terminal the answer comes from.
        err_ << text << " [y/N] ";
        if (options_.assumeYes) {
            err_ << "yes (--yes)\n";
            shown.answer = kButtonYes;
        } else if (!options_.interactive) {
            err_ << "no (no terminal to ask; --yes answers Yes)\n";
            shown.answer = kButtonNo;
        } else {
            err_.flush();
            std::string line;
            std::getline(in_, line);
            bool yes =
                line == "y" || line == "Y" || line == "yes" || line == "Yes" || line == "YES";
            shown.answer = yes ? kButtonYes : kButtonNo;
        }
    } else {
        // The same message again at once is a warning loop (more than one
        // cable): give the user the time a click would take before the flow
        // looks again.
        if (!messages_.empty() && messages_.back().text == text)
            std::this_thread::sleep_for(std::chrono::seconds(1));
        else
            out << prefixOf(style) << text << std::endl;
    }
    messages_.push_back(shown);
    return shown.answer;
}

void TerminalFrontEnd::runWaitIndicator(const std::function<bool()>& finished) {
    waitStart_ = std::chrono::steady_clock::now();
    progressDrawn_ = false;
    lastPlainStep_ = -1;
    loop_.runUntil(finished, std::chrono::milliseconds::max());
    endProgressLine();
}

std::optional<std::string> TerminalFrontEnd::askPassword(bool wrongPassword, const std::string&) {
    if (wrongPassword) {
        passwordRefused_ = true;
        return std::nullopt;
    }
    if (passwordGiven_ || !options_.password)
        return std::nullopt;
    passwordGiven_ = true;
    return options_.password;
}

std::string TerminalFrontEnd::progressText(int percent, std::chrono::seconds elapsed, bool bar) {
    std::string text;
    if (bar) {
        int filled = percent * kBarWidth / 100;
        text = "[" + std::string(static_cast<std::size_t>(filled), '#') +
               std::string(static_cast<std::size_t>(kBarWidth - filled), '-') + "] ";
    } else {
        text = "progress ";
    }
    text += fmt::format("{:3}%  {}/100 units  {} elapsed", percent, percent, clock(elapsed));
    if (percent > 0 && percent < 100) {
        auto left = std::chrono::seconds(elapsed.count() * (100 - percent) / percent);
        text += fmt::format(", about {} left", clock(left));
    }
    return text;
}

void TerminalFrontEnd::showProgress(int percent) {
    auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - waitStart_);
    if (options_.progressBar) {
        err_ << "\r" << progressText(percent, elapsed, true) << "\x1b[K" << std::flush;
        progressDrawn_ = true;
    } else {
        // Plain lines, one per tenth, so a log stays readable; a command
        // that starts at 0 has nothing to report yet.
        int step = percent / 10;
        if (percent == 0 || step == lastPlainStep_)
            return;
        lastPlainStep_ = step;
        err_ << progressText(percent, elapsed, false) << "\n" << std::flush;
    }
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

std::optional<int> TerminalSession::start(const GlobalOptions& options,
                                          const std::string& command) {
    std::string error;
    std::shared_ptr<CableDriver> driver = makeCableDriver(options, error);
    if (!driver)
        return cableSetupFailed(options, command, error);
    StartupOptions startup;
    setStartupFolders(options, startup);
    startup.driver = std::move(driver);
    startup.queue = &loop_;
    StartupResult result = app_.start(startup);
    if (!result.ok) {
        std::string text = result.messageId != 0 ? loadString(result.messageId)
                                                 : "start-up failed: " + result.logLine;
        std::cerr << "vkt " << command << ": " << text << "\n";
        if (result.messageId != 0 && !result.logLine.empty())
            std::cerr << "(" << result.logLine << ")\n";
        if (options_.json)
            std::cout << "{\"ok\":false,\"result\":" << jsonQuote(text)
                      << ",\"style\":" << kStyleError
                      << ",\"tool_version\":" << jsonQuote(toolVersion()) << "}\n";
        return kExitFailure;
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

TerminalOptions terminalOptions(bool json) {
    TerminalOptions t;
    t.json = json;
    t.interactive = ::isatty(STDIN_FILENO) == 1;
    t.progressBar = ::isatty(STDERR_FILENO) == 1;
    return t;
}

void printOutcomeJson(const FlowOutcome& outcome, std::ostream& out, bool backup) {
    out << "{\"ok\":" << (outcome.ok() ? "true" : "false")
        << ",\"result\":" << jsonQuote(outcome.text) << ",\"style\":" << outcome.style;
    if (backup)
        out << ",\"backup\":"
            << (outcome.backupFile.empty() ? "null" : jsonQuote(outcome.backupFile));
    out << ",\"tool_version\":" << jsonQuote(toolVersion()) << "}\n";
}

int exitCodeOf(const FlowOutcome& outcome) {
    if (outcome.kind == FlowOutcome::Kind::Interrupted ||
        (outcome.kind != FlowOutcome::Kind::Done && SignalWatch::count() > 0))
        return kExitSignal;
    switch (outcome.kind) {
        case FlowOutcome::Kind::Done:
            return kExitOk;
        case FlowOutcome::Kind::NothingDone:
            return kExitNothingDone;
        default:
            return kExitFailure;
    }
}

}  // namespace vkt::cli
