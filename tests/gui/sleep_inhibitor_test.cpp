// The sleep inhibitor against a stand-in logind on a private message bus:
// the lock is asked for with the right arguments, held exactly while a radio
// operation runs, and given back at its end; without a bus the operation
// runs all the same.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>
#include <QThread>
#include <mutex>

#include "gui/sleep_inhibitor.h"
#include "gui_bench.h"

namespace vkt::testing {
namespace {

// Answers Inhibit with the read end of a pipe; the test watches the write
// end to see when every copy of the read end is closed.
class FakeLogind : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
  public:
    ~FakeLogind() override {
        if (writeEnd >= 0)
            ::close(writeEnd);
    }
    std::mutex mutex;
    QStringList arguments;
    int writeEnd = -1;

  public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode) {
        std::lock_guard lock(mutex);
        arguments = {what, who, why, mode};
        int fds[2];
        if (::pipe(fds) != 0)
            return {};
        if (writeEnd >= 0)
            ::close(writeEnd);
        writeEnd = fds[1];
        QDBusUnixFileDescriptor handed(fds[0]);  // a copy goes into the reply
        ::close(fds[0]);
        return handed;
    }
};

// True when nobody holds the read end of the pipe any more.
bool readEndClosed(int writeEnd) {
    pollfd entry{writeEnd, POLLOUT, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLERR) != 0;
}

class SleepInhibitor : public ::testing::Test {
  protected:
    PackageCopy package;
};

TEST_F(SleepInhibitor, HeldWhileARadioOperationRuns) {
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty())
        GTEST_SKIP() << "dbus-daemon is not installed";
    QProcess bus;
    bus.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"),
                       QStringLiteral("--print-address=1")});
    ASSERT_TRUE(bus.waitForStarted(5000));
    ASSERT_TRUE(waitFor([&] { return bus.canReadLine(); }, 10000));
    const QString address = QString::fromUtf8(bus.readLine()).trimmed();
    const QByteArray saved = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8());

    FakeLogind logind;
    QThread serviceThread;
    logind.moveToThread(&serviceThread);
    serviceThread.start();
    struct Cleanup {
        QThread& thread;
        QProcess& bus;
        QByteArray saved;
        ~Cleanup() {
            QDBusConnection::disconnectFromBus(QStringLiteral("logind"));
            thread.quit();
            thread.wait();
            bus.kill();
            bus.waitForFinished();
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", saved);
        }
    } cleanup{serviceThread, bus, saved};
    {
        QDBusConnection service = QDBusConnection::connectToBus(address, QStringLiteral("logind"));
        ASSERT_TRUE(service.isConnected());
        ASSERT_TRUE(service.registerService(QStringLiteral("org.freedesktop.login1")));
        ASSERT_TRUE(service.registerObject(QStringLiteral("/org/freedesktop/login1"), &logind,
                                           QDBusConnection::ExportAllSlots));

        GuiBench bench(package, 1);
        Window& w = *bench.window;
        ASSERT_TRUE(waitFor([&] { return w.getInfoButton()->isEnabled(); }));
        EXPECT_FALSE(w.sleepInhibited());
        bool heldDuring = false;
        bench.boxes.onBox = [&](const ShownBox&) { heldDuring = w.sleepInhibited(); };
        QTest::mouseClick(w.getInfoButton(), Qt::LeftButton);
        EXPECT_TRUE(heldDuring);
        EXPECT_FALSE(w.sleepInhibited());
        {
            std::lock_guard lock(logind.mutex);
            ASSERT_EQ(logind.arguments.size(), 4);
            EXPECT_EQ(logind.arguments[0], QStringLiteral("sleep:idle"));
            EXPECT_EQ(logind.arguments[3], QStringLiteral("block"));
            ASSERT_GE(logind.writeEnd, 0);
            EXPECT_TRUE(waitFor([&] { return readEndClosed(logind.writeEnd); }, 5000));
        }
    }
}

TEST_F(SleepInhibitor, NoBusIsNoObstacle) {
    const QByteArray saved = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vkt-bus");
    gui::SleepInhibitor inhibitor;
    EXPECT_FALSE(inhibitor.acquire());
    EXPECT_FALSE(inhibitor.held());
    inhibitor.release();

    GuiBench bench(package, 1);
    Window& w = *bench.window;
    ASSERT_TRUE(clickGetRadioInformation(w));
    ASSERT_EQ(bench.boxes.boxes.size(), 1u);
    EXPECT_EQ(bench.boxes.boxes[0].text, "Successfully get radio information.");
    EXPECT_NE(package.logText().find("cannot keep the system awake"), std::string::npos);
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", saved);
}

}  // namespace
}  // namespace vkt::testing

#include "sleep_inhibitor_test.moc"
