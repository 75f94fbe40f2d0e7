// Card search: the first subkey of Enum\PCI holding the card's PCI identifier, found on small registries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
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
    static void ExpectCleanEnd(const StepBench& run)
    {
        EXPECT_EQ(run.state.enumKey, nullptr);
        EXPECT_EQ(run.fake.registry.OpenHandles(), 0u);
        EXPECT_FALSE(run.fake.registry.Modified());
    }

    // Found: the card device key, and the device id in the subkey name buffer, where instance and leftover
    // removal take it from.
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

    // Searches Enum\PCI holding `names`, its calls failing as `fail` has them; a null `deviceId` expects the
    // card to count as absent.
    static void ExpectSearch(const std::vector<std::string>& names, const char* deviceId,
                             const std::function<void(FaultySystem&)>& fail = nullptr)
    {
        StepBench run;
        ASSERT_TRUE(LoadKeys(run.fake, PciKeys(names)));
        if (fail)
            fail(run.sys);
        SearchCard(run.state);
        if (deviceId != nullptr)
            ExpectFound(run.state, deviceId);
        else
            ExpectAbsent(run.state);
        ExpectCleanEnd(run);
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
        // The walk stops at the match: a later name would take the buffer that holds the device id.
        {"a name after the match", {kCard, "VEN_8086&DEV_7110"}, kCard},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ExpectSearch(c.names, c.deviceId);
    }
}

TEST_F(CardSearchTest, WithoutEnumPciTheCardIsAbsent)
{
    StepBench run;
    ASSERT_TRUE(LoadKeys(run.fake, MachineKey("Enum\\ISAPNP\\" + std::string(kCard))));

    SearchCard(run.state);

    ExpectAbsent(run.state);
    ExpectCleanEnd(run);
}

TEST_F(CardSearchTest, UnreadableNamesArePassedOverHoweverMany)
{
    // A name of 100 characters does not fit the subkey name buffer: its enumeration fails with 234, which
    // never counts toward the end of the walk.
    std::vector<std::string> names;
    for (DWORD i = 0; i < kMaxFailingIndexRun + 2; ++i)
        names.push_back("VEN_13F6&DEV_0111&" + std::string(80, 'X') + std::to_string(10 + i));
    ASSERT_EQ(names[0].size(), 100u);
    names.push_back(kCard);
    StepBench run;
    ASSERT_TRUE(LoadKeys(run.fake, PciKeys(names)));

    SearchCard(run.state);

    ExpectFound(run.state, kCard);
    using ::testing::Field;
    EXPECT_THAT(run.sys.calls(), ::testing::Contains(::testing::AllOf(Field(&Call::op, Op::RegEnumKeyA),
                                                                      Field(&Call::result, ERROR_MORE_DATA))));
    ExpectCleanEnd(run);
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
        ExpectSearch(names, c.found ? kCard : nullptr,
                     [&](FaultySystem& sys) { sys.FailCall(Op::RegEnumKeyA, 1, c.failing, ERROR_KEY_DELETED); });
    }
}

TEST_F(CardSearchTest, AWalkOnWhichEveryCallFailsEnds)
{
    // Failures of the key end the walk soon; names too long for the buffer only after a long run of them.
    const struct {
        LONG error;
        DWORD calls;
    } cases[] = {{ERROR_INVALID_HANDLE, kMaxFailingIndexRun}, {ERROR_MORE_DATA, kMaxOverlongRun}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        StepBench run;
        ASSERT_TRUE(LoadKeys(run.fake, PciKeys({kCard})));
        run.sys.FailCall(Op::RegEnumKeyA, 1, FaultRule::kForever, c.error);

        SearchCard(run.state);

        ExpectAbsent(run.state);
        EXPECT_EQ(run.sys.Count(Op::RegEnumKeyA), c.calls);
        ExpectCleanEnd(run);
    }
}

TEST_F(CardSearchTest, ADeviceIdTooLongForTheCardDeviceKeyIsPassedOver)
{
    // "Enum\PCI\" takes 9 of the 99 characters: a device id of 90 fits, one of 91 does not.
    std::string fits = "VEN_13F6&DEV_0111&" + std::string(72, 'F');
    std::string tooLong = "VEN_13F6&DEV_0111&" + std::string(73, 'L');
    ASSERT_EQ(fits.size(), 90u);
    ASSERT_EQ(tooLong.size(), 91u);
    {
        SCOPED_TRACE("90 characters");
        ExpectSearch({fits}, fits.c_str());
    }
    {
        SCOPED_TRACE("91 characters alone");
        ExpectSearch({tooLong}, nullptr);
    }
    {
        SCOPED_TRACE("91 characters, then a card");
        ExpectSearch({tooLong, kCard}, kCard);
    }
}

}  // namespace
