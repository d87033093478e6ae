#include "package/flash.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace vkt {
namespace {

void put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
    v.push_back(static_cast<std::uint8_t>(x >> 8));
    v.push_back(static_cast<std::uint8_t>(x));
}

// Marker, a 32-bit value and a table of `tableCount` entries.
std::vector<std::uint8_t> imageHead(std::uint16_t tableCount) {
    std::vector<std::uint8_t> v;
    put16(v, 0x09AA);
    v.insert(v.end(), {0, 1, 2, 3});
    put16(v, tableCount);
    v.resize(v.size() + 4u * tableCount, 0x11);
    return v;
}

void addSection(std::vector<std::uint8_t>& v, std::uint16_t length) {
    put16(v, length);
    std::size_t words = length + 2u;
    if (words % 4)
        words += 4 - words % 4;
    v.resize(v.size() + 2 * words, 0xA5);
}

class FlashTest : public ::testing::Test {
  protected:
    void SetUp() override { removeErrors(ErrorCategory::Ok); }
    void TearDown() override { removeErrors(ErrorCategory::Ok); }
    Flash flash;
};

TEST_F(FlashTest, MarkerMustComeFirstInBigEndianOrder) {
    auto good = imageHead(0);
    addSection(good, 2);
    good.resize(good.size() + 2, 0);  // filler: the section now ends before the image
    EXPECT_TRUE(flash.setImage(good));
    EXPECT_EQ(flash.data(), good);
    auto swapped = good;
    std::swap(swapped[0], swapped[1]);
    EXPECT_FALSE(flash.setImage(swapped));
    EXPECT_EQ(flash.data(), good);  // a refused image keeps the previous one
    EXPECT_FALSE(flash.setImage(nullptr, 10));
    EXPECT_FALSE(flash.setImage(good.data(), 0));
    EXPECT_EQ(errorCount(), 0u);
}

TEST_F(FlashTest, SectionReachingTheEndKeepsOnlyItsLengthWord) {
    // Marker, value, table count 0, one section with L = 2 (W = 4): 18 bytes.
    auto image = imageHead(0);
    addSection(image, 2);
    ASSERT_EQ(image.size(), 18u);
    ASSERT_TRUE(flash.setImage(image));
    EXPECT_EQ(flash.length(), 10);
    EXPECT_EQ(flash.data(), std::vector<std::uint8_t>(image.begin(), image.begin() + 10));
}

TEST_F(FlashTest, WalkStopsAtTableOverrunAndAfterSixtySections) {
    auto table = imageHead(0);
    addSection(table, 2);
    table[7] = 3;  // 3 entries end at byte 20, past the 18-byte image
    EXPECT_FALSE(flash.setImage(table));
    table[7] = 2;  // 2 entries end at byte 16: accepted
    EXPECT_TRUE(flash.setImage(table));

    auto image = imageHead(1);
    for (int i = 0; i < 70; ++i) {
        put16(image, 0);  // fillers do not count as sections
        addSection(image, 1);
    }
    ASSERT_TRUE(flash.setImage(image));
    // 60 sections of 2 + 2 * 4 bytes and 60 fillers after the 12-byte head.
    EXPECT_EQ(flash.length(), 12 + 60 * (2 + 10));
}

TEST_F(FlashTest, ImagesBeyondTwoMebibytesAreBadFlash) {
    auto image = imageHead(0);
    for (int i = 0; i < 20; ++i)
        addSection(image, 0xFFFE);  // 0x20002 bytes each
    image.resize(image.size() + 2, 0);
    EXPECT_FALSE(flash.setImage(image));
    EXPECT_EQ(firstErrorText(), "Error:bad flash.");
    EXPECT_EQ(firstErrorCode(), 5);
    EXPECT_EQ(flash.length(), 0);
}

TEST_F(FlashTest, RandomImagesNeverReadPastTheirEnd) {
    std::mt19937 rng(99);
    for (int i = 0; i < 2000; ++i) {
        auto bytes = test::randomBytes(rng, rng() % 64);
        if (bytes.size() >= 2 && i % 2) {
            bytes[0] = 0x09;
            bytes[1] = 0xAA;
        }
        if (bytes.size() >= 8)
            bytes[6] = 0;
        if (flash.setImage(bytes)) {
            EXPECT_LE(flash.data().size(), bytes.size());
        }
    }
}

}  // namespace
}  // namespace vkt
