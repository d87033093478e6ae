#include "update/progress.h"

#include <gtest/gtest.h>

namespace vkt {
namespace {

ProgressAccount withSteps(std::initializer_list<std::size_t> steps) {
    ProgressAccount p;
    for (std::size_t s : steps)
        p.enable(s);
    return p;
}

TEST(Progress, AllNineStepsShareTheBarByWeight) {
    ProgressAccount p = withSteps({0, 1, 2, 3, 4, 5, 6, 7, 8});
    EXPECT_EQ(p.weightSum(), 26u);
    p.computeScale();
    EXPECT_FLOAT_EQ(p.scale, 100.0f / 26.0f);
    const std::uint32_t expected[] = {11, 38, 3, 3, 7, 3, 15, 11, 3};  // truncated, not rounded
    std::uint32_t sum = 0;
    for (std::size_t s = 0; s < kStepCount; ++s) {
        EXPECT_EQ(p.stepWeight(s), expected[s]) << "step " << s;
        sum += p.stepWeight(s);
    }
    EXPECT_EQ(sum, 94u);  // below the total: the run's last message fills the bar
}

TEST(Progress, OnlySomeStepsEnabled) {
    ProgressAccount p = withSteps({2, 3, 4, 5, 6});
    p.computeScale();
    EXPECT_FLOAT_EQ(p.scale, 100.0f / 9.0f);
    EXPECT_EQ(p.stepWeight(6), 44u);
    EXPECT_EQ(p.stepWeight(4), 22u);
    EXPECT_EQ(p.stepWeight(0), 0u);  // not enabled
    EXPECT_EQ(p.stepWeight(8), 0u);
    EXPECT_EQ(p.stepWeight(9), 0u);  // no such step
}

TEST(Progress, ScaleUsesTheSpanFromBaseToTotalAndKeepsItsValueWithoutSteps) {
    ProgressAccount p;
    p.computeScale();
    EXPECT_EQ(p.scale, 1.0f);  // no step: unchanged
    p.total = 250;
    p.base = 50;
    p.enable(6);
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
    ProgressAccount p = withSteps({2, 3, 4, 5, 6});
    p.computeScale();
    for (std::size_t s : {2, 3, 4, 5})
        p.advance(p.stepWeight(s));
    EXPECT_EQ(p.base, 55);
    std::uint32_t n = chunkCount(10000, 4096);
    ASSERT_EQ(n, 3u);
    std::uint32_t w = p.stepWeight(6);
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
    ProgressAccount p = withSteps({0, 1, 2, 3, 4, 5, 6, 7, 8});
    p.computeScale();
    p.advance(p.stepWeight(0));
    EXPECT_EQ(p.base, 11);
    p.disable(8);
    p.computeScale();
    EXPECT_EQ(p.weightSum(), 25u);
    EXPECT_FLOAT_EQ(p.scale, 89.0f / 25.0f);
    EXPECT_EQ(p.stepWeight(6), 14u);
    EXPECT_EQ(p.stepWeight(7), 10u);
    EXPECT_EQ(p.stepWeight(8), 0u);
}

}  // namespace
}  // namespace vkt
