// Leftover removal: the card device key, the uninstall entry, the mixer settings and the driver files.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/text.h"
#include "common/walk_limits.h"
#include "leftovers/leftovers.h"
#include "support/fake_system.h"
#include "support/registry_text.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kDevice = "VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10";
const std::string kCardKey = "Enum\\PCI\\" + kDevice;
const std::string kUninstall = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\PelkoSoundDrune";
const std::string kVolume = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control";

const Lines kSystemFiles = {"\\cmaudio.vxd", "\\cmpci95.drv", "\\cmpcifm.drv", "\\cmmpupci.drv", "\\cmswmpu.vxd",
                            "\\cmmpu.exe",   "\\smidi32.dll", "\\A3D.DLL",     "\\C3D.DLL"};

std::string UserKey(const std::string& path)
{
    return "\n[HKEY_CURRENT_USER\\" + path + "]\n";
}

// The Volume Control key with `names` as subkeys, in that order.
std::string MixerKeys(const Lines& names)
{
    std::string text = UserKey(kVolume);
    for (const std::string& name : names)
        text += UserKey(kVolume + "\\" + name);
    return text;
}

class LeftoversTest : public ::testing::Test {
protected:
    // The state instance removal leaves: the card found and its device key open on the enumeration handle.
    static void Prepare(FakeSystem& fake, RunState& run, const std::string& body)
    {
        ASSERT_TRUE(LoadKeys(fake, MachineKey(kCardKey + "\\0000") + MachineKey("Enum\\PCI\\VEN_8086&DEV_7110") +
                                       MachineKey(kUninstall) + MachineKey(kUninstall + "X") + body));
        run.cardFound = true;
        ASSERT_TRUE(CopyText(run.cardDeviceKey, kCardKey.c_str()));
        ASSERT_TRUE(CopyText(run.subkeyName, kDevice.c_str()));
        ASSERT_EQ(fake.RegOpenKeyExA(HKEY_LOCAL_MACHINE, run.cardDeviceKey, 0, KEY_READ, &run.enumKey), ERROR_SUCCESS);
        fake.ClearLog();
    }

    static Lines UserDeletions(const FakeSystem& fake) { return fake.Log("RegDeleteKeyA HKCU"); }

    FakeSystem sys;
    RunState state{sys};
};

TEST_F(LeftoversTest, RemovesEverythingInItsFixedOrder)
{
    Prepare(sys, state, MixerKeys({"Speakers", "C-Media Audio Mixer"}));
    for (const std::string& file : kSystemFiles)
        sys.AddFile("C:\\WINDOWS\\SYSTEM" + file);
    sys.AddFile("C:\\WINDOWS\\Cldrune.exe");
    sys.AddFile("C:\\WINDOWS\\SYSTEM\\other.drv");

    RemoveLeftovers(state, state.cardDeviceKey);

    Lines expected = {"RegCloseKey",
                      "RegDeleteKeyA HKLM " + kCardKey,
                      "RegDeleteKeyA HKLM " + kUninstall,
                      "RegOpenKeyExA HKCU " + kVolume,
                      "RegEnumKeyA 0",
                      "RegEnumKeyA 1",
                      "RegCloseKey",
                      "RegDeleteKeyA HKCU " + kVolume + "\\C-Media Audio Mixer"};
    for (const std::string& file : kSystemFiles) {
        expected.push_back("GetSystemDirectoryA");
        expected.push_back("remove C:\\WINDOWS\\SYSTEM" + file);
    }
    expected.push_back("GetWindowsDirectoryA");
    expected.push_back("remove C:\\WINDOWS\\Cldrune.exe");
    EXPECT_EQ(sys.Log(), expected);

    EXPECT_FALSE(sys.KeyExists(HKEY_LOCAL_MACHINE, kCardKey));
    EXPECT_TRUE(sys.KeyExists(HKEY_LOCAL_MACHINE, "Enum\\PCI\\VEN_8086&DEV_7110"));
    EXPECT_FALSE(sys.KeyExists(HKEY_LOCAL_MACHINE, kUninstall));
    EXPECT_TRUE(sys.KeyExists(HKEY_LOCAL_MACHINE, kUninstall + "X"));
    EXPECT_TRUE(sys.KeyExists(HKEY_CURRENT_USER, kVolume + "\\Speakers"));
    EXPECT_EQ(sys.Files(), (Lines{"C:\\WINDOWS\\SYSTEM\\other.drv"}));
    EXPECT_TRUE(state.mixerSettingsFound);
    EXPECT_STREQ(state.searchText, "C-Media Audio Mixer");
    EXPECT_EQ(state.enumKey, nullptr);
    EXPECT_EQ(sys.OpenHandles(), 0u);
}

TEST_F(LeftoversTest, OnlyTheFirstMatchingMixerSubkeyIsDeleted)
{
    const std::string fits = "C-Media Audio Mixer" + std::string(15, '2');     // 34: the path has 99
    const std::string tooLong = "C-Media Audio Mixer" + std::string(16, '3');  // 35: it would need 100
    struct Case {
        const char* label;
        std::string body;
        std::string deleted;  // the subkey deleted, if any
        bool found;
    };
    const Case cases[] = {
        {"exact name", MixerKeys({"C-Media Audio Mixer"}), "C-Media Audio Mixer", true},
        {"text around it, first of two", MixerKeys({"Other", "My C-Media Audio Mixer 2", "C-Media Audio Mixer"}),
         "My C-Media Audio Mixer 2", true},
        {"lower case", MixerKeys({"c-media audio mixer"}), "", false},
        {"part of the words", MixerKeys({"C-Media Audio", "Audio Mixer"}), "", false},
        {"no subkeys", MixerKeys({}), "", false},
        {"no Volume Control key", UserKey("SOFTWARE\\Other\\C-Media Audio Mixer"), "", false},
        {"34 characters", MixerKeys({fits}), fits, true},
        {"35 characters, then one that fits", MixerKeys({tooLong, "C-Media Audio Mixer"}), "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FakeSystem fake;
        RunState run{fake};
        Prepare(fake, run, c.body);

        RemoveLeftovers(run, run.cardDeviceKey);

        EXPECT_EQ(UserDeletions(fake),
                  c.deleted.empty() ? Lines{} : Lines{"RegDeleteKeyA HKCU " + kVolume + "\\" + c.deleted});
        EXPECT_EQ(run.mixerSettingsFound, c.found);
        if (c.body.find(kVolume) != std::string::npos) {
            EXPECT_TRUE(fake.KeyExists(HKEY_CURRENT_USER, kVolume));
        }
        EXPECT_EQ(fake.OpenHandles(), 0u);
    }
}

TEST_F(LeftoversTest, MixerWalkPassesOverFailingIndexesAndEnds)
{
    struct Case {
        const char* label;
        unsigned failingCalls;  // the first enumerations fail
        bool forever;
        bool deleted;
        LONG error = ERROR_ACCESS_DENIED;
    };
    const Case cases[] = {
        {"one failing index", 1, false, true},
        {"a run just below the bound", kMaxFailingIndexRun - 1, false, true},
        {"a run at the bound", kMaxFailingIndexRun, false, false},
        {"every call fails", 1, true, false},
        // Names too long for the buffer are passed over and never end the walk.
        {"a long run of over-long names", kMaxFailingIndexRun + 4, false, true, ERROR_MORE_DATA},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        Lines names;
        for (unsigned i = 0; i < c.failingCalls; ++i)
            names.push_back("C-Media Audio Mixer " + std::to_string(i));
        names.push_back("C-Media Audio Mixer");
        FakeSystem fake;
        RunState run{fake};
        Prepare(fake, run, MixerKeys(names));
        if (c.forever) {
            fake.Fail("RegEnumKeyA", 1, ERROR_KEY_DELETED, FakeSystem::FaultMode::FromThenOn);
        } else {
            for (unsigned call = 1; call <= c.failingCalls; ++call)
                fake.Fail("RegEnumKeyA", call, c.error);
        }

        RemoveLeftovers(run, run.cardDeviceKey);

        EXPECT_EQ(UserDeletions(fake),
                  c.deleted ? Lines{"RegDeleteKeyA HKCU " + kVolume + "\\C-Media Audio Mixer"} : Lines{});
        EXPECT_EQ(fake.Log("RegEnumKeyA").size(), c.deleted ? c.failingCalls + 1 : kMaxFailingIndexRun);
        // The driver files are still attempted.
        EXPECT_EQ(fake.Log("remove").size(), 10u);
    }
}

TEST_F(LeftoversTest, MissingFilesArePassedOverInTableOrder)
{
    Prepare(sys, state, "");
    sys.AddFile("C:\\WINDOWS\\SYSTEM\\CMPCI95.DRV");
    sys.AddFile("C:\\WINDOWS\\SYSTEM\\A3D.DLL");

    RemoveLeftovers(state, state.cardDeviceKey);

    Lines expected;
    for (const std::string& file : kSystemFiles)
        expected.push_back("remove C:\\WINDOWS\\SYSTEM" + file);
    expected.push_back("remove C:\\WINDOWS\\Cldrune.exe");
    EXPECT_EQ(sys.Log("remove"), expected);
    EXPECT_TRUE(sys.Files().empty());
}

TEST_F(LeftoversTest, ADirectoryWithoutRoomForTheNameSkipsThatFile)
{
    // 86 characters leave room for every name; 87 not for "\cmmpupci.drv" (13); 99 for none; 100 do not
    // fit the buffer at all, and a failing query gives no directory.
    struct Case {
        const char* label;
        std::size_t length;
        bool fails;
        Lines kept;  // system files that stay
    };
    const Case cases[] = {
        {"86 characters", 86, false, {}},
        {"87 characters", 87, false, {"\\cmmpupci.drv"}},
        {"99 characters", 99, false, kSystemFiles},
        {"100 characters", 100, false, kSystemFiles},
        {"failing query", 20, true, kSystemFiles},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string directory = "C:\\" + std::string(c.length - 3, 'S');
        FakeSystem fake;
        RunState run{fake};
        Prepare(fake, run, "");
        fake.SetSystemDirectory(directory);
        if (c.fails)
            fake.Fail("GetSystemDirectoryA", 1, 0, FakeSystem::FaultMode::FromThenOn);
        for (const std::string& file : kSystemFiles)
            fake.AddFile(directory + file);
        fake.AddFile("C:\\WINDOWS\\Cldrune.exe");

        RemoveLeftovers(run, run.cardDeviceKey);

        Lines kept;
        for (const std::string& file : c.kept)
            kept.push_back(directory + file);
        EXPECT_EQ(fake.Files(), kept);
        EXPECT_EQ(fake.Log("remove").size(), 10u - c.kept.size());
        EXPECT_EQ(fake.Log("GetSystemDirectoryA").size(), 9u);
    }
}

TEST_F(LeftoversTest, RunsInFullWhenTheCardDeviceKeyWasNeverOpened)
{
    Prepare(sys, state, MixerKeys({"C-Media Audio Mixer"}));
    sys.RegCloseKey(state.enumKey);
    state.enumKey = nullptr;
    sys.ClearLog();
    sys.AddFile("C:\\WINDOWS\\Cldrune.exe");

    RemoveLeftovers(state, state.cardDeviceKey);

    EXPECT_EQ(sys.Log("RegCloseKey").size(), 1u);  // the mixer key's only
    EXPECT_EQ(sys.Log().front(), "RegDeleteKeyA HKLM " + kCardKey);
    EXPECT_FALSE(sys.KeyExists(HKEY_LOCAL_MACHINE, kCardKey));
    EXPECT_FALSE(sys.KeyExists(HKEY_LOCAL_MACHINE, kUninstall));
    EXPECT_FALSE(sys.KeyExists(HKEY_CURRENT_USER, kVolume + "\\C-Media Audio Mixer"));
    EXPECT_FALSE(sys.HasFile("C:\\WINDOWS\\Cldrune.exe"));
}

TEST_F(LeftoversTest, WithoutTheCardNothingIsTouched)
{
    ASSERT_TRUE(LoadKeys(sys, MachineKey("Enum\\PCI\\VEN_8086&DEV_7110") + MachineKey(kUninstall) +
                                  MixerKeys({"C-Media Audio Mixer"})));
    sys.AddFile("C:\\WINDOWS\\Cldrune.exe");
    CopyText(state.cardDeviceKey, "Enum\\PCI");
    state.cardFound = false;

    RemoveLeftovers(state, state.cardDeviceKey);

    EXPECT_TRUE(sys.Log().empty());
    EXPECT_FALSE(sys.registry().Modified());
    EXPECT_TRUE(sys.HasFile("C:\\WINDOWS\\Cldrune.exe"));
}

}  // namespace
