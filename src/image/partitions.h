// The FAT volumes of a disk: a bare FAT volume, or the FAT partitions of its MBR, primary and logical.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "image/disk.h"

namespace image {

// A FAT volume of a disk image: its partition number (1-4 primary, 5 on logical; 0 for a bare volume), its
// byte offset in the image and the bytes its partition table entry gives it (a bare volume: the disk's).
struct Partition {
    int number;
    std::uint64_t offset;
    std::uint64_t size;
    bool operator==(const Partition&) const = default;
};

// Reads the 512-byte sector at a byte offset of the image into a buffer; false when it cannot.
using ReadSector = std::function<bool(std::uint64_t offset, unsigned char* sector)>;

// A FAT boot sector: the jump, a sane BIOS parameter block and the boot signature.
bool IsFatBootSector(const unsigned char* sector);

// The partitions of a partitioned disk of `size` bytes whose boot sectors are FAT: the primary ones of the
// MBR `mbr` (512 bytes), then the logical ones along the chain of extended boot records. False with
// `problem` when the table is not one a write can trust: a partition reaching past the disk's end, two
// partitions overlapping, a logical one outside its extended partition.
bool PartitionVolumes(const unsigned char* mbr, std::uint64_t size, const ReadSector& read,
                      std::vector<Partition>& volumes, std::string& problem);

// The FAT volumes of the disk: the disk itself when it is a bare volume, else the primary and logical
// partitions of its MBR whose boot sectors are FAT. `shown` names the image in `error`.
bool FindVolumes(const Disk& disk, const std::string& shown, std::vector<Partition>& volumes, std::string& error);

}  // namespace image
