// Names compare as Windows 9x compares them: the 60 letter pairs of Windows-1252 (the 26 of ASCII and these,
// taken from the code page's Unicode case mapping) match without regard to case; every other byte only
// itself, 0xD7 and 0xF7 (the multiplication and division signs) and 0xDF (sharp s) among them.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "registry/names.h"

namespace {

const std::pair<unsigned, unsigned> kAccentedPairs[] = {
    {0x8A, 0x9A}, {0x8C, 0x9C}, {0x8E, 0x9E}, {0xC0, 0xE0}, {0xC1, 0xE1}, {0xC2, 0xE2}, {0xC3, 0xE3},
    {0xC4, 0xE4}, {0xC5, 0xE5}, {0xC6, 0xE6}, {0xC7, 0xE7}, {0xC8, 0xE8}, {0xC9, 0xE9}, {0xCA, 0xEA},
    {0xCB, 0xEB}, {0xCC, 0xEC}, {0xCD, 0xED}, {0xCE, 0xEE}, {0xCF, 0xEF}, {0xD0, 0xF0}, {0xD1, 0xF1},
    {0xD2, 0xF2}, {0xD3, 0xF3}, {0xD4, 0xF4}, {0xD5, 0xF5}, {0xD6, 0xF6}, {0xD8, 0xF8}, {0xD9, 0xF9},
    {0xDA, 0xFA}, {0xDB, 0xFB}, {0xDC, 0xFC}, {0xDD, 0xFD}, {0xDE, 0xFE}, {0x9F, 0xFF},
};

std::string Byte(unsigned byte)
{
    return std::string(1, static_cast<char>(byte));
}

TEST(NamesTest, EveryWindows1252LetterPairMatchesAndNothingElseDoes)
{
    std::set<std::pair<unsigned, unsigned>> pairs(std::begin(kAccentedPairs), std::end(kAccentedPairs));
    for (unsigned letter = 'A'; letter <= 'Z'; ++letter)
        pairs.insert({letter, letter + 0x20});
    ASSERT_EQ(pairs.size(), 60u);
    for (unsigned a = 1; a < 256; ++a) {
        for (unsigned b = a + 1; b < 256; ++b) {
            const bool expected = pairs.count({a, b}) != 0;
            EXPECT_EQ(emulated::SameName(Byte(a), Byte(b)), expected) << std::hex << "0x" << a << " 0x" << b;
        }
    }
}

TEST(NamesTest, WholeNamesMatchByteForByteAfterFolding)
{
    EXPECT_TRUE(emulated::SameName("Lautst\xC4rke \xDE", "LAUTST\xE4RKE \xFE"));
    EXPECT_FALSE(emulated::SameName("Stra\xDF" "e", "STRASSE"));
    EXPECT_FALSE(emulated::SameName("abc", "abcd"));
    EXPECT_TRUE(emulated::SameName("", ""));
    EXPECT_EQ(emulated::RootIndexByName("hkey_local_machine\\Software"), emulated::RootIndexOf(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(emulated::RootIndexByName("HKEY_LOCAL_MACHINEX"), -1);
}

}  // namespace
