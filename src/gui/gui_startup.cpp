#include "gui/gui_startup.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLocalSocket>
#include <iostream>

#include "app/application.h"
#include "app/console_protocol.h"
#include "app/strings.h"
#include "core/error_log.h"
#include "core/version.h"
#include "gui/console_server.h"
#include "gui/language.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "gui/qt_message_queue.h"
#include "gui/qt_text.h"
#include "gui/splash_screen.h"
#include "gui/termination_watch.h"
#include "package/package_config.h"

namespace vkt::gui {

std::optional<GuiOptions> parseGuiOptions(const QStringList& arguments, std::string& error,
                                          std::optional<int>& exitCode) {
    GuiOptions options;
    readCableEnvironment(options);

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
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        std::cout << parser.helpText().toStdString();
        exitCode = 0;
        return std::nullopt;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::cout << versionLine("vkt-update-tool") << "\n";
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

bool mayAskForHelpOrVersion(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--")
            break;
        if (arg == "-h" || arg == "--help" || arg == "--help-all" || arg == "-v" ||
            arg == "--version")
            return true;
    }
    return false;
}

DesktopSession::DesktopSession() = default;

DesktopSession::~DesktopSession() {
    window_.reset();
    console_.reset();
    app_.shutdown();
    useLanguage("");
}

std::optional<int> DesktopSession::start(const GuiOptions& options) {
    std::string error;
    std::shared_ptr<CableDriver> driver = makeCableDriver(options, error);
    if (!driver) {
        std::cerr << "vkt-update-tool: " << error << "\n";
        return cableBackendKnown(options) ? 1 : 2;
    }
    StartupOptions startup;
    setStartupFolders(options, startup);
    startup.driver = std::move(driver);
    startup.queue = &queue_;
    const StartupResult result = app_.start(startup);
    if (result.ok) {
        selectStartupLanguage(app_.config().defaultLanguage);
        // The title was composed before the language was known; it follows
        // the language in use from here on, in every window and message box.
        app_.setTitle(Application::composeTitle());
        switch (claimSingleInstance()) {
            case InstanceClaim::Claimed:
                // Only the one running tool writes the simulated radio back;
                // a second start must not overwrite it with what it loaded.
                saveRadio_ = std::make_unique<SimulatedRadioSaver>();
                return std::nullopt;
            case InstanceClaim::OtherRunning:
                return 0;
            case InstanceClaim::Failed:
                return 1;
        }
    }
    if (result.messageId != 0) {
        MessageBox box(loadQString(result.messageId), result.style, toQString(app_.title()));
        box.run();
    }
    if (!result.logLine.empty())
        std::cerr << "vkt-update-tool: " << result.logLine << "\n";
    return 1;
}

bool askToComeToFront(const std::string& socketPath) {
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(socketPath));
    if (!socket.waitForConnected(2000))
        return false;
    const std::string line = encodeConsoleMessage({kToolRaise, 0, 0});
    socket.write(line.data(), static_cast<qint64>(line.size()));
    const bool sent = socket.waitForBytesWritten(2000);
    socket.disconnectFromServer();
    return sent;
}

InstanceClaim DesktopSession::claimSingleInstance() {
    ErrorLog& log = ErrorLog::instance();
    std::string error;
    if (!prepareToolRuntimeDir(error)) {
        log.writeLog("Error:failed to create mutex.");
        log.writeLog("%s", error);
        return InstanceClaim::Failed;
    }
    switch (lock_.acquire(instanceLockPath(kToolRegion), error)) {
        case InstanceLock::Result::Failed:
            log.writeLog("Error:failed to create mutex.");
            log.writeLog("%s", error);
            return InstanceClaim::Failed;
        case InstanceLock::Result::HeldElsewhere:
            // A tool still starting up has no socket yet: nothing comes to
            // the front and this start ends all the same.
            askToComeToFront(consoleSocketPath(kToolRegion));
            return InstanceClaim::OtherRunning;
        case InstanceLock::Result::Acquired:
            break;
    }
    console_ = std::make_unique<ConsoleServer>();
    if (!console_->listen(consoleSocketPath(kToolRegion), error)) {
        log.writeLog("Error:console socket unavailable: %s", error);
        console_.reset();
    }
    return InstanceClaim::Claimed;
}

MainWindow& DesktopSession::openWindow() {
    window_ = std::make_unique<MainWindow>(app_, queue_, console_.get());
    window_->show();
    return *window_;
}

int runDesktop(QApplication& application, const GuiOptions& options) {
    DesktopSession session;
    if (std::optional<int> failed = session.start(options))
        return *failed;
    // No application display name is set: Qt would append it to every
    // window title ("Login — EMEA VKT Update Tool"), and each window's title
    // is exactly its own.
    if (options.splashMs > 0) {
        SplashScreen splash(options.splashMs);
        splash.exec();
    }
    MainWindow& window = session.openWindow();
    TerminationWatch watch(
        [&window] { window.requestQuit(); },
        [&window] { return window.controller().busyState() != BusyState::Idle; });
    application.exec();
    return 0;
}

}  // namespace vkt::gui
