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

TEST(TextTest, ContainsIsCaseSensitiveAnywhereAndSameTextIsExact)
{
    struct Case {
        const char* text;
        const char* part;
        bool contains;
    };
    const Case cases[] = {
        {"VEN_13F6&DEV_0111", "VEN_13F6&DEV_0111", true},
        {"xVEN_13F6&DEV_0111&SUBSYS", "VEN_13F6&DEV_0111", true},
        {"ven_13f6&dev_0111", "VEN_13F6&DEV_0111", false},
        {"VEN_13F6&DEV_011", "VEN_13F6&DEV_0111", false},
        {"aaab", "aab", true},
        {"abc", "", true},
        {"", "", true},
        {"", "a", false},
        {"ab", "abc", false},
        {"wave,midi", "midi", true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ContainsText(c.text, c.part), c.contains) << "'" << c.text << "' holds '" << c.part << "'";
    EXPECT_TRUE(SameText("reboot", "reboot"));
    EXPECT_FALSE(SameText("reboot", "reboot "));
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
