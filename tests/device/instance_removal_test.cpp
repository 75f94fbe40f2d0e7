// Instance removal: each instance of the card with its three companions, on small registries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/walk_limits.h"
#include "device/card_search.h"
#include "device/instance_removal.h"
#include "support/fake_system.h"
#include "support/registry_text.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kDevice = "VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10";
const std::string kClass = "System\\CurrentControlSet\\Services\\Class\\";

std::string InstancePath(const std::string& device, const std::string& instance)
{
    return "Enum\\PCI\\" + device + "\\" + instance;
}

std::string CompanionPath(const char* companion, const std::string& device, const std::string& instance)
{
    return std::string("Enum\\VIRTUAL\\") + companion + "\\PCI&" + device + "&" + instance;
}

// A key with a "Driver" value (none when `driver` is empty).
std::string KeyWithDriver(const std::string& path, const std::string& driver)
{
    return MachineKey(path) + (driver.empty() ? "" : StringValue("Driver", driver));
}

std::string ClassKey(const std::string& driver, const char* infPath)
{
    return MachineKey(kClass + driver) + StringValue("InfPath", infPath);
}

std::string Deleted(const std::string& path)
{
    return "RegDeleteKeyA HKLM " + path;
}

// One instance with all three companions, each naming a driver class of its own (named after `number`).
std::string FullInstance(const std::string& device, const std::string& instance, const std::string& number)
{
    return KeyWithDriver(InstancePath(device, instance), "MEDIA\\00" + number) +
           MachineKey(InstancePath(device, instance) + "\\LogConfig") +
           KeyWithDriver(CompanionPath("*PNPB02F", device, instance), "SYSTEM\\00" + number) +
           KeyWithDriver(CompanionPath("SSC-DOSEMU", device, instance), "MEDIA\\01" + number) +
           KeyWithDriver(CompanionPath("SSC-SBEMU", device, instance), "MEDIA\\02" + number) +
           ClassKey("MEDIA\\00" + number, "cmpci.inf") + ClassKey("SYSTEM\\00" + number, "gameport.inf") +
           ClassKey("MEDIA\\01" + number, "cmpci.inf") + ClassKey("MEDIA\\02" + number, "cmpci.inf");
}

// The deletions of one pass over an instance built by FullInstance, in order.
Lines FullInstanceDeletions(const std::string& device, const std::string& instance, const std::string& number)
{
    return {Deleted(InstancePath(device, instance)),
            Deleted(kClass + "MEDIA\\00" + number),
            Deleted(CompanionPath("*PNPB02F", device, instance)),
            Deleted(kClass + "SYSTEM\\00" + number),
            Deleted(CompanionPath("SSC-DOSEMU", device, instance)),
            Deleted(kClass + "MEDIA\\01" + number),
            Deleted(CompanionPath("SSC-SBEMU", device, instance)),
            Deleted(kClass + "MEDIA\\02" + number)};
}

Lines Concat(Lines a, const Lines& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class InstanceRemovalTest : public ::testing::Test {
protected:
    // Loads the card's device key with `body` below it and runs card search, as the run does first.
    void Prepare(const std::string& body, const std::string& device = kDevice)
    {
        ASSERT_TRUE(LoadKeys(sys, MachineKey("Enum\\PCI\\" + device) + body));
        SearchCard(state);
        ASSERT_TRUE(state.cardFound);
        ASSERT_EQ(std::string(state.subkeyName), device);
        sys.ClearLog();
    }

    // The card device key stays open for leftover removal, and nothing else is open.
    void ExpectCardKeyLeftOpen()
    {
        EXPECT_NE(state.enumKey, nullptr);
        EXPECT_EQ(sys.OpenHandles(), 1u);
        EXPECT_EQ(state.workingKey, nullptr);
    }

    FakeSystem sys;
    RunState state{sys};
};

TEST_F(InstanceRemovalTest, RemovesEachInstanceWithItsCompanionsAndTheirClasses)
{
    Prepare(FullInstance(kDevice, "0000", "00") + FullInstance(kDevice, "0001", "01") +
            KeyWithDriver(CompanionPath("*PNPB02F", "VEN_1274&DEV_1371", "0000"), "SYSTEM\\0099") +
            ClassKey("MEDIA\\0099", "other.inf"));
    for (const char* file : {"C:\\WINDOWS\\INF\\cmpci.inf", "C:\\WINDOWS\\INF\\OTHER\\cmpci.inf",
                             "C:\\WINDOWS\\INF\\gameport.inf", "C:\\WINDOWS\\INF\\OTHER\\gameport.inf"})
        sys.AddFile(file);

    RemoveInstances(state, state.cardDeviceKey, state.subkeyName);

    EXPECT_EQ(sys.Log("RegDeleteKeyA"),
              Concat(FullInstanceDeletions(kDevice, "0000", "00"), FullInstanceDeletions(kDevice, "0001", "01")));
    EXPECT_EQ(sys.Log("RegEnumKeyA"), (Lines{"RegEnumKeyA 0", "RegEnumKeyA 0", "RegEnumKeyA 0"}));
    EXPECT_TRUE(sys.registry().SubkeyNames(HKEY_LOCAL_MACHINE, "Enum\\PCI\\" + kDevice).empty());
    EXPECT_TRUE(sys.KeyExists(HKEY_LOCAL_MACHINE, "Enum\\PCI\\" + kDevice));
    // Another device's companion and an unrelated class stay.
    EXPECT_TRUE(sys.KeyExists(HKEY_LOCAL_MACHINE, CompanionPath("*PNPB02F", "VEN_1274&DEV_1371", "0000")));
    EXPECT_TRUE(sys.KeyExists(HKEY_LOCAL_MACHINE, kClass + "MEDIA\\0099"));
    // The game port's class keeps its INF files; the others' go.
    EXPECT_EQ(sys.Files(), (Lines{"C:\\WINDOWS\\INF\\gameport.inf", "C:\\WINDOWS\\INF\\OTHER\\gameport.inf"}));
    ExpectCardKeyLeftOpen();
}

TEST_F(InstanceRemovalTest, EachTargetIsReadClosedAndDeletedBeforeItsClassGoes)
{
    Prepare(KeyWithDriver(InstancePath(kDevice, "0000"), "MEDIA\\0001"));

    RemoveInstances(state, state.cardDeviceKey, state.subkeyName);

    const std::string instance = InstancePath(kDevice, "0000");
    EXPECT_EQ(sys.Log(), (Lines{
                             "RegOpenKeyExA HKLM Enum\\PCI\\" + kDevice,
                             "RegEnumKeyA 0",
                             "RegOpenKeyExA HKLM " + instance,
                             "RegQueryValueExA Driver",
                             "RegCloseKey",
                             "RegDeleteKeyA HKLM " + instance,
                             "RegOpenKeyExA HKLM " + kClass + "MEDIA\\0001",
                             "RegOpenKeyExA HKLM " + kClass + "MEDIA\\0001\\Drivers",
                             "RegDeleteKeyA HKLM " + kClass + "MEDIA\\0001",
                             "RegOpenKeyExA HKLM " + CompanionPath("*PNPB02F", kDevice, "0000"),
                             "RegOpenKeyExA HKLM " + CompanionPath("SSC-DOSEMU", kDevice, "0000"),
                             "RegOpenKeyExA HKLM " + CompanionPath("SSC-SBEMU", kDevice, "0000"),
                             "RegEnumKeyA 0",
                         }));
    ExpectCardKeyLeftOpen();
}

TEST_F(InstanceRemovalTest, CardDeviceKeyWithoutInstancesRemovesNothing)
{
    Prepare("");

    RemoveInstances(state, state.cardDeviceKey, state.subkeyName);

    EXPECT_EQ(sys.Log(), (Lines{"RegOpenKeyExA HKLM Enum\\PCI\\" + kDevice, "RegEnumKeyA 0"}));
    ExpectCardKeyLeftOpen();
}

TEST_F(InstanceRemovalTest, CardDeviceKeyThatDoesNotOpenRemovesNothing)
{
    Prepare(FullInstance(kDevice, "0000", "00"));
    sys.Fail("RegOpenKeyExA HKLM Enum\\PCI\\" + kDevice, 1, ERROR_ACCESS_DENIED);

    RemoveInstances(state, state.cardDeviceKey, state.subkeyName);

    EXPECT_EQ(sys.Log(), (Lines{"RegOpenKeyExA HKLM Enum\\PCI\\" + kDevice}));
    EXPECT_EQ(state.enumKey, nullptr);
    EXPECT_EQ(sys.OpenHandles(), 0u);
}

TEST_F(InstanceRemovalTest, DriverValueDecidesOnlyWhetherTheClassGoes)
{
    struct Case {
        const char* label;
        std::string driverLine;  // the instance key's "Driver" value line, if any
        std::string className;   // the class key the registry holds
        bool classRemoved;
    };
    const Case cases[] = {
        {"missing", "", "MEDIA\\0001", false},
        {"19 characters", StringValue("Driver", "MEDIA\\0001ABCDEFGHI"), "MEDIA\\0001ABCDEFGHI", true},
        {"20 characters", StringValue("Driver", "MEDIA\\0001ABCDEFGHIJ"), "MEDIA\\0001ABCDEFGHIJ", false},
        {"bytes without terminator", "\"Driver\"=hex:4d,45,44,49,41,5c,30,30,30,31\n", "MEDIA\\0001", false},
        {"bytes with terminator", "\"Driver\"=hex:4d,45,44,49,41,5c,30,30,30,31,00\n", "MEDIA\\0001", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FakeSystem fake;
        RunState run{fake};
        ASSERT_TRUE(LoadKeys(fake, MachineKey(InstancePath(kDevice, "0000")) + c.driverLine +
                                       KeyWithDriver(CompanionPath("SSC-DOSEMU", kDevice, "0000"), "MEDIA\\0010") +
                                       MachineKey(kClass + c.className) + MachineKey(kClass + "MEDIA\\0010")));
        SearchCard(run);

        RemoveInstances(run, run.cardDeviceKey, run.subkeyName);

        EXPECT_FALSE(fake.KeyExists(HKEY_LOCAL_MACHINE, InstancePath(kDevice, "0000")));
        EXPECT_NE(fake.KeyExists(HKEY_LOCAL_MACHINE, kClass + c.className), c.classRemoved);
        // The companion is handled all the same.
        EXPECT_FALSE(fake.KeyExists(HKEY_LOCAL_MACHINE, CompanionPath("SSC-DOSEMU", kDevice, "0000")));
        EXPECT_FALSE(fake.KeyExists(HKEY_LOCAL_MACHINE, kClass + "MEDIA\\0010"));
    }
}

TEST_F(InstanceRemovalTest, CompanionsAreFoundOnlyUnderTheirExactName)
{
    const std::string nested = "Enum\\VIRTUAL\\*PNPB02F\\PCI&" + kDevice + "\\0000";
    const std::string otherDevice = CompanionPath("SSC-DOSEMU", "VEN_13F6&DEV_0111&SUBSYS_00000000", "0000");
    const std::string otherInstance = CompanionPath("SSC-SBEMU", kDevice, "0001");
    const std::string noDriver = CompanionPath("SSC-DOSEMU", kDevice, "0000");
    Prepare(KeyWithDriver(InstancePath(kDevice, "0000"), "MEDIA\\0001") + KeyWithDriver(nested, "SYSTEM\\0001") +
            KeyWithDriver(otherDevice, "MEDIA\\0011") + KeyWithDriver(otherInstance, "MEDIA\\0021") +
            MachineKey(noDriver) + MachineKey(kClass + "MEDIA\\0001"));

    RemoveInstances(state, state.cardDeviceKey, state.subkeyName);

    EXPECT_EQ(sys.Log("RegDeleteKeyA"),
              (Lines{Deleted(InstancePath(kDevice, "0000")), Deleted(kClass + "MEDIA\\0001"), Deleted(noDriver)}));
    EXPECT_TRUE(sys.KeyExists(HKEY_LOCAL_MACHINE, nested));
    EXPECT_TRUE(sys.KeyExists(HKEY_LOCAL_MACHINE, otherDevice));
    EXPECT_TRUE(sys.KeyExists(HKEY_LOCAL_MACHINE, otherInstance));
    ExpectCardKeyLeftOpen();
}

TEST_F(InstanceRemovalTest, AnInstanceThatSurvivesItsPassIsPassedOver)
{
    const std::string first = InstancePath(kDevice, "0000");
    struct Case {
        const char* label;
        std::string match;  // the call that keeps failing
        bool companionsRemoved;
    };
    const Case cases[] = {
        {"its key does not open", "RegOpenKeyExA HKLM " + first, true},
        {"its key is not deleted", "RegDeleteKeyA HKLM " + first, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FakeSystem fake;
        RunState run{fake};
        ASSERT_TRUE(LoadKeys(fake, FullInstance(kDevice, "0000", "00") + FullInstance(kDevice, "0001", "01")));
        SearchCard(run);
        fake.ClearLog();
        fake.Fail(c.match, 1, ERROR_ACCESS_DENIED, FakeSystem::FaultMode::FromThenOn);

        RemoveInstances(run, run.cardDeviceKey, run.subkeyName);

        EXPECT_TRUE(fake.KeyExists(HKEY_LOCAL_MACHINE, first));
        EXPECT_EQ(fake.Log("RegOpenKeyExA HKLM " + first).size(), 1u);
        EXPECT_EQ(fake.Log("RegEnumKeyA"), (Lines{"RegEnumKeyA 0", "RegEnumKeyA 0", "RegEnumKeyA 1", "RegEnumKeyA 1"}));
        // The other instance still goes whole, and so do the survivor's companions.
        EXPECT_FALSE(fake.KeyExists(HKEY_LOCAL_MACHINE, InstancePath(kDevice, "0001")));
        EXPECT_FALSE(fake.KeyExists(HKEY_LOCAL_MACHINE, CompanionPath("SSC-SBEMU", kDevice, "0001")));
        EXPECT_FALSE(fake.KeyExists(HKEY_LOCAL_MACHINE, CompanionPath("*PNPB02F", kDevice, "0000")));
        EXPECT_FALSE(fake.KeyExists(HKEY_LOCAL_MACHINE, kClass + "MEDIA\\0201"));
    }
}

TEST_F(InstanceRemovalTest, FailingEnumerationIsRetriedThenItsIndexPassedOver)
{
    struct Case {
        unsigned failingCalls;  // the first calls at index 0 that fail
        bool firstRemoved;
    };
    const Case cases[] = {{1, true}, {kInstanceEnumTries - 1, true}, {kInstanceEnumTries, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.failingCalls);
        FakeSystem fake;
        RunState run{fake};
        ASSERT_TRUE(LoadKeys(fake, FullInstance(kDevice, "0000", "00") + FullInstance(kDevice, "0001", "01")));
        SearchCard(run);
        fake.ClearLog();
        for (unsigned call = 1; call <= c.failingCalls; ++call)
            fake.Fail("RegEnumKeyA", call, ERROR_KEY_DELETED);

        RemoveInstances(run, run.cardDeviceKey, run.subkeyName);

        EXPECT_NE(fake.KeyExists(HKEY_LOCAL_MACHINE, InstancePath(kDevice, "0000")), c.firstRemoved);
        EXPECT_FALSE(fake.KeyExists(HKEY_LOCAL_MACHINE, InstancePath(kDevice, "0001")));
    }
}

TEST_F(InstanceRemovalTest, AnEnumerationFailingForeverEnds)
{
    Prepare(FullInstance(kDevice, "0000", "00"));
    sys.Fail("RegEnumKeyA", 1, ERROR_KEY_DELETED, FakeSystem::FaultMode::FromThenOn);

    RemoveInstances(state, state.cardDeviceKey, state.subkeyName);

    EXPECT_EQ(sys.Log("RegEnumKeyA").size(), kInstanceEnumTries * kMaxFailingIndexRun);
    EXPECT_TRUE(sys.Log("RegDeleteKeyA").empty());
    ExpectCardKeyLeftOpen();
}

TEST_F(InstanceRemovalTest, AnInstanceNameTooLongForItsBufferIsPassedOver)
{
    const std::string longName(52, 'L');
    Prepare(FullInstance(kDevice, longName, "00") + FullInstance(kDevice, "0001", "01"));

    RemoveInstances(state, state.cardDeviceKey, state.subkeyName);

    EXPECT_TRUE(sys.KeyExists(HKEY_LOCAL_MACHINE, InstancePath(kDevice, longName)));
    EXPECT_EQ(sys.Log("RegDeleteKeyA"), FullInstanceDeletions(kDevice, "0001", "01"));
    ExpectCardKeyLeftOpen();
}

TEST_F(InstanceRemovalTest, ATargetWhosePathDoesNotFitIsPassedOver)
{
    // Device id and instance name of 71 characters together: the SSC-DOSEMU key (28 fixed characters) would
    // need 100, the *PNPB02F key 98 and the SSC-SBEMU key 99.
    const std::string device = "VEN_13F6&DEV_0111&" + std::string(42, 'D');
    const std::string instance = "INSTANCE_01";
    ASSERT_EQ(device.size() + instance.size(), 71u);
    Prepare(FullInstance(device, instance, "00"), device);

    RemoveInstances(state, state.cardDeviceKey, state.subkeyName);

    EXPECT_TRUE(sys.KeyExists(HKEY_LOCAL_MACHINE, CompanionPath("SSC-DOSEMU", device, instance)));
    EXPECT_TRUE(sys.KeyExists(HKEY_LOCAL_MACHINE, kClass + "MEDIA\\0100"));
    EXPECT_TRUE(sys.Log("RegOpenKeyExA HKLM Enum\\VIRTUAL\\SSC-DOSEMU").empty());
    EXPECT_EQ(sys.Log("RegDeleteKeyA"),
              (Lines{Deleted(InstancePath(device, instance)), Deleted(kClass + "MEDIA\\0000"),
                     Deleted(CompanionPath("*PNPB02F", device, instance)), Deleted(kClass + "SYSTEM\\0000"),
                     Deleted(CompanionPath("SSC-SBEMU", device, instance)), Deleted(kClass + "MEDIA\\0200")}));
    ExpectCardKeyLeftOpen();
}

TEST_F(InstanceRemovalTest, AnInstanceKeyPathThatDoesNotFitEndsWithNothingDeleted)
{
    // "Enum\PCI\", 90 characters of device id, "\" and 10 of instance name: 110 characters.
    const std::string device = "VEN_13F6&DEV_0111&" + std::string(72, 'D');
    Prepare(FullInstance(device, "INSTANCE10", "00"), device);

    RemoveInstances(state, state.cardDeviceKey, state.subkeyName);

    EXPECT_TRUE(sys.Log("RegDeleteKeyA").empty());
    EXPECT_TRUE(sys.Log("RegOpenKeyExA HKLM Enum\\PCI\\" + device + "\\").empty());
    EXPECT_EQ(sys.Log("RegEnumKeyA"), (Lines{"RegEnumKeyA 0", "RegEnumKeyA 0", "RegEnumKeyA 1"}));
    ExpectCardKeyLeftOpen();
}

}  // namespace
