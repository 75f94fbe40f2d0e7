// A change of a disk's bytes, as the FAT writer queues it and the disk writes it: the two rooms meet on
// this type and the sector it counts in, and neither knows the other.
#pragma once

#include <cstdint>
#include <string>

namespace image {

// The disk's sector: what its partition tables count in, and the unit of a change and of its rollback journal.
inline constexpr std::uint64_t kSector = 512;

// Bytes to put at a byte offset of the disk.
struct DiskChange {
    std::uint64_t offset;
    std::string bytes;
};

}  // namespace image
