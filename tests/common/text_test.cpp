#include "common/text.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(TextTest, CopyFitsExactlyWithItsTerminator)
{
    char buffer[6];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_TRUE(CopyText(buffer, "abcde"));
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_FALSE(CopyText(buffer, "abcdef"));
    EXPECT_STREQ(buffer, "");
}

TEST(TextTest, AppendThatDoesNotFitLeavesTheBufferAsItWas)
{
    char guarded[8 + 4];
    std::memset(guarded, '#', sizeof guarded);
    char* buffer = guarded;
    ASSERT_TRUE(CopyText(buffer, 8, "abc"));
    EXPECT_TRUE(AppendText(buffer, 8, "defg"));
    EXPECT_STREQ(buffer, "abcdefg");
    EXPECT_FALSE(AppendText(buffer, 8, "h"));
    EXPECT_STREQ(buffer, "abcdefg");
    for (int i = 8; i < 12; ++i)
        EXPECT_EQ(guarded[i], '#') << "written past the buffer at " << i;
}

TEST(TextTest, AppendToABufferWithoutTerminatorFails)
{
    char buffer[4] = {'a', 'b', 'c', 'd'};
    EXPECT_FALSE(AppendText(buffer, ""));
    EXPECT_EQ(buffer[3], 'd');
}

TEST(TextTest, JoinBuildsThePathOrNothing)
{
    char buffer[20];
    EXPECT_TRUE(JoinText(buffer, "Enum\\PCI", "\\", "VEN_1"));
    EXPECT_STREQ(buffer, "Enum\\PCI\\VEN_1");
    EXPECT_TRUE(JoinText(buffer, "0123456789", "012345678"));
    EXPECT_STREQ(buffer, "0123456789012345678");
    EXPECT_FALSE(JoinText(buffer, "0123456789", "0123456789"));
    EXPECT_STREQ(buffer, "");
}

TEST(TextTest, ContainsIsCaseSensitiveAnywhere)
{
    EXPECT_TRUE(ContainsText("VEN_13F6&DEV_0111", "VEN_13F6&DEV_0111"));
    EXPECT_TRUE(ContainsText("xVEN_13F6&DEV_0111&SUBSYS", "VEN_13F6&DEV_0111"));
    EXPECT_FALSE(ContainsText("ven_13f6&dev_0111", "VEN_13F6&DEV_0111"));
    EXPECT_FALSE(ContainsText("VEN_13F6&DEV_011", "VEN_13F6&DEV_0111"));
    EXPECT_TRUE(SameText("reboot", "reboot"));
    EXPECT_FALSE(SameText("reboot", "reboot "));
}

}  // namespace

namespace {

TEST(TextTest, ContainsFindsOverlappingAndEdgeMatches)
{
    EXPECT_TRUE(ContainsText("aaab", "aab"));
    EXPECT_TRUE(ContainsText("abc", ""));
    EXPECT_TRUE(ContainsText("", ""));
    EXPECT_FALSE(ContainsText("", "a"));
    EXPECT_FALSE(ContainsText("ab", "abc"));
    EXPECT_TRUE(ContainsText("wave,midi", "midi"));
    EXPECT_TRUE(SameText("", ""));
    EXPECT_FALSE(SameText("a", ""));
    EXPECT_FALSE(SameText("", "a"));
}

TEST(TextTest, AnyOfAndTerminatorLookOnlyWhereTheyAreTold)
{
    EXPECT_TRUE(ContainsAnyOf("..\\SYSTEM.INI", "\\/:"));
    EXPECT_TRUE(ContainsAnyOf("C:AUTOEXEC.BAT", "\\/:"));
    EXPECT_FALSE(ContainsAnyOf("oem3.inf", "\\/:"));
    EXPECT_FALSE(ContainsAnyOf("", "\\/:"));
    const char data[4] = {'a', 'b', '\0', 'c'};
    EXPECT_TRUE(HoldsTerminator(data, 4));
    EXPECT_TRUE(HoldsTerminator(data, 3));
    EXPECT_FALSE(HoldsTerminator(data, 2));
    EXPECT_FALSE(HoldsTerminator(data, 0));
}

}  // namespace
