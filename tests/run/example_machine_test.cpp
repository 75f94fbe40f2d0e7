// Whole runs of the uninstaller on a copy of the bundled example machine, in-process: every key and file of
// the card goes, in run order, in every mode; everything else stays, down to the bytes of the saved registry
// file. What goes is listed in tests/data/example_machine_removed.txt.
#include "registry/regedit4.h"
#include "run/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "support/example_machine.h"
#include "support/faulty_system.h"
#include "support/read_file.h"
#include "machine/commit_record.h"
#include "machine/machine.h"
#include "machine/machine_folder.h"
#include "registry/names.h"

namespace {

namespace fs = std::filesystem;

struct KeyName {
    HKEY root;
    const char* path;
};

// Neighbours of the card's keys that a careless match would take with them.
const KeyName kNeighbourKeys[] = {
    {HKEY_LOCAL_MACHINE, "Enum\\PCI\\VEN_13F6&DEV_0211&SUBSYS_021113F6&REV_00\\BUS_00&DEV_0D&FUNC_00"},
    {HKEY_LOCAL_MACHINE, "Enum\\PCI\\VEN_1274&DEV_1371&SUBSYS_13711274&REV_06\\BUS_00&DEV_09&FUNC_00"},
    {HKEY_LOCAL_MACHINE, "Enum\\VIRTUAL\\*PNPB02F"},
    {HKEY_LOCAL_MACHINE, "Enum\\VIRTUAL\\*PNPB02F\\PCI&VEN_1274&DEV_1371&SUBSYS_13711274&REV_06&BUS_00&DEV_09&FUNC_00"},
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

using test_support::ReadFile;

std::string Lower(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), emulated::FoldCase);
    return lower;
}

// Whether the registry holds a key named as ROOT\path.
bool ExistsIn(const emulated::Registry& registry, const std::string& key)
{
    int root = emulated::RootIndexByName(key);
    if (root < 0)
        return false;
    const emulated::RootKey& rootKey = emulated::kRootKeys[root];
    return registry.KeyExists(rootKey.handle, key.substr(std::strlen(rootKey.name) + 1));
}

// The REGEDIT4 text without the blocks of the removed keys and their subkeys. A block runs from its key line
// to the next key line; the current user's keys stand below HKEY_USERS\.Default in the file.
std::string WithoutKeys(const std::string& text, const std::vector<std::string>& keys)
{
    const std::string user = "HKEY_CURRENT_USER\\";
    std::vector<std::string> gone;
    for (const std::string& key : keys)
        gone.push_back(Lower(key.rfind(user, 0) == 0 ? "HKEY_USERS\\.Default\\" + key.substr(user.size()) : key));
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
    std::vector<std::string> keys;   // removed, in order, as ROOT\path
    std::vector<std::string> files;  // removed, in order, relative to the machine folder in small letters
    bool saved = false;
};

class ExampleMachineTest : public ::testing::Test {
protected:
    // One run as the offline program makes it: open the machine, run, save the registry when something
    // was deleted (never in a dry run).
    RunResult Run(const char* argumentText, int answer, bool dryRun = false)
    {
        RunResult result;
        emulated::Registry registry;
        emulated::MachineFolder folder;
        std::string error;
        EXPECT_TRUE(emulated::OpenMachine(copy_.path(), "", registry, folder, error)) << error;
        emulated::Journal journal;
        emulated::MachineOptions options;
        options.dryRun = dryRun;
        options.answers.preset = answer == IDYES  ? emulated::BoxPreset::Yes
                                 : answer == IDNO ? emulated::BoxPreset::No
                                                  : emulated::BoxPreset::Unshown;
        emulated::EmulatedMachine machine(registry, folder.windowsFolder, options, journal);
        FaultySystem logged(machine);
        RunState state(logged);
        RunUninstaller(state, argumentText);
        EXPECT_EQ(registry.OpenHandles(), 0u);
        // Saved as a run saves it: the registry files and the removals in one commit.
        if (!dryRun) {
            emulated::CommitProgress progress;
            EXPECT_TRUE(emulated::CommitMachineChange(folder, registry, machine.RemovedFiles(), progress, error))
                << error;
            result.saved = registry.Modified();
        }
        result.journal = journal.text();
        for (const Call& call : logged.calls()) {
            if (call.op == Op::RegDeleteKeyA && call.result == ERROR_SUCCESS)
                result.keys.push_back(std::string(emulated::RootName(call.root)) + "\\" + call.arg);
            if (call.op == Op::RemoveFile && call.result == 0) {
                // C:\WINDOWS\... stands for the folder WINDOWS.
                std::string file = Lower(call.arg.substr(3));
                std::replace(file.begin(), file.end(), '\\', '/');
                result.files.push_back(file);
            }
        }
        return result;
    }

    emulated::Registry& Loaded()
    {
        loaded_ = std::make_unique<emulated::Registry>();
        emulated::MachineFolder folder;
        std::string error;
        EXPECT_TRUE(emulated::OpenMachine(copy_.path(), "", *loaded_, folder, error)) << error;
        return *loaded_;
    }

    std::set<std::string> FilesWithoutCard() const
    {
        std::set<std::string> files = originalFiles_;
        for (const std::string& file : removed_.files)
            EXPECT_EQ(files.erase(file), 1u) << file;
        return files;
    }

    std::vector<std::string> RemovedFilesLower() const
    {
        std::vector<std::string> files;
        for (const std::string& file : removed_.files)
            files.push_back(Lower(file));
        return files;
    }

    example::Copy copy_ {::testing::UnitTest::GetInstance()->current_test_info()->name()};
    const example::Removed removed_ = example::ReadRemoved();
    const std::string original_ = ReadFile(copy_.path() / "registry.reg");
    const std::set<std::string> originalFiles_ = example::FilesBelow(copy_.path());
    std::unique_ptr<emulated::Registry> loaded_;
};

TEST_F(ExampleMachineTest, MachineHoldsTheCardAndItsNeighbours)
{
    // The list that the host and Wine tests share: 17 keys and 14 files.
    ASSERT_EQ(removed_.keys.size(), 17u);
    ASSERT_EQ(removed_.files.size(), 14u);
    emulated::Registry& registry = Loaded();
    for (const std::string& key : removed_.keys)
        EXPECT_TRUE(ExistsIn(registry, key)) << key;
    for (const KeyName& key : kNeighbourKeys)
        EXPECT_TRUE(registry.KeyExists(key.root, key.path)) << key.path;
    for (const std::string& file : removed_.files)
        EXPECT_EQ(originalFiles_.count(file), 1u) << file;
    // Loading and saving an untouched machine gives back its bytes.
    EXPECT_EQ(emulated::SaveRegedit4(registry), original_);
}

// The removal does not depend on the mode: interactive (answered Yes), restart and silent runs all take the
// card, all of it, in the same order, and nothing else.
TEST_F(ExampleMachineTest, EveryModeRemovesTheCardAndNothingElse)
{
    struct Case {
        const char* argumentText;
        unsigned boxes;
        unsigned restarts;
    };
    const Case cases[] = {{"", 2, 0}, {"reboot", 1, 1}, {"/S", 0, 0}};
    const std::string expected = WithoutKeys(original_, removed_.keys);
    ASSERT_NE(expected, original_);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("argument text \"") + c.argumentText + "\"");
        copy_.Reset();
        RunResult run = Run(c.argumentText, IDYES);
        EXPECT_EQ(run.keys, removed_.keys);
        EXPECT_EQ(run.files, RemovedFilesLower());
        EXPECT_EQ(CountLines(run.journal, "\"op\":\"message-box\""), c.boxes);
        EXPECT_EQ(CountLines(run.journal, "\"op\":\"restart\""), c.restarts);
        EXPECT_TRUE(run.saved);

        EXPECT_TRUE(ReadFile(copy_.path() / "registry.reg") == expected)
            << "registry.reg is not the original with the card's blocks taken out";
        emulated::Registry& registry = Loaded();
        for (const std::string& key : removed_.keys)
            EXPECT_FALSE(ExistsIn(registry, key)) << key;
        for (const KeyName& key : kNeighbourKeys)
            EXPECT_TRUE(registry.KeyExists(key.root, key.path)) << key.path;
        EXPECT_EQ(example::FilesBelow(copy_.path()), FilesWithoutCard());
        for (const std::string& file : FilesWithoutCard()) {
            if (file != "registry.reg") {
                EXPECT_TRUE(ReadFile(copy_.path() / file) == ReadFile(example::Source() / file)) << file << " changed";
            }
        }
    }
}

TEST_F(ExampleMachineTest, SecondRunFindsNoCardAndStillReportsCompletion)
{
    Run("", IDYES);
    const std::string cleaned = ReadFile(copy_.path() / "registry.reg");

    RunResult again = Run("", IDYES);
    EXPECT_TRUE(again.keys.empty());
    EXPECT_TRUE(again.files.empty());
    EXPECT_FALSE(again.saved);
    EXPECT_EQ(again.journal,
              "{\"op\":\"message-box\",\"caption\":\"Pelko Sound DRUNE\",\"text\":\"Do you really want to uninstall "
              "your sound card ?\",\"style\":4116,\"language\":1033,\"result\":6}\n"
              "{\"op\":\"message-box\",\"caption\":\"Pelko Studio KALTO\",\"text\":\"    Uninstall complete.    \","
              "\"style\":4160,\"language\":1033,\"result\":1}\n");
    EXPECT_EQ(ReadFile(copy_.path() / "registry.reg"), cleaned);
    EXPECT_EQ(example::FilesBelow(copy_.path()), FilesWithoutCard());
}

TEST_F(ExampleMachineTest, NoToTheConfirmationChangesNothing)
{
    RunResult run = Run("", IDNO);
    EXPECT_EQ(run.journal,
              "{\"op\":\"message-box\",\"caption\":\"Pelko Sound DRUNE\",\"text\":\"Do you really want to uninstall "
              "your sound card ?\",\"style\":4116,\"language\":1033,\"result\":7}\n");
    EXPECT_FALSE(run.saved);
    EXPECT_EQ(ReadFile(copy_.path() / "registry.reg"), original_);
    EXPECT_EQ(example::FilesBelow(copy_.path()), originalFiles_);
}

TEST_F(ExampleMachineTest, DryRunJournalsTheRemovalsAndChangesNothingOnDisk)
{
    RunResult dry = Run("", IDYES, /*dryRun=*/true);
    EXPECT_EQ(dry.keys, removed_.keys);
    EXPECT_EQ(dry.files, RemovedFilesLower());
    EXPECT_FALSE(dry.saved);
    EXPECT_EQ(ReadFile(copy_.path() / "registry.reg"), original_);
    EXPECT_EQ(example::FilesBelow(copy_.path()), originalFiles_);

    RunResult real = Run("", IDYES);
    EXPECT_EQ(dry.journal, real.journal);
}

}  // namespace
