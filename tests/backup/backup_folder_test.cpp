#include "backup/backup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace
