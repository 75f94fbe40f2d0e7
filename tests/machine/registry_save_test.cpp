// Saving a machine's registry files: through the folders held since the machine was opened (a WINDOWS
// swapped for a link afterwards leads nowhere), and all or nothing (a rename that fails puts back the files
// renamed before it).
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "machine/machine_folder.h"
#include "registry/registry.h"
#include "storage/durable.h"
#include "support/faulty_syscalls.h"
#include "support/read_file.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

using test_support::ReadFile;

// The real calls, but for the Nth rename, which fails with EIO.
class FailingRename : public storage::Syscalls {
public:
    explicit FailingRename(int failing) : failing_(failing) { }
    int RenameAt(int dir, const char* from, const char* to) override
    {
        if (++renames_ == failing_) {
            errno = EIO;
            return -1;
        }
        return storage::Syscalls::RenameAt(dir, from, to);
    }

private:
    int failing_;
    int renames_ = 0;
};

class RegistrySaveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp_.ok());
        machine_ = root_ / "machine";
        fs::create_directories(machine_ / "WINDOWS");
        const fs::path real = fs::path(CMPCI_SOURCE_DIR) / "tests" / "data" / "real-registry" / "winme";
        for (const char* name : {"SYSTEM.DAT", "USER.DAT"}) {
            fs::copy_file(real / name, machine_ / "WINDOWS" / name);
            fs::permissions(machine_ / "WINDOWS" / name, fs::perms::owner_write, fs::perm_options::add);
            original_.push_back(ReadFile(real / name));
        }
    }

    // Opens the machine and removes a key from each file.
    void OpenAndRemove()
    {
        std::string error;
        ASSERT_TRUE(emulated::OpenMachine(machine_, "", registry_, folder_, error)) << error;
        ASSERT_EQ(registry_.DeleteKey(HKEY_LOCAL_MACHINE, "Network\\Logon"), ERROR_SUCCESS);
        ASSERT_EQ(registry_.DeleteKey(HKEY_USERS, ".DEFAULT\\AppEvents"), ERROR_SUCCESS);
    }

    test_support::TempFolder temp_ {"cmpci-save"};
    const fs::path& root_ = temp_.path();
    fs::path machine_;
    std::vector<std::string> original_;
    emulated::Registry registry_;
    emulated::MachineFolder folder_;
};

TEST_F(RegistrySaveTest, AWindowsFolderSwappedForALinkDuringTheRunTakesNoSave)
{
    OpenAndRemove();
    // WINDOWS moves away and a link to a folder outside the machine takes its name.
    fs::create_directories(root_ / "outside");
    fs::copy_file(machine_ / "WINDOWS" / "SYSTEM.DAT", root_ / "outside" / "SYSTEM.DAT");
    fs::copy_file(machine_ / "WINDOWS" / "USER.DAT", root_ / "outside" / "USER.DAT");
    fs::rename(machine_ / "WINDOWS", machine_ / "WINDOWS.moved");
    fs::create_directory_symlink(root_ / "outside", machine_ / "WINDOWS");
    std::vector<std::string> saved;
    std::string error;
    ASSERT_TRUE(emulated::SaveRegistryFiles(folder_, registry_, saved, error)) << error;
    EXPECT_EQ(ReadFile(root_ / "outside" / "SYSTEM.DAT"), original_[0]);
    EXPECT_EQ(ReadFile(root_ / "outside" / "USER.DAT"), original_[1]);
    // The save went to the folder the run opened.
    EXPECT_NE(ReadFile(machine_ / "WINDOWS.moved" / "SYSTEM.DAT"), original_[0]);
    EXPECT_NE(ReadFile(machine_ / "WINDOWS.moved" / "USER.DAT"), original_[1]);
}

TEST_F(RegistrySaveTest, ARenameThatFailsPutsBackTheFilesSavedBeforeIt)
{
    OpenAndRemove();
    for (int failing : {1, 2}) {
        SCOPED_TRACE(failing);
        FailingRename calls(failing);
        std::vector<std::string> saved;
        std::string error;
        EXPECT_FALSE(emulated::SaveRegistryFiles(folder_, registry_, saved, error, calls));
        EXPECT_TRUE(saved.empty()) << error;
        EXPECT_EQ(ReadFile(machine_ / "WINDOWS" / "SYSTEM.DAT"), original_[0]) << error;
        EXPECT_EQ(ReadFile(machine_ / "WINDOWS" / "USER.DAT"), original_[1]) << error;
        EXPECT_EQ(std::distance(fs::directory_iterator(machine_ / "WINDOWS"), {}), 2) << "a temporary file was left";
    }
    std::vector<std::string> saved;
    std::string error;
    EXPECT_TRUE(emulated::SaveRegistryFiles(folder_, registry_, saved, error)) << error;
    EXPECT_EQ(saved.size(), 2u);
}

// Every call of a save failing once or from then on (as a run killed there): each registry file is as it
// was or as a whole save leaves it, all of them as they were when the save says it failed, and no
// temporary file is left beside them.
TEST_F(RegistrySaveTest, EveryFailingCallLeavesTheFilesOldOrNewAndNothingBeside)
{
    OpenAndRemove();
    std::vector<std::string> saved;
    std::string error;
    bool done = false;
    std::vector<std::string> wanted;
    const unsigned swept = SweepSyscalls(
        [&](storage::Syscalls& calls) {
            for (std::size_t i = 0; i < 2; ++i) {
                const fs::path file = machine_ / "WINDOWS" / (i == 0 ? "SYSTEM.DAT" : "USER.DAT");
                std::ofstream(file, std::ios::binary | std::ios::trunc) << original_[i];
            }
            saved.clear();
            done = emulated::SaveRegistryFiles(folder_, registry_, saved, error, calls);
            if (wanted.empty())
                wanted = {ReadFile(machine_ / "WINDOWS" / "SYSTEM.DAT"), ReadFile(machine_ / "WINDOWS" / "USER.DAT")};
        },
        [&](bool kill) {
            const std::string now[] = {ReadFile(machine_ / "WINDOWS" / "SYSTEM.DAT"), ReadFile(machine_ / "WINDOWS" / "USER.DAT")};
            for (std::size_t i = 0; i < 2; ++i) {
                SCOPED_TRACE(i == 0 ? "SYSTEM.DAT" : "USER.DAT");
                EXPECT_TRUE(now[i] == original_[i] || now[i] == wanted[i]) << "neither old nor new";
                if (done) {
                    EXPECT_EQ(now[i], wanted[i]);
                } else if (saved.empty()) {
                    EXPECT_EQ(now[i], original_[i]) << error;
                }
            }
            // A run killed between naming its staged file and renaming it leaves that name for the next start.
            if (kill)
                emulated::RemoveStaleSaves(folder_);
            EXPECT_EQ(std::distance(fs::directory_iterator(machine_ / "WINDOWS"), {}), 2) << "a temporary file was left";
        });
    EXPECT_NE(wanted[0], original_[0]);
    EXPECT_GE(swept, 10u);
}

TEST_F(RegistrySaveTest, ARunThatWritesRemovesOnlyStaleSavesOfItsRegistryFiles)
{
    const fs::path windows = machine_ / "WINDOWS";
    const char* stale[] = {"SYSTEM.DAT.tmp-AbC123", "USER.DAT.tmp-9zZ0aA"};
    const char* kept[] = {"SYSTEM.DAT.tmp-notes", "SYSTEM.DAT.bak", "WIN.INI.tmp-AbC123"};
    for (const char* name : stale)
        std::ofstream(windows / name) << "left by a killed run";
    for (const char* name : kept)
        std::ofstream(windows / name) << "the user's";
    fs::create_directory(windows / "USER.DAT.tmp-Folder");
    std::string error;
    ASSERT_TRUE(emulated::OpenMachine(machine_, "", registry_, folder_, error)) << error;
    emulated::RemoveStaleSaves(folder_);
    for (const char* name : stale)
        EXPECT_FALSE(fs::exists(windows / name)) << name;
    for (const char* name : kept)
        EXPECT_EQ(ReadFile(windows / name), "the user's") << name;
    EXPECT_TRUE(fs::is_directory(windows / "USER.DAT.tmp-Folder"));
    EXPECT_EQ(ReadFile(windows / "SYSTEM.DAT"), original_[0]);
}

}  // namespace
