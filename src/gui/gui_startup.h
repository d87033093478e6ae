// Start-up and shutdown of the desktop application: the options (the same
// cable and folder options as the command line), the application layer's
// start-up with its one message on failure, the splash screen and the main
// window.
#pragma once

#include <QStringList>
#include <memory>
#include <optional>
#include <string>

#include "app/application.h"
#include "app/cable_setup.h"
#include "app/instance_lock.h"
#include "gui/qt_message_queue.h"

class QApplication;

namespace vkt::gui {

struct GuiOptions : CableOptions {
    int splashMs = 1000;  // 0: no splash screen
};

// Parses the program's arguments (VKT_CABLE_BACKEND, VKT_DATA_DIR and
// VKT_TRACE supply defaults). Nothing with `error` set when they are wrong;
// --help and --version print and leave `exitCode` set.
std::optional<GuiOptions> parseGuiOptions(const QStringList& arguments, std::string& error,
                                          std::optional<int>& exitCode);

// True when an argument is one of the help or version options (-h, --help,
// --help-all, -v, --version), which can be answered without a display.
bool mayAskForHelpOrVersion(int argc, const char* const* argv);

class MainWindow;
class ConsoleServer;

// What claiming the single instance found.
enum class InstanceClaim {
    Claimed,       // this is the one tool of the region; the console socket listens
    OtherRunning,  // another tool holds the lock; it was asked to come to the front
    Failed,        // the lock file could not be made ("Error:failed to create mutex.")
};

// Asks the tool listening at `socketPath` to come to the front. False when
// nothing listens there (the other tool is still starting up).
bool askToComeToFront(const std::string& socketPath);

// The desktop application's objects, torn down in the right order: the
// window, then the application (its poll thread is joined), then the
// simulated radio is saved, and the queue goes last.
class DesktopSession {
  public:
    DesktopSession();
    ~DesktopSession();
    DesktopSession(const DesktopSession&) = delete;
    DesktopSession& operator=(const DesktopSession&) = delete;

    // Sets up the cable, starts the application and claims the single
    // instance. On failure the start-up message (if any) has been shown and
    // the exit code is returned: 0 when another tool runs (it was asked to
    // come to the front), 1 when start-up failed.
    std::optional<int> start(const GuiOptions& options);
    // The lock file and the console socket of the region, in the runtime
    // folder (part of start()).
    InstanceClaim claimSingleInstance();
    // Creates and shows the main window (after a successful start).
    MainWindow& openWindow();

    Application& application() { return app_; }
    QtMessageQueue& queue() { return queue_; }
    // Null until the single instance was claimed (or when the socket could
    // not listen: the tool then runs without the console protocol).
    ConsoleServer* console() { return console_.get(); }

  private:
    QtMessageQueue queue_;
    InstanceLock lock_;
    std::unique_ptr<ConsoleServer> console_;
    std::unique_ptr<SimulatedRadioSaver> saveRadio_;
    Application app_;
    std::unique_ptr<MainWindow> window_;
};

// Runs the tool: start-up, splash, main window until it closes, shutdown.
// Returns the process exit code (0 after the window closed, 1 when start-up
// failed).
int runDesktop(QApplication& application, const GuiOptions& options);

}  // namespace vkt::gui
