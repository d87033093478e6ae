// vkt-update-tool: the desktop application.
#include <QApplication>
#include <iostream>

#include "gui/gui_startup.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("vkt-update-tool"));
    QApplication::setApplicationVersion(QStringLiteral("R01.03"));
    std::string error;
    std::optional<int> exitCode;
    const auto options = vkt::gui::parseGuiOptions(QApplication::arguments(), error, exitCode);
    if (!options) {
        if (exitCode)
            return *exitCode;
        std::cerr << "vkt-update-tool: " << error << "\n";
        return 2;
    }
    return vkt::gui::runDesktop(application, *options);
}
