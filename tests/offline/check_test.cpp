#include "offline/check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "registry/regedit4.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

// A WINDOWS folder in `temp`, its INF folder made, holding `files` (paths below it).
fs::path PutWindows(const test_support::TempFolder& temp, const std::vector<std::string>& files)
{
    const fs::path windows = temp.path() / "WINDOWS";
    fs::create_directories(windows / "INF");
    for (const std::string& file : files)
        std::ofstream(windows / file) << "x";
    return windows;
}

// --check lists what the removal would take, by the removal's own rules: a "Driver" value that names no
// one driver key, or an "InfPath" that is no plain file name, leads to no class key and no INF file.
TEST(CheckTest, FollowsTheRemovalsRulesForDriverAndInfNames)
{
    const test_support::TempFolder temp("cmpci-check");
    ASSERT_TRUE(temp.ok());
    const fs::path windows = PutWindows(temp, {"INF/oem1.inf", "oem2.inf"});
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
        found.push_back(std::string(offline::KindName(left.kind)) + " " + left.where);
    const std::vector<std::string> expected {
        "device-key HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111",
        "driver-class HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0001",
        "inf-file C:\\WINDOWS\\inf\\oem1.inf",
        "driver-class HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0004",
    };
    EXPECT_EQ(found, expected);
}

// What the removal's rules keep: the class an orphaned companion of the card shares with another game port
// is listed as kept, with its INF file and resource entry, each naming that port; the class only the card's
// own game port names is --remnants', without the game port's INF file; a kept item gone is no longer there.
TEST(CheckTest, AClassAnotherDeviceNamesIsKeptWithThatDevice)
{
    const test_support::TempFolder temp("cmpci-check");
    ASSERT_TRUE(temp.ok());
    const fs::path windows = PutWindows(temp, {"INF/MSJSTICK.INF"});
    const std::string classes = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\";
    emulated::Registry registry;
    ASSERT_TRUE(emulated::LoadRegedit4(
                    "REGEDIT4\r\n"
                    "[HKEY_LOCAL_MACHINE\\Enum\\VIRTUAL\\SSC-SBEMU\\PCI&VEN_13F6&DEV_0111&1]\r\n"
                    "\"Driver\"=\"MEDIA\\\\0005\"\r\n"
                    "[HKEY_LOCAL_MACHINE\\Enum\\VIRTUAL\\*PNPB02F\\PCI&VEN_13F6&DEV_0111&1]\r\n"
                    "\"Driver\"=\"MEDIA\\\\0002\"\r\n"
                    "[HKEY_LOCAL_MACHINE\\Enum\\VIRTUAL\\*PNPB02F\\PCI&VEN_1274&DEV_1371&1]\r\n"
                    "\"Driver\"=\"MEDIA\\\\0005\"\r\n" +
                        classes + "0002]\r\n\"InfPath\"=\"msjstick.inf\"\r\n" + classes +
                        "0005]\r\n\"InfPath\"=\"msjstick.inf\"\r\n" + classes +
                        "0005\\Drivers]\r\n\"SubClasses\"=\"joystick\"\r\n" + classes +
                        "0005\\Drivers\\joystick\\msjstick.drv]\r\n"
                        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\MediaResources\\joystick\\"
                        "msjstick.drv<0005>]\r\n",
                    registry)
                    .ok);
    const emulated::WindowsFolder folder(windows);
    std::vector<std::string> found;
    std::vector<offline::Leftover> kept;
    for (const offline::Leftover& left : offline::FindLeftovers(registry, folder, &kept))
        found.push_back(std::string(offline::KindName(left.kind)) + " " + left.where);
    const std::string classKey = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\";
    EXPECT_EQ(found, (std::vector<std::string> {
                         "companion-key HKEY_LOCAL_MACHINE\\Enum\\VIRTUAL\\SSC-SBEMU\\PCI&VEN_13F6&DEV_0111&1",
                         "companion-key HKEY_LOCAL_MACHINE\\Enum\\VIRTUAL\\*PNPB02F\\PCI&VEN_13F6&DEV_0111&1",
                         "driver-class " + classKey + "0002",
                     }));
    std::vector<std::string> described;
    for (const offline::Leftover& item : kept)
        described.push_back(offline::DescribeKept(item));
    const std::string usedBy = " [kept: HKEY_LOCAL_MACHINE\\Enum\\VIRTUAL\\*PNPB02F\\PCI&VEN_1274&DEV_1371&1 uses it]";
    EXPECT_EQ(described,
              (std::vector<std::string> {
                  "driver-class " + classKey + "0005" + usedBy, "inf-file C:\\WINDOWS\\inf\\msjstick.inf" + usedBy,
                  "media-resource HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\MediaResources\\"
                  "joystick\\msjstick.drv<0005>" + usedBy}));

    ASSERT_EQ(registry.DeleteKey(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Class\\MEDIA\\0005"),
              ERROR_SUCCESS);
    const std::vector<offline::Leftover> there = offline::StillThere(kept, registry, folder);
    ASSERT_EQ(there.size(), 2u);
    EXPECT_EQ(there[0].kind, offline::LeftoverKind::InfFile);
    EXPECT_EQ(there[1].kind, offline::LeftoverKind::MediaResource);
}

}  // namespace
