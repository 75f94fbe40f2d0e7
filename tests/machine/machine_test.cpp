#include "machine/machine_folder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

class OpenMachineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp_.ok());
        fs::create_directories(top_ / "m" / "WINDOWS");
        std::ofstream(top_ / "elsewhere.reg", std::ios::binary) << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum]\r\n";
    }

    test_support::TempFolder temp_ {"cmpci-machine"};
    const fs::path& top_ = temp_.path();
};

// A registry file behind a link could be anywhere on the host: it is never read, let alone replaced.
TEST_F(OpenMachineTest, RefusesARegistryFileThatIsALink)
{
    fs::create_symlink(top_ / "elsewhere.reg", top_ / "m" / "registry.reg");
    emulated::Registry registry;
    emulated::MachineFolder machine;
    std::string error;
    EXPECT_FALSE(emulated::OpenMachine(top_ / "m", "", registry, machine, error));
    EXPECT_EQ(error, (top_ / "m" / "registry.reg").string() + ": is a symbolic link");

    fs::remove(top_ / "m" / "registry.reg");
    fs::copy_file(top_ / "elsewhere.reg", top_ / "m" / "registry.reg");
    EXPECT_TRUE(emulated::OpenMachine(top_ / "m", "", registry, machine, error)) << error;
    EXPECT_TRUE(registry.KeyExists(HKEY_LOCAL_MACHINE, "Enum"));
}

}  // namespace
