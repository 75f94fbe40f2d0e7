// The FAT volume's on-disk structures, as the format defines them: the boot sector's fields, a folder entry
// (short and long-name), FSInfo (FAT32's free cluster count), and how a FAT packs its entries. One home for
// the byte offsets, shared by the reader and the writer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/little_endian.h"

namespace image::fat {

// Boot sector: the BIOS parameter block's fields used here, at byte offsets of the volume's first sector.
constexpr int kBytesPerSector = 11;     // 2 bytes
constexpr int kSectorsPerCluster = 13;  // 1 byte
constexpr int kReservedSectors = 14;    // 2 bytes: the sectors before the first FAT
constexpr int kFatCount = 16;           // 1 byte
constexpr int kRootEntries = 17;        // 2 bytes: FAT12/16's fixed root folder; 0 on FAT32
constexpr int kTotalSectors16 = 19;     // 2 bytes; 0: the 4-byte field holds it
constexpr int kFatSectors16 = 22;       // 2 bytes; 0 on FAT32
constexpr int kTotalSectors32 = 32;     // 4 bytes
constexpr int kFatSectors32 = 36;       // 4 bytes, FAT32
constexpr int kExtendedFlags = 40;      // 2 bytes, FAT32: bit 7 set, only the FAT numbered in bits 0-3 is used
constexpr int kRootCluster = 44;        // 4 bytes, FAT32
constexpr int kFsInfoSector = 48;       // 2 bytes, FAT32
// The extended boot signature (1 byte): when it holds kExtendedBoot, the volume's serial number (4 bytes)
// follows it.
constexpr int kExtendedSignature16 = 38;  // FAT12/16
constexpr int kExtendedSignature32 = 66;  // FAT32
constexpr unsigned char kExtendedBoot = 0x29;
constexpr unsigned kMirroringOff = 0x80;

// The sizes FAT allows: a sector of 512 to 4096 bytes, a cluster of a power of two sectors.
inline bool SaneGeometry(unsigned bytesPerSector, unsigned sectorsPerCluster)
{
    return (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 || bytesPerSector == 4096) &&
           sectorsPerCluster != 0 && (sectorsPerCluster & (sectorsPerCluster - 1)) == 0;
}

// The cluster count decides the FAT's type, and nothing else does: fewer than 4085 clusters is FAT12,
// fewer than 65525 FAT16, FAT32 from there.
constexpr std::uint32_t kFat16Clusters = 4085;
constexpr std::uint32_t kFat32Clusters = 65525;

// A folder entry: 32 bytes.
constexpr std::size_t kEntryBytes = 32;
constexpr int kName = 0;  // 11 bytes: 8.3 without the dot, space-padded
constexpr int kAttributes = 11;
constexpr int kCaseFlags = 12;  // bit 3: the name part is lower case, bit 4: the extension
constexpr int kCreateHundredths = 13;  // 10 ms steps past the creation time's two-second step
constexpr int kCreateTime = 14;
constexpr int kCreateDate = 16;
constexpr int kAccessDate = 18;
constexpr int kClusterHigh = 20;  // FAT32: the first cluster's high 16 bits
constexpr int kWriteTime = 22;
constexpr int kWriteDate = 24;
constexpr int kClusterLow = 26;
constexpr int kSize = 28;  // 4 bytes
// The first name byte: the folder ends here; the entry is deleted; a name starting with 0xE5 is stored as 0x05.
constexpr unsigned char kEndOfFolder = 0x00;
constexpr unsigned char kDeleted = 0xE5;
constexpr unsigned char kStoredE5 = 0x05;

constexpr unsigned char kReadOnly = 0x01;
constexpr unsigned char kHidden = 0x02;
constexpr unsigned char kSystem = 0x04;
constexpr unsigned char kVolumeLabel = 0x08;
constexpr unsigned char kFolder = 0x10;
constexpr unsigned char kArchive = 0x20;
constexpr unsigned char kLongNameParts = 0x0F;  // the attributes of a long-name entry (in the low six bits)

// A long-name entry holds 13 UTF-16 units of the name; the parts stand before the short entry, last part
// first. Its first byte is the part's number (from 1), with kLastPart on the last one.
constexpr int kLongChecksum = 13;
constexpr unsigned char kLastPart = 0x40;
constexpr int kUnitsPerPart = 13;
constexpr int kMostParts = 20;  // 255 characters
constexpr std::size_t kLongestName = 255;
constexpr int kUnitPlaces[kUnitsPerPart] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// A folder holds at most 65,536 entries: 2 MiB.
constexpr std::uint64_t kLargestFolder = 65536 * kEntryBytes;

// FSInfo (FAT32): the free cluster count and where to look for the next free cluster, each 0xFFFFFFFF
// when unknown; trusted only between its three signatures.
constexpr int kFsInfoLead = 0;
constexpr std::uint32_t kFsInfoLeadSignature = 0x41615252;
constexpr int kFsInfoStruct = 484;
constexpr std::uint32_t kFsInfoStructSignature = 0x61417272;
constexpr int kFsInfoFree = 488;
constexpr int kFsInfoNextFree = 492;
constexpr int kFsInfoTrail = 508;
constexpr std::uint32_t kFsInfoTrailSignature = 0xAA550000;
constexpr std::uint32_t kUnknown = 0xFFFFFFFF;

using byte_order::Le16;
using byte_order::Le32;
using byte_order::Put16;
using byte_order::Put32;

// The checksum of a short entry's 11 name bytes that each of its long-name entries carries.
inline unsigned char ShortNameChecksum(const unsigned char* name)
{
    unsigned char sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<unsigned char>(((sum & 1) << 7) + (sum >> 1) + name[i]);
    return sum;
}

// A FAT entry's place: its first byte in the FAT, and how many bytes hold it (FAT12 packs two entries into
// three bytes, so an entry shares its two bytes with a neighbour).
inline std::uint64_t EntryByte(int bits, std::uint32_t cluster)
{
    return std::uint64_t {cluster} * static_cast<unsigned>(bits) / 8;
}

inline std::size_t EntryBytes(int bits)
{
    return bits == 32 ? 4 : 2;
}

// The value of `cluster`'s entry from the bytes at its place. FAT32's top four bits are reserved.
inline std::uint32_t EntryValue(int bits, std::uint32_t cluster, const unsigned char* bytes)
{
    if (bits == 12)
        return (cluster & 1) != 0 ? Le16(bytes) >> 4 : Le16(bytes) & 0xFFF;
    if (bits == 16)
        return Le16(bytes);
    return Le32(bytes) & 0x0FFFFFFF;
}

// Puts `value` into the bytes at `cluster`'s place, keeping the neighbour's half byte (FAT12) and the
// reserved top bits (FAT32), as the format asks of a writer.
inline void PutEntryValue(int bits, std::uint32_t cluster, std::uint32_t value, unsigned char* bytes)
{
    if (bits == 12) {
        const unsigned both = Le16(bytes);
        Put16(bytes, (cluster & 1) != 0 ? (both & 0x000F) | (value & 0xFFF) << 4 : (both & 0xF000) | (value & 0xFFF));
    } else if (bits == 16) {
        Put16(bytes, value & 0xFFFF);
    } else {
        Put32(bytes, (Le32(bytes) & 0xF0000000) | (value & 0x0FFFFFFF));
    }
}

// The value that ends a chain as writers write it; any value from EndOfChainFrom on ends one when read.
inline std::uint32_t EndOfChain(int bits)
{
    return bits == 12 ? 0xFFF : bits == 16 ? 0xFFFF : 0x0FFFFFFF;
}

inline std::uint32_t EndOfChainFrom(int bits)
{
    return bits == 12 ? 0xFF8 : bits == 16 ? 0xFFF8 : 0x0FFFFFF8;
}

}  // namespace image::fat
