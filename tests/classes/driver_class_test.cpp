// Driver class removal: INF files, multimedia resource entries and the class key, on small registries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classes/driver_class.h"
#include "support/fake_system.h"
#include "support/registry_text.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kClass = "System\\CurrentControlSet\\Services\\Class\\";
const std::string kResources = "System\\CurrentControlSet\\Control\\MediaResources\\";

// A class key with its InfPath value (none when `infPathLine` is empty) and a Drivers key with the given
// SubClasses line and one per-type key for each entry of `drivers`: "wave=cmpci95.drv" gives it that first
// subkey, "wave=" leaves it without subkeys.
std::string ClassKey(const std::string& driver, const std::string& infPathLine, const std::string& subClassesLine,
                     const Lines& drivers)
{
    std::string text = MachineKey(kClass + driver) + infPathLine;
    text += MachineKey(kClass + driver + "\\Drivers") + subClassesLine;
    for (const std::string& entry : drivers) {
        std::size_t equals = entry.find('=');
        std::string typeKey = kClass + driver + "\\Drivers\\" + entry.substr(0, equals);
        std::string name = entry.substr(equals + 1);
        text += MachineKey(name.empty() ? typeKey : typeKey + "\\" + name);
    }
    return text;
}

std::string DeletedEntry(const std::string& type, const std::string& name)
{
    return "RegDeleteKeyA HKLM " + kResources + type + "\\" + name;
}

const Lines kAllTypes = {"wave=cmpci95.drv", "midi=cmpcifm.drv", "mixer=cmmix.drv", "aux=cmaux.drv",
                         "joystick=cmjoy.drv"};

class DriverClassTest : public ::testing::Test {
protected:
    // Deletions of resource entries, in order.
    Lines EntryDeletions() const { return sys.Log("RegDeleteKeyA HKLM " + kResources); }

    void ExpectCleanEnd() const
    {
        EXPECT_EQ(state.workingKey, nullptr);
        EXPECT_EQ(state.enumKey, nullptr);
        EXPECT_EQ(sys.OpenHandles(), 0u);
    }

    FakeSystem sys;
    RunState state{sys};
};

TEST_F(DriverClassTest, RemovesInfFilesEntriesAndClassKeyInOrder)
{
    ASSERT_TRUE(LoadKeys(sys, ClassKey("MEDIA\\0001", StringValue("InfPath", "cmpci.inf"),
                                       StringValue("SubClasses", "wave,midi,mixer,aux"), kAllTypes) +
                                  MachineKey(kResources + "wave\\cmpci95.drv<0001>\\Params") +
                                  MachineKey(kResources + "wave\\cmpci95.drv<0002>") +
                                  MachineKey(kClass + "MEDIA\\0002")));
    for (const char* file : {"C:\\WINDOWS\\inf\\cmpci.inf", "C:\\WINDOWS\\inf\\other\\cmpci.inf",
                             "C:\\WINDOWS\\inf\\other\\other.inf"})
        sys.AddFile(file);

    RemoveDriverClass(state, "MEDIA\\0001", InfFiles::Remove);

    const std::string key = kClass + "MEDIA\\0001";
    Lines expected = {"RegOpenKeyExA HKLM " + key, "RegQueryValueExA InfPath", "RegCloseKey",
                      "GetWindowsDirectoryA", "remove C:\\WINDOWS\\inf\\cmpci.inf",
                      "GetWindowsDirectoryA", "remove C:\\WINDOWS\\inf\\other\\cmpci.inf",
                      "RegOpenKeyExA HKLM " + key + "\\Drivers", "RegQueryValueExA SubClasses", "RegCloseKey"};
    const char* steps[][2] = {{"wave", "cmpci95.drv"}, {"midi", "cmpcifm.drv"}, {"mixer", "cmmix.drv"},
                              {"aux", "cmaux.drv"}};
    for (const auto& step : steps) {
        for (const std::string& line : {"RegOpenKeyExA HKLM " + key + "\\Drivers\\" + step[0], std::string("RegEnumKeyA 0"),
                                        std::string("RegCloseKey"),
                                        DeletedEntry(step[0], std::string(step[1]) + "<0001>")})
            expected.push_back(line);
    }
    expected.push_back("RegDeleteKeyA HKLM " + key);
    EXPECT_EQ(sys.Log(), expected);

    EXPECT_FALSE(sys.KeyExists(HKEY_LOCAL_MACHINE, key));
    EXPECT_FALSE(sys.KeyExists(HKEY_LOCAL_MACHINE, kResources + "wave\\cmpci95.drv<0001>"));
    EXPECT_TRUE(sys.KeyExists(HKEY_LOCAL_MACHINE, kResources + "wave\\cmpci95.drv<0002>"));
    EXPECT_TRUE(sys.KeyExists(HKEY_LOCAL_MACHINE, kClass + "MEDIA\\0002"));
    EXPECT_EQ(sys.Files(), (Lines{"C:\\WINDOWS\\inf\\other\\other.inf"}));
    EXPECT_EQ(std::string(state.keyPath), key);
    EXPECT_STREQ(state.valueName, "SubClasses");
    ExpectCleanEnd();
}

TEST_F(DriverClassTest, InfFlagZeroStillReadsInfPathButDeletesNoFile)
{
    ASSERT_TRUE(LoadKeys(sys, ClassKey("MEDIA\\0001", StringValue("InfPath", "cmpci.inf"),
                                       StringValue("SubClasses", "wave"), kAllTypes)));
    sys.AddFile("C:\\WINDOWS\\inf\\cmpci.inf");
    sys.AddFile("C:\\WINDOWS\\inf\\other\\cmpci.inf");

    RemoveDriverClass(state, "MEDIA\\0001", InfFiles::Keep);

    EXPECT_EQ(sys.Log("RegQueryValueExA"), (Lines{"RegQueryValueExA InfPath", "RegQueryValueExA SubClasses"}));
    EXPECT_TRUE(sys.Log("GetWindowsDirectoryA").empty());
    EXPECT_TRUE(sys.Log("remove").empty());
    EXPECT_EQ(sys.Files().size(), 2u);
    EXPECT_EQ(EntryDeletions(), (Lines{DeletedEntry("wave", "cmpci95.drv<0001>")}));
    EXPECT_FALSE(sys.KeyExists(HKEY_LOCAL_MACHINE, kClass + "MEDIA\\0001"));
    ExpectCleanEnd();
}

TEST_F(DriverClassTest, SubClassesWordsChooseTheMediaSteps)
{
    struct Case {
        const char* label;
        std::string subClassesLine;
        Lines types;  // the media types whose entry is deleted, in order
    };
    const Case cases[] = {
        {"19 characters fit", StringValue("SubClasses", "wave,midi,mixer,aux"), {"wave", "midi", "mixer", "aux"}},
        {"longer does not read", StringValue("SubClasses", "wave,midi,mixer,aux,joystick"), {}},
        {"joystick alone", StringValue("SubClasses", "joystick"), {"joystick"}},
        {"substrings", StringValue("SubClasses", "wavetable,auxiliary"), {"wave", "aux"}},
        {"other letter case", StringValue("SubClasses", "Wave,WAVE,MIDI"), {}},
        {"a word twice", StringValue("SubClasses", "wave,wave"), {"wave"}},
        {"order of the table, not of the text", StringValue("SubClasses", "joystick,mixer,wave"),
         {"wave", "mixer", "joystick"}},
        {"empty text", StringValue("SubClasses", ""), {}},
        {"no value", "", {}},
    };
    const char* names[][2] = {{"wave", "cmpci95.drv"}, {"midi", "cmpcifm.drv"}, {"mixer", "cmmix.drv"},
                              {"aux", "cmaux.drv"}, {"joystick", "cmjoy.drv"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FakeSystem fake;
        RunState run{fake};
        ASSERT_TRUE(LoadKeys(fake, ClassKey("MEDIA\\0001", "", c.subClassesLine, kAllTypes)));

        RemoveDriverClass(run, "MEDIA\\0001", InfFiles::Keep);

        Lines expected;
        for (const std::string& type : c.types) {
            for (const auto& name : names) {
                if (type == name[0])
                    expected.push_back(DeletedEntry(type, std::string(name[1]) + "<0001>"));
            }
        }
        EXPECT_EQ(fake.Log("RegDeleteKeyA HKLM " + kResources), expected);
        EXPECT_EQ(fake.Log("RegEnumKeyA").size(), c.types.size());
        EXPECT_EQ(fake.Log().back(), "RegDeleteKeyA HKLM " + kClass + "MEDIA\\0001");
        EXPECT_FALSE(fake.KeyExists(HKEY_LOCAL_MACHINE, kClass + "MEDIA\\0001"));
    }
}

TEST_F(DriverClassTest, AStepWithoutANameUsesOnlyOneEnumeratedEarlierInTheCall)
{
    struct Case {
        const char* label;
        Lines drivers;
        Lines deleted;
    };
    const std::string longName(20, 'n');  // does not fit the 20-character field with its terminator
    const std::string fits(19, 'w');
    const Case cases[] = {
        {"midi key missing", {"wave=cmpci95.drv"},
         {DeletedEntry("wave", "cmpci95.drv<0001>"), DeletedEntry("midi", "cmpci95.drv<0001>")}},
        {"midi key empty", {"wave=cmpci95.drv", "midi="},
         {DeletedEntry("wave", "cmpci95.drv<0001>"), DeletedEntry("midi", "cmpci95.drv<0001>")}},
        {"wave key missing", {"midi=cmpcifm.drv"}, {DeletedEntry("midi", "cmpcifm.drv<0001>")}},
        {"wave key empty", {"wave=", "midi=cmpcifm.drv"}, {DeletedEntry("midi", "cmpcifm.drv<0001>")}},
        {"wave name too long", {"wave=" + longName, "midi=cmpcifm.drv"}, {DeletedEntry("midi", "cmpcifm.drv<0001>")}},
        {"midi name too long", {"wave=cmpci95.drv", "midi=" + longName},
         {DeletedEntry("wave", "cmpci95.drv<0001>"), DeletedEntry("midi", "cmpci95.drv<0001>")}},
        {"19 characters fit", {"wave=" + fits}, {DeletedEntry("wave", fits + "<0001>"), DeletedEntry("midi", fits + "<0001>")}},
        {"no name at all", {"wave=", "midi=" + longName}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FakeSystem fake;
        RunState run{fake};
        ASSERT_TRUE(LoadKeys(fake, ClassKey("MEDIA\\0001", "", StringValue("SubClasses", "wave,midi"), c.drivers)));

        RemoveDriverClass(run, "MEDIA\\0001", InfFiles::Keep);

        EXPECT_EQ(fake.Log("RegDeleteKeyA HKLM " + kResources), c.deleted);
        EXPECT_EQ(fake.OpenHandles(), 0u);
    }
}

TEST_F(DriverClassTest, InstanceTagTakesFixedPositions)
{
    struct Case {
        const char* driver;
        const char* tag;
    };
    const Case cases[] = {
        {"MEDIA\\0001", "<0001>"}, {"SYSTEM\\0003", "<\\000>"}, {"MEDIA\\00012", "<0001>"},
        {"MEDIA\\001", "<001"},    {"ABC\\0001", "<01"},        {"AB\\001", "<"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.driver);
        FakeSystem fake;
        RunState run{fake};
        ASSERT_TRUE(LoadKeys(fake, ClassKey(c.driver, "", StringValue("SubClasses", "wave"), {"wave=cmpci95.drv"})));

        RemoveDriverClass(run, c.driver, InfFiles::Keep);

        EXPECT_EQ(fake.Log("RegDeleteKeyA"), (Lines{DeletedEntry("wave", std::string("cmpci95.drv") + c.tag),
                                                    "RegDeleteKeyA HKLM " + kClass + c.driver}));
    }
}

TEST_F(DriverClassTest, NamesThatCouldReachTheClassKeyItselfRemoveNothing)
{
    const char* names[] = {"", "MEDIA", "MEDIAX", "\\", "\\MEDIA", "MEDIA\\", "MEDIA\\\\0001", ".", "..", "MEDIA\\..", "..\\..\\Control",
                           "MEDIA\\.\\0001"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        FakeSystem fake;
        RunState run{fake};
        ASSERT_TRUE(LoadKeys(fake, ClassKey("MEDIA\\0001", StringValue("InfPath", "cmpci.inf"),
                                            StringValue("SubClasses", "wave"), {"wave=cmpci95.drv"}) +
                                       MachineKey(kResources + "wave\\cmpci95.drv<>")));
        fake.AddFile("C:\\WINDOWS\\inf\\cmpci.inf");

        RemoveDriverClass(run, name, InfFiles::Remove);

        EXPECT_TRUE(fake.Log().empty());
        EXPECT_FALSE(fake.registry().Modified());
        EXPECT_TRUE(fake.HasFile("C:\\WINDOWS\\inf\\cmpci.inf"));
    }
}

TEST_F(DriverClassTest, OnlyAPlainInfFileNameReadInThisCallIsDeleted)
{
    struct Case {
        const char* label;
        std::string infPathLine;
        bool removed;
    };
    const Case cases[] = {
        {"plain name", StringValue("InfPath", "cmpci.inf"), true},
        {"19 characters", StringValue("InfPath", "cmpci_1234567890.in"), true},
        {"20 characters", StringValue("InfPath", "cmpci_1234567890.inf"), false},
        {"missing value", "", false},
        {"empty text", StringValue("InfPath", ""), false},
        {"dot", StringValue("InfPath", "."), false},
        {"dot dot", StringValue("InfPath", ".."), false},
        {"parent folder", StringValue("InfPath", "..\\SYSTEM.INI"), false},
        {"drive", StringValue("InfPath", "C:\\AUTOEXEC.BAT"), false},
        {"drive relative", StringValue("InfPath", "C:AUTOEXEC.BAT"), false},
        {"slash", StringValue("InfPath", "../WIN.INI"), false},
        {"bytes without terminator", "\"InfPath\"=hex:63,6d,70,63,69,2e,69,6e,66\n", false},
    };
    const Lines files = {"C:\\WINDOWS\\inf\\cmpci.inf",          "C:\\WINDOWS\\inf\\other\\cmpci.inf",
                         "C:\\WINDOWS\\inf\\cmpci_1234567890.in", "C:\\WINDOWS\\inf\\other\\cmpci_1234567890.in",
                         "C:\\WINDOWS\\inf\\cmpci_1234567890.inf", "C:\\WINDOWS\\SYSTEM.INI",
                         "C:\\WINDOWS\\WIN.INI",                  "C:\\AUTOEXEC.BAT"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FakeSystem fake;
        RunState run{fake};
        ASSERT_TRUE(LoadKeys(fake, ClassKey("MEDIA\\0001", c.infPathLine, "", {})));
        for (const std::string& file : files)
            fake.AddFile(file);

        RemoveDriverClass(run, "MEDIA\\0001", InfFiles::Remove);

        EXPECT_EQ(fake.Log("remove").size(), c.removed ? 2u : 0u);
        EXPECT_EQ(fake.Files().size(), c.removed ? files.size() - 2 : files.size());
        EXPECT_TRUE(fake.HasFile("C:\\WINDOWS\\SYSTEM.INI"));
        EXPECT_TRUE(fake.HasFile("C:\\AUTOEXEC.BAT"));
        // The class key goes in every case.
        EXPECT_FALSE(fake.KeyExists(HKEY_LOCAL_MACHINE, kClass + "MEDIA\\0001"));
    }
}

TEST_F(DriverClassTest, AnInfPathThatDoesNotFitIsNotDeleted)
{
    // With a 19-character InfPath, "\inf\" leaves room for a Windows directory of 235 characters and
    // "\inf\other\" for one of 229 in the 259 characters of the INF file path.
    const std::string inf = "cmpci_1234567890.in";
    struct Case {
        std::size_t directoryLength;
        bool infRemoved;
        bool otherRemoved;
    };
    const Case cases[] = {{229, true, true}, {230, true, false}, {235, true, false}, {236, false, false},
                          {260, false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.directoryLength);
        const std::string directory = "C:\\" + std::string(c.directoryLength - 3, 'W');
        FakeSystem fake;
        RunState run{fake};
        fake.SetWindowsDirectory(directory);
        ASSERT_TRUE(LoadKeys(fake, ClassKey("MEDIA\\0001", StringValue("InfPath", inf), "", {})));
        fake.AddFile(directory + "\\inf\\" + inf);
        fake.AddFile(directory + "\\inf\\other\\" + inf);

        RemoveDriverClass(run, "MEDIA\\0001", InfFiles::Remove);

        EXPECT_NE(fake.HasFile(directory + "\\inf\\" + inf), c.infRemoved);
        EXPECT_NE(fake.HasFile(directory + "\\inf\\other\\" + inf), c.otherRemoved);
        EXPECT_EQ(fake.Log("remove").size(), (c.infRemoved ? 1u : 0u) + (c.otherRemoved ? 1u : 0u));
    }
}

TEST_F(DriverClassTest, AFailingWindowsDirectoryQueryDeletesNothingForThatFile)
{
    ASSERT_TRUE(LoadKeys(sys, ClassKey("MEDIA\\0001", StringValue("InfPath", "cmpci.inf"), "", {})));
    sys.AddFile("C:\\WINDOWS\\inf\\cmpci.inf");
    sys.AddFile("C:\\WINDOWS\\inf\\other\\cmpci.inf");
    sys.Fail("GetWindowsDirectoryA", 1, 0);

    RemoveDriverClass(state, "MEDIA\\0001", InfFiles::Remove);

    EXPECT_EQ(sys.Log("remove"), (Lines{"remove C:\\WINDOWS\\inf\\other\\cmpci.inf"}));
    EXPECT_TRUE(sys.HasFile("C:\\WINDOWS\\inf\\cmpci.inf"));
}

TEST_F(DriverClassTest, AMissingClassKeyIsStillDeletedByName)
{
    ASSERT_TRUE(LoadKeys(sys, MachineKey(kClass + "MEDIA\\0002")));

    RemoveDriverClass(state, "MEDIA\\0001", InfFiles::Keep);

    const std::string key = kClass + "MEDIA\\0001";
    EXPECT_EQ(sys.Log(), (Lines{"RegOpenKeyExA HKLM " + key, "RegOpenKeyExA HKLM " + key + "\\Drivers",
                                "RegDeleteKeyA HKLM " + key}));
    EXPECT_TRUE(sys.KeyExists(HKEY_LOCAL_MACHINE, kClass + "MEDIA\\0002"));
    ExpectCleanEnd();
}

}  // namespace
