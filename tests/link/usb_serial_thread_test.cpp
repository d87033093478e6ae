// USBSerial used from two threads, as the cable monitor and the radio thread do.
#include <gtest/gtest.h>

#include <atomic>
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

}  // namespace
}  // namespace vkt
