// The removal's rule for a driver class that other devices name: which device keys count, what a class so
// named keeps, and a walk that cannot see every device key.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "classes/class_use.h"
#include "support/fake_system.h"
#include "support/registry_text.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kClass = "System\\CurrentControlSet\\Services\\Class\\";
const std::string kJoystick = "System\\CurrentControlSet\\Control\\MediaResources\\joystick\\msjstick.drv<0005>";
const std::string kCardId = "VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10";
const std::string kSbemu = "Enum\\VIRTUAL\\SSC-SBEMU\\PCI&" + kCardId + "&BUS_00&DEV_0B&FUNC_00";

// A game port class as Windows sets one up: its INF file, a joystick driver and that driver's resource entry.
std::string GamePortClass()
{
    return MachineKey(kClass + "MEDIA\\0005") + StringValue("InfPath", "msjstick.inf") +
           MachineKey(kClass + "MEDIA\\0005\\Drivers") + StringValue("SubClasses", "joystick") +
           MachineKey(kClass + "MEDIA\\0005\\Drivers\\joystick\\msjstick.drv") + MachineKey(kJoystick);
}

std::string Device(const std::string& path, const std::string& driver)
{
    return MachineKey(path) + StringValue("Driver", driver);
}

TEST(ClassUseTest, CardDeviceKeysAreTheCardsInstancesAndCompanions)
{
    const struct {
        const char* bus;
        const char* device;
        const char* instance;
        bool card;
    } cases[] = {
        {"PCI", "VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10", "BUS_00&DEV_0B&FUNC_00", true},
        {"pci", "VEN_13F6&DEV_0111", "0000", true},
        {"VIRTUAL", "SSC-SBEMU", "PCI&VEN_13F6&DEV_0111&SUBSYS_0&BUS_00", true},
        {"VIRTUAL", "*PNPB02F", "PCI&VEN_13F6&DEV_0111", true},
        {"VIRTUAL", "*PNPB02F", "PCI&VEN_1274&DEV_1371&BUS_00", false},
        {"VIRTUAL", "VEN_13F6&DEV_0111", "0000", false},
        {"PCI", "VEN_1274&DEV_1371", "VEN_13F6&DEV_0111", false},
        {"PCI", "VEN_13f6&DEV_0111", "0000", false},  // the id is matched byte for byte, as card search does
        {"ISAPNP", "VEN_13F6&DEV_0111", "PCI&VEN_13F6&DEV_0111", false},
        {"Root", "*PNPB02F", "0000", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.bus) + "\\" + c.device + "\\" + c.instance);
        EXPECT_EQ(IsCardDeviceKey(c.bus, c.device, c.instance), c.card);
    }
    EXPECT_TRUE(IsGamePortDevice("*PNPB02F"));
    EXPECT_TRUE(IsGamePortDevice("*pnpb02f"));
    EXPECT_FALSE(IsGamePortDevice("*PNPB02"));
    EXPECT_FALSE(IsGamePortDevice("*PNPB02FX"));
    EXPECT_FALSE(IsGamePortDevice("SSC-SBEMU"));
}

// The card's SSC-SBEMU companion names the game port class MEDIA\0005; who else names it decides what of
// the class goes when the companion's class is removed (its key already deleted, as the run deletes it).
TEST(ClassUseTest, AClassAnotherDeviceNamesStaysWhole)
{
    const struct {
        const char* label;
        std::string others;  // device keys besides the card's
        bool kept;
        std::string holder;
    } cases[] = {
        {"named by no other device", "", false, ""},
        {"named by a second game port",
         Device("Enum\\VIRTUAL\\*PNPB02F\\PCI&VEN_1274&DEV_1371&BUS_00", "MEDIA\\0005"), true,
         "Enum\\VIRTUAL\\*PNPB02F\\PCI&VEN_1274&DEV_1371&BUS_00"},
        {"named in another letter case", Device("Enum\\SW\\{97EB}\\{5317}", "media\\0005"), true,
         "Enum\\SW\\{97EB}\\{5317}"},
        {"the first of two holders", Device("Enum\\Root\\*PNP0C01\\0000", "MEDIA\\0005") +
                                         Device("Enum\\Root\\*PNP0C01\\0001", "MEDIA\\0005"),
         true, "Enum\\Root\\*PNP0C01\\0000"},
        {"another class of the same type", Device("Enum\\Root\\*PNP0C01\\0000", "MEDIA\\0006"), false, ""},
        {"a longer name that begins alike", Device("Enum\\Root\\*PNP0C01\\0000", "MEDIA\\00051"), false, ""},
        {"a Driver value too long to read", Device("Enum\\Root\\*PNP0C01\\0000", "MEDIA\\0005" + std::string(10, ' ')),
         false, ""},
        {"a Driver value below an instance key", Device("Enum\\Root\\*PNP0C01\\0000\\LogConfig", "MEDIA\\0005"), false,
         ""},
        {"a Driver value on a device folder", Device("Enum\\Root\\*PNP0C01", "MEDIA\\0005"), false, ""},
        {"the card's other companion", Device("Enum\\VIRTUAL\\SSC-DOSEMU\\PCI&" + kCardId + "&BUS_00", "MEDIA\\0005"),
         false, ""},
        {"the card's instance", Device("Enum\\PCI\\" + kCardId + "\\BUS_00&DEV_0B&FUNC_00", "MEDIA\\0005"), false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        StepBench run;
        ASSERT_TRUE(LoadKeys(run.fake, GamePortClass() + c.others + MachineKey("Enum\\PCI")));
        run.fake.files = {"C:\\WINDOWS\\INF\\MSJSTICK.INF"};

        ClassUse use;
        FindClassUse(run.sys, "MEDIA\\0005", use);
        EXPECT_TRUE(use.seenAll);
        EXPECT_EQ(MayRemoveClass(use), !c.kept);
        EXPECT_EQ(std::string(use.holder), c.holder);
        EXPECT_EQ(run.fake.registry.OpenHandles(), 0u);

        RemoveDriverClass(run.state, "MEDIA\\0005", InfFiles::Remove);
        EXPECT_EQ(run.fake.registry.KeyExists(HKEY_LOCAL_MACHINE, kClass + "MEDIA\\0005"), c.kept);
        EXPECT_EQ(run.fake.registry.KeyExists(HKEY_LOCAL_MACHINE, kJoystick), c.kept);
        EXPECT_EQ(run.fake.HasFile("C:\\WINDOWS\\INF\\MSJSTICK.INF"), c.kept);
        if (c.kept) {
            EXPECT_EQ(run.Deletions(), Lines {});
        }
    }
}

// The class a game port names goes with the card, but its INF file stays: Windows' own game port INF.
TEST(ClassUseTest, TheClassAGamePortNamesKeepsItsInfFiles)
{
    for (const std::string& port : {std::string("*PNPB02F"), std::string("*pnpb02f")}) {
        SCOPED_TRACE(port);
        StepBench run;
        ASSERT_TRUE(LoadKeys(run.fake, GamePortClass() + Device("Enum\\VIRTUAL\\" + port + "\\PCI&" + kCardId,
                                                                  "MEDIA\\0005")));
        run.fake.files = {"C:\\WINDOWS\\INF\\MSJSTICK.INF", "C:\\WINDOWS\\INF\\OTHER\\MSJSTICK.INF"};

        RemoveDriverClass(run.state, "MEDIA\\0005", InfFiles::Remove);

        EXPECT_EQ(run.Deletions(), (Lines {kJoystick, kClass + "MEDIA\\0005"}));
        EXPECT_EQ(run.fake.files.size(), 2u);
    }
}

// A walk that cannot read every device key cannot tell that no other device uses the class: it stays. A
// machine without Enum has no device to name it.
TEST(ClassUseTest, AClassStaysWhenTheWalkCannotSeeEveryDeviceKey)
{
    const struct {
        const char* label;
        FaultRule rule;
        bool seenAll;
    } cases[] = {
        {"an enumeration fails", {1, FaultRule::kForever, Op::RegEnumKeyA, ERROR_ACCESS_DENIED}, false},
        {"a name too long for the walk", {2, 1, Op::RegEnumKeyA, ERROR_MORE_DATA}, false},
        {"a device key does not open", {3, 1, Op::RegOpenKeyExA, ERROR_ACCESS_DENIED}, false},
        {"a Driver value cannot be read", {1, 1, Op::RegQueryValueExA, ERROR_ACCESS_DENIED}, false},
        {"Enum cannot be opened", {1, 1, Op::RegOpenKeyExA, ERROR_ACCESS_DENIED}, false},
        {"there is no Enum", {1, 1, Op::RegOpenKeyExA, ERROR_FILE_NOT_FOUND}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        FakeSystem fake;
        ASSERT_TRUE(LoadKeys(fake, GamePortClass() + Device("Enum\\Root\\*PNP0C01\\0000", "System\\0000")));
        FaultySystem sys(fake, c.rule);
        ClassUse use;
        FindClassUse(sys, "MEDIA\\0005", use);
        EXPECT_EQ(use.seenAll, c.seenAll);
        EXPECT_EQ(MayRemoveClass(use), c.seenAll);
        EXPECT_FALSE(use.byOtherDevice);
        EXPECT_EQ(fake.registry.OpenHandles(), 0u);
    }
}

}  // namespace

namespace {

// One walk for several classes tells each what a walk of its own tells it: who holds it, the game port, and
// whether every device key was seen, also when the walk fails partway.
TEST(ClassUseTest, OneWalkForSeveralClassesTellsEachWhatItsOwnWalkTells)
{
    const std::string devices = Device("Enum\\Root\\*PNP0C01\\0000", "MEDIA\\0001") +
                                Device("Enum\\VIRTUAL\\*PNPB02F\\PCI&VEN_1274&DEV_1371", "media\\0002") +
                                Device("Enum\\PCI\\" + kCardId + "\\BUS_00&DEV_0B&FUNC_00", "MEDIA\\0003") +
                                Device("Enum\\SW\\{97EB}\\{5317}", "MEDIA\\0001");
    const char* const names[] = {"MEDIA\\0001", "MEDIA\\0002", "MEDIA\\0003", "MEDIA\\0004"};
    const struct {
        const char* label;
        std::optional<FaultRule> rule;
    } cases[] = {
        {"every key read", std::nullopt},
        {"a device key does not open", FaultRule {4, 1, Op::RegOpenKeyExA, ERROR_ACCESS_DENIED}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        FakeSystem fake;
        ASSERT_TRUE(LoadKeys(fake, devices));
        ClassUses table;
        for (const char* name : names)
            EXPECT_TRUE(NoteClass(table, name));
        EXPECT_EQ(NotedUse(table, "MEDIA\\0001"), nullptr);  // not walked yet
        if (c.rule) {
            FaultySystem sys(fake, *c.rule);
            FindClassUses(sys, table);
        } else {
            FindClassUses(fake, table);
        }
        for (const char* name : names) {
            SCOPED_TRACE(name);
            ClassUse alone;
            if (c.rule) {
                FaultySystem sys(fake, *c.rule);
                FindClassUse(sys, name, alone);
            } else {
                FindClassUse(fake, name, alone);
            }
            const ClassUse* noted = NotedUse(table, name);
            ASSERT_NE(noted, nullptr);
            EXPECT_EQ(noted->seenAll, alone.seenAll);
            EXPECT_EQ(noted->byOtherDevice, alone.byOtherDevice);
            EXPECT_EQ(noted->byGamePort, alone.byGamePort);
            EXPECT_EQ(std::string(noted->holder), std::string(alone.holder));
        }
        EXPECT_EQ(fake.registry.OpenHandles(), 0u);
    }
}

TEST(ClassUseTest, TheTableNotesEachClassOnceAndAsManyAsItHolds)
{
    ClassUses table;
    EXPECT_TRUE(NoteClass(table, "MEDIA\\0001"));
    EXPECT_FALSE(NoteClass(table, "media\\0001"));  // the same class in another case
    EXPECT_FALSE(NoteClass(table, "MEDIA\\0001234567890123"));  // longer than a Driver value the run reads
    for (const char* name : {"MEDIA\\0002", "MEDIA\\0003", "MEDIA\\0004"})
        EXPECT_TRUE(NoteClass(table, name));
    EXPECT_FALSE(NoteClass(table, "MEDIA\\0005"));  // full: that class gets a walk of its own
    EXPECT_EQ(table.count, kClassesNoted);
    FakeSystem fake;
    FindClassUses(fake, table);
    EXPECT_EQ(NotedUse(table, "MEDIA\\0005"), nullptr);
    EXPECT_FALSE(NoteClass(table, "MEDIA\\0006"));  // walked: nothing more is noted
}

}  // namespace
