// The one owner of an image's bytes, on image files made here: a raw disk and a fixed VHD are read in place
// (the footer left out), and no write leaves the volume it is bounded to; a batch with one change outside
// writes nothing at all.
#include "image/disk.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>

#include <sys/stat.h>

#include "support/faulty_syscalls.h"
#include "support/read_file.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

class DiskTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        file_ = folder_.path() / "disk.img";
        std::mt19937 random(7);
        bytes_.resize(64 * 1024);
        for (char& byte : bytes_)
            byte = static_cast<char>(random() & 0x7F);
        bytes_.replace(0, 8, std::string(8, '\0'));
    }
    void Put(const std::string& bytes) const { std::ofstream(file_, std::ios::binary | std::ios::trunc) << bytes; }
    std::string Now() const { return test_support::ReadFile(file_); }

    test_support::TempFolder folder_ {"disk-test"};
    fs::path file_;
    std::string bytes_;
};

// A fixed VHD: the disk, then a footer whose disk type (2) is big-endian at byte 60.
TEST_F(DiskTest, AFixedVhdIsItsDiskWithoutTheFooter)
{
    std::string footer(512, '\0');
    footer.replace(0, 8, "conectix");
    footer[63] = 2;
    Put(bytes_ + footer);
    image::Disk disk;
    std::string error;
    ASSERT_TRUE(disk.Open(file_, "disk.img", error)) << error;
    EXPECT_EQ(disk.format(), "fixed VHD");
    EXPECT_TRUE(disk.inPlace());
    EXPECT_EQ(disk.size(), bytes_.size());
    std::string last(512, '\0');
    ASSERT_TRUE(disk.Read(bytes_.size() - 512, last.data(), last.size()));
    EXPECT_EQ(last, bytes_.substr(bytes_.size() - 512));
    EXPECT_FALSE(disk.Read(bytes_.size() - 511, last.data(), last.size())) << "read into the footer";
    // Bounded to the whole disk, a write still cannot reach the footer.
    disk.Bound(0, bytes_.size() + 512);
    EXPECT_FALSE(disk.Write({{bytes_.size(), std::string(512, 'x')}}, error));
    EXPECT_EQ(Now(), bytes_ + footer);
}

TEST_F(DiskTest, WritesOnlyInsideItsBoundAndNothingOfABatchThatLeavesIt)
{
    Put(bytes_);
    image::Disk disk;
    std::string error;
    ASSERT_TRUE(disk.Open(file_, "disk.img", error)) << error;
    EXPECT_EQ(disk.format(), "raw");
    EXPECT_FALSE(disk.Write({{4096, "x"}}, error)) << "a write before any bound";
    disk.Bound(8192, 4096);
    const struct {
        const char* label;
        std::uint64_t offset;
        std::size_t size;
        bool allowed;
    } cases[] = {
        {"first byte", 8192, 1, true},       {"whole volume", 8192, 4096, true}, {"last byte", 12287, 1, true},
        {"one byte before", 8191, 1, false}, {"one byte past", 12287, 2, false}, {"just after", 12288, 1, false},
        {"past the disk", 70000, 1, false},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.label);
        Put(bytes_);
        const std::string change(each.size, 'Z');
        // The allowed change comes first: a batch is checked whole before anything is written.
        const bool written = disk.Write({{8192, "A"}, {each.offset, change}}, error);
        EXPECT_EQ(written, each.allowed) << error;
        std::string expected = bytes_;
        if (each.allowed) {
            expected[8192] = 'A';
            expected.replace(static_cast<std::size_t>(each.offset), each.size, change);
        } else {
            EXPECT_NE(error.find("outside the volume being changed"), std::string::npos) << error;
        }
        EXPECT_EQ(Now(), expected);
    }
}

// The disk's writes and reads cut short: a batch of changes ends whole, or, with every call after the cut
// failing, says it failed; a read gives the disk's bytes whole or fails.
TEST_F(DiskTest, AShortWriteOrReadIsFinishedNeverTakenAsWhole)
{
    const std::vector<image::DiskChange> changes = {{8192, std::string(3000, 'Z')}, {20000, std::string(5000, 'Q')}};
    std::string expected = bytes_;
    for (const image::DiskChange& change : changes)
        expected.replace(change.offset, change.bytes.size(), change.bytes);
    bool written = false;
    bool read = false;
    std::string back;
    const unsigned cuts = SweepShortCalls(
        [&](storage::Syscalls& calls) {
            Put(bytes_);
            image::Disk disk(calls);
            std::string error;
            written = disk.Open(file_, "disk.img", error) && (disk.Bound(0, bytes_.size()), disk.Write(changes, error));
            back.assign(9000, '\0');
            read = written && disk.Read(7000, back.data(), back.size());
        },
        [&](bool whole) {
            EXPECT_TRUE(read || !whole);
            if (written) {
                EXPECT_TRUE(Now() == expected) << "changes taken as written are not whole";
            }
            if (read) {
                EXPECT_TRUE(back == expected.substr(7000, back.size())) << "a read taken as whole is not";
            }
        });
    EXPECT_GT(cuts, 0u);
}

TEST_F(DiskTest, AFolderIsNoImageAndNamesTheMachineOption)
{
    image::Disk disk;
    std::string error;
    EXPECT_FALSE(disk.Open(folder_.path(), "vm", error));
    EXPECT_EQ(error, "vm is a folder, not a disk image: for a machine folder, use --machine vm");
}

}  // namespace

// Only a regular file of at least one sector, or a block device, is a disk: a FIFO, a character device and a
// file shorter than a sector are refused in the one line, without blocking.
TEST_F(DiskTest, WhatIsNeitherADiskFileNorABlockDeviceIsRefused)
{
    const fs::path fifo = folder_.path() / "fifo.img";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Put(std::string(100, 'x'));
    for (const fs::path& path : {fifo, fs::path("/dev/null"), file_}) {
        image::Disk disk;
        std::string error;
        EXPECT_FALSE(disk.Open(path, "disk", error)) << path;
        EXPECT_EQ(error, "disk: not a disk image (not a regular file of at least one sector)") << path;
        EXPECT_FALSE(disk.device());
    }
}

// What was written is read back through a fresh open and compared: a sector that does not hold it (changed
// behind the disk's back, as a reader that loses writes leaves it) is named.
TEST_F(DiskTest, AReadBackNamesTheSectorThatDoesNotHoldTheWrite)
{
    const std::vector<image::DiskChange> changes {{4096, std::string(1024, 'A')}, {16384, std::string(512, 'B')}};
    struct Case {
        std::int64_t spoiled;  // byte changed after the write; -1: none
        std::string said;
    };
    for (const Case& each : {Case {-1, ""}, Case {4096 + 700, "the sector at byte 4608 differs"},
                             Case {16384, "the sector at byte 16384 differs"}}) {
        Put(bytes_);
        image::Disk disk;
        std::string error;
        ASSERT_TRUE(disk.Open(file_, "disk.img", error)) << error;
        disk.Bound(0, bytes_.size());
        ASSERT_TRUE(disk.Write(changes, error)) << error;
        if (each.spoiled >= 0) {
            std::fstream file(file_, std::ios::binary | std::ios::in | std::ios::out);
            file.seekp(each.spoiled);
            file.put('z');
        }
        image::Disk fresh;
        EXPECT_EQ(disk.ReadBack(changes, fresh, error), each.spoiled < 0) << each.spoiled;
        EXPECT_NE(error.find(each.said), std::string::npos) << error;
    }
}
