// Choosing one programming cable: the choice over a device list, the ways
// --port names a device, and the driver that shows only the chosen one.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "fake_cable.h"
#include "link/cable_choice.h"
#include "link/usb_serial.h"

namespace vkt {
namespace {

using Access = CableDeviceInfo::Access;
using Outcome = ChosenCable::Outcome;

CableDevice device(std::uint32_t index, std::string path, std::string description,
                   Access access = Access::Free, std::string serial = {}) {
    CableDevice d;
    d.deviceIndex = index;
    d.info.path = std::move(path);
    d.info.description = std::move(description);
    d.info.serialNumber = std::move(serial);
    d.info.access = access;
    d.programmingCable = isProgrammingCable(d.info.description);
    return d;
}

CableChoice byPort(std::string port) {
    CableChoice c;
    c.port = std::move(port);
    return c;
}

CableChoice byIndex(int index) {
    CableChoice c;
    c.cable = index;
    return c;
}

TEST(CableChoice, ChoosesByPathSerialOrPositionAndSaysWhyNot) {
    const std::vector<CableDevice> devices = {
        device(0, "/dev/ttyUSB0", "FT232R USB UART"),
        device(1, "/dev/ttyUSB1", "QX CPS Cable", Access::Free, "A1"),
        device(2, "/dev/ttyUSB2", "qx cps cable", Access::HeldElsewhere, "A2"),
        device(3, "/dev/pts/5", "QX CPS Cable", Access::Denied),
    };
    struct Case {
        CableChoice choice;
        Outcome outcome;
        const char* path;  // of the device the outcome is about ("" for none)
    };
    const Case cases[] = {
        {{}, Outcome::Several, ""},  // two cables nobody else holds
        {byPort("/dev/ttyUSB1"), Outcome::Chosen, "/dev/ttyUSB1"},
        {byPort("A1"), Outcome::Chosen, "/dev/ttyUSB1"},
        {byPort("A2"), Outcome::HeldElsewhere, "/dev/ttyUSB2"},
        {byPort("/dev/pts/5"), Outcome::Denied, "/dev/pts/5"},
        {byPort("/dev/ttyUSB0"), Outcome::NotACable, "/dev/ttyUSB0"},
        {byPort("/dev/ttyUSB9"), Outcome::PortNotFound, ""},
        {byIndex(0), Outcome::Chosen, "/dev/ttyUSB1"},  // positions count cables only
        {byIndex(1), Outcome::HeldElsewhere, "/dev/ttyUSB2"},
        {byIndex(3), Outcome::NoSuchCable, ""},
    };
    for (const Case& c : cases) {
        const ChosenCable chosen = chooseCable(devices, c.choice);
        EXPECT_EQ(chosen.outcome, c.outcome) << c.path;
        EXPECT_EQ(chosen.device ? chosen.device->info.path : std::string(), c.path);
    }
}

TEST(CableChoice, WithoutAChoiceTheOneFreeCableIsTaken) {
    const CableDevice free = device(1, "/dev/ttyUSB1", "QX CPS Cable");
    const CableDevice held = device(0, "/dev/ttyUSB0", "QX CPS Cable", Access::HeldElsewhere);
    const CableDevice other = device(2, "/dev/ttyUSB2", "Modem");

    ChosenCable chosen = chooseCable({held, free, other}, {});
    EXPECT_EQ(chosen.outcome, Outcome::Chosen);
    EXPECT_EQ(chosen.device->info.path, "/dev/ttyUSB1");
    EXPECT_EQ(chosen.freeCables, 1u);

    chosen = chooseCable({held, other}, {});
    EXPECT_EQ(chosen.outcome, Outcome::HeldElsewhere);
    EXPECT_EQ(chosen.device->info.path, "/dev/ttyUSB0");

    EXPECT_EQ(chooseCable({other}, {}).outcome, Outcome::NoCable);
    EXPECT_EQ(chooseCable({}, {}).outcome, Outcome::NoCable);
}

TEST(CableChoice, PortNamesAUsbDeviceByBusAndNumberAndAFileThroughLinks) {
    CableDeviceInfo usb;
    usb.path = "/dev/bus/usb/001/004";
    for (const char* port : {"/dev/bus/usb/001/004", "001/004", "1/4", "1:4"})
        EXPECT_TRUE(cablePortMatches(usb, port)) << port;
    for (const char* port : {"1/5", "2/4", "1/", "/4", "1/4/5", "", "x"})
        EXPECT_FALSE(cablePortMatches(usb, port)) << port;

    const auto dir =
        std::filesystem::temp_directory_path() / ("vkt-choice-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "ttyX") << "";
    std::filesystem::create_symlink(dir / "ttyX", dir / "by-id");
    CableDeviceInfo tty;
    tty.path = (dir / "ttyX").string();
    EXPECT_TRUE(cablePortMatches(tty, (dir / "by-id").string()));
    EXPECT_FALSE(cablePortMatches(tty, (dir / "other").string()));
    std::filesystem::remove_all(dir);
}

TEST(ChosenCableDriver, ShowsOnlyTheChosenDeviceWhileItIsThere) {
    auto inner = std::make_shared<test::FakeDriver>();
    for (const char* description : {"QX CPS Cable", "QX CPS Cable", "Modem"})
        inner->devices.push_back({description, {}, false, 0});
    USBSerial cable(makeChosenCableDriver(inner, "fake:1"));
    int first = -1;
    EXPECT_EQ(cable.findCables(first), 1);
    EXPECT_EQ(first, 0);
    ASSERT_TRUE(cable.open(first));
    EXPECT_EQ(inner->lastOpened, 1);
    cable.close();

    inner->devices.resize(1);  // the chosen cable is unplugged
    first = -1;
    EXPECT_EQ(cable.findCables(first), 0);
    EXPECT_FALSE(cable.open(0));
}

}  // namespace
}  // namespace vkt
