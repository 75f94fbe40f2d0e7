#include "image/partitions.h"

#include <cstring>

namespace image {

namespace {

constexpr std::uint64_t kSector = 512;
constexpr int kMaxLogicalPartitions = 64;

std::uint32_t Le32(const unsigned char* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

bool IsFatType(unsigned type)
{
    return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B || type == 0x0C || type == 0x0E;
}

bool IsExtendedType(unsigned type)
{
    return type == 0x05 || type == 0x0F || type == 0x85;
}

}  // namespace

// A FAT boot sector: the jump, a sane BIOS parameter block and the boot signature.
bool IsFatBootSector(const unsigned char* s)
{
    const unsigned bytesPerSector = s[11] | s[12] << 8;
    const unsigned sectorsPerCluster = s[13];
    return (s[0] == 0xEB || s[0] == 0xE9) && s[510] == 0x55 && s[511] == 0xAA &&
           (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 || bytesPerSector == 4096) &&
           sectorsPerCluster != 0 && (sectorsPerCluster & (sectorsPerCluster - 1)) == 0 && (s[14] | s[15] << 8) != 0 &&
           (s[16] == 1 || s[16] == 2);
}

std::vector<Partition> PartitionVolumes(const unsigned char* mbr, std::uint64_t size, const ReadSector& read)
{
    std::vector<Partition> volumes;
    unsigned char boot[kSector];
    auto addIfFat = [&](int number, std::uint64_t lba) {
        const std::uint64_t offset = lba * kSector;
        if (offset + kSector <= size && read(offset, boot) && IsFatBootSector(boot))
            volumes.push_back({number, offset});
    };
    std::uint64_t extended = 0;
    for (int i = 0; i < 4; ++i) {
        const unsigned char* entry = mbr + 446 + 16 * i;
        if (IsFatType(entry[4]))
            addIfFat(i + 1, Le32(entry + 8));
        else if (IsExtendedType(entry[4]) && extended == 0)
            extended = Le32(entry + 8);
    }
    // Logical partitions: a chain of extended boot records, each naming one partition relative to itself and
    // the next record relative to the extended partition.
    std::uint64_t record = extended;
    for (int number = 5; record != 0 && number < 5 + kMaxLogicalPartitions; ++number) {
        unsigned char ebr[kSector];
        if (record * kSector + kSector > size || !read(record * kSector, ebr) || ebr[510] != 0x55 || ebr[511] != 0xAA)
            break;
        if (IsFatType(ebr[446 + 4]))
            addIfFat(number, record + Le32(ebr + 446 + 8));
        const std::uint32_t next = Le32(ebr + 446 + 16 + 8);
        record = IsExtendedType(ebr[446 + 16 + 4]) && next != 0 ? extended + next : 0;
    }
    return volumes;
}

bool FindVolumes(const Disk& disk, const std::string& shown, std::vector<Partition>& volumes, std::string& error)
{
    unsigned char sector[kSector];
    if (disk.size() < kSector || !disk.Read(0, sector, kSector)) {
        error = shown + ": cannot read its first sector";
        return false;
    }
    if (IsFatBootSector(sector)) {
        volumes.push_back({0, 0});
        return true;
    }
    if (sector[510] != 0x55 || sector[511] != 0xAA) {
        error = shown + ": neither a partitioned disk (no MBR) nor a FAT volume";
        return false;
    }
    volumes = PartitionVolumes(sector, disk.size(), [&](std::uint64_t offset, unsigned char* into) {
        return disk.Read(offset, into, kSector);
    });
    if (volumes.empty()) {
        error = shown + ": no FAT partition in its partition table";
        return false;
    }
    return true;
}

// The Windows folders on `volume`: the one --windows names, else the one MSDOS.SYS names, else every top

}  // namespace image
