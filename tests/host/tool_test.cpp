#include "host/tool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/stat.h>

#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

// A folder of its own with PATH pointed at two folders in it; PATH as it was comes back at the end.
class OnPathTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp_.ok());
        fs::create_directories(top_ / "a");
        fs::create_directories(top_ / "b");
        const char* path = std::getenv("PATH");
        saved_ = path != nullptr ? path : "";
        setenv("PATH", ((top_ / "a").string() + ":" + (top_ / "b").string()).c_str(), 1);
    }
    void TearDown() override { setenv("PATH", saved_.c_str(), 1); }
    void File(const fs::path& file, mode_t mode)
    {
        std::ofstream(file) << "#!/bin/sh\n";
        chmod(file.c_str(), mode);
    }

    test_support::TempFolder temp_ {"tool_test"};
    const fs::path& top_ = temp_.path();
    std::string saved_;
};

// As posix_spawnp finds a program: an executable regular file in any folder of PATH; a file that may not be
// run, or a folder of that name, is not one.
TEST_F(OnPathTest, FindsAnExecutableFileInAnyFolderOfPath)
{
    File(top_ / "b" / "qemu-io", 0755);
    File(top_ / "a" / "qemu-img", 0644);
    fs::create_directories(top_ / "a" / "qemu-nbd");
    File(top_ / "b" / "qemu-nbd", 0644);
    struct Case {
        std::string name;
        bool found;
    };
    const Case cases[] = {{"qemu-io", true},
                          {"qemu-img", false},
                          {"qemu-nbd", false},
                          {"qemu-system", false},
                          {(top_ / "b" / "qemu-io").string(), true},
                          {(top_ / "a" / "qemu-img").string(), false}};
    for (const Case& each : cases) {
        SCOPED_TRACE(each.name);
        EXPECT_EQ(host::OnPath(each.name), each.found);
    }
}

}  // namespace
