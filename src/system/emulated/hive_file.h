// The layout of a Windows 9x binary registry file (SYSTEM.DAT, USER.DAT), little-endian throughout:
//
//   0x00  file header (32 bytes): "CREG", version 1.0, offset of the first data block, a word at 0x10
//         counting the data blocks; the rest is kept as it is.
//   0x20  key tree ("RGKN"): a 32-byte header (size, offset of the root entry, offset of the first free
//         entry), then key entries of 28 bytes: flags, name hash, next free entry, parent, first subkey,
//         next sibling (offsets from the start of the key tree, 0xFFFFFFFF for none), and the key's record
//         number (a word) and data block (a word). A free entry has 0x80000000 in its flags, its size in
//         the hash's place and the next free entry after it.
//   then  data blocks ("RGDB"): a 32-byte header (size, free bytes, flags, block number, offset of the
//         first free record), then key records: size, record number and block (0xFFFFFFFF when free),
//         bytes used, name length, value count, a spare dword, the name, and the values, each one type,
//         a spare dword, name length, data length, name and data.
//
// Reading checks every offset and size against the file, so that a damaged file is refused with the
// offset at fault instead of being read out of bounds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
// A binary registry file larger than this is refused: its offsets are 32-bit, and Windows 9x registry
// files are a few megabytes.
inline constexpr std::uint64_t kMaxHiveSize = std::uint64_t {1} << 30;

inline std::uint32_t Get32(std::string_view bytes, std::uint32_t at)
{
    return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
}

inline std::uint16_t Get16(std::string_view bytes, std::uint32_t at)
{
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1])
                                                                                  << 8);
}

inline void Put32(std::string& bytes, std::uint32_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>(value >> (8 * i) & 0xFF);
}

inline void Put16(std::string& bytes, std::uint32_t at, std::uint16_t value)
{
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

// The hash Windows keeps with a key entry: the sum of the name's bytes below 0x80, upper-cased.
std::uint32_t KeyNameHash(std::string_view name);

// A binary registry file in memory, with what reading it found out: where the key tree ends, where each
// data block starts, and where each key record is.
struct Hive {
    std::string bytes;
    std::uint32_t keyTreeEnd = 0;           // file offset just past the key tree
    std::uint32_t rootEntry = 0;            // offset of the root entry, from the start of the key tree
    std::vector<std::uint32_t> blockStart;  // file offset of each data block
    // File offsets of the key records, by block: records[recordBase[block] + number], 0 for none.
    std::vector<std::uint32_t> recordBase;
    std::vector<std::uint32_t> records;

    // File offset of a key entry (given as an offset from the start of the key tree).
    static std::uint32_t EntryAt(std::uint32_t entry) { return kKeyTreeStart + entry; }
    // The file offset of the key record an entry names, or kHiveNone.
    std::uint32_t RecordOf(std::string_view file, std::uint32_t entry) const;
    // True when `entry` is the offset of a whole key entry inside the key tree.
    bool IsEntry(std::uint32_t entry) const;
};

struct HiveError {
    std::uint32_t offset = 0;
    std::string message;
};

// Reads the header, the data blocks and every key record, checking each size and offset; the key tree
// itself is walked when the keys are loaded. False with the offset at fault and what is wrong there.
bool ParseHive(std::string bytes, Hive& hive, HiveError& error);

}  // namespace emulated
