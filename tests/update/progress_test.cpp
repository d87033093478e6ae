#include "update/progress.h"

#include <gtest/gtest.h>

#include "update/time_left.h"

namespace vkt {
namespace {

ProgressAccount withSteps(std::initializer_list<Step> steps) {
    ProgressAccount p;
    for (Step s : steps)
        p.enable(s);
    return p;
}

TEST(Progress, AllNineStepsShareTheBarByWeight) {
    ProgressAccount p =
        withSteps({Step::ReadPersonality, Step::ReadUserVoice, Step::EraseFirmware,
                   Step::WriteFirmware, Step::WriteDefault, Step::EraseVoice, Step::WriteVoice,
                   Step::RestorePersonality, Step::RestoreUserVoice});
    EXPECT_EQ(p.weightSum(), 26u);
    p.computeScale();
    EXPECT_FLOAT_EQ(p.scale, 100.0f / 26.0f);
    const std::uint32_t expected[] = {11, 38, 3, 3, 7, 3, 15, 11, 3};  // truncated, not rounded
    std::uint32_t sum = 0;
    for (std::size_t s = 0; s < std::size(expected); ++s) {
        EXPECT_EQ(p.stepWeight(static_cast<Step>(s)), expected[s]) << "step " << s;
        sum += p.stepWeight(static_cast<Step>(s));
    }
    EXPECT_EQ(sum, 94u);  // below the total: the run's last message fills the bar
}

TEST(Progress, OnlySomeStepsEnabled) {
    ProgressAccount p = withSteps({Step::EraseFirmware, Step::WriteFirmware, Step::WriteDefault,
                                   Step::EraseVoice, Step::WriteVoice});
    p.computeScale();
    EXPECT_FLOAT_EQ(p.scale, 100.0f / 9.0f);
    EXPECT_EQ(p.stepWeight(Step::WriteVoice), 44u);
    EXPECT_EQ(p.stepWeight(Step::WriteDefault), 22u);
    EXPECT_EQ(p.stepWeight(Step::ReadPersonality), 0u);  // not enabled
    EXPECT_EQ(p.stepWeight(Step::RestoreUserVoice), 0u);
    EXPECT_EQ(p.stepWeight(Step::Verify), 0u);
}

TEST(Progress, ScaleUsesTheSpanFromBaseToTotalAndKeepsItsValueWithoutSteps) {
    ProgressAccount p;
    p.computeScale();
    EXPECT_EQ(p.scale, 1.0f);  // no step: unchanged
    p.total = 250;
    p.base = 50;
    p.enable(Step::WriteVoice);
    p.computeScale();
    EXPECT_FLOAT_EQ(p.scale, 50.0f);
    // A base past the total wraps as an unsigned span.
    p.total = 0;
    p.base = 1;
    p.computeScale();
    EXPECT_FLOAT_EQ(p.scale, 4294967295.0f / 4.0f);
}

// A flash write of 10000 bytes goes in three pieces; each moves the bar to
// base + trunc(k / 3 * weight).
TEST(Progress, PositionsOfAThreeChunkFlashWrite) {
    ProgressAccount p = withSteps({Step::EraseFirmware, Step::WriteFirmware, Step::WriteDefault,
                                   Step::EraseVoice, Step::WriteVoice});
    p.computeScale();
    for (Step s : {Step::EraseFirmware, Step::WriteFirmware, Step::WriteDefault, Step::EraseVoice})
        p.advance(p.stepWeight(s));
    EXPECT_EQ(p.base, 55);
    std::uint32_t n = chunkCount(10000, 4096);
    ASSERT_EQ(n, 3u);
    std::uint32_t w = p.stepWeight(Step::WriteVoice);
    EXPECT_EQ(p.position(1, n, w), 69u);
    EXPECT_EQ(p.position(2, n, w), 84u);
    EXPECT_EQ(p.position(3, n, w), 99u);
    EXPECT_EQ(p.position(0, 0, w), 55u);  // no units: stays at the base
}

TEST(Progress, ChunkCounts) {
    EXPECT_EQ(chunkCount(0, 4096), 0u);
    EXPECT_EQ(chunkCount(4096, 4096), 1u);
    EXPECT_EQ(chunkCount(4097, 4096), 2u);
    EXPECT_EQ(chunkCount(0xBD000, 0x10000), 12u);
    EXPECT_EQ(chunkCount(0xFFFFFFFF, 4096), 0x100000u);  // no overflow
}

// When the user-defined voice cannot be kept, step 8 leaves the set after
// step 0 has moved the base; the new scale spreads what is left of the bar
// over the weights of all remaining steps, the finished ones included.
TEST(Progress, RecomputationAfterStepEightIsRemoved) {
    ProgressAccount p =
        withSteps({Step::ReadPersonality, Step::ReadUserVoice, Step::EraseFirmware,
                   Step::WriteFirmware, Step::WriteDefault, Step::EraseVoice, Step::WriteVoice,
                   Step::RestorePersonality, Step::RestoreUserVoice});
    p.computeScale();
    p.advance(p.stepWeight(Step::ReadPersonality));
    EXPECT_EQ(p.base, 11);
    p.disable(Step::RestoreUserVoice);
    p.computeScale();
    EXPECT_EQ(p.weightSum(), 25u);
    EXPECT_FLOAT_EQ(p.scale, 89.0f / 25.0f);
    EXPECT_EQ(p.stepWeight(Step::WriteVoice), 14u);
    EXPECT_EQ(p.stepWeight(Step::RestorePersonality), 10u);
    EXPECT_EQ(p.stepWeight(Step::RestoreUserVoice), 0u);
}

// The time of each kind of work: bytes with their frames at the line rate,
// a turnaround per request, the radio's programming and erase times, pauses.
TEST(TimeLeft, WorkTakesItsWireRadioAndPauseTime) {
    using std::chrono::milliseconds;
    struct Case {
        const char* what;
        LinkWork work;
        double seconds;
    };
    const Case cases[] = {
        {"nothing", {}, 0.0},
        {"one memory request",
         {.lineRate = 240000, .memoryBytes = 200},
         216 * 10 / 240000.0 + 0.003},
        {"two memory requests",
         {.lineRate = 240000, .memoryBytes = 201},
         233 * 10 / 240000.0 + 0.006},
        {"memory at the radio's own rate",
         {.lineRate = 16406, .memoryBytes = 200},
         216 * 10 / 16406.0 + 0.003},
        {"a flash read",
         {.lineRate = 240000, .flashReadBytes = 4096},
         4112 * 10 / 240000.0 + 0.003},
        {"a flash write is also programmed",
         {.lineRate = 240000, .flashWriteBytes = 4096},
         4112 * 10 / 240000.0 + 0.003 + 4096 * 6e-6},
        {"the firmware area's erases", {.blockErases = 6}, 6 * 0.503},
        {"user-voice sector erases", {.sectorErases = 2}, 2 * 0.048},
        {"a pause", {.pauses = milliseconds(200)}, 0.2},
    };
    for (const Case& c : cases)
        EXPECT_NEAR(linkSeconds(c.work), c.seconds, 1e-9) << c.what;
}

// Three parts of 10, 20 and 30 s: what is left of the current part and the
// later ones, scaled by the pace measured once 2 s of work are done.
TEST(TimeLeft, RunEstimateCountsWhatIsLeftAtTheMeasuredPace) {
    RunTimeEstimate estimate;
    estimate.resize(3);
    for (std::size_t part = 0; part < 3; ++part)
        estimate.setPart(part, {.pauses = std::chrono::seconds(10 * (part + 1))});
    struct Case {
        std::size_t part;
        std::uint32_t k, n;
        double elapsed;
        int left;
    };
    const Case cases[] = {
        {0, 0, 1, 0.0, 60},        // the start
        {0, 1, 10, 100.0, 59},     // 1 s of work done: too little to measure the pace
        {1, 1, 2, 20.0, 40},       // half-way through the second part, on time
        {1, 1, 2, 10.0, 20},       // twice as fast as the model
        {1, 1, 2, 40.0, 80},       // half as fast
        {1, 1, 2, 10000.0, 2000},  // a pace far off is held to 50 times the model
        {2, 1, 1, 60.0, 0},        // the end
    };
    for (const Case& c : cases)
        EXPECT_EQ(estimate.secondsLeft(c.part, c.k, c.n, c.elapsed), c.left)
            << "part " << c.part << ", unit " << c.k << " of " << c.n << ", " << c.elapsed << " s";
}

}  // namespace
}  // namespace vkt
