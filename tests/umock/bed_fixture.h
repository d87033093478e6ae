// The fixture of the emulated-cable tests: a test bed with one programming
// cable whose far end is the demo package's radio (the one `vkt --simulate`
// starts with), paced at a multiple of its line rate. Skips the test, with
// the reason, where the bed cannot be used.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/cable_setup.h"
#include "cable_bed.h"
#include "sim/sim_radio.h"
#include "tests/integration/private_runtime.h"

namespace vkt::umock {

// The personality backups (*.pvk) below the data folder's backup folder.
inline std::vector<std::filesystem::path> personalityBackups(const std::string& dataDir) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(fs::path(dataDir) / "backup", ec)) {
        if (entry.is_regular_file() && entry.path().extension() == ".pvk")
            files.push_back(entry.path());
    }
    return files;
}

class BedFixture : public ::testing::Test {
  protected:
    // Fast enough for short tests, slow enough that written bytes take time
    // on the line.
    static constexpr double kPace = 20;

    void SetUp() override {
        std::string why;
        if (!CableBed::usable(why))
            GTEST_SKIP() << "emulated-cable test skipped: " << why;
        // The `vkt` runs of this test take the radio lock in a folder of
        // their own, so that tests running at the same time do not refuse
        // each other.
        ::setenv("XDG_RUNTIME_DIR", runtimeDir.path().c_str(), 1);
        bed = std::make_unique<CableBed>();
        radio = makeDemoRadio();
        setPace(kPace);
        bed->plug({"QX CPS Cable", "QX7A01B2", radio});
    }

    void setPace(double pace) {
        sim::Timing timing = radio->timing();
        timing.paceFactor = pace;
        radio->setTiming(timing);
    }

    test::PrivateRuntimeDir runtimeDir;
    std::unique_ptr<CableBed> bed;
    std::shared_ptr<sim::SimRadio> radio;
};

}  // namespace vkt::umock
