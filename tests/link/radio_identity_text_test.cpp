// Identity texts, the serial-number pattern and version parsing/comparison.
#include "link/radio_info.h"

#include <gtest/gtest.h>

#include <vector>

namespace vkt {
namespace {

TEST(SerialNumberPattern, AcceptsAndRefusesByPosition) {
    EXPECT_TRUE(isValidSerialNumber("123ABC4D56"));
    EXPECT_TRUE(isValidSerialNumber("123IBCDE12"));  // 'I' is allowed in position 4
    EXPECT_TRUE(isValidSerialNumber("123ABC0001"));
    EXPECT_TRUE(isValidSerialNumber("1234BC0001"));  // digit in position 4

    EXPECT_FALSE(isValidSerialNumber("123OBC4D56"));  // position 4 'O'
    EXPECT_FALSE(isValidSerialNumber("123AIC4D56"));  // position 5 'I'
    EXPECT_FALSE(isValidSerialNumber("123AOC4D56"));  // position 5 'O'
    EXPECT_FALSE(isValidSerialNumber("123A1C4D56"));  // position 5 digit
    EXPECT_FALSE(isValidSerialNumber("123ABC4I56"));  // position 8 'I'
    EXPECT_FALSE(isValidSerialNumber("123ABC4DA6"));  // position 9 letter
    EXPECT_FALSE(isValidSerialNumber("123abc0001"));  // lower case
    EXPECT_FALSE(isValidSerialNumber("12AABC0001"));  // position 3 letter
    EXPECT_FALSE(isValidSerialNumber("123ABC001"));   // nine characters
    EXPECT_FALSE(isValidSerialNumber(""));
}

TEST(ModelNumberText, MapsLowBytesAndEndsAtOtherBytes) {
    const std::vector<std::uint8_t> record{0x01, 0x02, 'A', 'B', 0x2D, '7', '8', '9', 'X', 'Y', 'Z'};
    std::string text = "unchanged";
    ASSERT_TRUE(modelNumberText(record, text));
    EXPECT_EQ(text, std::string("12AB\0\0\0\0\0\0\0", 11));

    const std::vector<std::uint8_t> full{0x0A, 0x0F, 'Q', '5', 'a', 'z', 0, 1, 2, 3, 4};
    ASSERT_TRUE(modelNumberText(full, text));
    EXPECT_EQ(text, ":?Q5az01234");

    const std::vector<std::uint8_t> tooLong(12, 'A');
    text = "unchanged";
    EXPECT_FALSE(modelNumberText(tooLong, text));
    EXPECT_EQ(text, "unchanged");
}

TEST(VersionTexts, FirmwareHexCodeplugDecimalUpperFirst) {
    const std::vector<std::uint8_t> version{'r', 1, 0x1A, 0x05};
    std::string text;
    ASSERT_TRUE(firmwareVersionText(version, text));
    EXPECT_EQ(text, "R01.1a.05");
    const std::vector<std::uint8_t> cp{'r', 1, 26, 5};
    ASSERT_TRUE(codeplugVersionText(cp, text));
    EXPECT_EQ(text, "R01.26.05");

    // An unread (all zero) version gives an empty text.
    const std::vector<std::uint8_t> zero(4, 0);
    ASSERT_TRUE(codeplugVersionText(zero, text));
    EXPECT_EQ(text, "");

    const std::vector<std::uint8_t> shortInput{'R', 1, 2};
    text = "keep";
    EXPECT_FALSE(firmwareVersionText(shortInput, text));
    EXPECT_EQ(text, "keep");
}

TEST(RegionalCodeText, LettersAndNumbersPadToTwo) {
    std::string text;
    regionalCodeText('A', text);
    EXPECT_EQ(text, "0A");
    regionalCodeText(5, text);
    EXPECT_EQ(text, "05");
    regionalCodeText(42, text);
    EXPECT_EQ(text, "42");
    regionalCodeText(0x7F, text);
    EXPECT_EQ(text, "127");
}

TEST(SerialNumberText, NeedsTenBytes) {
    const std::vector<std::uint8_t> serial{'1', '2', '3', 'A', 'B', 'C', '0', '0', '0', '1'};
    std::string text;
    ASSERT_TRUE(serialNumberText(serial, text));
    EXPECT_EQ(text, "123ABC0001");
    EXPECT_FALSE(serialNumberText(std::span(serial).first(9), text));
}

TEST(ParseVersionText, ShapesThatParseAndThatDoNot) {
    VersionTriple v{};
    ASSERT_TRUE(parseVersionText("R01.02.03", v));
    EXPECT_EQ(v, (VersionTriple{1, 2, 3}));
    ASSERT_TRUE(parseVersionText("R01.02.x03", v));  // other characters skipped in the third group
    EXPECT_EQ(v, (VersionTriple{1, 2, 3}));
    EXPECT_FALSE(parseVersionText("s99.1a.55", v));  // hex digits are not decimal
    ASSERT_TRUE(parseVersionText("S02.00.00", v));
    EXPECT_EQ(v, (VersionTriple{2, 0, 0}));

    for (const char* bad : {"R1.02.03", "R01.2.03", "R01.02.003", "01.02.03", "R01-02-03",
                            "R01.02.3", "R01.02.03 ", "R01.02.", "", "R001.02.03"}) {
        EXPECT_FALSE(parseVersionText(bad, v)) << bad;
    }
}

TEST(ParseVersionText, GroupsBeforeAMismatchKeepTheirValues) {
    std::uint8_t a = 0, b = 0, c = 0;
    EXPECT_FALSE(parseVersionText("R07.2.03", a, b, c));
    EXPECT_EQ(a, 7);
}

TEST(CompareVersions, FirstDifferenceDecides) {
    EXPECT_EQ(compareVersions({1, 2, 3}, {1, 2, 3}), 0);
    EXPECT_EQ(compareVersions({1, 2, 4}, {1, 2, 3}), 1);
    EXPECT_EQ(compareVersions({1, 2, 3}, {1, 3, 0}), -1);
    EXPECT_EQ(compareVersions({2, 0, 0}, {1, 99, 99}), 1);
    EXPECT_EQ(compareVersions({0, 0, 255}, {0, 1, 0}), -1);
}

}  // namespace
}  // namespace vkt
