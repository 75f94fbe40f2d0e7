// The layout of a Windows 9x binary registry file (SYSTEM.DAT, USER.DAT), little-endian throughout, as
// Windows 95, 98 and ME write it:
//
//   0x00  file header (32 bytes): "CREG", version 1.0, offset of the first data block, a checksum at 0x0C,
//         a word at 0x10 counting the data blocks, a flags word at 0x12; the rest is kept as it is.
//   0x20  key tree ("RGKN"): a 32-byte header (size, offset of the root entry, offset of the first free
//         entry, flags, checksum), then key entries of 28 bytes on pages: the first 8 KB of the tree holds
//         entries from just after the header, each later 4 KB page entries from its start, and no entry
//         crosses a page end. An entry holds flags, name hash, next free entry, parent, first subkey, next
//         sibling (offsets from the start of the key tree, 0xFFFFFFFF for none), and the key's record number
//         (a word) and data block (a word). A free entry has 0x80000000 in its flags, the bytes it spans in
//         the hash's place and the next free entry after it; the last one runs to the tree's end.
//   then  data blocks ("RGDB"): a 32-byte header (size, free bytes, flags, block number, offset of the
//         first free record, highest record number in use, lowest unused record number, checksum), then key
//         records: size, record number and block (0xFFFFFFFF when free), bytes used (for a free record: the
//         next free record's offset in the block), name length, value count, a spare dword, the name, and
//         the values, each one type, a spare dword, name length, data length, name and data. A block holds
//         at most 255 records, numbered 0 to 254.
//
// The file header, the key tree and each data block carry a checksum that counts only when bit 0x4 of the
// area's flags is set: the area's dwords then sum to 0.
//
// Reading checks every offset and size against the file, so that a damaged file is refused with the
// offset at fault instead of being read out of bounds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/little_endian.h"
#include "system/win_types.h"

namespace emulated {

inline constexpr std::uint32_t kHiveNone = 0xFFFFFFFFu;
inline constexpr std::uint32_t kHiveHeaderSize = 0x20;
inline constexpr std::uint32_t kKeyTreeStart = 0x20;  // file offset of the key tree
inline constexpr std::uint32_t kKeyTreeHeaderSize = 0x20;
inline constexpr std::uint32_t kKeyEntrySize = 0x1C;
inline constexpr std::uint32_t kBlockHeaderSize = 0x20;
inline constexpr std::uint32_t kRecordHeaderSize = 0x14;
inline constexpr std::uint32_t kValueHeaderSize = 0x0C;
inline constexpr std::uint32_t kFreeEntryFlag = 0x80000000u;
// The key tree's pages: its first 8 KB, then 4 KB each.
inline constexpr std::uint32_t kKeyTreeFirstPage = 0x2000;
inline constexpr std::uint32_t kKeyTreePage = 0x1000;
// Record numbers of a block run from 0 to 254; 0xFF in a block's lowest-unused field means none is unused.
inline constexpr std::uint32_t kRecordsPerBlock = 255;
inline constexpr std::uint16_t kNoUnusedRecord = 0xFF;
inline constexpr std::uint32_t kChecksummed = 0x4;  // flags bit: the area's dwords sum to 0
// A binary registry file larger than this is refused: its offsets are 32-bit, and Windows 9x registry
// files are a few megabytes.
inline constexpr std::uint64_t kMaxHiveSize = std::uint64_t {1} << 30;

// File header fields.
inline constexpr std::uint32_t kHeaderFirstBlock = 0x08;
inline constexpr std::uint32_t kHeaderChecksum = 0x0C;
inline constexpr std::uint32_t kHeaderBlockCount = 0x10;
inline constexpr std::uint32_t kHeaderFlags = 0x12;
// Key tree header fields, from the start of the key tree.
inline constexpr std::uint32_t kTreeSize = 0x04;
inline constexpr std::uint32_t kTreeRoot = 0x08;
inline constexpr std::uint32_t kTreeFirstFree = 0x0C;
inline constexpr std::uint32_t kTreeFlags = 0x10;
inline constexpr std::uint32_t kTreeChecksum = 0x14;
// Key entry fields, from the start of an entry.
inline constexpr std::uint32_t kEntryFlags = 0x00;
inline constexpr std::uint32_t kEntryHash = 0x04;  // a free entry: the bytes it spans
inline constexpr std::uint32_t kEntryNextFree = 0x08;
inline constexpr std::uint32_t kEntryParent = 0x0C;
inline constexpr std::uint32_t kEntryChild = 0x10;
inline constexpr std::uint32_t kEntryNext = 0x14;
inline constexpr std::uint32_t kEntryNumber = 0x18;
inline constexpr std::uint32_t kEntryBlock = 0x1A;
// Data block header fields.
inline constexpr std::uint32_t kBlockSize = 0x04;
inline constexpr std::uint32_t kBlockFreeBytes = 0x08;
inline constexpr std::uint32_t kBlockFlags = 0x0C;
inline constexpr std::uint32_t kBlockNumber = 0x0E;
inline constexpr std::uint32_t kBlockFirstFree = 0x10;
inline constexpr std::uint32_t kBlockHighestNumber = 0x14;
inline constexpr std::uint32_t kBlockLowestUnused = 0x16;
inline constexpr std::uint32_t kBlockChecksum = 0x1C;
// Key record fields.
inline constexpr std::uint32_t kRecordSize = 0x00;
inline constexpr std::uint32_t kRecordId = 0x04;
inline constexpr std::uint32_t kRecordUsed = 0x08;  // a free record: the next free record
inline constexpr std::uint32_t kRecordNameLength = 0x0C;
inline constexpr std::uint32_t kRecordValueCount = 0x0E;

using byte_order::Le16;
using byte_order::Le32;
using byte_order::Put16;
using byte_order::Put32;

// The hash Windows keeps with a key entry: the sum of the name's bytes below 0x80, upper-cased.
std::uint32_t KeyNameHash(std::string_view name);

// True when a key entry may start at `entry` (an offset from the start of the key tree): it lies on the key
// tree's page layout. The tree's size is checked apart.
bool IsEntrySlot(std::uint32_t entry);
// The slot that follows `entry` on the page layout.
std::uint32_t NextEntrySlot(std::uint32_t entry);

// The sum of an area's dwords, and the checksum that makes it 0 when written at `checksumAt`.
std::uint32_t DwordSum(std::string_view bytes, std::uint32_t begin, std::uint32_t size);
void FixChecksum(std::string& bytes, std::uint32_t begin, std::uint32_t size, std::uint32_t checksumAt);

// A binary registry file in memory, with what reading it found out: where the key tree ends, where each
// data block starts, and where each live key record is.
struct Hive {
    // A live key record: its number in its block and its file offset.
    struct Record {
        std::uint32_t number;
        std::uint32_t offset;
    };

    std::string bytes;
    std::uint32_t keyTreeEnd = 0;           // file offset just past the key tree
    std::uint32_t rootEntry = 0;            // offset of the root entry, from the start of the key tree
    std::vector<std::uint32_t> blockStart;  // file offset of each data block
    // The live records by block, each block's in rising number: records[recordBase[block] ..
    // recordBase[block + 1]). As many as the file holds, whatever numbers it names.
    std::vector<std::uint32_t> recordBase;
    std::vector<Record> records;

    // File offset of a key entry (given as an offset from the start of the key tree).
    static std::uint32_t EntryAt(std::uint32_t entry) { return kKeyTreeStart + entry; }
    // The position in `records` of the key record an entry names, or kHiveNone.
    std::uint32_t RecordIndexOf(std::string_view file, std::uint32_t entry) const;
    // The file offset of the key record an entry names, or kHiveNone.
    std::uint32_t RecordOf(std::string_view file, std::uint32_t entry) const;
    // True when `entry` is the offset of a whole key entry inside the key tree.
    bool IsEntry(std::uint32_t entry) const;
};

struct HiveError {
    std::uint32_t offset = 0;
    std::string message;
};

inline HiveError HiveFault(std::uint32_t offset, std::string message)
{
    return {offset, std::move(message)};
}

// Reads the header, the data blocks and every key record, checking each size and offset; the key tree
// itself is walked when the keys are loaded. False with the offset at fault and what is wrong there.
bool ParseHive(std::string bytes, Hive& hive, HiveError& error);

// Checks every rule Windows keeps in a registry file it writes: key entries on the page layout, the key
// tree's links, the free key entries (each slot of the tree in the tree or in exactly one free entry), each
// data block's free records on its list and counted in its free bytes, record numbers and the block's
// highest and lowest unused numbers, each key entry naming exactly one live record and each live record
// named by exactly one entry, and the checksums where their flag is set. False with the offset at fault.
bool CheckHiveStructure(std::string_view bytes, HiveError& error);
// The same on a file ParseHive has read.
bool CheckHiveStructure(const Hive& hive, HiveError& error);

// Checks the key record at `at`, with `room` bytes to its block's end and `used` of them holding its name
// and values: its sizes, name and values lie inside it.
bool CheckRecordShape(std::string_view bytes, std::uint32_t at, std::uint32_t room, std::uint32_t used,
                      HiveError& error);

// A key record's name.
inline std::string_view RecordName(std::string_view bytes, std::uint32_t record)
{
    return bytes.substr(record + kRecordHeaderSize, Le16(bytes, record + kRecordNameLength));
}

// "0x" and the value in upper-case hex digits, for the offsets in messages.
std::string HexOffset(std::uint32_t value);

}  // namespace emulated
