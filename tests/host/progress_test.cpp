#include "host/progress.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::uint64_t gNow = 0;
std::uint64_t FakeClock()
{
    return gNow;
}

// What was written to `file` so far.
std::string Written(std::FILE* file)
{
    std::fflush(file);
    std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
    std::rewind(file);
    text.resize(std::fread(text.data(), 1, text.size(), file));
    return text;
}

TEST(ProgressTest, ShowsOnlyAfterASecondAtMostEveryTenthAndErasesItsLine)
{
    std::FILE* terminal = std::tmpfile();
    ASSERT_NE(terminal, nullptr);
    const std::string widest = "cmpci-uninstall: writing disk.img: 4.0 of 4.0 MB (100%)";
    gNow = 5000;
    {
        host::Progress progress("writing disk.img", 4 << 20, nullptr, terminal, FakeClock);
        gNow = 5999;
        progress.Update(1 << 20);
        EXPECT_EQ(Written(terminal), "");
        gNow = 6000;
        progress.Update(2 << 20);
        const std::string first = "\rcmpci-uninstall: writing disk.img: 2.0 of 4.0 MB (50%)";
        EXPECT_EQ(Written(terminal), first);
        gNow = 6099;
        progress.Update(3 << 20);
        EXPECT_EQ(Written(terminal), first);
        gNow = 6100;
        progress.Update(4 << 20);
        EXPECT_EQ(Written(terminal), first + "\r" + widest);
    }
    // Erased as wide as the widest line drawn, the cursor back at its start.
    const std::string erase = "\r" + std::string(widest.size(), ' ') + "\r";
    const std::string all = Written(terminal);
    ASSERT_GE(all.size(), erase.size());
    EXPECT_EQ(all.substr(all.size() - erase.size()), erase);
    std::fclose(terminal);
}

TEST(ProgressTest, CountsThingsAndPadsOverALongerLineDrawnBefore)
{
    std::FILE* terminal = std::tmpfile();
    ASSERT_NE(terminal, nullptr);
    gNow = 0;
    {
        host::Progress progress("reading WINDOWS", 0, "files", terminal, FakeClock);
        gNow = 1000;
        progress.Update(12345);
        gNow = 1100;
        progress.Update(7);
        EXPECT_EQ(Written(terminal), "\rcmpci-uninstall: reading WINDOWS: 12345 files"
                                     "\rcmpci-uninstall: reading WINDOWS: 7 files    ");
    }
    std::fclose(terminal);
}

TEST(ProgressTest, DrawsNothingWithoutATerminalOrForAShortStep)
{
    gNow = 0;
    host::Progress silent("reading", 100, nullptr, nullptr, FakeClock);
    gNow = 60000;
    silent.Update(50);  // no terminal: must not touch any stream
    std::FILE* terminal = std::tmpfile();
    ASSERT_NE(terminal, nullptr);
    {
        host::Progress quick("reading", 100, nullptr, terminal, FakeClock);
        gNow = 60900;
        quick.Update(100);
    }
    EXPECT_EQ(Written(terminal), "");
    std::fclose(terminal);
}

}  // namespace
