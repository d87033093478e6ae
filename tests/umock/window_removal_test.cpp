// The desktop window on an emulated cable: its udev monitor hears the
// cable's "remove" uevents from the test bed, and the window's disconnect
// path closes the link while an update is running on the worker thread.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <optional>

#include "app_test_support.h"
#include "bed_fixture.h"
#include "gui/device_monitor.h"
#include "gui/main_window.h"
#include "gui/qt_message_queue.h"
#include "gui_test_support.h"
#include "link/cable_backends.h"

namespace vkt::umock {
namespace {

using Clock = std::chrono::steady_clock;
using testing::BoxScript;
using testing::PackageCopy;

double secondsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

class WindowOnEmulatedCable : public BedFixture, public ::testing::WithParamInterface<const char*> {
  protected:
    PackageCopy package;
};

TEST_P(WindowOnEmulatedCable, PullDuringAnUpdateIsReportedWithinASecond) {
    std::string error;
    auto driver = createCableDriver(GetParam(), error);
    ASSERT_TRUE(driver) << error;
    gui::QtMessageQueue queue;
    Application app;
    const StartupResult startup = app.start(
        testing::benchStartupOptions(package, driver, std::chrono::milliseconds(100), &queue));
    ASSERT_TRUE(startup.ok);
    removeErrors(0);
    BoxScript boxes;
    {
        gui::MainWindow window(app, queue);
        window.show();
        auto* monitor = window.findChild<gui::DeviceRemovalMonitor*>();
        ASSERT_NE(monitor, nullptr);
        ASSERT_TRUE(monitor->active()) << "the window's udev monitor does not listen";
        ASSERT_TRUE(testing::waitFor([&] { return window.updateButton()->isEnabled(); }));

        // While the update runs (inside the wait dialog's event loop), pull
        // the cable once flash is being written, and time the notices.
        std::optional<Clock::time_point> pulled, heard, closed;
        QObject::connect(monitor, &gui::DeviceRemovalMonitor::deviceRemoved, [&] {
            if (pulled && !heard)
                heard = Clock::now();
        });
        std::size_t seen = 0;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (!pulled) {
                for (const auto& entry : radio->requestLogSince(seen)) {
                    ++seen;
                    if (entry.opcode == 0x72 && entry.subFunction == 1 && !pulled) {
                        pulled = Clock::now();
                        bed->pull(0);
                    }
                }
            } else if (!closed && !app.radioManager().radio().portOpen()) {
                closed = Clock::now();
            }
        });
        watch.start(2);
        boxes.answers = {ButtonId::Yes};
        QTest::mouseClick(window.updateButton(), Qt::LeftButton);
        watch.stop();

        ASSERT_TRUE(pulled) << "the update ended before the cable could be pulled";
        ASSERT_TRUE(heard) << "no removal notice from udev";
        EXPECT_LT(secondsBetween(*pulled, *heard), 1.0);
        ASSERT_TRUE(closed);
        EXPECT_LT(secondsBetween(*pulled, *closed), 1.0);
        std::printf("[ %s ] removal heard after %.3f s, link closed after %.3f s\n", GetParam(),
                    secondsBetween(*pulled, *heard), secondsBetween(*pulled, *closed));
        ASSERT_EQ(boxes.boxes.size(), 2u);
        EXPECT_EQ(boxes.boxes[1].text.rfind("Update failed.", 0), 0u) << boxes.boxes[1].text;
        EXPECT_EQ(window.controller().busyState(), BusyState::Idle);
        // The next cable poll finds no cable.
        EXPECT_TRUE(testing::waitFor([&] { return !window.updateButton()->isEnabled(); }, 5000));
    }
    EXPECT_EQ(personalityBackups(package.dataDir()).size(), 1u);
    app.shutdown();
}

INSTANTIATE_TEST_SUITE_P(BothBackEnds, WindowOnEmulatedCable, ::testing::Values("tty", "ftdi"));

}  // namespace
}  // namespace vkt::umock
