// The terminal front end of the radio flows: messages are printed, questions
// are asked on the terminal (y/n), progress is a redrawn line on stderr (plain
// lines when stderr is no terminal), and the wait
// indicator is the command line's own event loop turning until the batch has
// ended. TerminalSession wires it to the application for one command.
#pragma once

#include <chrono>
#include <cstdio>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/cable_setup.h"
#include "app/front_end.h"
#include "app/instance_lock.h"
#include "app/main_controller.h"
#include "cli/cli_common.h"
#include "cli/command_report.h"
#include "core/messaging.h"

namespace vkt::cli {

struct TerminalOptions {
    bool assumeYes = false;  // --yes: every question is answered Yes
    bool json = false;       // messages go to stderr, stdout is left to the JSON
    // The dealer password to give when the login asks (--password,
    // --password-file, VKT_DEALER_PASSWORD); without it the password is
    // asked for on the terminal.
    std::optional<std::string> password;
    // Whether questions may be asked (stdin is a terminal); set by the caller.
    bool interactive = false;
    // Whether stderr is a terminal: a redrawn bar instead of plain lines.
    bool progressBar = false;
    // --progress-fd: a descriptor that gets one JSON line per progress
    // step (-1: none), for a program that shows the progress itself.
    int progressFd = -1;
    // --dry-run: an update stops once it has shown what it would do.
    bool dryRun = false;
};

// A message as it was shown.
struct ShownMessage {
    std::string text;
    MessageStyle style = MessageStyle::None;
    ButtonId answer = ButtonId::Ok;
};

class TerminalFrontEnd : public FrontEnd {
  public:
    TerminalFrontEnd(EventLoop& loop, TerminalOptions options, std::istream& in, std::ostream& out,
                     std::ostream& err);

    ButtonId showMessage(const std::string& text, MessageStyle style) override;
    void runWaitIndicator(const std::function<bool()>& finished) override;
    std::optional<std::string> askPassword(bool wrongPassword,
                                           const std::string& previous) override;
    void showProgress(const ProgressView& view) override;
    std::string updateAgainAdvice() const override;
    void radioChanging(bool changing) override;
    // An update is checked first, its plan shown, and only then asked for.
    bool asksAfterChecks() const override { return true; }
    bool showUpdatePlan(const UpdatePreview& preview) override;

    // What the last update was going to do, once its checks had passed.
    const std::optional<UpdatePreview>& updatePlan() const { return plan_; }

    const std::vector<ShownMessage>& messages() const { return messages_; }
    // The login ended because the password was wrong (a refused one was
    // given, or every attempt on the terminal was wrong).
    bool passwordRefused() const { return passwordRefused_; }
    // The login ended because there was no way to get a password.
    bool passwordMissing() const { return passwordMissing_; }

    // One progress line: bar (when `bar`), percentage, phase, elapsed and
    // remaining time.
    static std::string progressText(const ProgressView& view, std::chrono::seconds elapsed,
                                    bool bar);

  private:
    void endProgressLine();
    void writeProgressLine(const ProgressView& view, std::chrono::seconds elapsed);

    EventLoop& loop_;
    TerminalOptions options_;
    std::istream& in_;
    std::ostream& out_;
    std::ostream& err_;
    std::vector<ShownMessage> messages_;
    std::optional<UpdatePreview> plan_;
    int passwordAttempts_ = 0;
    bool passwordRefused_ = false;
    bool passwordMissing_ = false;
    // The current wait: when it began and what was drawn last.
    std::chrono::steady_clock::time_point waitStart_;
    bool progressDrawn_ = false;
    int lastPlainStep_ = -1;
    UpdatePhase lastPhase_ = UpdatePhase::None;
    int lastStreamedPercent_ = -1;
    UpdatePhase lastStreamedPhase_ = UpdatePhase::None;
};

// One command's application: the event loop, the started application and
// the controller, torn down in the right order.
class TerminalSession {
  public:
    explicit TerminalSession(TerminalOptions options);
    ~TerminalSession();

    // Takes the radio lock (with `lockRadio`: for the commands that write a
    // radio), chooses the cable and starts the application. Returns the exit
    // code to give up with (the failure reported), or nothing when the
    // session is ready.
    std::optional<int> start(const GlobalOptions& options, CommandReport& report, bool lockRadio);

    MainController& controller() { return *controller_; }
    TerminalFrontEnd& frontEnd() { return *front_; }
    Application& application() { return app_; }
    const TerminalOptions& options() const { return options_; }
    // The chosen cable's path, and its back-end's name.
    const std::string& cablePath() const { return cablePath_; }
    const std::string& backend() const { return backend_; }

    // Reports how a flow ended: its result, or its failure with the causes
    // and a hint. Returns the exit code (0 done, 3 nothing done, 1 failed).
    int report(const FlowOutcome& outcome, CommandReport& report);

  private:
    Failure failureOf(const FlowOutcome& outcome);

    TerminalOptions options_;
    InstanceLock radioLock_;
    std::string cablePath_;
    std::string backend_;
    // Saves the simulated radio after everything else has stopped.
    std::unique_ptr<SimulatedRadioSaver> simulatedRadioSaver_;
    EventLoop loop_;
    Application app_;
    std::unique_ptr<TerminalFrontEnd> front_;
    std::unique_ptr<MainController> controller_;
};

// An update's plan as the terminal shows it, one line each.
std::vector<std::string> updatePlanLines(const UpdatePreview& preview);

// Options for a command: --json, and whether stdin and stderr are terminals.
TerminalOptions terminalOptions(bool json);

// The exit code of a flow: 0 done, 3 nothing done, 1 failed, 130 stopped by
// a signal (also a flow that a signal ended some other way than done).
int exitCodeOf(const FlowOutcome& outcome);

// What a stop request (a signal during an update) did, for the terminal.
std::string stopReplyText(const StopReply& reply);

}  // namespace vkt::cli
