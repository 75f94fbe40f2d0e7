#include "offline/check.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// --check lists what the removal would take, by the removal's own rules: a "Driver" value that names no
// one driver key, or an "InfPath" that is no plain file name, leads to no class key and no INF file.
TEST(CheckTest, FollowsTheRemovalsRulesForDriverAndInfNames)
{
    std::string pattern = (fs::temp_directory_path() / "cmpci-check-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path windows = fs::path(pattern) / "WINDOWS";
    fs::create_directories(windows / "INF");
    std::ofstream(windows / "INF" / "oem1.inf") << "x";
    std::ofstream(windows / "oem2.inf") << "x";
    emulated::Registry registry;
    ASSERT_TRUE(emulated::LoadRegedit4(
                    "REGEDIT4\r\n"
                    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111\\1]\r\n\"Driver\"=\"MEDIA\\\\0001\"\r\n"
                    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111\\2]\r\n\"Driver\"=\"MEDIA\\\\.\"\r\n"
                    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111\\3]\r\n\"Driver\"=\"MEDIA\\\\\\\\0003\"\r\n"
                    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111\\4]\r\n\"Driver\"=\"MEDIA\\\\0004\"\r\n"
                    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0001]\r\n"
                    "\"InfPath\"=\"oem1.inf\"\r\n"
                    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\.]\r\n"
                    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\\\0003]\r\n"
                    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0004]\r\n"
                    "\"InfPath\"=\"..\\\\oem2.inf\"\r\n",
                    registry)
                    .ok);
    std::vector<std::string> found;
    for (const offline::Leftover& left : offline::FindLeftovers(registry, emulated::WindowsFolder(windows)))
        found.push_back(std::string(left.kind) + " " + left.where);
    const std::vector<std::string> expected {
        "device-key HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111",
        "driver-class HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0001",
        "inf-file C:\\WINDOWS\\inf\\oem1.inf",
        "driver-class HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0004",
    };
    EXPECT_EQ(found, expected);
    fs::remove_all(pattern);
}

}  // namespace
