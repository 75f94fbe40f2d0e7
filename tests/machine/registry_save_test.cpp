// Saving a machine's registry files: through the folders held since the machine was opened (a WINDOWS
// swapped for a link afterwards leads nowhere), and all or nothing (a rename that fails puts back the files
// renamed before it).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "registry/registry.h"
#include "storage/durable.h"

namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

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
        std::string pattern = (fs::temp_directory_path() / "cmpci-save-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        machine_ = root_ / "machine";
        fs::create_directories(machine_ / "WINDOWS");
        const fs::path real = fs::path(CMPCI_SOURCE_DIR) / "tests" / "data" / "real-registry" / "winme";
        for (const char* name : {"SYSTEM.DAT", "USER.DAT"}) {
            fs::copy_file(real / name, machine_ / "WINDOWS" / name);
            fs::permissions(machine_ / "WINDOWS" / name, fs::perms::owner_write, fs::perm_options::add);
            original_.push_back(Read(real / name));
        }
    }
    void TearDown() override { fs::remove_all(root_); }

    // Opens the machine and removes a key from each file.
    void OpenAndRemove()
    {
        std::string error;
        ASSERT_TRUE(emulated::OpenMachine(machine_, "", registry_, folder_, error)) << error;
        ASSERT_EQ(registry_.DeleteKey(HKEY_LOCAL_MACHINE, "Network\\Logon"), ERROR_SUCCESS);
        ASSERT_EQ(registry_.DeleteKey(HKEY_USERS, ".DEFAULT\\AppEvents"), ERROR_SUCCESS);
    }

    fs::path root_;
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
    EXPECT_EQ(Read(root_ / "outside" / "SYSTEM.DAT"), original_[0]);
    EXPECT_EQ(Read(root_ / "outside" / "USER.DAT"), original_[1]);
    // The save went to the folder the run opened.
    EXPECT_NE(Read(machine_ / "WINDOWS.moved" / "SYSTEM.DAT"), original_[0]);
    EXPECT_NE(Read(machine_ / "WINDOWS.moved" / "USER.DAT"), original_[1]);
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
        EXPECT_EQ(Read(machine_ / "WINDOWS" / "SYSTEM.DAT"), original_[0]) << error;
        EXPECT_EQ(Read(machine_ / "WINDOWS" / "USER.DAT"), original_[1]) << error;
        EXPECT_EQ(std::distance(fs::directory_iterator(machine_ / "WINDOWS"), {}), 2) << "a temporary file was left";
    }
    std::vector<std::string> saved;
    std::string error;
    EXPECT_TRUE(emulated::SaveRegistryFiles(folder_, registry_, saved, error)) << error;
    EXPECT_EQ(saved.size(), 2u);
}

}  // namespace
