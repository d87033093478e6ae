// USBSerial used from two threads, as the cable monitor and the radio thread do.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/error_stack.h"
#include "fake_cable.h"
#include "link/usb_serial.h"

namespace vkt {
namespace {

using test::FakeDevice;
using test::FakeDriver;

// The cable monitor searches from its own thread while the radio thread
// opens and closes the cable.
TEST(UsbSerialThreads, SearchRunsBesideOpenAndClose) {
    auto driver = std::make_shared<FakeDriver>();
    driver->devices.push_back(FakeDevice{"QX CPS Cable", {}, false, 0});
    driver->devices.push_back(FakeDevice{"other", {}, false, 0});
    USBSerial cable(driver);
    std::atomic<bool> stop{false};
    std::atomic<int> searches{0};
    std::thread monitor([&] {
        while (!stop.load()) {
            int first = -1;
            if (cable.findCables(first) == 1 && first == 0)
                ++searches;
        }
    });
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(cable.open(0));
        cable.close();
    }
    while (searches.load() < 10)
        std::this_thread::yield();
    stop = true;
    monitor.join();
    removeErrors(0);
}

// A port whose reads wait until the test lets them go, and which notes
// whether it was destroyed while a read was still inside it.
struct HeldRead {
    std::mutex mutex;
    std::condition_variable changed;
    bool inside = false;
    bool release = false;
    bool destroyed = false;
    bool destroyedDuringRead = false;
};

class HeldReadPort : public test::FakePort {
  public:
    explicit HeldReadPort(std::shared_ptr<HeldRead> held)
        : FakePort(std::make_shared<test::FakeLine>()), held_(std::move(held)) {}
    ~HeldReadPort() override {
        std::lock_guard lock(held_->mutex);
        held_->destroyed = true;
        held_->destroyedDuringRead = held_->inside;
    }
    std::uint32_t readAvailable(std::uint8_t*, std::size_t, std::size_t& got) override {
        const auto held = held_;  // outlives this port if it is destroyed meanwhile
        std::unique_lock lock(held->mutex);
        held->inside = true;
        held->changed.notify_all();
        held->changed.wait_for(lock, std::chrono::milliseconds(300), [&] { return held->release; });
        held->inside = false;
        got = 0;
        return kCableIoError;  // the device is gone
    }

  private:
    std::shared_ptr<HeldRead> held_;
};

class HeldReadDriver : public FakeDriver {
  public:
    std::shared_ptr<HeldRead> held = std::make_shared<HeldRead>();
    std::uint32_t open(std::uint32_t, std::unique_ptr<CablePort>& port) override {
        port = std::make_unique<HeldReadPort>(held);
        return kCableOk;
    }
};

// The desktop closes the link from its own thread when the system reports
// the cable gone, while the radio thread may be inside a read: the close
// waits for that read to return instead of destroying the port under it.
TEST(UsbSerialThreads, CloseWaitsForAReadInProgress) {
    auto driver = std::make_shared<HeldReadDriver>();
    driver->devices.push_back(FakeDevice{"QX CPS Cable", {}, false, 0});
    USBSerial cable(driver);
    ASSERT_TRUE(cable.open(0));
    std::size_t got = 99;
    std::thread radio([&] {
        std::uint8_t byte = 0;
        got = cable.read(&byte, 1);
    });
    {
        std::unique_lock lock(driver->held->mutex);
        ASSERT_TRUE(driver->held->changed.wait_for(lock, std::chrono::seconds(5),
                                                   [&] { return driver->held->inside; }));
    }
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard lock(driver->held->mutex);
        driver->held->release = true;
        driver->held->changed.notify_all();
    });
    EXPECT_TRUE(cable.close());
    radio.join();
    release.join();
    EXPECT_TRUE(driver->held->destroyed);
    EXPECT_FALSE(driver->held->destroyedDuringRead);
    EXPECT_EQ(got, 0u);
    // Closed: later calls fail at once without touching a port.
    std::uint8_t byte = 0;
    EXPECT_EQ(cable.read(&byte, 1), 0u);
    EXPECT_FALSE(cable.setBaudRate(kSlowLineRate));
    removeErrors(0);
}

}  // namespace
}  // namespace vkt
