#include "image/partitions.h"

#include <cstring>
#include <string>

#include "fat/fat_layout.h"

namespace image {

namespace {

constexpr int kMaxLogicalPartitions = 64;

// The partition table's numbers are little-endian, as FAT's are.
using fat::Le32;

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
    using namespace fat;
    return (s[0] == 0xEB || s[0] == 0xE9) && s[510] == 0x55 && s[511] == 0xAA &&
           SaneGeometry(Le16(s + kBytesPerSector), s[kSectorsPerCluster]) && Le16(s + kReservedSectors) != 0 &&
           (s[kFatCount] == 1 || s[kFatCount] == 2);
}

namespace {

// A partition table entry: its number, type and extent in sectors.
struct Entry {
    int number;
    unsigned type;
    std::uint64_t start;
    std::uint64_t sectors;
};

std::string Named(int number)
{
    return "partition " + std::to_string(number);
}

// The table's entries (`all`, primary and logical) whose extents a write must be able to trust: each on the
// disk, the primary ones apart, the logical ones inside their extended partition and apart from each other.
bool CheckEntries(const std::vector<Entry>& all, const Entry* extended, std::uint64_t diskSectors,
                  std::string& problem)
{
    auto overlap = [](const Entry& a, const Entry& b) {
        return a.start < b.start + b.sectors && b.start < a.start + a.sectors;
    };
    for (const Entry& entry : all) {
        if (entry.start + entry.sectors > diskSectors) {
            problem = Named(entry.number) + " reaches past the end of the disk";
            return false;
        }
        if (entry.number > 4 && extended != nullptr &&
            (entry.start < extended->start || entry.start + entry.sectors > extended->start + extended->sectors)) {
            problem = Named(entry.number) + " lies outside its extended " + Named(extended->number);
            return false;
        }
    }
    for (std::size_t i = 0; i < all.size(); ++i) {
        for (std::size_t j = i + 1; j < all.size(); ++j) {
            // Logical partitions lie inside the extended one by design.
            const bool container = (all[i].number > 4 && extended != nullptr && all[j].number == extended->number) ||
                                   (all[j].number > 4 && extended != nullptr && all[i].number == extended->number);
            if (!container && overlap(all[i], all[j])) {
                problem = Named(all[i].number) + " and " + Named(all[j].number) + " overlap";
                return false;
            }
        }
    }
    return true;
}

// The logical partitions: a chain of extended boot records, each naming one partition relative to itself and
// the next record relative to the extended partition.
std::vector<Entry> LogicalEntries(std::uint64_t extended, std::uint64_t size, const ReadSector& read)
{
    std::vector<Entry> logical;
    std::uint64_t record = extended;
    for (int number = 5; record != 0 && number < 5 + kMaxLogicalPartitions; ++number) {
        unsigned char ebr[kSector];
        if (record * kSector + kSector > size || !read(record * kSector, ebr) || ebr[510] != 0x55 || ebr[511] != 0xAA)
            break;
        if (ebr[446 + 4] != 0)
            logical.push_back({number, ebr[446 + 4], record + Le32(ebr + 446 + 8), Le32(ebr + 446 + 12)});
        const std::uint32_t next = Le32(ebr + 446 + 16 + 8);
        record = IsExtendedType(ebr[446 + 16 + 4]) && next != 0 ? extended + next : 0;
    }
    return logical;
}

}  // namespace

bool PartitionVolumes(const unsigned char* mbr, std::uint64_t size, const ReadSector& read,
                      std::vector<Partition>& volumes, std::string& problem)
{
    std::vector<Entry> primary;
    const Entry* extended = nullptr;
    for (int i = 0; i < 4; ++i) {
        const unsigned char* entry = mbr + 446 + 16 * i;
        if (entry[4] != 0 && Le32(entry + 12) != 0)
            primary.push_back({i + 1, entry[4], Le32(entry + 8), Le32(entry + 12)});
    }
    for (const Entry& entry : primary) {
        if (IsExtendedType(entry.type) && extended == nullptr)
            extended = &entry;
    }
    const std::vector<Entry> logical =
        extended == nullptr ? std::vector<Entry> {} : LogicalEntries(extended->start, size, read);
    std::vector<Entry> all = primary;
    all.insert(all.end(), logical.begin(), logical.end());
    if (!CheckEntries(all, extended, size / kSector, problem))
        return false;
    unsigned char boot[kSector];
    for (const Entry& entry : all) {
        if (IsFatType(entry.type) && read(entry.start * kSector, boot) && IsFatBootSector(boot))
            volumes.push_back({entry.number, entry.start * kSector, entry.sectors * kSector});
    }
    return true;
}

bool FindVolumes(const Disk& disk, const std::string& shown, std::vector<Partition>& volumes, std::string& error)
{
    unsigned char sector[kSector];
    if (disk.size() < kSector || !disk.Read(0, sector, kSector)) {
        error = shown + ": cannot read its first sector";
        return false;
    }
    if (IsFatBootSector(sector)) {
        volumes.push_back({0, 0, disk.size()});
        return true;
    }
    if (sector[510] != 0x55 || sector[511] != 0xAA) {
        error = shown + ": neither a partitioned disk (no MBR) nor a FAT volume";
        return false;
    }
    std::string problem;
    if (!PartitionVolumes(sector, disk.size(), [&](std::uint64_t offset, unsigned char* into) {
            return disk.Read(offset, into, kSector);
        }, volumes, problem)) {
        error = shown + ": its partition table cannot be trusted: " + problem;
        return false;
    }
    if (volumes.empty()) {
        error = shown + ": no FAT partition in its partition table";
        return false;
    }
    return true;
}

}  // namespace image
