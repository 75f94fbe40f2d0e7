#include "image/partitions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kSector = 512;

// A disk in memory, built sector by sector.
class Disk {
public:
    explicit Disk(std::size_t sectors) : bytes_(sectors * kSector) { }

    void Signed(std::size_t lba)
    {
        bytes_[lba * kSector + 510] = 0x55;
        bytes_[lba * kSector + 511] = 0xAA;
    }
    // A partition table entry of the record at `lba`: type, start (relative as the record defines) and
    // length in sectors, little-endian as the format defines them.
    void Entry(std::size_t lba, int slot, unsigned char type, std::uint32_t start, std::uint32_t sectors = 2)
    {
        unsigned char* entry = &bytes_[lba * kSector + 446 + 16 * slot];
        entry[4] = type;
        for (int i = 0; i < 4; ++i) {
            entry[8 + i] = static_cast<unsigned char>(start >> (8 * i));
            entry[12 + i] = static_cast<unsigned char>(sectors >> (8 * i));
        }
        Signed(lba);
    }
    void FatBootSector(std::size_t lba)
    {
        unsigned char* s = &bytes_[lba * kSector];
        s[0] = 0xEB;
        s[12] = 2;  // 512 bytes a sector
        s[13] = 4;  // sectors a cluster
        s[14] = 1;  // reserved sectors
        s[16] = 2;  // FATs
        Signed(lba);
    }
    std::vector<image::Partition> Volumes() const
    {
        std::vector<image::Partition> volumes;
        std::string problem;
        EXPECT_TRUE(Read(volumes, problem)) << problem;
        return volumes;
    }
    // The table refused: the problem named.
    std::string Refused() const
    {
        std::vector<image::Partition> volumes;
        std::string problem;
        EXPECT_FALSE(Read(volumes, problem));
        return problem;
    }

private:
    bool Read(std::vector<image::Partition>& volumes, std::string& problem) const
    {
        return image::PartitionVolumes(bytes_.data(), bytes_.size(), [this](std::uint64_t offset, unsigned char* into) {
            if (offset + kSector > bytes_.size())
                return false;
            std::memcpy(into, &bytes_[offset], kSector);
            return true;
        }, volumes, problem);
    }

public:

private:
    std::vector<unsigned char> bytes_;
};

// One primary FAT16 LBA partition (0x0E, as Windows 98 makes them) and an extended partition with three
// logical volumes: each logical volume's start counts from its own extended boot record, each next record's
// from the extended partition's start (not from the record before).
TEST(PartitionVolumesTest, FindsPrimaryAndEveryLogicalVolumeAtItsOwnStart)
{
    Disk disk(96);
    disk.Entry(0, 0, 0x0E, 2, 6);    // primary FAT16 LBA at 2
    disk.Entry(0, 1, 0x0F, 10, 80);  // extended at 10
    disk.FatBootSector(2);
    disk.Entry(10, 0, 0x0B, 2, 4);   // logical 5: 10 + 2
    disk.Entry(10, 1, 0x05, 20, 10); // next record: 10 + 20
    disk.FatBootSector(12);
    disk.Entry(30, 0, 0x0C, 3, 5);   // logical 6: 30 + 3, not 10 + 3
    disk.Entry(30, 1, 0x05, 40, 10); // next record: 10 + 40, not 30 + 40
    disk.FatBootSector(33);
    disk.Entry(50, 0, 0x06, 1, 7);   // logical 7: 50 + 1
    disk.FatBootSector(51);
    const std::vector<image::Partition> expected {
        {1, 2 * kSector, 6 * kSector}, {5, 12 * kSector, 4 * kSector}, {6, 33 * kSector, 5 * kSector},
        {7, 51 * kSector, 7 * kSector}};
    EXPECT_EQ(disk.Volumes(), expected);
}

// A table a write cannot trust is refused whole, naming the partitions at fault.
TEST(PartitionVolumesTest, RefusesPartitionsThatOverlapOrLeaveTheirPlace)
{
    struct Row {
        std::size_t record;  // the MBR (0) or an extended boot record
        int slot;
        unsigned char type;
        std::uint32_t start;
        std::uint32_t sectors;
    };
    const struct {
        const char* label;
        std::vector<Row> rows;
        const char* problem;
    } cases[] = {
        {"two primaries overlap", {{0, 0, 0x06, 2, 10}, {0, 1, 0x0B, 11, 4}}, "partition 1 and partition 2 overlap"},
        {"past the end", {{0, 0, 0x06, 2, 63}}, "partition 1 reaches past the end of the disk"},
        {"logical outside its extended", {{0, 1, 0x05, 20, 10}, {20, 0, 0x06, 1, 20}},
         "partition 5 lies outside its extended partition 2"},
        {"two logicals overlap",
         {{0, 0, 0x0E, 2, 16}, {0, 1, 0x0F, 20, 40}, {20, 0, 0x06, 1, 10}, {20, 1, 0x05, 5, 10}, {25, 0, 0x06, 1, 4}},
         "partition 5 and partition 6 overlap"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.label);
        Disk disk(64);
        for (const Row& row : each.rows)
            disk.Entry(row.record, row.slot, row.type, row.start, row.sectors);
        disk.FatBootSector(2);
        disk.FatBootSector(21);
        EXPECT_NE(disk.Refused().find(each.problem), std::string::npos) << disk.Refused();
    }
}

TEST(PartitionVolumesTest, PassesOverWhatIsNotFatOrLiesPastTheEnd)
{
    Disk disk(16);
    disk.Entry(0, 0, 0x83, 2);   // a Linux partition
    disk.FatBootSector(2);
    disk.Entry(0, 1, 0x06, 4);   // FAT type, but no FAT boot sector there
    disk.Entry(0, 3, 0x05, 8);   // an extended partition whose record is not signed
    disk.FatBootSector(9);
    EXPECT_TRUE(disk.Volumes().empty());
}

}  // namespace
