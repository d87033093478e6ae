// vkt_gui_screenshots OUTDIR: renders the main window in its typical states
// and every dialog to PNG files, for looking at the desktop program without
// running it by hand. scripts/screenshots runs it under a virtual X server.
// Each state is reached the way a user reaches it, against the simulated
// radio on a copy of the build tree's demo package.
#include <stdlib.h>

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>

#include "app/application.h"
#include "app/cable_setup.h"
#include "app/strings.h"
#include "core/error_stack.h"
#include "gui/about_dialog.h"
#include "gui/language.h"
#include "gui/login_dialog.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "gui/progress_status_bar.h"
#include "gui/qt_message_queue.h"
#include "gui/qt_text.h"
#include "gui/splash_screen.h"
#include "gui/wait_dialog.h"
#include "gui_test_support.h"
#include "sim/virtual_cable.h"

namespace fs = std::filesystem;

namespace vkt::gui {
namespace {

QString outDir;
int saved = 0;

void save(QWidget& widget, const QString& name) {
    const QString path = outDir + QLatin1Char('/') + name + QStringLiteral(".png");
    if (widget.grab().save(path)) {
        ++saved;
        std::cout << path.toStdString() << "\n";
    } else {
        std::cerr << "cannot write " << path.toStdString() << "\n";
    }
}

// Shows a top-level widget, lets it lay out and paint, then saves it.
void showAndSave(QWidget& widget, const QString& name) {
    widget.show();
    (void)QTest::qWaitForWindowExposed(&widget, 5000);
    QTest::qWait(100);
    save(widget, name);
}

// The tool over a copy of the demo package: on the persisted simulated
// radio, or with no cable at all.
class Tool {
  public:
    Tool(const fs::path& root, bool cable) {
        CableOptions cableOptions;
        cableOptions.simulate = true;
        cableOptions.packageDir = (root / "data").string();
        cableOptions.dataDir = (root / "appdata").string();
        std::string error;
        std::shared_ptr<CableDriver> driver =
            cable ? makeCableDriver(cableOptions, error)
                  : std::make_shared<sim::VirtualCableDriver>(std::vector<sim::VirtualDevice>{});
        StartupOptions options;
        options.packageDir = cableOptions.packageDir;
        options.dataDir = cableOptions.dataDir;
        options.driver = driver;
        options.pollPeriod = std::chrono::milliseconds(50);
        options.queue = &queue_;
        ok = driver && app_.start(options).ok;
        removeErrors(0);
        if (!ok) {
            std::cerr << "the tool did not start: " << error << "\n";
            return;
        }
        app_.setTitle(Application::composeTitle());
        window = std::make_unique<MainWindow>(app_, queue_);
        window->show();
        (void)QTest::qWaitForWindowExposed(window.get(), 5000);
    }
    ~Tool() {
        window.reset();
        app_.shutdown();
    }
    // Get Radio Information, once the cable is seen; the window after it.
    MainWindow& readRadio() {
        testing::clickGetRadioInformation(*window);
        return *window;
    }
    bool ok = false;
    std::unique_ptr<MainWindow> window;

  private:
    QtMessageQueue queue_;
    Application app_;
};

int run(const fs::path& root) {
    // Every message box is saved once per style and answered with its first
    // button (Yes for questions).
    std::map<int, bool> boxSeen;
    MessageBox::setScript([&](MessageBox& box) {
        const int style = static_cast<int>(box.messageStyle());
        if (!boxSeen[style]) {
            boxSeen[style] = true;
            showAndSave(box, QStringLiteral("message-box-%1").arg(style));
        }
        return box.firstId();
    });

    {
        Tool tool(root, false);
        if (!tool.ok)
            return 1;
        QTest::qWait(300);
        save(*tool.window, QStringLiteral("main-no-cable"));
    }
    {
        Tool tool(root, true);
        if (!tool.ok)
            return 1;
        MainWindow& w = tool.readRadio();
        save(w, QStringLiteral("main-radio-read"));

        // The update, caught half way with its wait dialog.
        bool caught = false;
        QObject::connect(w.progressBar(), &ProgressStatusBar::percentChanged, [&](int percent) {
            if (caught || percent < 40)
                return;
            caught = true;
            save(w, QStringLiteral("main-update-in-progress"));
            if (auto* wait = qobject_cast<WaitDialog*>(QApplication::activeModalWidget()))
                save(*wait, QStringLiteral("wait-dialog"));
        });
        QTest::mouseClick(w.updateButton(), Qt::LeftButton);

        // The dealer logs in: the password dialog, once with a wrong entry.
        int logins = 0;
        QTimer script;
        QObject::connect(&script, &QTimer::timeout, [&] {
            auto* dialog = qobject_cast<LoginDialog*>(QApplication::activeModalWidget());
            if (!dialog || dialog->property("shot").toBool())
                return;
            dialog->setProperty("shot", true);
            QTest::qWait(100);
            if (logins++ == 0) {
                dialog->setPassword(QStringLiteral("1234"));
                save(*dialog, QStringLiteral("login"));
                dialog->accept();
            } else {
                save(*dialog, QStringLiteral("login-wrong-password"));
                dialog->setPassword(QStringLiteral("4815162342"));  // the demo setup's
                dialog->accept();
            }
        });
        script.start(20);
        if (QAction* login = w.dealerLoginAction())
            login->trigger();
        script.stop();
        w.serialEntry()->setText(QStringLiteral("123ABC0001"));
        QTest::qWait(200);
        save(w, QStringLiteral("main-dealer"));

        AboutDialog about(&w);
        showAndSave(about, QStringLiteral("about"));
    }
    {
        SplashScreen splash(0);
        showAndSave(splash, QStringLiteral("splash"));
    }
    {
        useLanguage("de");
        Tool tool(root, true);
        if (!tool.ok)
            return 1;
        save(tool.readRadio(), QStringLiteral("main-german"));
        useLanguage("");
    }
    MessageBox::setScript(nullptr);
    std::cout << saved << " pictures written to " << outDir.toStdString() << "\n";
    return 0;
}

}  // namespace
}  // namespace vkt::gui

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 2) {
        std::cerr << "usage: vkt_gui_screenshots OUTDIR\n";
        return 2;
    }
    vkt::gui::outDir = QDir(QString::fromLocal8Bit(argv[1])).absolutePath();
    QDir().mkpath(vkt::gui::outDir);
    // A private copy of the demo package and data folder (the radio starts
    // one version behind), and a runtime folder of its own.
    std::string root = (fs::temp_directory_path() / "vkt-shots-XXXXXX").string();
    if (!::mkdtemp(root.data()))
        return 1;
    ::setenv("XDG_RUNTIME_DIR", root.c_str(), 1);
    fs::copy(VKT_DEMO_PACKAGE_DIR, fs::path(root) / "data", fs::copy_options::recursive);
    fs::copy(VKT_DEMO_DATA_DIR, fs::path(root) / "appdata", fs::copy_options::recursive);
    const int result = vkt::gui::run(root);
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return result;
}
