// The console protocol end to end: `vkt console` against the desktop tool on
// the simulated radio through the real local socket, clients that break the
// protocol, a console that leaves during its update, and the single
// instance with its request to come to the front.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QLineEdit>
#include <QLocalSocket>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "app/console_protocol.h"
#include "app_test_support.h"
#include "gui/console_server.h"
#include "gui/gui_startup.h"
#include "gui/language.h"
#include "gui/main_window.h"
#include "gui/progress_status_bar.h"
#include "gui_test_support.h"
#include "package/package_config.h"

namespace vkt::testing {
namespace {

// A fresh runtime folder for one test; the previous one comes back after it.
class RuntimeDir {
  public:
    RuntimeDir() {
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        previous_ = old ? old : "";
        path_ = (fs::temp_directory_path() / "vkt-console-XXXXXX").string();
        if (::mkdtemp(path_.data()))
            ::setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
    }
    ~RuntimeDir() {
        ::setenv("XDG_RUNTIME_DIR", previous_.c_str(), 1);
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    std::string previous_;
};

// A raw client of the tool's socket.
class RawClient {
  public:
    bool connect() {
        socket.connectToServer(QString::fromStdString(consoleSocketPath(kToolRegion)));
        return socket.waitForConnected(5000);
    }
    void send(const QByteArray& bytes) {
        socket.write(bytes);
        socket.flush();
    }
    void send(const char* name, std::int64_t second) {
        send(QByteArray::fromStdString(encodeConsoleMessage({name, 77, second})));
    }
    // The next whole line from the tool, waiting up to 20 s.
    std::optional<std::string> line() {
        if (!waitFor([&] { return socket.canReadLine(); }))
            return std::nullopt;
        return socket.readLine().toStdString();
    }
    bool dropped() {
        return waitFor([&] { return socket.state() == QLocalSocket::UnconnectedState; });
    }
    QLocalSocket socket;
};

// `vkt console ARGS...` run to its end while the event loop turns.
struct ConsoleRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

ConsoleRun runConsole(const QStringList& args) {
    QProcess process;
    process.start(QStringLiteral(VKT_BINARY), QStringList{QStringLiteral("console")} + args);
    ConsoleRun run;
    if (!process.waitForStarted(10000))
        return run;
    if (!waitFor([&] { return process.state() == QProcess::NotRunning; }, 120000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput().toStdString();
    run.err = process.readAllStandardError().toStdString();
    return run;
}

class Console : public ::testing::Test {
  protected:
    gui::GuiOptions options() const {
        gui::GuiOptions o;
        o.simulate = true;
        o.packageDir = package.packageDir();
        o.dataDir = package.dataDir();
        return o;
    }
    // Starts the tool and opens its window with the cable ready.
    gui::MainWindow& open(gui::DesktopSession& session) {
        EXPECT_FALSE(session.start(options()));
        EXPECT_NE(session.console(), nullptr);
        gui::MainWindow& window = session.openWindow();
        EXPECT_TRUE(waitFor([&] { return window.updateButton()->isEnabled(); }));
        return window;
    }

    RuntimeDir runtime;
    PackageCopy package;
    BoxScript boxes;
};

TEST_F(Console, DrivesAnUpdateInTestMode) {
    gui::DesktopSession session;
    gui::MainWindow& window = open(session);
    const QString title = window.windowTitle();

    boxes.answers = {ButtonId::Yes};
    ConsoleRun enter = runConsole({"enter-test", "--wait", "60"});
    EXPECT_EQ(enter.exitCode, 0) << enter.err;
    EXPECT_EQ(enter.out, "The update tool is in test mode.\n");
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].style, MessageStyle::YesNo);
    EXPECT_TRUE(window.controller().testMode());
    EXPECT_EQ(window.windowTitle(), title + QStringLiteral(" [Test mode]"));

    // In test mode the update asks nothing and reports to the console.
    std::vector<int> percents;
    QObject::connect(window.progressBar(), &gui::ProgressStatusBar::percentChanged,
                     [&](int p) { percents.push_back(p); });
    ConsoleRun start = runConsole({"start", "--wait", "120"});
    EXPECT_EQ(start.exitCode, 0) << start.err;
    EXPECT_EQ(start.out, "The radio was updated.\n");
    EXPECT_EQ(boxes.boxes.size(), 1u);  // neither a question nor a result box
    EXPECT_NE(std::find(percents.begin(), percents.end(), 100), percents.end());
    EXPECT_EQ(window.field(gui::MainWindow::Field::Firmware)->text(), QStringLiteral("R01.02.04"));

    // Up to date now: the second update does nothing and says so.
    ConsoleRun again = runConsole({"start", "--wait", "120"});
    EXPECT_EQ(again.exitCode, 1) << again.err;
    EXPECT_EQ(again.out, "The radio was not updated.\n");

    ConsoleRun leave = runConsole({"exit-test"});
    EXPECT_EQ(leave.exitCode, 0) << leave.err;
    EXPECT_FALSE(window.controller().testMode());
    EXPECT_EQ(window.windowTitle(), title);
    EXPECT_TRUE(waitFor([&] { return session.console()->connectionCount() == 0; }));
}

TEST_F(Console, TitleFollowsTheStartupLanguageInAndOutOfTestMode) {
#ifndef VKT_TEST_LANG_DIR
    GTEST_SKIP() << "no catalog compiler: the tests' own catalog was not built";
#else
    gui::setLanguageFolder(QStringLiteral(VKT_TEST_LANG_DIR));
    package.setSetup(replaced(package.setupXml, R"(<langs def=""/>)", R"(<langs def="fr"/>)"));
    gui::DesktopSession session;
    gui::MainWindow& window = open(session);
    gui::setLanguageFolder({});
    const QString title = QStringLiteral("EMEA VKT Outil de mise à jour");
    EXPECT_EQ(window.windowTitle(), title);

    boxes.answers = {ButtonId::Yes};
    EXPECT_EQ(runConsole({"enter-test", "--wait", "60"}).exitCode, 0);
    EXPECT_EQ(window.windowTitle(), title + QStringLiteral(" [Test mode]"));
    EXPECT_EQ(runConsole({"exit-test"}).exitCode, 0);
    EXPECT_EQ(window.windowTitle(), title);
#endif
}

TEST_F(Console, ClientsReportNoToolAndNoAnswer) {
    // Nothing listens yet.
    ConsoleRun none = runConsole({"exit-test"});
    EXPECT_EQ(none.exitCode, 4);
    EXPECT_NE(none.err.find("no update tool is running"), std::string::npos) << none.err;

    gui::DesktopSession session;
    open(session);
    // Outside test mode the tool asks its own user (No here) and sends no
    // result, so the console's wait runs out.
    ConsoleRun start = runConsole({"start", "--wait", "1"});
    EXPECT_EQ(start.exitCode, 5);
    EXPECT_NE(start.err.find("no answer"), std::string::npos) << start.err;
    // A user who refuses test mode sends no answer either.
    ConsoleRun refused = runConsole({"enter-test", "--wait", "1"});
    EXPECT_EQ(refused.exitCode, 5);
    EXPECT_EQ(runConsole({"bogus"}).exitCode, 2);
}

TEST_F(Console, BrokenClientsAreDroppedAndOthersStillServed) {
    gui::DesktopSession session;
    gui::MainWindow& window = open(session);
    QStringList refusals;
    QObject::connect(session.console(), &gui::ConsoleServer::connectionRefused,
                     [&](const QString& why) { refusals << why; });

    RawClient garbage;
    ASSERT_TRUE(garbage.connect());
    garbage.send(QByteArray("HELLO 1 2\n"));
    EXPECT_TRUE(garbage.dropped());

    RawClient flood;
    ASSERT_TRUE(flood.connect());
    flood.send(QByteArray(100000, 'A'));
    EXPECT_TRUE(flood.dropped());

    RawClient binary;
    ASSERT_TRUE(binary.connect());
    binary.send(QByteArray("WM_TOOL_UPDATE_START \xff\x00 2056\n", 29));
    EXPECT_TRUE(binary.dropped());
    EXPECT_EQ(refusals.size(), 3);
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(window.controller().busyState(), BusyState::Idle);

    // A request with the wrong second parameter is ignored without answer;
    // the right one on the same connection is served.
    RawClient good;
    ASSERT_TRUE(good.connect());
    good.send(kToolEnterTestMode, 8);
    good.send(kToolExitTestMode, 2056);
    std::optional<std::string> first = good.line();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->rfind("WM_TOOL_UPDATE_EXIT_TEST_MODE ", 0), 0u) << *first;
    EXPECT_EQ(first->substr(first->size() - 3), " 8\n");
    EXPECT_TRUE(boxes.boxes.empty());  // the enter request never asked
    EXPECT_FALSE(window.controller().testMode());
}

TEST_F(Console, ConsoleThatLeavesDuringItsUpdateIsReportedMissing) {
    gui::DesktopSession session;
    gui::MainWindow& window = open(session);
    boxes.answers = {ButtonId::Yes};
    RawClient client;
    ASSERT_TRUE(client.connect());
    client.send(kToolEnterTestMode, 2056);
    ASSERT_TRUE(client.line());
    // Leave as soon as the update runs.
    QObject::connect(window.progressBar(), &gui::ProgressStatusBar::percentChanged,
                     [&](int) { client.socket.abort(); });
    client.send(kToolUpdateStart, 2056);
    ASSERT_TRUE(waitFor([&] { return !boxes.boxes.empty() && boxes.boxes.size() == 2; }, 120000));
    EXPECT_EQ(boxes.boxes[1].text, "Failed to connect to console.");
    EXPECT_EQ(boxes.boxes[1].style, MessageStyle::Info);
    EXPECT_TRUE(waitFor([&] { return window.controller().busyState() == BusyState::Idle; }));
}

TEST_F(Console, SecondStartBringsTheFirstToTheFront) {
    gui::DesktopSession first;
    gui::MainWindow& window = open(first);
    QStringList handled;
    QObject::connect(first.console(), &gui::ConsoleServer::requestHandled,
                     [&](const QString& name) { handled << name; });
    window.showMinimized();
    ASSERT_TRUE(window.isMinimized());

    // The second start ends silently with 0 and the first comes up.
    EXPECT_EQ(gui::DesktopSession().start(options()), 0);
    EXPECT_TRUE(waitFor([&] { return handled.contains(QStringLiteral("VKT_TOOL_RAISE")); }));
    EXPECT_FALSE(window.isMinimized());
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_TRUE(fs::exists(instanceLockPath(kToolRegion)));
}

TEST_F(Console, LockIsFreeOnceTheToolEnds) {
    {
        gui::DesktopSession first;
        open(first);
    }
    gui::DesktopSession next;
    EXPECT_FALSE(next.start(options()));
    EXPECT_NE(next.console(), nullptr);

    // A runtime folder that cannot be made ends the start without a box.
    gui::DesktopSession third;
    ::setenv("XDG_RUNTIME_DIR", "/dev/null/vkt", 1);
    EXPECT_EQ(third.start(options()), 1);
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_NE(package.logText().find("Error:failed to create mutex."), std::string::npos);
}

}  // namespace
}  // namespace vkt::testing
