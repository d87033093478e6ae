// Get Radio Information, the dealer login, the serial-number flow, the cable
// notices and the progress rule.
#include <gtest/gtest.h>

#include "app_test_support.h"
#include "core/messages.h"

namespace vkt::testing {
namespace {

class RadioFlow : public ::testing::Test {
  protected:
    PackageCopy package;
};

TEST_F(RadioFlow, GetRadioInformationFillsTheSixFields) {
    Bench bench(package);
    MainController& c = *bench.controller;
    EXPECT_EQ(c.display().radioType, "N/A");
    EXPECT_EQ(c.display().serialNumber, "N/A");
    EXPECT_EQ(c.display().firmwareVersion, "N/A");
    EXPECT_TRUE(c.controls().cableMissing);
    EXPECT_FALSE(c.controls().getInfo);

    FlowOutcome outcome = c.onGetRadioInfo();

    EXPECT_TRUE(outcome.ok());
    ASSERT_EQ(bench.front.messages.size(), 1u);
    EXPECT_EQ(bench.front.messages[0].text, "Successfully get radio information.");
    EXPECT_EQ(bench.front.messages[0].style, MessageStyle::Info);
    const RadioDisplay& d = c.display();
    EXPECT_EQ(d.radioType, "VK2 Series");
    EXPECT_EQ(d.regionalCode, "0E");
    EXPECT_EQ(d.model, "VK-215");
    EXPECT_EQ(d.serialNumber, "123ABC0001");
    EXPECT_EQ(d.firmwareVersion, "R01.02.03");
    EXPECT_EQ(d.codeplugVersion, "R01.02.03");
    EXPECT_EQ(d.radioTypeKey, "VK2150EMA01");
    EXPECT_TRUE(c.infoShown());
    EXPECT_TRUE(c.controls().timeLabelShown);
    EXPECT_FALSE(bench.app.radioManager().radio().portOpen()) << "the link is closed again";
}

TEST_F(RadioFlow, GetRadioInformationFailures) {
    {
        sim::RadioConfig config = demoRadio();
        config.echo = false;
        Bench bench(package, config);
        EXPECT_FALSE(bench.controller->onGetRadioInfo().ok());
        ASSERT_EQ(bench.front.messages.size(), 1u);
        EXPECT_EQ(bench.front.messages[0].text, "Please toggle the USB cable to ANALOG mode.");
        EXPECT_EQ(bench.front.messages[0].style, MessageStyle::Warning);
        EXPECT_FALSE(bench.controller->infoShown());
    }
    {
        sim::RadioConfig config = demoRadio();
        sim::modelRecordFromText("QX7500A", config.modelRecord);
        Bench bench(package, config);
        bench.controller->onGetRadioInfo();
        ASSERT_EQ(bench.front.messages.size(), 1u);
        EXPECT_EQ(bench.front.messages[0].text, "The update tool does not support this radio.");
        EXPECT_EQ(bench.controller->display().serialNumber, "N/A") << "fields are not refreshed";
    }
}

TEST_F(RadioFlow, SeveralCablesAreWarnedAboutUntilOneIsLeft) {
    Bench bench(package, demoRadio(), 2);
    int warnings = 0;
    bench.front.onMessage = [&](const std::string& text) {
        if (text.find("USB conections") != std::string::npos && ++warnings == 2)
            bench.driver->unplug(1);
    };
    EXPECT_TRUE(bench.controller->onGetRadioInfo().ok());
    EXPECT_EQ(warnings, 2);
    EXPECT_EQ(bench.front.messages[0].text,
              "There are 2 USB conections. Please remove the unused and keep one connection "
              "only.");
    EXPECT_EQ(bench.front.messages[0].style, MessageStyle::Warning);
}

TEST_F(RadioFlow, CableNoticesDriveTheControls) {
    Bench bench(package);
    MainController& c = *bench.controller;
    c.onCableCount(1);
    EXPECT_TRUE(c.cableConnected());
    EXPECT_TRUE(c.controls().getInfo && c.controls().update && c.controls().keepPersonality);
    EXPECT_FALSE(c.controls().cableMissing);
    EXPECT_EQ(c.controls().focus, ControlState::Focus::GetInfo);
    EXPECT_FALSE(c.controls().serialButton) << "only for a dealer";
    c.onCableCount(0);
    EXPECT_FALSE(c.controls().getInfo || c.controls().update);
    EXPECT_TRUE(c.controls().cableMissing);

    // Through the cable monitor's window, as the poll thread delivers it.
    ASSERT_TRUE(postMessage(bench.app.radioManager().window(), WM_CABLE_COUNT, 0, 1));
    bench.loop.runUntil([&] { return c.cableConnected(); }, std::chrono::seconds(5));
    EXPECT_TRUE(c.controls().getInfo);
}

TEST_F(RadioFlow, ProgressIsAPercentageThatOnlyChangesWithinRange) {
    Bench bench(package);
    MainController& c = *bench.controller;
    c.onProgress(150, 0);
    c.onProgress(3, 4);
    c.onProgress(3, 4);
    c.onProgress(42, 0);
    c.onProgress(5, 4);
    EXPECT_EQ(bench.front.progress, (std::vector<int>{75, 42}));
    EXPECT_EQ(c.percent(), 42);
}

// ---------------------------------------------------------------------------
// Dealer login and serial number

TEST_F(RadioFlow, DealerLoginComparesWithTheSetupPassword) {
    Bench bench(package);
    MainController& c = *bench.controller;
    bench.front.passwords = {std::string("1234"), std::string("4815162342")};
    EXPECT_TRUE(c.onDealerLogin());
    EXPECT_EQ(bench.front.passwordAsks, 2);
    EXPECT_TRUE(bench.front.lastWrongPassword);
    EXPECT_TRUE(c.dealerLoggedIn());
    EXPECT_TRUE(c.controls().serialSectionShown);
    EXPECT_EQ(bench.app.config().savedPassword, "4815162342");
    EXPECT_TRUE(c.onDealerLogin()) << "a second login asks nothing";
    EXPECT_EQ(bench.front.passwordAsks, 2);
}

TEST_F(RadioFlow, DealerLoginWithoutPasswordOrCancelled) {
    {
        Bench bench(package);
        EXPECT_FALSE(bench.controller->onDealerLogin()) << "closed dialog";
        EXPECT_EQ(bench.front.passwordAsks, 1);
    }
    PackageCopy copy;
    copy.setSetup(replaced(copy.setupXml, "cd2=\"4815162342\"", "cd2=\"\""));
    Bench bench(copy);
    ASSERT_TRUE(bench.startup.ok);
    EXPECT_FALSE(bench.controller->onDealerLogin());
    EXPECT_EQ(bench.front.passwordAsks, 0) << "no password, no dialog";
}

struct SerialCase {
    const char* entry;
    const char* result;
};

TEST_F(RadioFlow, SerialNumberEntriesAreCheckedBeforeAnythingIsWritten) {
    const SerialCase cases[] = {
        {"123ABC001", "The serial number is incorrect."},
        {"123abc0001", "The serial number is incorrect."},
        {"123ABCD0001", "The serial number is incorrect."},
        {"158THL0001", "The serial number is identical to the radio"},
    };
    sim::RadioConfig config = demoRadio();
    config.serialNumber = "158THL0001";
    Bench bench(package, config);
    bench.controller->onCableCount(1);
    for (const SerialCase& s : cases) {
        SCOPED_TRACE(s.entry);
        bench.front.messages.clear();
        bench.controller->setSerialEntry(s.entry);
        EXPECT_FALSE(bench.controller->onUpdateSerialNumber().ok());
        ASSERT_EQ(bench.front.messages.size(), 1u);
        EXPECT_EQ(bench.front.messages[0].text, s.result);
        EXPECT_EQ(bench.front.messages[0].style, MessageStyle::Error);
        EXPECT_EQ(bench.controller->controls().focus, ControlState::Focus::SerialEntry);
        EXPECT_FALSE(bench.received(0x18)) << "nothing written";
        EXPECT_EQ(bench.radio->serialNumber(), "158THL0001");
    }
    bench.front.messages.clear();
    bench.controller->setSerialEntry("123ABC0001");
    EXPECT_TRUE(bench.controller->onUpdateSerialNumber().ok());
    ASSERT_EQ(bench.front.messages.size(), 1u);
    EXPECT_EQ(bench.front.messages[0].text, "Update serial number successful.");
    EXPECT_EQ(bench.front.messages[0].style, MessageStyle::Info);
    EXPECT_EQ(bench.radio->serialNumber(), "123ABC0001");
    EXPECT_EQ(bench.radio->factorySerialNumber(), "123ABC0001");
    EXPECT_EQ(bench.controller->display().serialNumber, "123ABC0001");
}

TEST_F(RadioFlow, ACableGoneDuringARefusedSerialNumberTakesTheFocusAway) {
    Bench bench(package);
    MainController& c = *bench.controller;
    c.onCableCount(1);
    // The monitor's notice arrives while the refusal is on screen.
    bench.front.onMessage = [&](const std::string&) { c.onCableCount(0); };
    c.setSerialEntry("123ABC001");
    EXPECT_FALSE(c.onUpdateSerialNumber().ok());
    EXPECT_TRUE(c.controls().cableMissing);
    EXPECT_EQ(c.controls().focus, ControlState::Focus::RadioType);
}

TEST_F(RadioFlow, ARefusedSerialNumberWriteIsReported) {
    sim::RadioConfig config = demoRadio();
    config.statusFlags = 0x02;
    Bench bench(package, config);
    bench.controller->setSerialEntry("123ABC0002");
    EXPECT_FALSE(bench.controller->onUpdateSerialNumber().ok());
    ASSERT_EQ(bench.front.messages.size(), 1u);
    EXPECT_EQ(bench.front.messages[0].text, "Failed to update serial number.");
    EXPECT_EQ(bench.radio->serialNumber(), "123ABC0001");
}

TEST_F(RadioFlow, DeviceRemovalClosesTheLinkOnlyWhenNoDeviceIsLeft) {
    // Two devices: the radio's cable and a second one without a radio.
    Bench bench(package, demoRadio(), 2);
    ASSERT_TRUE(bench.startup.ok);
    RadioManager& manager = bench.app.radioManager();
    ASSERT_TRUE(manager.connect());
    ASSERT_TRUE(manager.radio().portOpen());

    // A notice while another device is still attached changes nothing.
    bench.driver->unplug(0);
    bench.controller->onDeviceRemoved();
    EXPECT_TRUE(manager.radio().portOpen());

    // Once no device is left the open link is closed.
    bench.driver->unplug(1);
    bench.controller->onDeviceRemoved();
    EXPECT_FALSE(manager.radio().portOpen());
    bench.controller->onDeviceRemoved();  // nothing open: nothing to do
    EXPECT_FALSE(manager.radio().portOpen());
}

}  // namespace
}  // namespace vkt::testing
