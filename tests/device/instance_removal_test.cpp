// Instance removal: each instance of the card with its three companions, on small registries.
#include <gmock/gmock.h>
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

// The deletions of one pass over an instance built by FullInstance, in order: each key before its class.
Lines FullInstanceDeletions(const std::string& device, const std::string& instance, const std::string& number)
{
    return {InstancePath(device, instance),
            kClass + "MEDIA\\00" + number,
            CompanionPath("*PNPB02F", device, instance),
            kClass + "SYSTEM\\00" + number,
            CompanionPath("SSC-DOSEMU", device, instance),
            kClass + "MEDIA\\01" + number,
            CompanionPath("SSC-SBEMU", device, instance),
            kClass + "MEDIA\\02" + number};
}

Lines Concat(Lines a, const Lines& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class InstanceRemovalTest : public ::testing::Test {
protected:
    // Loads the card's device key with `body` below it and runs card search, as the run does first; the log
    // and the fault count start after it.
    static void Prepare(StepBench& run, const std::string& body, const std::string& device = kDevice)
    {
        ASSERT_TRUE(LoadKeys(run.fake, MachineKey("Enum\\PCI\\" + device) + body));
        SearchCard(run.state);
        ASSERT_TRUE(run.state.cardFound);
        ASSERT_EQ(std::string(run.state.subkeyName), device);
        run.sys.ClearLog();
    }

    static void Remove(StepBench& run) { RemoveInstances(run.state, run.state.cardDeviceKey, run.state.subkeyName); }

    bool Exists(const std::string& path) const { return run.fake.registry.KeyExists(HKEY_LOCAL_MACHINE, path); }

    // The card device key stays open for leftover removal, and nothing else is open.
    void ExpectCardKeyLeftOpen() const
    {
        EXPECT_NE(run.state.enumKey, nullptr);
        EXPECT_EQ(run.fake.registry.OpenHandles(), 1u);
    }

    StepBench run;
};

TEST_F(InstanceRemovalTest, RemovesEachInstanceWithItsCompanionsAndTheirClasses)
{
    Prepare(run, FullInstance(kDevice, "0000", "00") + FullInstance(kDevice, "0001", "01") +
                     KeyWithDriver(CompanionPath("*PNPB02F", "VEN_1274&DEV_1371", "0000"), "SYSTEM\\0099") +
                     ClassKey("MEDIA\\0099", "other.inf"));
    run.fake.files = {"C:\\WINDOWS\\INF\\cmpci.inf", "C:\\WINDOWS\\INF\\OTHER\\cmpci.inf",
                      "C:\\WINDOWS\\INF\\gameport.inf", "C:\\WINDOWS\\INF\\OTHER\\gameport.inf"};

    Remove(run);

    EXPECT_EQ(run.sys.Args(Op::RegDeleteKeyA),
              Concat(FullInstanceDeletions(kDevice, "0000", "00"), FullInstanceDeletions(kDevice, "0001", "01")));
    EXPECT_TRUE(run.fake.registry.SubkeyNames(HKEY_LOCAL_MACHINE, "Enum\\PCI\\" + kDevice).empty());
    EXPECT_TRUE(Exists("Enum\\PCI\\" + kDevice));
    // Another device's companion and an unrelated class stay.
    EXPECT_TRUE(Exists(CompanionPath("*PNPB02F", "VEN_1274&DEV_1371", "0000")));
    EXPECT_TRUE(Exists(kClass + "MEDIA\\0099"));
    // The game port's class keeps its INF files; the others' go.
    EXPECT_EQ(run.fake.files, (Lines {"C:\\WINDOWS\\INF\\gameport.inf", "C:\\WINDOWS\\INF\\OTHER\\gameport.inf"}));
    ExpectCardKeyLeftOpen();
}

TEST_F(InstanceRemovalTest, AnInstanceWithoutCompanionsLosesItsKeyAndThenItsClass)
{
    Prepare(run, KeyWithDriver(InstancePath(kDevice, "0000"), "MEDIA\\0001") + MachineKey(kClass + "MEDIA\\0001"));

    Remove(run);

    EXPECT_THAT(run.Deletions(), ::testing::ElementsAre(InstancePath(kDevice, "0000"), kClass + "MEDIA\\0001"));
    ExpectCardKeyLeftOpen();
}

TEST_F(InstanceRemovalTest, CardDeviceKeyWithoutInstancesRemovesNothing)
{
    Prepare(run, "");

    Remove(run);

    EXPECT_THAT(run.Deletions(), ::testing::IsEmpty());
    ExpectCardKeyLeftOpen();
}

TEST_F(InstanceRemovalTest, CardDeviceKeyThatDoesNotOpenRemovesNothing)
{
    Prepare(run, FullInstance(kDevice, "0000", "00"));
    run.sys.FailCall(Op::RegOpenKeyExA, 1, 1, ERROR_ACCESS_DENIED);

    Remove(run);

    EXPECT_THAT(run.Deletions(), ::testing::IsEmpty());
    EXPECT_EQ(run.state.enumKey, nullptr);
    EXPECT_EQ(run.fake.registry.OpenHandles(), 0u);
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
        StepBench one;
        Prepare(one, MachineKey(InstancePath(kDevice, "0000")) + c.driverLine +
                         KeyWithDriver(CompanionPath("SSC-DOSEMU", kDevice, "0000"), "MEDIA\\0010") +
                         MachineKey(kClass + c.className) + MachineKey(kClass + "MEDIA\\0010"));

        Remove(one);

        const emulated::Registry& registry = one.fake.registry;
        EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, InstancePath(kDevice, "0000")));
        EXPECT_NE(registry.KeyExists(HKEY_LOCAL_MACHINE, kClass + c.className), c.classRemoved);
        // The companion is handled all the same.
        EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, CompanionPath("SSC-DOSEMU", kDevice, "0000")));
        EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, kClass + "MEDIA\\0010"));
    }
}

TEST_F(InstanceRemovalTest, CompanionsAreFoundOnlyUnderTheirExactName)
{
    const std::string nested = "Enum\\VIRTUAL\\*PNPB02F\\PCI&" + kDevice + "\\0000";
    const std::string otherDevice = CompanionPath("SSC-DOSEMU", "VEN_13F6&DEV_0111&SUBSYS_00000000", "0000");
    const std::string otherInstance = CompanionPath("SSC-SBEMU", kDevice, "0001");
    const std::string noDriver = CompanionPath("SSC-DOSEMU", kDevice, "0000");
    Prepare(run, KeyWithDriver(InstancePath(kDevice, "0000"), "MEDIA\\0001") + KeyWithDriver(nested, "SYSTEM\\0001") +
                     KeyWithDriver(otherDevice, "MEDIA\\0011") + KeyWithDriver(otherInstance, "MEDIA\\0021") +
                     MachineKey(noDriver) + MachineKey(kClass + "MEDIA\\0001"));

    Remove(run);

    EXPECT_THAT(run.Deletions(),
                ::testing::ElementsAre(InstancePath(kDevice, "0000"), kClass + "MEDIA\\0001", noDriver));
    EXPECT_TRUE(Exists(nested));
    EXPECT_TRUE(Exists(otherDevice));
    EXPECT_TRUE(Exists(otherInstance));
    ExpectCardKeyLeftOpen();
}

TEST_F(InstanceRemovalTest, AnInstanceThatSurvivesItsPassIsPassedOver)
{
    // The first instance's pass fails at its own key; the walk must not try it again, and must go on.
    struct Case {
        const char* label;
        Op op;
        unsigned call;  // counted among that operation's calls
    };
    const Case cases[] = {
        {"its key does not open", Op::RegOpenKeyExA, 2},  // after the card device key
        {"its key is not deleted", Op::RegDeleteKeyA, 1},
    };
    const std::string first = InstancePath(kDevice, "0000");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        StepBench one;
        Prepare(one, FullInstance(kDevice, "0000", "00") + FullInstance(kDevice, "0001", "01"));
        one.sys.FailCall(c.op, c.call, 1, ERROR_ACCESS_DENIED);

        Remove(one);

        const emulated::Registry& registry = one.fake.registry;
        // Failing once is enough: a second try would remove it.
        EXPECT_TRUE(registry.KeyExists(HKEY_LOCAL_MACHINE, first));
        // The other instance still goes whole, and so do the survivor's companions.
        EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, InstancePath(kDevice, "0001")));
        EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, CompanionPath("SSC-SBEMU", kDevice, "0001")));
        EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, CompanionPath("*PNPB02F", kDevice, "0000")));
        EXPECT_FALSE(registry.KeyExists(HKEY_LOCAL_MACHINE, kClass + "MEDIA\\0201"));
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
        StepBench one;
        Prepare(one, FullInstance(kDevice, "0000", "00") + FullInstance(kDevice, "0001", "01"));
        one.sys.FailCall(Op::RegEnumKeyA, 1, c.failingCalls, ERROR_KEY_DELETED);

        Remove(one);

        EXPECT_NE(one.fake.registry.KeyExists(HKEY_LOCAL_MACHINE, InstancePath(kDevice, "0000")), c.firstRemoved);
        EXPECT_FALSE(one.fake.registry.KeyExists(HKEY_LOCAL_MACHINE, InstancePath(kDevice, "0001")));
    }
}

TEST_F(InstanceRemovalTest, AnEnumerationFailingForeverEnds)
{
    Prepare(run, FullInstance(kDevice, "0000", "00"));
    run.sys.FailCall(Op::RegEnumKeyA, 1, FaultRule::kForever, ERROR_KEY_DELETED);

    Remove(run);

    EXPECT_EQ(run.sys.Count(Op::RegEnumKeyA), kInstanceEnumTries * kMaxFailingIndexRun);
    EXPECT_THAT(run.Deletions(), ::testing::IsEmpty());
    ExpectCardKeyLeftOpen();
}

TEST_F(InstanceRemovalTest, InstanceNamesTooLongForTheirBufferArePassedOverHoweverMany)
{
    // Each is passed over at once, without asking again, and never counts toward the end of the walk.
    std::string keys;
    for (DWORD i = 0; i < kMaxFailingIndexRun + 2; ++i)
        keys += FullInstance(kDevice, std::string(50, 'L') + std::to_string(10 + i), "00");
    Prepare(run, keys + FullInstance(kDevice, "0001", "01"));

    Remove(run);

    EXPECT_TRUE(Exists(InstancePath(kDevice, std::string(50, 'L') + "10")));
    // The long ones, 0001, the end.
    EXPECT_EQ(run.sys.CountOn(Op::RegEnumKeyA, run.state.enumKey), kMaxFailingIndexRun + 2 + 2);
    EXPECT_EQ(run.sys.Args(Op::RegDeleteKeyA), FullInstanceDeletions(kDevice, "0001", "01"));
    ExpectCardKeyLeftOpen();
}

TEST_F(InstanceRemovalTest, ATargetWhosePathDoesNotFitIsPassedOver)
{
    // Device id and instance name of 71 characters together: the SSC-DOSEMU key (28 fixed characters) would
    // need 100, the *PNPB02F key 98 and the SSC-SBEMU key 99.
    const std::string device = "VEN_13F6&DEV_0111&" + std::string(42, 'D');
    const std::string instance = "INSTANCE_01";
    ASSERT_EQ(device.size() + instance.size(), 71u);
    Prepare(run, FullInstance(device, instance, "00"), device);

    Remove(run);

    EXPECT_TRUE(Exists(CompanionPath("SSC-DOSEMU", device, instance)));
    EXPECT_TRUE(Exists(kClass + "MEDIA\\0100"));
    EXPECT_EQ(
        run.sys.Args(Op::RegDeleteKeyA),
        (Lines {InstancePath(device, instance), kClass + "MEDIA\\0000", CompanionPath("*PNPB02F", device, instance),
                kClass + "SYSTEM\\0000", CompanionPath("SSC-SBEMU", device, instance), kClass + "MEDIA\\0200"}));
    ExpectCardKeyLeftOpen();
}

TEST_F(InstanceRemovalTest, AnInstanceKeyPathThatDoesNotFitEndsWithNothingDeleted)
{
    // "Enum\PCI\", 90 characters of device id, "\" and 10 of instance name: 110 characters.
    const std::string device = "VEN_13F6&DEV_0111&" + std::string(72, 'D');
    Prepare(run, FullInstance(device, "INSTANCE10", "00"), device);

    Remove(run);

    EXPECT_THAT(run.Deletions(), ::testing::IsEmpty());
    EXPECT_FALSE(run.fake.registry.Modified());
    ExpectCardKeyLeftOpen();
}

}  // namespace

// The rule --check shares with the removal: the game port's class keeps its INF files, whatever the case of
// its folder's name; only a whole name matches.
TEST(CompanionInfFilesTest, OnlyTheGamePortKeepsItsInfFiles)
{
    EXPECT_EQ(CompanionInfFiles("*PNPB02F"), InfFiles::Keep);
    EXPECT_EQ(CompanionInfFiles("*pnpb02f"), InfFiles::Keep);
    EXPECT_EQ(CompanionInfFiles("SSC-DOSEMU"), InfFiles::Remove);
    EXPECT_EQ(CompanionInfFiles("SSC-SBEMU"), InfFiles::Remove);
    EXPECT_EQ(CompanionInfFiles("*PNPB02FX"), InfFiles::Remove);
    EXPECT_EQ(CompanionInfFiles("*PNPB02"), InfFiles::Remove);
    EXPECT_EQ(CompanionInfFiles(""), InfFiles::Remove);
}
