// The files a run writes besides the machine's own: never one the run reads (by inode, or by place for a
// file not there yet), and put in place durably: synced before the rename, its folder synced after.
#include "offline/outputs.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/read_file.h"
#include "support/recording_syscalls.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

class OutputsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::ofstream(folder_ / "disk.qcow2") << "top";
        std::ofstream(folder_ / "base.vdi") << "base";
        fs::create_directory(folder_ / "machine");
    }
    test_support::TempFolder temp_ {"outputs-test"};
    const fs::path& folder_ = temp_.path();
};

TEST_F(OutputsTest, NoOutputLandsOnAFileTheRunReadsOrItsPlace)
{
    fs::create_hard_link(folder_ / "base.vdi", folder_ / "second-name.vdi");
    const std::vector<fs::path> read {folder_ / "disk.qcow2", folder_ / "base.vdi", folder_ / "disk.qcow2.cmpci-rollback"};
    const struct {
        std::string output;
        bool apart;
    } cases[] = {
        {"-", true},
        {(folder_ / "run.journal").string(), true},
        {(folder_ / "base.vdi").string(), false},
        {(folder_ / "second-name.vdi").string(), false},
        {(folder_ / "machine" / ".." / "base.vdi").string(), false},
        {(folder_ / "disk.qcow2.cmpci-rollback").string(), false},
        {(folder_ / "machine" / ".." / "disk.qcow2.cmpci-rollback").string(), false},
        {(folder_ / "disk.qcow2.cmpci-rollback2").string(), true},
        {(folder_ / "machine" / "run.journal").string(), false},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.output);
        std::string error;
        EXPECT_EQ(offline::OutputIsApart(each.output, read, {folder_ / "machine"}, error), each.apart) << error;
    }
}

TEST_F(OutputsTest, AnOutputIsSyncedBeforeItsRenameAndItsFolderAfter)
{
    const fs::path journal = folder_ / "run.journal";
    RecordingSyscalls calls;
    {
        offline::OutputFile out(calls);
        std::string error;
        ASSERT_TRUE(out.Open(journal.string(), error)) << error;
        std::fputs("{\"op\":\"start\"}\n", out.stream());
        ASSERT_TRUE(out.Finish(error)) << error;
    }
    EXPECT_EQ(test_support::ReadFile(journal), "{\"op\":\"start\"}\n");
    EXPECT_EQ(calls.kinds, (std::vector<std::string> {"fsync", "rename", "sync-folder"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), {}), 4) << "a temporary file was left";
}

}  // namespace
