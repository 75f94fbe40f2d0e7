#include "image/partitions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
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
    // A partition table entry of the record at `lba`: type and start (relative as the record defines).
    void Entry(std::size_t lba, int slot, unsigned char type, std::uint32_t start)
    {
        unsigned char* entry = &bytes_[lba * kSector + 446 + 16 * slot];
        entry[4] = type;
        std::memcpy(entry + 8, &start, 4);  // little-endian host, as the tests run
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
        return image::PartitionVolumes(bytes_.data(), bytes_.size(), [this](std::uint64_t offset, unsigned char* into) {
            if (offset + kSector > bytes_.size())
                return false;
            std::memcpy(into, &bytes_[offset], kSector);
            return true;
        });
    }

private:
    std::vector<unsigned char> bytes_;
};

// One primary FAT partition and an extended partition with two logical volumes: each logical volume's
// start counts from its own extended boot record, the next record's from the extended partition.
TEST(PartitionVolumesTest, FindsPrimaryAndEveryLogicalVolumeAtItsOwnStart)
{
    Disk disk(64);
    disk.Entry(0, 0, 0x06, 2);    // primary FAT16 at 2
    disk.Entry(0, 1, 0x0F, 10);   // extended at 10
    disk.FatBootSector(2);
    disk.Entry(10, 0, 0x0B, 2);   // logical 5: 10 + 2
    disk.Entry(10, 1, 0x05, 20);  // next record: 10 + 20
    disk.FatBootSector(12);
    disk.Entry(30, 0, 0x0C, 3);   // logical 6: 30 + 3, not 10 + 3
    disk.FatBootSector(33);
    const std::vector<image::Partition> expected {{1, 2 * kSector}, {5, 12 * kSector}, {6, 33 * kSector}};
    EXPECT_EQ(disk.Volumes(), expected);
}

TEST(PartitionVolumesTest, PassesOverWhatIsNotFatOrLiesPastTheEnd)
{
    Disk disk(16);
    disk.Entry(0, 0, 0x83, 2);   // a Linux partition
    disk.FatBootSector(2);
    disk.Entry(0, 1, 0x06, 4);   // FAT type, but no FAT boot sector there
    disk.Entry(0, 2, 0x06, 99);  // past the end of the disk
    disk.Entry(0, 3, 0x05, 8);   // an extended partition whose record is not signed
    disk.FatBootSector(9);
    EXPECT_TRUE(disk.Volumes().empty());
}

}  // namespace
