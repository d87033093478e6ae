// vkt-update-tool: the desktop application.
#include <QApplication>
#include <QIcon>
#include <iostream>

#include "core/version.h"
#include "gui/gui_startup.h"

namespace {

void nameApplication() {
    QCoreApplication::setApplicationName(QStringLiteral("vkt-update-tool"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(vkt::toolVersion()));
}

}  // namespace

int main(int argc, char** argv) {
    std::string error;
    std::optional<int> exitCode;
    // --help and --version are answered before the window system is opened,
    // so they work without a display. When the arguments turn out to mean
    // something else (an option's value, or an option of the window system
    // such as -platform), the normal start below parses them again.
    if (vkt::gui::mayAskForHelpOrVersion(argc, argv)) {
        QCoreApplication text(argc, argv);
        nameApplication();
        vkt::gui::parseGuiOptions(QCoreApplication::arguments(), error, exitCode);
        if (exitCode)
            return *exitCode;
        error.clear();
    }
    QApplication application(argc, argv);
    nameApplication();
    // Lets the desktop match the window with the installed desktop entry
    // (its icon and name).
    QGuiApplication::setDesktopFileName(QStringLiteral(VKT_DESKTOP_ID));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral(VKT_DESKTOP_ID)));
    const auto options = vkt::gui::parseGuiOptions(QApplication::arguments(), error, exitCode);
    if (!options) {
        if (exitCode)
            return *exitCode;
        std::cerr << "vkt-update-tool: " << error << "\n";
        return 2;
    }
    return vkt::gui::runDesktop(application, *options);
}
