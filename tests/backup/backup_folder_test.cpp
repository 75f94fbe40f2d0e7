#include "backup/backup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "machine/machine_folder.h"
#include "support/faulty_syscalls.h"
#include "support/read_file.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// Runs on images that stand beside each other put their dated backups into the same folder, often within
// one second: each must get a folder of its own, taken before it writes the first file.
TEST(BackupFolderTest, RunsAtOnceNeverShareADatedBackupFolder)
{
    const test_support::TempFolder temp("cmpci-backup-folder");
    ASSERT_TRUE(temp.ok());
    const fs::path& top = temp.path();
    std::vector<fs::path> made(8);
    std::vector<std::string> errors(made.size());
    std::vector<std::thread> runs;
    for (std::size_t i = 0; i < made.size(); ++i)
        runs.emplace_back([&, i] { made[i] = backup::MakeDefaultBackupFolder(top, errors[i]); });
    for (std::thread& run : runs)
        run.join();
    std::set<fs::path> distinct;
    for (std::size_t i = 0; i < made.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(errors[i], "");
        EXPECT_TRUE(fs::is_directory(made[i]));
        EXPECT_EQ(made[i].parent_path(), top);
        EXPECT_EQ(made[i].filename().string().rfind("cmpci-backup-", 0), 0u);
        distinct.insert(made[i]);
    }
    EXPECT_EQ(distinct.size(), made.size());

    std::string error;
    EXPECT_EQ(backup::MakeDefaultBackupFolder(top / "missing" / "deeper", error), fs::path());
    EXPECT_NE(error.find("cannot make the backup folder "), std::string::npos) << error;
}

// Every file below `folder` by its path there, with its bytes; the manifest's time of writing left out, as
// two backups of the same run differ only there.
std::map<std::string, std::string> BackupTree(const fs::path& folder)
{
    std::map<std::string, std::string> tree;
    std::error_code status;
    for (fs::recursive_directory_iterator each(folder, status), end; !status && each != end; each.increment(status)) {
        if (each->is_regular_file())
            tree[fs::relative(each->path(), folder).generic_string()] = test_support::ReadFile(each->path());
    }
    if (tree.count("manifest.json") != 0)
        tree["manifest.json"] = std::regex_replace(tree["manifest.json"], std::regex("\"time\": \"[^\"]*\""), "");
    return tree;
}

// Every system call of a backup failing once, and from then on: the backup is either whole (as a clean one,
// byte for byte) or not there at all, with the run told that the backup could not be written. A backup in part is never
// left for a restore to take as whole.
TEST(BackupFolderTest, EveryFailingCallLeavesTheWholeBackupOrNone)
{
    const test_support::TempFolder temp("cmpci-backup-sweep");
    ASSERT_TRUE(temp.ok());
    const fs::path& top = temp.path();
    fs::create_directories(top / "m" / "WINDOWS" / "SYSTEM");
    std::ofstream(top / "m" / "registry.reg", std::ios::binary)
        << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\PCI\\CARD]\r\n\"Driver\"=\"MEDIA\\\\0001\"\r\n\r\n"
           "[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion]\r\n\"ProductId\"=\"1-2-3\"\r\n";
    std::ofstream(top / "m" / "WINDOWS" / "SYSTEM" / "CARD.VXD", std::ios::binary) << std::string(3000, 'v');
    std::ofstream(top / "m" / "WINDOWS" / "CARD.EXE", std::ios::binary) << "MZ";
    emulated::Registry registry;
    emulated::MachineFolder machine;
    std::string error;
    ASSERT_TRUE(emulated::OpenMachine(top / "m", "", registry, machine, error)) << error;
    ASSERT_EQ(registry.DeleteKey(HKEY_LOCAL_MACHINE, "Enum\\PCI\\CARD"), ERROR_SUCCESS);
    const backup::RunChanges changes {top / "m", &machine, &registry, {"SYSTEM/CARD.VXD", "CARD.EXE"},
                                      {"C:\\WINDOWS\\SYSTEM\\CARD.VXD", "C:\\WINDOWS\\CARD.EXE"}, {}};
    ASSERT_TRUE(backup::WriteBackup(top / "clean", changes, error)) << error;
    const auto whole = BackupTree(top / "clean");
    ASSERT_EQ(whole.size(), 6u);
    EXPECT_NE(whole.at("manifest.json").find("\"ProductId\": \"1-2-3\""), std::string::npos);

    const fs::path folder = top / "backup";
    bool done = false;
    const unsigned calls = SweepSyscalls(
        [&](storage::Syscalls& faulty) {
            fs::remove_all(folder);
            error.clear();
            done = backup::WriteBackup(folder, changes, error, faulty);
        },
        [&](bool) {
            if (done) {
                EXPECT_TRUE(BackupTree(folder) == whole);
                return;
            }
            EXPECT_FALSE(fs::exists(folder)) << error;
            EXPECT_EQ(error.rfind("cannot write the backup ", 0), 0u) << error;
        });
    EXPECT_GT(calls, 20u);
}

}  // namespace
