// What the Win32 provider adds to the Windows calls: subtree removal on NT-family Windows (and Wine), whose
// RegDeleteKeyA refuses a key with subkeys, within its bounds.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "support/faulty_system.h"
#include "system/win32/win32_system.h"

namespace {

constexpr char kBase[] = "Software\\CmpciWin32System";

class Win32SystemTest : public ::testing::Test {
protected:
    void SetUp() override { system_.RegDeleteKeyA(HKEY_LOCAL_MACHINE, kBase); }
    void TearDown() override { system_.RegDeleteKeyA(HKEY_LOCAL_MACHINE, kBase); }

    static std::string Path(const std::string& below) { return std::string(kBase) + "\\" + below; }

    static void Create(const std::string& below)
    {
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, Path(below).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                    &key, nullptr),
                  ERROR_SUCCESS)
            << below;
        ::RegCloseKey(key);
    }

    static bool Exists(const std::string& below)
    {
        HKEY key = nullptr;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path(below).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        ::RegCloseKey(key);
        return true;
    }

    // A chain of `levels` keys L1\L2\... below `below`, made level by level since the whole path may be
    // longer than a Windows call takes at once.
    static void Chain(const std::string& below, unsigned levels)
    {
        Create(below);
        HKEY key = nullptr;
        ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path(below).c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
        for (unsigned level = 1; level <= levels; ++level) {
            HKEY next = nullptr;
            std::string name = "L" + std::to_string(level);
            ASSERT_EQ(::RegCreateKeyExA(key, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &next, nullptr),
                      ERROR_SUCCESS);
            ::RegCloseKey(key);
            key = next;
        }
        ::RegCloseKey(key);
    }

    // How many levels of L1\L2\... are there below `below`.
    static unsigned ChainDepth(const std::string& below)
    {
        HKEY key = nullptr;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path(below).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return 0;
        unsigned depth = 0;
        for (;;) {
            HKEY next = nullptr;
            std::string name = "L" + std::to_string(depth + 1);
            LONG result = ::RegOpenKeyExA(key, name.c_str(), 0, KEY_READ, &next);
            ::RegCloseKey(key);
            if (result != ERROR_SUCCESS)
                return depth;
            key = next;
            ++depth;
        }
    }

    Win32System system_;
};

TEST_F(Win32SystemTest, TheWindowsCallAloneRefusesAKeyWithSubkeys)
{
    // The reason the provider removes subkeys itself; on Windows 9x this call would succeed.
    Create("Plain\\Child");
    EXPECT_NE(::RegDeleteKeyA(HKEY_LOCAL_MACHINE, Path("Plain").c_str()), ERROR_SUCCESS);
    EXPECT_TRUE(Exists("Plain\\Child"));
}

TEST_F(Win32SystemTest, RemovesASubtreeDownToTheDeepestLevelItDescendsTo)
{
    Chain("Deep", kSubtreeMaxDepth);
    ASSERT_EQ(ChainDepth("Deep"), kSubtreeMaxDepth);
    EXPECT_EQ(system_.RegDeleteKeyA(HKEY_LOCAL_MACHINE, Path("Deep").c_str()), ERROR_SUCCESS);
    EXPECT_FALSE(Exists("Deep"));
}

TEST_F(Win32SystemTest, LeavesASubtreeDeeperThanItsBoundInPlace)
{
    Chain("TooDeep", kSubtreeMaxDepth + 1);
    Create("TooDeep\\Shallow\\Leaf");
    EXPECT_NE(system_.RegDeleteKeyA(HKEY_LOCAL_MACHINE, Path("TooDeep").c_str()), ERROR_SUCCESS);
    EXPECT_EQ(ChainDepth("TooDeep"), kSubtreeMaxDepth + 1);
    // Removal is depth-first and goes on past a branch it cannot remove.
    EXPECT_FALSE(Exists("TooDeep\\Shallow"));
}

TEST_F(Win32SystemTest, AnEmptyPathNeverNamesTheRootItself)
{
    Create("Kept");
    HKEY base = nullptr;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kBase, 0, KEY_ALL_ACCESS, &base), ERROR_SUCCESS);
    EXPECT_EQ(system_.RegDeleteKeyA(base, ""), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(system_.RegDeleteKeyA(base, nullptr), ERROR_INVALID_PARAMETER);
    ::RegCloseKey(base);
    EXPECT_TRUE(Exists("Kept"));
}

// The fault wrapper holds back a failing call from the real provider, so that a fault sweep can run here too.
TEST_F(Win32SystemTest, AFailingDeletionThroughTheFaultWrapperLeavesTheKey)
{
    Create("Kept\\Child");
    FaultySystem faulty(system_, {1, 1, Op::RegDeleteKeyA, std::nullopt});
    EXPECT_EQ(faulty.RegDeleteKeyA(HKEY_LOCAL_MACHINE, Path("Kept").c_str()), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(Exists("Kept\\Child"));
    EXPECT_EQ(faulty.RegDeleteKeyA(HKEY_LOCAL_MACHINE, Path("Kept").c_str()), ERROR_SUCCESS);
    EXPECT_FALSE(Exists("Kept"));
}

TEST_F(Win32SystemTest, AFileIsRemovedLikeRemoveDoes)
{
    char folder[MAX_PATH];
    ASSERT_NE(::GetTempPathA(sizeof folder, folder), 0u);
    std::string file = std::string(folder) + "cmpci-win32-system.tmp";
    HANDLE handle =
        ::CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    ::CloseHandle(handle);
    EXPECT_EQ(system_.RemoveFile(file.c_str()), 0);
    EXPECT_EQ(::GetFileAttributesA(file.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(system_.RemoveFile(file.c_str()), -1);
}

TEST_F(Win32SystemTest, DirectoriesComeWithoutATrailingBackslash)
{
    char windows[100] = {};
    char system[100] = {};
    UINT windowsLength = system_.GetWindowsDirectoryA(windows, sizeof windows);
    UINT systemLength = system_.GetSystemDirectoryA(system, sizeof system);
    ASSERT_GT(windowsLength, 0u);
    ASSERT_GT(systemLength, windowsLength);
    EXPECT_NE(windows[windowsLength - 1], '\\');
    EXPECT_NE(system[systemLength - 1], '\\');
    EXPECT_EQ(std::string(system).compare(0, windowsLength, windows), 0);
}

}  // namespace
