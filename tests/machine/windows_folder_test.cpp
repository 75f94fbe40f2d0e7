#include "machine/windows_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/temp_folder.h"

namespace fs = std::filesystem;
using emulated::WindowsFolder;

namespace {

class WindowsFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp_.ok());
        windows_ = top_ / "WINDOWS";
        fs::create_directories(windows_ / "SYSTEM");
        fs::create_directories(windows_ / "INF" / "OTHER");
        Write(windows_ / "SYSTEM" / "CMAUDIO.VXD");
        Write(windows_ / "INF" / "oem3.inf");
        Write(windows_ / "INF" / "OTHER" / "oem3.inf");
        Write(windows_ / "Cldrune.exe");
        Write(top_ / "outside.txt");
    }

    static void Write(const fs::path& path) { std::ofstream(path) << "x"; }

    test_support::TempFolder temp_ {"cmpci-folder"};
    const fs::path& top_ = temp_.path();
    fs::path windows_;
};

TEST_F(WindowsFolderTest, MatchesEveryComponentIgnoringCase)
{
    WindowsFolder folder(windows_);
    EXPECT_EQ(folder.Find("C:\\WINDOWS\\SYSTEM\\cmaudio.vxd"), windows_ / "SYSTEM" / "CMAUDIO.VXD");
    EXPECT_EQ(folder.Find("c:\\windows\\system\\CmAudio.Vxd"), windows_ / "SYSTEM" / "CMAUDIO.VXD");
    EXPECT_EQ(folder.Find("C:\\WINDOWS\\inf\\other\\OEM3.INF"), windows_ / "INF" / "OTHER" / "oem3.inf");
    EXPECT_EQ(folder.Remove("C:\\WINDOWS\\system\\cmaudio.vxd"), WindowsFolder::Outcome::Removed);
    EXPECT_EQ(folder.Remove("C:\\WINDOWS\\system\\cmaudio.vxd"), WindowsFolder::Outcome::Missing);
    EXPECT_EQ(folder.Taken(), std::vector<std::string> {"SYSTEM/CMAUDIO.VXD"});
}

TEST_F(WindowsFolderTest, NeverRemovesAFolderNorLeavesTheWindowsFolder)
{
    WindowsFolder folder(windows_);
    const char* refused[] = {
        // An empty INF name makes the path name the folder itself, with or without its backslash.
        "C:\\WINDOWS\\inf\\",
        "C:\\WINDOWS\\inf",
        "C:\\WINDOWS\\inf\\other",
        "C:\\WINDOWS",
        "C:\\WINDOWS\\..\\outside.txt",
        "C:\\WINDOWS\\inf\\..\\..\\outside.txt",
        "C:\\WINDOWS\\.\\Cldrune.exe",
        "D:\\WINDOWS\\Cldrune.exe",
        "C:\\outside.txt",
        "C:\\WINDOWSX\\Cldrune.exe",
        "C:\\WINDOWS\\SYSTEM/../../outside.txt",
        "C:\\WINDOWS\\\\Cldrune.exe",
        "\\\\server\\share\\x",
        "C:\\WINDOWS\\C:x",
    };
    for (const char* path : refused) {
        SCOPED_TRACE(path);
        EXPECT_EQ(folder.Remove(path), WindowsFolder::Outcome::Refused);
    }
    EXPECT_TRUE(fs::is_directory(windows_ / "INF" / "OTHER"));
    EXPECT_TRUE(fs::exists(top_ / "outside.txt"));
    EXPECT_TRUE(fs::exists(windows_ / "Cldrune.exe"));
}

TEST_F(WindowsFolderTest, NeverFollowsALink)
{
    fs::create_directory_symlink(top_, windows_ / "SYSTEM" / "up");
    fs::create_symlink(top_ / "outside.txt", windows_ / "link.txt");
    WindowsFolder folder(windows_);
    EXPECT_EQ(folder.Remove("C:\\WINDOWS\\SYSTEM\\up\\outside.txt"), WindowsFolder::Outcome::Refused);
    EXPECT_EQ(folder.Remove("C:\\WINDOWS\\link.txt"), WindowsFolder::Outcome::Refused);
    EXPECT_TRUE(fs::exists(top_ / "outside.txt"));
    EXPECT_TRUE(fs::is_symlink(windows_ / "link.txt"));
}

TEST_F(WindowsFolderTest, RemovedFilesStayOnDiskUntilCommitted)
{
    WindowsFolder folder(windows_);
    EXPECT_EQ(folder.Remove("C:\\WINDOWS\\Cldrune.exe"), WindowsFolder::Outcome::Removed);
    EXPECT_EQ(folder.Remove("C:\\WINDOWS\\CLDRUNE.EXE"), WindowsFolder::Outcome::Missing);
    EXPECT_TRUE(folder.Find("C:\\WINDOWS\\Cldrune.exe").empty());
    EXPECT_TRUE(fs::exists(windows_ / "Cldrune.exe"));
    EXPECT_EQ(folder.Taken(), std::vector<std::string> {"Cldrune.exe"});
}

}  // namespace
