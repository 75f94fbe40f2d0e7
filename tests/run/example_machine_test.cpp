// Whole runs of the uninstaller on a copy of the bundled example machine, in-process: every key and file of
// the card goes, in every mode; everything else stays, down to the bytes of the saved registry file.
#include "run/run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <unistd.h>

#include "system/emulated/machine.h"

namespace {

namespace fs = std::filesystem;

fs::path ExampleMachine()
{
    return fs::path(CMPCI_SOURCE_DIR) / "examples" / "machine";
}

struct KeyName {
    HKEY root;
    const char* path;
};

const KeyName kCardKeys[] = {
    {HKEY_LOCAL_MACHINE, "Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10\\BUS_00&DEV_0B&FUNC_00"},
    {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\MediaResources\\wave\\cmpci95.drv<0001>"},
    {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\MediaResources\\midi\\cmpcifm.drv<0001>"},
    {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\MediaResources\\mixer\\cmpci95.drv<0001>"},
    {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\MediaResources\\aux\\cmpci95.drv<0001>"},
    {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Class\\MEDIA\\0001"},
    {HKEY_LOCAL_MACHINE,
     "Enum\\VIRTUAL\\*PNPB02F\\PCI&VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10&BUS_00&DEV_0B&FUNC_00"},
    {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\MediaResources\\joystick\\msjstick.drv<0002>"},
    {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Class\\MEDIA\\0002"},
    {HKEY_LOCAL_MACHINE,
     "Enum\\VIRTUAL\\SSC-DOSEMU\\PCI&VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10&BUS_00&DEV_0B&FUNC_00"},
    {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\MediaResources\\midi\\cmmpupci.drv<0003>"},
    {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Class\\MEDIA\\0003"},
    {HKEY_LOCAL_MACHINE,
     "Enum\\VIRTUAL\\SSC-SBEMU\\PCI&VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10&BUS_00&DEV_0B&FUNC_00"},
    {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Class\\MEDIA\\0004"},
    {HKEY_LOCAL_MACHINE, "Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10"},
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\PelkoSoundDrune"},
    {HKEY_CURRENT_USER, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control\\C-Media Audio Mixer"},
};

// Neighbours of the card's keys that a careless match would take with them.
const KeyName kNeighbourKeys[] = {
    {HKEY_LOCAL_MACHINE, "Enum\\PCI\\VEN_13F6&DEV_0211&SUBSYS_021113F6&REV_00\\BUS_00&DEV_0D&FUNC_00"},
    {HKEY_LOCAL_MACHINE, "Enum\\PCI\\VEN_1274&DEV_1371&SUBSYS_13711274&REV_06\\BUS_00&DEV_09&FUNC_00"},
    {HKEY_LOCAL_MACHINE, "Enum\\VIRTUAL\\*PNPB02F"},
    {HKEY_LOCAL_MACHINE,
     "Enum\\VIRTUAL\\*PNPB02F\\PCI&VEN_1274&DEV_1371&SUBSYS_13711274&REV_06&BUS_00&DEV_09&FUNC_00"},
    {HKEY_LOCAL_MACHINE, "Enum\\VIRTUAL\\SSC-DOSEMU"},
    {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Class\\MEDIA"},
    {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Class\\MEDIA\\0000\\Drivers\\wave\\wdmaud.drv"},
    {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Class\\MEDIA\\0005"},
    {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\MediaResources\\joystick\\msjstick.drv<0005>"},
    {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\MediaResources\\midi\\wdmaud.drv<0000>"},
    {HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\MediaResources\\wave"},
    {HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\PelkoStudioKalto"},
    {HKEY_CURRENT_USER, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control"},
    {HKEY_CURRENT_USER, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control\\Creative Mixer"},
};

// The card's files as they lie in the machine folder, in mixed letter case.
const char* const kCardFiles[] = {
    "WINDOWS/INF/OEM3.INF",        "WINDOWS/INF/OTHER/oem3.inf", "WINDOWS/INF/oem4.inf",
    "WINDOWS/INF/OTHER/OEM4.INF",  "WINDOWS/SYSTEM/CMAUDIO.VXD", "WINDOWS/SYSTEM/cmpci95.drv",
    "WINDOWS/SYSTEM/CMPCIFM.DRV",  "WINDOWS/SYSTEM/cmmpupci.drv", "WINDOWS/SYSTEM/CMSWMPU.VXD",
    "WINDOWS/SYSTEM/cmmpu.exe",    "WINDOWS/SYSTEM/SMIDI32.DLL", "WINDOWS/SYSTEM/A3D.DLL",
    "WINDOWS/SYSTEM/c3d.dll",      "WINDOWS/CLDRUNE.EXE",
};

constexpr unsigned kCardKeyCount = 17;
constexpr unsigned kCardFileCount = 14;

std::string ReadFile(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// The key's name as a REGEDIT4 file writes it; the current user is HKEY_USERS\.Default there.
std::string FileKeyName(const KeyName& key)
{
    return std::string(key.root == HKEY_CURRENT_USER ? "HKEY_USERS\\.Default\\" : "HKEY_LOCAL_MACHINE\\") + key.path;
}

// The REGEDIT4 text without the blocks of the card's keys and their subkeys. A block runs from its key line
// to the next key line.
std::string WithoutCardKeys(const std::string& text)
{
    std::vector<std::string> gone;
    for (const KeyName& key : kCardKeys)
        gone.push_back(Lower(FileKeyName(key)));
    std::string result;
    bool skipping = false;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string_view line(text.data() + start, end - start);
        if (line.size() >= 4 && line.front() == '[' && line.substr(line.size() - 3) == "]\r\n") {
            std::string name = Lower(line.substr(1, line.size() - 4));
            skipping = false;
            for (const std::string& key : gone)
                if (name == key || name.rfind(key + "\\", 0) == 0)
                    skipping = true;
        }
        if (!skipping)
            result.append(line);
        start = end;
    }
    return result;
}

// Relative paths of every regular file below `folder`, sorted.
std::set<std::string> FilesBelow(const fs::path& folder)
{
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files.insert(entry.path().lexically_relative(folder).generic_string());
    return files;
}

unsigned CountLines(const std::string& text, std::string_view part)
{
    unsigned count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.find(part) != std::string::npos)
            ++count;
    return count;
}

struct RunResult {
    std::string journal;
    unsigned keysRemoved = 0;
    unsigned filesRemoved = 0;
    bool saved = false;
};

class ExampleMachineTest : public ::testing::Test {
protected:
    void SetUp() override { FreshCopy(); }

    void TearDown() override { fs::remove_all(copy_); }

    // A new copy of the example machine, replacing any earlier one.
    void FreshCopy()
    {
        ASSERT_TRUE(fs::is_directory(ExampleMachine())) << ExampleMachine();
        // The process id keeps runs of the suite from different build trees apart.
        copy_ = fs::temp_directory_path() /
                ("cmpci-example-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(copy_);
        fs::copy(ExampleMachine(), copy_, fs::copy_options::recursive);
        original_ = ReadFile(copy_ / "registry.reg");
        originalFiles_ = FilesBelow(copy_);
    }

    // One run as the offline program makes it: open the machine, run, save the registry when something
    // was deleted (never in a dry run).
    RunResult Run(const char* argumentText, int answer, bool dryRun = false)
    {
        RunResult result;
        emulated::Registry registry;
        emulated::MachineFolder folder;
        std::string error;
        EXPECT_TRUE(emulated::OpenMachine(copy_, registry, folder, error)) << error;
        emulated::Journal journal;
        emulated::MachineOptions options;
        options.dryRun = dryRun;
        options.answers.preset = answer == IDYES ? emulated::BoxPreset::Yes
                                 : answer == IDNO  ? emulated::BoxPreset::No
                                                   : emulated::BoxPreset::Unshown;
        emulated::EmulatedMachine machine(registry, folder.windowsFolder, options, journal);
        RunState state(machine);
        RunUninstaller(state, argumentText);
        EXPECT_EQ(registry.OpenHandles(), 0u);
        if (!dryRun && registry.Modified()) {
            EXPECT_TRUE(emulated::SaveRegistryFile(folder.registryFile, registry, error)) << error;
            result.saved = true;
        }
        EXPECT_TRUE(machine.CommitFiles(error)) << error;
        result.journal = journal.text();
        result.keysRemoved = journal.keysRemoved();
        result.filesRemoved = journal.filesRemoved();
        return result;
    }

    emulated::Registry& Loaded()
    {
        loaded_ = std::make_unique<emulated::Registry>();
        emulated::MachineFolder folder;
        std::string error;
        EXPECT_TRUE(emulated::OpenMachine(copy_, *loaded_, folder, error)) << error;
        return *loaded_;
    }

    std::set<std::string> FilesWithoutCard() const
    {
        std::set<std::string> files = originalFiles_;
        for (const char* file : kCardFiles)
            EXPECT_EQ(files.erase(file), 1u) << file;
        return files;
    }

    fs::path copy_;
    std::string original_;
    std::set<std::string> originalFiles_;
    std::unique_ptr<emulated::Registry> loaded_;
};

TEST_F(ExampleMachineTest, MachineHoldsTheCardAndItsNeighbours)
{
    emulated::Registry& registry = Loaded();
    for (const KeyName& key : kCardKeys)
        EXPECT_TRUE(registry.KeyExists(key.root, key.path)) << key.path;
    for (const KeyName& key : kNeighbourKeys)
        EXPECT_TRUE(registry.KeyExists(key.root, key.path)) << key.path;
    for (const char* file : kCardFiles)
        EXPECT_EQ(originalFiles_.count(file), 1u) << file;
    // Loading and saving an untouched machine gives back its bytes.
    EXPECT_EQ(emulated::SaveRegedit4(registry), original_);
}

// The removal does not depend on the mode: interactive (answered Yes), restart and silent runs all take the
// card, all of it and nothing else.
TEST_F(ExampleMachineTest, EveryModeRemovesTheCardAndNothingElse)
{
    struct Case {
        const char* argumentText;
        unsigned boxes;
        unsigned restarts;
    };
    const Case cases[] = {{"", 2, 0}, {"reboot", 1, 1}, {"/S", 0, 0}};
    const std::string expected = WithoutCardKeys(original_);
    ASSERT_NE(expected, original_);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("argument text \"") + c.argumentText + "\"");
        FreshCopy();
        RunResult run = Run(c.argumentText, IDYES);
        EXPECT_EQ(run.keysRemoved, kCardKeyCount);
        EXPECT_EQ(run.filesRemoved, kCardFileCount);
        EXPECT_EQ(CountLines(run.journal, "\"op\":\"message-box\""), c.boxes);
        EXPECT_EQ(CountLines(run.journal, "\"op\":\"restart\""), c.restarts);
        EXPECT_TRUE(run.saved);

        EXPECT_TRUE(ReadFile(copy_ / "registry.reg") == expected)
            << "registry.reg is not the original with the card's blocks taken out";
        emulated::Registry& registry = Loaded();
        for (const KeyName& key : kCardKeys)
            EXPECT_FALSE(registry.KeyExists(key.root, key.path)) << key.path;
        for (const KeyName& key : kNeighbourKeys)
            EXPECT_TRUE(registry.KeyExists(key.root, key.path)) << key.path;
        EXPECT_EQ(FilesBelow(copy_), FilesWithoutCard());
        for (const std::string& file : FilesWithoutCard()) {
            if (file != "registry.reg") {
                EXPECT_TRUE(ReadFile(copy_ / file) == ReadFile(ExampleMachine() / file)) << file << " changed";
            }
        }
    }
}

TEST_F(ExampleMachineTest, SecondRunFindsNoCardAndStillReportsCompletion)
{
    Run("", IDYES);
    const std::string cleaned = ReadFile(copy_ / "registry.reg");

    RunResult again = Run("", IDYES);
    EXPECT_EQ(again.keysRemoved, 0u);
    EXPECT_EQ(again.filesRemoved, 0u);
    EXPECT_FALSE(again.saved);
    EXPECT_EQ(again.journal,
              "{\"op\":\"message-box\",\"caption\":\"Pelko Sound DRUNE\",\"text\":\"Do you really want to uninstall "
              "your sound card ?\",\"style\":4116,\"language\":1033,\"result\":6}\n"
              "{\"op\":\"message-box\",\"caption\":\"Pelko Studio KALTO\",\"text\":\"    Uninstall complete.    \","
              "\"style\":4160,\"language\":1033,\"result\":1}\n");
    EXPECT_EQ(ReadFile(copy_ / "registry.reg"), cleaned);
    EXPECT_EQ(FilesBelow(copy_), FilesWithoutCard());
}

TEST_F(ExampleMachineTest, NoToTheConfirmationChangesNothing)
{
    RunResult run = Run("", IDNO);
    EXPECT_EQ(run.journal,
              "{\"op\":\"message-box\",\"caption\":\"Pelko Sound DRUNE\",\"text\":\"Do you really want to uninstall "
              "your sound card ?\",\"style\":4116,\"language\":1033,\"result\":7}\n");
    EXPECT_FALSE(run.saved);
    EXPECT_EQ(ReadFile(copy_ / "registry.reg"), original_);
    EXPECT_EQ(FilesBelow(copy_), originalFiles_);
}

TEST_F(ExampleMachineTest, DryRunJournalsTheRemovalsAndChangesNothingOnDisk)
{
    RunResult dry = Run("", IDYES, /*dryRun=*/true);
    EXPECT_EQ(dry.keysRemoved, kCardKeyCount);
    EXPECT_EQ(dry.filesRemoved, kCardFileCount);
    EXPECT_FALSE(dry.saved);
    EXPECT_EQ(ReadFile(copy_ / "registry.reg"), original_);
    EXPECT_EQ(FilesBelow(copy_), originalFiles_);

    RunResult real = Run("", IDYES);
    EXPECT_EQ(dry.journal, real.journal);
}

}  // namespace
