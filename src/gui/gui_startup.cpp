#include "gui/gui_startup.h"

#include <QApplication>
#include <QCommandLineParser>
#include <cstdlib>
#include <iostream>

#include "app/application.h"
#include "app/strings.h"
#include "gui/about_dialog.h"
#include "gui/main_window.h"
#include "gui/msg_box.h"
#include "gui/qt_message_queue.h"
#include "gui/qt_text.h"

namespace vkt::gui {

std::optional<GuiOptions> parseGuiOptions(const QStringList& arguments, std::string& error,
                                          std::optional<int>& exitCode) {
    GuiOptions options;
    if (const char* env = std::getenv("VKT_CABLE_BACKEND"))
        options.backend = env;
    if (const char* env = std::getenv("VKT_DATA_DIR"))
        options.dataDir = env;
    if (const char* env = std::getenv("VKT_TRACE"))
        options.trace = env;

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Updates radios on a USB programming cable."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption package(
        QStringLiteral("package"),
        QStringLiteral("Folder of the update package (holds config.xml)."), QStringLiteral("DIR"));
    const QCommandLineOption dataDir(
        QStringLiteral("data-dir"),
        QStringLiteral("Application data folder (data/setup.dat, log/err.log); env VKT_DATA_DIR."),
        QStringLiteral("DIR"));
    const QCommandLineOption backend(
        QStringLiteral("backend"),
        QStringLiteral("Cable back-end: tty (default), ftdi or sim; env VKT_CABLE_BACKEND."),
        QStringLiteral("NAME"));
    const QCommandLineOption trace(
        QStringLiteral("trace"),
        QStringLiteral("Write every byte on the cable to FILE as hex lines; env VKT_TRACE."),
        QStringLiteral("FILE"));
    const QCommandLineOption simulate(
        QStringLiteral("simulate"),
        QStringLiteral("Use the built-in simulated radio on a virtual cable."));
    const QCommandLineOption noSplash(QStringLiteral("no-splash"),
                                      QStringLiteral("Start without the splash screen."));
    parser.addOptions({package, dataDir, backend, trace, simulate, noSplash});
    if (!parser.parse(arguments)) {
        error = parser.errorText().toStdString();
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        std::cout << parser.helpText().toStdString();
        exitCode = 0;
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::cout << kToolVersion << "\n";
        exitCode = 0;
        return std::nullopt;
    }
    if (!parser.positionalArguments().isEmpty()) {
        error = "unexpected argument " + parser.positionalArguments().front().toStdString();
        return std::nullopt;
    }
    if (parser.isSet(package))
        options.packageDir = parser.value(package).toStdString();
    if (parser.isSet(dataDir))
        options.dataDir = parser.value(dataDir).toStdString();
    if (parser.isSet(backend))
        options.backend = parser.value(backend).toStdString();
    if (parser.isSet(trace))
        options.trace = parser.value(trace).toStdString();
    options.simulate = parser.isSet(simulate);
    if (parser.isSet(noSplash))
        options.splashMs = 0;
    return options;
}

int runDesktop(QApplication& application, const GuiOptions& options) {
    // Declared in the order they are needed; destroyed the other way round:
    // the window, then the application (its poll thread is joined), then the
    // simulated radio is saved, and the queue goes last.
    QtMessageQueue queue;
    std::string error;
    std::shared_ptr<CableDriver> driver = makeCableDriver(options, error);
    if (!driver) {
        std::cerr << "vkt-update-tool: " << error << "\n";
        return 1;
    }
    SimulatedRadioSaver saveRadio;
    Application app;
    StartupOptions startup;
    startup.packageDir = effectivePackageDir(options);
    startup.dataDir = effectiveDataDir(options);
    startup.driver = std::move(driver);
    startup.queue = &queue;
    const StartupResult result = app.start(startup);
    if (!result.ok) {
        if (result.messageId != 0) {
            CMsgBox box(loadQString(result.messageId), result.style, toQString(app.title()));
            box.run();
        }
        if (!result.logLine.empty())
            std::cerr << "vkt-update-tool: " << result.logLine << "\n";
        return 1;
    }
    QApplication::setApplicationDisplayName(toQString(app.title()));
    if (options.splashMs > 0) {
        CSplashScreen splash(options.splashMs);
        splash.exec();
    }
    COrvixFlashToolDlg window(app, queue);
    window.show();
    application.exec();
    return 0;
}

}  // namespace vkt::gui
