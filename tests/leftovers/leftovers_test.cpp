// Leftover removal: the card device key, the uninstall entry, the mixer settings and the driver files.
#include <gmock/gmock.h>
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

// The system files with the system directory before them, and Cldrune.exe from the Windows directory: every
// driver file, in the order of removal.
Lines DriverFiles(const std::string& systemDirectory = "C:\\WINDOWS\\SYSTEM")
{
    Lines files;
    for (const std::string& file : kSystemFiles)
        files.push_back(systemDirectory + file);
    files.push_back("C:\\WINDOWS\\Cldrune.exe");
    return files;
}

class LeftoversTest : public ::testing::Test {
protected:
    // The state instance removal leaves: the card found and its device key open on the enumeration handle.
    static void Prepare(StepBench& run, const std::string& body)
    {
        ASSERT_TRUE(LoadKeys(run.fake, MachineKey(kCardKey + "\\0000") + MachineKey("Enum\\PCI\\VEN_8086&DEV_7110") +
                                           MachineKey(kUninstall) + MachineKey(kUninstall + "X") + body));
        run.state.cardFound = true;
        ASSERT_TRUE(CopyText(run.state.cardDeviceKey, kCardKey.c_str()));
        ASSERT_TRUE(CopyText(run.state.subkeyName, kDevice.c_str()));
        ASSERT_EQ(run.fake.RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCardKey.c_str(), 0, KEY_READ, &run.state.enumKey),
                  ERROR_SUCCESS);
    }

    static void Remove(StepBench& run) { RemoveLeftovers(run.state, run.state.cardDeviceKey); }

    // The keys deleted below HKEY_CURRENT_USER, in order.
    static Lines UserDeletions(const StepBench& run)
    {
        Lines paths;
        for (const Call& call : run.sys.calls()) {
            if (call.op == Op::RegDeleteKeyA && call.root == HKEY_CURRENT_USER)
                paths.push_back(call.arg);
        }
        return paths;
    }

    StepBench run;
};

TEST_F(LeftoversTest, RemovesEverythingInItsFixedOrder)
{
    Prepare(run, MixerKeys({"Speakers", "C-Media Audio Mixer"}));
    run.fake.files = DriverFiles();
    run.fake.files.push_back("C:\\WINDOWS\\SYSTEM\\other.drv");

    Remove(run);

    Lines expected = {kCardKey, kUninstall, kVolume + "\\C-Media Audio Mixer"};
    for (const std::string& file : DriverFiles())
        expected.push_back(file);
    EXPECT_EQ(run.Deletions(), expected);
    const emulated::Registry& registry = run.fake.registry;
    EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, kCardKey));
    EXPECT_TRUE(registry.KeyExists(HKEY_LOCAL_MACHINE, "Enum\\PCI\\VEN_8086&DEV_7110"));
    EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, kUninstall));
    EXPECT_TRUE(registry.KeyExists(HKEY_LOCAL_MACHINE, kUninstall + "X"));
    EXPECT_FALSE(registry.KeyExists(HKEY_CURRENT_USER, kVolume + "\\C-Media Audio Mixer"));
    EXPECT_TRUE(registry.KeyExists(HKEY_CURRENT_USER, kVolume + "\\Speakers"));
    EXPECT_EQ(run.fake.files, (Lines {"C:\\WINDOWS\\SYSTEM\\other.drv"}));
    EXPECT_TRUE(run.state.mixerSettingsFound);
    EXPECT_EQ(run.state.enumKey, nullptr);
    EXPECT_EQ(registry.OpenHandles(), 0u);
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
        StepBench one;
        Prepare(one, c.body);

        Remove(one);

        EXPECT_EQ(UserDeletions(one), c.deleted.empty() ? Lines {} : Lines {kVolume + "\\" + c.deleted});
        EXPECT_EQ(one.state.mixerSettingsFound, c.found);
        if (c.body.find(kVolume) != std::string::npos) {
            EXPECT_TRUE(one.fake.registry.KeyExists(HKEY_CURRENT_USER, kVolume));
        }
        EXPECT_EQ(one.fake.registry.OpenHandles(), 0u);
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
        StepBench one;
        Prepare(one, MixerKeys(names));
        one.fake.files = DriverFiles();
        if (c.forever)
            one.sys.FailCall(Op::RegEnumKeyA, 1, FaultRule::kForever, ERROR_KEY_DELETED);
        else
            one.sys.FailCall(Op::RegEnumKeyA, 1, c.failingCalls, c.error);

        Remove(one);

        EXPECT_EQ(UserDeletions(one), c.deleted ? Lines {kVolume + "\\C-Media Audio Mixer"} : Lines {});
        if (c.forever) {
            EXPECT_EQ(one.sys.Count(Op::RegEnumKeyA), kMaxFailingIndexRun);
        }
        // The driver files go all the same.
        EXPECT_TRUE(one.fake.files.empty());
    }
}

TEST_F(LeftoversTest, MissingFilesArePassedOverInTableOrder)
{
    Prepare(run, "");
    run.fake.files = {"C:\\WINDOWS\\SYSTEM\\CMPCI95.DRV", "C:\\WINDOWS\\SYSTEM\\A3D.DLL"};

    Remove(run);

    EXPECT_EQ(run.sys.Args(Op::RemoveFile), DriverFiles());
    EXPECT_TRUE(run.fake.files.empty());
}

TEST_F(LeftoversTest, ADirectoryWithoutRoomForTheNameSkipsThatFile)
{
    // 86 characters leave room for every name; 87 not for "\cmmpupci.drv" (13); 99 for none; 100 do not
    // fit the buffer at all, and a failing query gives no directory. The directory is asked for afresh for
    // every file, so one failing query costs one file.
    struct Case {
        const char* label;
        std::size_t length;
        unsigned failingQueries;
        Lines kept;  // system files that stay
    };
    const Case cases[] = {
        {"86 characters", 86, 0, {}},
        {"87 characters", 87, 0, {"\\cmmpupci.drv"}},
        {"99 characters", 99, 0, kSystemFiles},
        {"100 characters", 100, 0, kSystemFiles},
        {"failing query", 20, FaultRule::kForever, kSystemFiles},
        {"first query fails", 20, 1, {"\\cmaudio.vxd"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const std::string directory = "C:\\" + std::string(c.length - 3, 'S');
        StepBench one;
        Prepare(one, "");
        one.fake.systemDirectory = directory;
        one.fake.files = DriverFiles(directory);
        one.sys.FailCall(Op::GetSystemDirectoryA, c.failingQueries == 0 ? 0 : 1, c.failingQueries);

        Remove(one);

        Lines kept;
        for (const std::string& file : c.kept)
            kept.push_back(directory + file);
        EXPECT_EQ(one.fake.files, kept);
        // No other path was asked for, such as one cut short.
        EXPECT_EQ(one.sys.Args(Op::RemoveFile), one.fake.filesRemoved);
    }
}

TEST_F(LeftoversTest, RunsInFullWhenTheCardDeviceKeyWasNeverOpened)
{
    Prepare(run, MixerKeys({"C-Media Audio Mixer"}));
    run.fake.RegCloseKey(run.state.enumKey);
    run.state.enumKey = nullptr;
    run.fake.files = {"C:\\WINDOWS\\Cldrune.exe"};

    Remove(run);

    // No close of a handle it does not hold.
    using ::testing::Field;
    EXPECT_THAT(run.sys.calls(), ::testing::Not(::testing::Contains(::testing::AllOf(
                                     Field(&Call::op, Op::RegCloseKey), Field(&Call::result, ::testing::Ne(0))))));
    EXPECT_EQ(run.Deletions().front(), kCardKey);
    EXPECT_FALSE(run.fake.registry.KeyExists(HKEY_LOCAL_MACHINE, kCardKey));
    EXPECT_FALSE(run.fake.registry.KeyExists(HKEY_LOCAL_MACHINE, kUninstall));
    EXPECT_FALSE(run.fake.registry.KeyExists(HKEY_CURRENT_USER, kVolume + "\\C-Media Audio Mixer"));
    EXPECT_FALSE(run.fake.HasFile("C:\\WINDOWS\\Cldrune.exe"));
}

TEST_F(LeftoversTest, WithoutTheCardNothingIsTouched)
{
    ASSERT_TRUE(LoadKeys(run.fake, MachineKey("Enum\\PCI\\VEN_8086&DEV_7110") + MachineKey(kUninstall) +
                                       MixerKeys({"C-Media Audio Mixer"})));
    run.fake.files = {"C:\\WINDOWS\\Cldrune.exe"};
    CopyText(run.state.cardDeviceKey, "Enum\\PCI");
    run.state.cardFound = false;

    Remove(run);

    EXPECT_THAT(run.Deletions(), ::testing::IsEmpty());
    EXPECT_FALSE(run.fake.registry.Modified());
    EXPECT_TRUE(run.fake.HasFile("C:\\WINDOWS\\Cldrune.exe"));
}

}  // namespace
