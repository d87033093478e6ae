#include "core/error_stack.h"

#include <gtest/gtest.h>

#include <thread>

namespace vkt {
namespace {

class ErrorStackTest : public ::testing::Test {
  protected:
    void SetUp() override { removeErrors(0); }
    void TearDown() override { removeErrors(0); }
};

TEST_F(ErrorStackTest, EmptyStackAnswersDefaults) {
    EXPECT_EQ(firstErrorText(), "OK");
    EXPECT_EQ(firstErrorCode(), 0);
    EXPECT_EQ(allErrorTexts(), "OK");
}

TEST_F(ErrorStackTest, OrderRemovalAndJoinedTexts) {
    raiseError(ErrorCategory::Prot, "A");
    raiseError(ErrorCategory::Sbep, "B");
    EXPECT_EQ(firstErrorText(), "A");
    EXPECT_EQ(firstErrorCode(), 3);
    EXPECT_EQ(allErrorTexts(), "B\nA\n");

    removeErrors(7);  // absent category changes nothing
    EXPECT_EQ(errorCount(), 2u);

    removeErrors(ErrorCategory::Prot);
    ASSERT_EQ(errorCount(), 1u);
    EXPECT_EQ(firstErrorText(), "B");
    EXPECT_EQ(firstErrorCode(), 2);

    raiseError(ErrorCategory::File, "C");
    raiseError(ErrorCategory::Sbep, "D");
    removeErrors(ErrorCategory::Sbep);
    EXPECT_EQ(allErrorTexts(), "C\n");

    removeErrors(0);
    EXPECT_EQ(errorCount(), 0u);
}

TEST_F(ErrorStackTest, FormatsPrintfStyleAndKeepsForeignTextLiteral) {
    raiseError(ErrorCategory::Prot, "Error:failed to open the port refered by the index [%d]", 4);
    raiseError(ErrorCategory::Update, "%s", "100% done %d %s");
    auto entries = errorEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].message, "Error:failed to open the port refered by the index [4]");
    EXPECT_EQ(entries[1].message, "100% done %d %s");
}

TEST_F(ErrorStackTest, MismatchedFormatDoesNotCrash) {
    raiseError(ErrorCategory::Ini, "value %d", "text");
    EXPECT_EQ(errorCount(), 1u);
}

TEST_F(ErrorStackTest, LongMessagesAreCutAt255Characters) {
    raiseError(ErrorCategory::File, "%s", std::string(300, 'x'));
    EXPECT_EQ(firstErrorText(), std::string(255, 'x'));

    removeErrors(0);
    // Characters, not bytes: 300 two-byte characters keep 255 characters.
    std::string umlauts;
    for (int i = 0; i < 300; ++i)
        umlauts += "\xC3\xBC";
    raiseErrorText(ErrorCategory::File, umlauts);
    EXPECT_EQ(firstErrorText().size(), 510u);
}

TEST_F(ErrorStackTest, CategoryTexts) {
    EXPECT_STREQ(errorCategoryText(0), "OK");
    EXPECT_STREQ(errorCategoryText(1), "Error:FILE.");
    EXPECT_STREQ(errorCategoryText(8), "Error:RESOURCE.");
    EXPECT_STREQ(errorCategoryText(9), "Error:UPDATE");
    EXPECT_STREQ(errorCategoryText(10), "Error:OTHER");
    EXPECT_STREQ(errorCategoryText(11), "");
    // The names outputs use follow the same codes.
    EXPECT_STREQ(errorCategoryName(2), "SBEP");
    EXPECT_STREQ(errorCategoryName(5), "FLASH");
    EXPECT_STREQ(errorCategoryName(10), "OTHER");
    EXPECT_STREQ(errorCategoryName(-1), "");
}

TEST_F(ErrorStackTest, ConcurrentRaisesAreAllKept) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 250; ++i)
                raiseError(ErrorCategory::Prot, "e%d", i);
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(errorCount(), 1000u);
}

}  // namespace
}  // namespace vkt
