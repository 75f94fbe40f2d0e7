// Driver class removal: INF files, multimedia resource entries and the class key, on small registries.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "classes/driver_class.h"
#include "support/fake_system.h"
#include "support/registry_text.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

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

std::string Entry(const std::string& type, const std::string& name)
{
    return kResources + type + "\\" + name;
}

const Lines kAllTypes = {"wave=cmpci95.drv", "midi=cmpcifm.drv", "mixer=cmmix.drv", "aux=cmaux.drv",
                         "joystick=cmjoy.drv"};

class DriverClassTest : public ::testing::Test, protected StepBench { };

const std::string kMedia1 = kClass + "MEDIA\\0001";

TEST_F(DriverClassTest, RemovesInfFilesThenEntriesInTableOrderThenTheClassKey)
{
    ASSERT_TRUE(LoadKeys(fake, ClassKey("MEDIA\\0001", StringValue("InfPath", "cmpci.inf"),
                                        StringValue("SubClasses", "wave,midi,mixer,aux"), kAllTypes) +
                                   MachineKey(kResources + "wave\\cmpci95.drv<0001>\\Params") +
                                   MachineKey(kResources + "wave\\cmpci95.drv<0002>") +
                                   MachineKey(kClass + "MEDIA\\0002")));
    fake.files = {"C:\\WINDOWS\\inf\\cmpci.inf", "C:\\WINDOWS\\inf\\other\\cmpci.inf",
                  "C:\\WINDOWS\\inf\\other\\other.inf"};

    RemoveDriverClass(state, "MEDIA\\0001", InfFiles::Remove);

    EXPECT_THAT(Deletions(), ElementsAre("C:\\WINDOWS\\inf\\cmpci.inf", "C:\\WINDOWS\\inf\\other\\cmpci.inf",
                                         Entry("wave", "cmpci95.drv<0001>"), Entry("midi", "cmpcifm.drv<0001>"),
                                         Entry("mixer", "cmmix.drv<0001>"), Entry("aux", "cmaux.drv<0001>"), kMedia1));
    EXPECT_FALSE(fake.registry.KeyExists(HKEY_LOCAL_MACHINE, kMedia1));
    EXPECT_FALSE(fake.registry.KeyExists(HKEY_LOCAL_MACHINE, kResources + "wave\\cmpci95.drv<0001>"));
    EXPECT_TRUE(fake.registry.KeyExists(HKEY_LOCAL_MACHINE, kResources + "wave\\cmpci95.drv<0002>"));
    EXPECT_TRUE(fake.registry.KeyExists(HKEY_LOCAL_MACHINE, kClass + "MEDIA\\0002"));
    EXPECT_EQ(fake.files, (Lines {"C:\\WINDOWS\\inf\\other\\other.inf"}));
    EXPECT_EQ(fake.registry.OpenHandles(), 0u);
}

TEST_F(DriverClassTest, KeepingTheInfFilesStillRemovesEntriesAndClassKey)
{
    ASSERT_TRUE(LoadKeys(fake, ClassKey("MEDIA\\0001", StringValue("InfPath", "cmpci.inf"),
                                        StringValue("SubClasses", "wave"), kAllTypes)));
    fake.files = {"C:\\WINDOWS\\inf\\cmpci.inf", "C:\\WINDOWS\\inf\\other\\cmpci.inf"};

    RemoveDriverClass(state, "MEDIA\\0001", InfFiles::Keep);

    EXPECT_THAT(Deletions(), ElementsAre(Entry("wave", "cmpci95.drv<0001>"), kMedia1));
    EXPECT_EQ(fake.files.size(), 2u);
    EXPECT_EQ(fake.registry.OpenHandles(), 0u);
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
        {"order of the table, not of the text",
         StringValue("SubClasses", "joystick,mixer,wave"),
         {"wave", "mixer", "joystick"}},
        {"empty text", StringValue("SubClasses", ""), {}},
        {"no value", "", {}},
    };
    const char* names[][2] = {{"wave", "cmpci95.drv"},
                              {"midi", "cmpcifm.drv"},
                              {"mixer", "cmmix.drv"},
                              {"aux", "cmaux.drv"},
                              {"joystick", "cmjoy.drv"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        StepBench run;
        ASSERT_TRUE(LoadKeys(run.fake, ClassKey("MEDIA\\0001", "", c.subClassesLine, kAllTypes)));

        RemoveDriverClass(run.state, "MEDIA\\0001", InfFiles::Keep);

        Lines expected;
        for (const std::string& type : c.types) {
            for (const auto& name : names) {
                if (type == name[0])
                    expected.push_back(Entry(type, std::string(name[1]) + "<0001>"));
            }
        }
        // The class key goes last, whatever the steps did.
        expected.push_back(kMedia1);
        EXPECT_EQ(run.Deletions(), expected);
        EXPECT_FALSE(run.fake.registry.KeyExists(HKEY_LOCAL_MACHINE, kMedia1));
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
        {"midi key missing",
         {"wave=cmpci95.drv"},
         {Entry("wave", "cmpci95.drv<0001>"), Entry("midi", "cmpci95.drv<0001>")}},
        {"midi key empty",
         {"wave=cmpci95.drv", "midi="},
         {Entry("wave", "cmpci95.drv<0001>"), Entry("midi", "cmpci95.drv<0001>")}},
        {"wave key missing", {"midi=cmpcifm.drv"}, {Entry("midi", "cmpcifm.drv<0001>")}},
        {"wave key empty", {"wave=", "midi=cmpcifm.drv"}, {Entry("midi", "cmpcifm.drv<0001>")}},
        {"wave name too long", {"wave=" + longName, "midi=cmpcifm.drv"}, {Entry("midi", "cmpcifm.drv<0001>")}},
        {"midi name too long",
         {"wave=cmpci95.drv", "midi=" + longName},
         {Entry("wave", "cmpci95.drv<0001>"), Entry("midi", "cmpci95.drv<0001>")}},
        {"19 characters fit", {"wave=" + fits}, {Entry("wave", fits + "<0001>"), Entry("midi", fits + "<0001>")}},
        {"no name at all", {"wave=", "midi=" + longName}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        StepBench run;
        ASSERT_TRUE(LoadKeys(run.fake, ClassKey("MEDIA\\0001", "", StringValue("SubClasses", "wave,midi"), c.drivers)));

        RemoveDriverClass(run.state, "MEDIA\\0001", InfFiles::Keep);

        Lines expected = c.deleted;
        expected.push_back(kMedia1);
        EXPECT_EQ(run.Deletions(), expected);
        EXPECT_EQ(run.fake.registry.OpenHandles(), 0u);
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
        StepBench run;
        ASSERT_TRUE(
            LoadKeys(run.fake, ClassKey(c.driver, "", StringValue("SubClasses", "wave"), {"wave=cmpci95.drv"})));

        RemoveDriverClass(run.state, c.driver, InfFiles::Keep);

        EXPECT_THAT(run.Deletions(), ElementsAre(Entry("wave", std::string("cmpci95.drv") + c.tag), kClass + c.driver));
    }
}

TEST_F(DriverClassTest, NamesThatCouldReachTheClassKeyItselfRemoveNothing)
{
    const char* names[] = {"",        "MEDIA",     "MEDIAX",          "\\",
                           "\\MEDIA", "MEDIA\\",   "MEDIA\\\\0001",   ".",
                           "..",      "MEDIA\\..", "..\\..\\Control", "MEDIA\\.\\0001"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        StepBench run;
        ASSERT_TRUE(LoadKeys(run.fake, ClassKey("MEDIA\\0001", StringValue("InfPath", "cmpci.inf"),
                                                StringValue("SubClasses", "wave"), {"wave=cmpci95.drv"}) +
                                           MachineKey(kResources + "wave\\cmpci95.drv<>")));
        run.fake.files = {"C:\\WINDOWS\\inf\\cmpci.inf"};

        RemoveDriverClass(run.state, name, InfFiles::Remove);

        EXPECT_THAT(run.Deletions(), IsEmpty());
        EXPECT_FALSE(run.fake.registry.Modified());
        EXPECT_TRUE(run.fake.HasFile("C:\\WINDOWS\\inf\\cmpci.inf"));
    }
}

TEST_F(DriverClassTest, OnlyAPlainInfFileNameReadInThisCallIsDeleted)
{
    struct Case {
        const char* label;
        std::string infPathLine;
        const char* removed;  // the name removed from both INF folders, if any
    };
    const Case cases[] = {
        {"plain name", StringValue("InfPath", "cmpci.inf"), "cmpci.inf"},
        {"19 characters", StringValue("InfPath", "cmpci_1234567890.in"), "cmpci_1234567890.in"},
        {"20 characters", StringValue("InfPath", "cmpci_1234567890.inf"), nullptr},
        {"missing value", "", nullptr},
        {"empty text", StringValue("InfPath", ""), nullptr},
        {"dot", StringValue("InfPath", "."), nullptr},
        {"dot dot", StringValue("InfPath", ".."), nullptr},
        {"parent folder", StringValue("InfPath", "..\\SYSTEM.INI"), nullptr},
        {"drive", StringValue("InfPath", "C:\\AUTOEXEC.BAT"), nullptr},
        {"drive relative", StringValue("InfPath", "C:AUTOEXEC.BAT"), nullptr},
        {"slash", StringValue("InfPath", "../WIN.INI"), nullptr},
        {"bytes without terminator", "\"InfPath\"=hex:63,6d,70,63,69,2e,69,6e,66\n", nullptr},
    };
    const Lines files = {"C:\\WINDOWS\\inf\\cmpci.inf",
                         "C:\\WINDOWS\\inf\\other\\cmpci.inf",
                         "C:\\WINDOWS\\inf\\cmpci_1234567890.in",
                         "C:\\WINDOWS\\inf\\other\\cmpci_1234567890.in",
                         "C:\\WINDOWS\\inf\\cmpci_1234567890.inf",
                         "C:\\WINDOWS\\SYSTEM.INI",
                         "C:\\WINDOWS\\WIN.INI",
                         "C:\\AUTOEXEC.BAT"};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        StepBench run;
        ASSERT_TRUE(LoadKeys(run.fake, ClassKey("MEDIA\\0001", c.infPathLine, "", {})));
        run.fake.files = files;

        RemoveDriverClass(run.state, "MEDIA\\0001", InfFiles::Remove);

        Lines removed;
        for (const char* folder : {"C:\\WINDOWS\\inf\\", "C:\\WINDOWS\\inf\\other\\"}) {
            if (c.removed != nullptr)
                removed.push_back(folder + std::string(c.removed));
        }
        // Nothing else is even asked for: a path with ".." or a drive would reach another file on Windows.
        EXPECT_EQ(run.sys.Args(Op::RemoveFile), removed);
        EXPECT_EQ(run.fake.filesRemoved, removed);
        // The class key goes in every case.
        EXPECT_FALSE(run.fake.registry.KeyExists(HKEY_LOCAL_MACHINE, kMedia1));
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
    const Case cases[] = {
        {229, true, true}, {230, true, false}, {235, true, false}, {236, false, false}, {260, false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.directoryLength);
        const std::string directory = "C:\\" + std::string(c.directoryLength - 3, 'W');
        StepBench run;
        run.fake.windowsDirectory = directory;
        ASSERT_TRUE(LoadKeys(run.fake, ClassKey("MEDIA\\0001", StringValue("InfPath", inf), "", {})));
        run.fake.files = {directory + "\\inf\\" + inf, directory + "\\inf\\other\\" + inf};

        RemoveDriverClass(run.state, "MEDIA\\0001", InfFiles::Remove);

        Lines removed;
        if (c.infRemoved)
            removed.push_back(directory + "\\inf\\" + inf);
        if (c.otherRemoved)
            removed.push_back(directory + "\\inf\\other\\" + inf);
        EXPECT_EQ(run.sys.Args(Op::RemoveFile), removed);
        EXPECT_EQ(run.fake.filesRemoved, removed);
    }
}

TEST_F(DriverClassTest, AFailingWindowsDirectoryQueryDeletesNothingForThatFile)
{
    ASSERT_TRUE(LoadKeys(fake, ClassKey("MEDIA\\0001", StringValue("InfPath", "cmpci.inf"), "", {})));
    fake.files = {"C:\\WINDOWS\\inf\\cmpci.inf", "C:\\WINDOWS\\inf\\other\\cmpci.inf"};
    sys.FailCall(Op::GetWindowsDirectoryA, 1);

    RemoveDriverClass(state, "MEDIA\\0001", InfFiles::Remove);

    EXPECT_THAT(sys.Args(Op::RemoveFile), ElementsAre("C:\\WINDOWS\\inf\\other\\cmpci.inf"));
    EXPECT_TRUE(fake.HasFile("C:\\WINDOWS\\inf\\cmpci.inf"));
}

TEST_F(DriverClassTest, AMissingClassKeyIsStillDeletedByName)
{
    ASSERT_TRUE(LoadKeys(fake, MachineKey(kClass + "MEDIA\\0002")));

    RemoveDriverClass(state, "MEDIA\\0001", InfFiles::Keep);

    EXPECT_THAT(Deletions(), ElementsAre(kMedia1));
    EXPECT_TRUE(fake.registry.KeyExists(HKEY_LOCAL_MACHINE, kClass + "MEDIA\\0002"));
    EXPECT_EQ(fake.registry.OpenHandles(), 0u);
}

}  // namespace
