// Card search: the first subkey of Enum\PCI holding the card's PCI identifier, found on small registries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/walk_limits.h"
#include "device/card_search.h"
#include "support/fake_system.h"
#include "support/registry_text.h"

namespace {

const char kCard[] = "VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10";

// Enum\PCI holding `names` as subkeys, in that order.
std::string PciKeys(const std::vector<std::string>& names)
{
    std::string text = MachineKey("Enum\\PCI");
    for (const std::string& name : names)
        text += MachineKey("Enum\\PCI\\" + name);
    return text;
}

class CardSearchTest : public ::testing::Test {
protected:
    // What every search leaves behind, whatever it found: nothing open, nothing deleted.
    static void ExpectCleanEnd(const FakeSystem& sys, const RunState& state)
    {
        EXPECT_EQ(state.enumKey, nullptr);
        EXPECT_EQ(sys.OpenHandles(), 0u);
        EXPECT_FALSE(sys.registry().Modified());
        EXPECT_STREQ(state.searchText, "VEN_13F6&DEV_0111");
    }

    static void ExpectFound(const RunState& state, const std::string& deviceId)
    {
        EXPECT_TRUE(state.cardFound);
        EXPECT_EQ(std::string(state.cardDeviceKey), "Enum\\PCI\\" + deviceId);
        EXPECT_EQ(std::string(state.subkeyName), deviceId);
    }

    static void ExpectAbsent(const RunState& state)
    {
        EXPECT_FALSE(state.cardFound);
        EXPECT_STREQ(state.cardDeviceKey, "Enum\\PCI");
    }
};

TEST_F(CardSearchTest, FirstNameHoldingTheIdentifierCaseSensitivelyWins)
{
    struct Case {
        const char* label;
        std::vector<std::string> names;
        const char* deviceId;  // null: the card counts as absent
    };
    const Case cases[] = {
        {"no subkeys", {}, nullptr},
        {"exact name", {"VEN_13F6&DEV_0111"}, "VEN_13F6&DEV_0111"},
        {"text before and after", {"VEN_8086&DEV_7110", "XVEN_13F6&DEV_0111&REV_10"}, "XVEN_13F6&DEV_0111&REV_10"},
        {"lower case", {"ven_13f6&dev_0111"}, nullptr},
        {"other vendor or device", {"VEN_13F6&DEV_0112", "VEN_13F7&DEV_0111"}, nullptr},
        {"part of the identifier", {"VEN_13F6&DEV_011", "DEV_0111"}, nullptr},
        {"two matches", {"VEN_13F6&DEV_0111&SUBSYS_A", "VEN_13F6&DEV_0111&SUBSYS_B"}, "VEN_13F6&DEV_0111&SUBSYS_A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FakeSystem sys;
        RunState state{sys};
        ASSERT_TRUE(LoadKeys(sys, PciKeys(c.names)));

        SearchCard(state);

        if (c.deviceId != nullptr)
            ExpectFound(state, c.deviceId);
        else
            ExpectAbsent(state);
        ExpectCleanEnd(sys, state);
    }
}

TEST_F(CardSearchTest, StopsReadingAtTheMatchAndClosesTheKey)
{
    FakeSystem sys;
    RunState state{sys};
    ASSERT_TRUE(LoadKeys(sys, PciKeys({"VEN_8086&DEV_7110", kCard, "VEN_13F6&DEV_0111&SUBSYS_B"})));

    SearchCard(state);

    ExpectFound(state, kCard);
    EXPECT_EQ(sys.Log(), (std::vector<std::string>{"RegOpenKeyExA HKLM Enum\\PCI", "RegEnumKeyA 0", "RegEnumKeyA 1",
                                                   "RegCloseKey"}));
    ExpectCleanEnd(sys, state);
}

TEST_F(CardSearchTest, WithoutEnumPciNothingIsWalked)
{
    FakeSystem sys;
    RunState state{sys};
    ASSERT_TRUE(LoadKeys(sys, MachineKey("Enum\\ISAPNP\\" + std::string(kCard))));

    SearchCard(state);

    ExpectAbsent(state);
    EXPECT_EQ(sys.Log(), (std::vector<std::string>{"RegOpenKeyExA HKLM Enum\\PCI"}));
    ExpectCleanEnd(sys, state);
}

TEST_F(CardSearchTest, AnUnreadableNameIsPassedOver)
{
    // A name of 100 characters does not fit the subkey name buffer: its enumeration fails with 234.
    std::string tooLong = "VEN_13F6&DEV_0111&" + std::string(82, 'X');
    ASSERT_EQ(tooLong.size(), 100u);
    FakeSystem sys;
    RunState state{sys};
    ASSERT_TRUE(LoadKeys(sys, PciKeys({tooLong, kCard})));

    SearchCard(state);

    ExpectFound(state, kCard);
    ASSERT_EQ(sys.Calls().size(), 4u);
    EXPECT_EQ(sys.Calls()[1].result, ERROR_MORE_DATA);
    ExpectCleanEnd(sys, state);
}

TEST_F(CardSearchTest, ARunOfFailingIndexesEndsTheWalk)
{
    // The card stands behind `failing` indexes whose enumeration fails.
    struct Case {
        DWORD failing;
        bool found;
    };
    const Case cases[] = {{1, true}, {kMaxFailingIndexRun - 1, true}, {kMaxFailingIndexRun, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failing);
        std::vector<std::string> names;
        for (DWORD i = 0; i < c.failing; ++i)
            names.push_back("VEN_13F6&DEV_0111&FAILING_" + std::to_string(i));
        names.push_back(kCard);
        FakeSystem sys;
        RunState state{sys};
        ASSERT_TRUE(LoadKeys(sys, PciKeys(names)));
        for (unsigned call = 1; call <= c.failing; ++call)
            sys.Fail("RegEnumKeyA", call, ERROR_KEY_DELETED);

        SearchCard(state);

        if (c.found)
            ExpectFound(state, kCard);
        else
            ExpectAbsent(state);
        EXPECT_EQ(sys.Log("RegEnumKeyA").size(), c.found ? c.failing + 1 : c.failing);
        EXPECT_EQ(sys.Log().back(), "RegCloseKey");
        ExpectCleanEnd(sys, state);
    }
}

TEST_F(CardSearchTest, AWalkOnWhichEveryCallFailsEnds)
{
    FakeSystem sys;
    RunState state{sys};
    ASSERT_TRUE(LoadKeys(sys, PciKeys({kCard})));
    sys.Fail("RegEnumKeyA", 1, ERROR_INVALID_HANDLE, FakeSystem::FaultMode::FromThenOn);

    SearchCard(state);

    ExpectAbsent(state);
    EXPECT_EQ(sys.Log("RegEnumKeyA").size(), kMaxFailingIndexRun);
    EXPECT_EQ(sys.Log().back(), "RegCloseKey");
    ExpectCleanEnd(sys, state);
}

TEST_F(CardSearchTest, ADeviceIdTooLongForTheCardDeviceKeyIsPassedOver)
{
    // "Enum\PCI\" takes 9 of the 99 characters: a device id of 90 fits, one of 91 does not.
    std::string fits = "VEN_13F6&DEV_0111&" + std::string(72, 'F');
    std::string tooLong = "VEN_13F6&DEV_0111&" + std::string(73, 'L');
    ASSERT_EQ(fits.size(), 90u);
    ASSERT_EQ(tooLong.size(), 91u);
    struct Case {
        const char* label;
        std::vector<std::string> names;
        std::string deviceId;  // empty: absent
    };
    const Case cases[] = {
        {"90 characters", {fits}, fits},
        {"91 characters alone", {tooLong}, ""},
        {"91 characters, then a card", {tooLong, kCard}, kCard},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FakeSystem sys;
        RunState state{sys};
        ASSERT_TRUE(LoadKeys(sys, PciKeys(c.names)));

        SearchCard(state);

        if (c.deviceId.empty())
            ExpectAbsent(state);
        else
            ExpectFound(state, c.deviceId);
        ExpectCleanEnd(sys, state);
    }
}

}  // namespace
