#include "update/cmd_sn.h"

#include <gtest/gtest.h>

#include "tests/update/program_bench.h"

namespace vkt::testing {
namespace {

std::vector<std::pair<int, int>> requests(const ProgramBench& b) {
    std::vector<std::pair<int, int>> out;
    for (const auto& e : b.sim->requestLog())
        out.emplace_back(e.opcode, e.subFunction);
    return out;
}

struct CmdSNTest : ::testing::Test {
    ProgramBench b{2};
    CmdSN cmd;
    void SetUp() override {
        cmd.radio = b.radio.get();
        cmd.setSerialNumber("471ABC0777");
    }
    std::uint64_t requestsSoFar = 0;
    void connect() {
        ASSERT_TRUE(b.connect());
        requestsSoFar = b.sim->requestLog().back().number;
        b.sim->clearRequestLog();
    }
};

TEST_F(CmdSNTest, WritesTheSerialNumberAndTheFactoryBackup) {
    connect();
    EXPECT_TRUE(b.runCommand(cmd)) << allErrorTexts();
    EXPECT_EQ(b.sim->serialNumber(), "471ABC0777");
    EXPECT_EQ(b.sim->factorySerialNumber(), "471ABC0777");
    EXPECT_EQ(requests(b), (std::vector<std::pair<int, int>>{
                               {0x10, 0}, {0x22, 1}, {0x18, -1}, {0x38, 0x26}, {0x10, 0}}));
}

TEST_F(CmdSNTest, AClosedPortSendsNothingAndALaterRunSucceeds) {
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_TRUE(b.sim->requestLog().empty());
    EXPECT_EQ(b.owner.count(WM_CMD_BEGIN), 1u);
    EXPECT_EQ(b.owner.count(WM_CMD_END), 1u);
    connect();
    EXPECT_TRUE(b.runCommand(cmd));
    EXPECT_EQ(b.sim->serialNumber(), "471ABC0777");
}

TEST_F(CmdSNTest, ARadioThatRefusesSerialNumbersIsLeftAlone) {
    connect();
    b.sim->setStatusFlags(0x02);
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_EQ(b.sim->serialNumber(), "471ABC0042");
    EXPECT_EQ(requests(b), (std::vector<std::pair<int, int>>{{0x10, 0}}));
}

TEST_F(CmdSNTest, AFailedSerialNumberUpdateStopsTheRest) {
    connect();
    // The third request of the run is the serial-number update.
    const std::uint64_t at = requestsSoFar + 3;
    b.sim->setFaults({{sim::FaultKind::WrongOpcode, sim::FaultTrigger::Request, at, 0, 0x95, 2}});
    EXPECT_FALSE(b.runCommand(cmd));
    EXPECT_TRUE(b.hasError("Error:failed to request to update SN."));
    const auto log = requests(b);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), (std::pair<int, int>{0x18, -1}));
    EXPECT_TRUE(b.sim->factorySerialNumber().empty());
}

}  // namespace
}  // namespace vkt::testing
