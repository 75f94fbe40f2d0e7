#include "run/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A code page with lead bytes 0x81..0x9F and 0xE0..0xFC, as Shift-JIS has.
bool ShiftJisLeadByte(unsigned char byte)
{
    return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

bool NoLeadByte(unsigned char)
{
    return false;
}

struct TailCase {
    const char* commandLine;
    const char* argumentText;
};

TEST(ArgumentTextTest, CutsTheProgramNameOff)
{
    const TailCase cases[] = {
        {"", ""},
        {"cmpci.exe", ""},
        {"cmpci.exe reboot", "reboot"},
        {"cmpci.exe    reboot", "reboot"},
        {"cmpci.exe\treboot", "reboot"},
        {"cmpci.exe reboot ", "reboot "},
        {"cmpci.exe reboot now", "reboot now"},
        {"\"C:\\Program Files\\cmpci.exe\" reboot", "reboot"},
        {"\"C:\\Program Files\\cmpci.exe\"reboot", "reboot"},
        {"\"C:\\Program Files\\cmpci.exe\"   ", ""},
        {"\"C:\\Program Files\\cmpci.exe reboot", ""},
        {"\"\" reboot", "reboot"},
        // No program name to cut off: blanks then the argument.
        {"   reboot", "reboot"},
        {" \x01\x1F reboot", "reboot"},
        // Bytes of 0x80 and above belong to an unquoted name.
        {"c\xE9.exe /x", "/x"},
        {"cmpci.exe \xE9t\xE9", "\xE9t\xE9"},
        // Everything after the name is kept as it is, quotes included.
        {"cmpci.exe \"reboot\"", "\"reboot\""},
        {"cmpci.exe REBOOT", "REBOOT"},
    };
    for (const TailCase& c : cases) {
        SCOPED_TRACE(c.commandLine);
        EXPECT_STREQ(ArgumentText(c.commandLine, NoLeadByte), c.argumentText);
        EXPECT_STREQ(ArgumentText(c.commandLine, nullptr), c.argumentText);
    }
}

TEST(ArgumentTextTest, ReturnsAPointerIntoTheLine)
{
    const char line[] = "prog.exe reboot";
    EXPECT_EQ(ArgumentText(line, NoLeadByte), line + 9);
}

TEST(ArgumentTextTest, LeadByteInsideQuotesTakesTheNextByteWithIt)
{
    // 0x93 is a lead byte here, and its trail byte is a quote: the name goes on past it.
    const char line[] = "\"C:\\\x93\"dir\\cmpci.exe\" reboot";
    EXPECT_STREQ(ArgumentText(line, ShiftJisLeadByte), "reboot");
    // Without lead bytes the same quote closes the name early.
    EXPECT_STREQ(ArgumentText(line, NoLeadByte), "dir\\cmpci.exe\" reboot");
}

TEST(ArgumentTextTest, LeadByteAtTheEndNeverReadsPastTheTerminator)
{
    const char line[] = "\"abc\x93";
    EXPECT_STREQ(ArgumentText(line, ShiftJisLeadByte), "");
}

TEST(ArgumentTextTest, LeadBytesOutsideQuotesDoNotMatter)
{
    EXPECT_STREQ(ArgumentText("c\x93\x20.exe reboot", ShiftJisLeadByte), ".exe reboot");
}

struct ModeCase {
    const char* argumentText;
    RunMode mode;
};

TEST(ModeOfTest, ComparesTheWholeTextExactly)
{
    const ModeCase cases[] = {
        {"", RunMode::Interactive},   {"reboot", RunMode::Restart}, {"REBOOT", RunMode::Silent},
        {"Reboot", RunMode::Silent},  {"reboot ", RunMode::Silent}, {" reboot", RunMode::Silent},
        {"/reboot", RunMode::Silent}, {"-reboot", RunMode::Silent}, {"reboot now", RunMode::Silent},
        {"rebo", RunMode::Silent},    {"x", RunMode::Silent},       {" ", RunMode::Silent},
    };
    for (const ModeCase& c : cases) {
        SCOPED_TRACE(std::string("'") + c.argumentText + "'");
        EXPECT_EQ(ModeOf(c.argumentText), c.mode);
    }
}

}  // namespace
