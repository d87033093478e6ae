// Start-up and shutdown of the desktop application: the options (the same
// cable and folder options as the command line), the application layer's
// start-up with its one message on failure, the splash screen and the main
// window.
#pragma once

#include <QStringList>
#include <optional>
#include <string>

#include "app/cable_setup.h"

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

// Runs the tool: start-up, splash, main window until it closes, shutdown.
// Returns the process exit code (0 after the window closed, 1 when start-up
// failed).
int runDesktop(QApplication& application, const GuiOptions& options);

}  // namespace vkt::gui
