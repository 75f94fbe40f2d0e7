// Windows 9x binary registry files (SYSTEM.DAT, USER.DAT) in the emulated registry: their keys are read
// into the same tree as a REGEDIT4 file's, so the logic runs on them unchanged; a run's removals are cut out
// of the file in place, as Windows deletes a key; and new files are built from a registry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "registry/hive_file.h"
#include "registry/registry.h"

namespace emulated {

// Loads a binary registry file below `root\path` (made when missing): the file's root key is that key, its
// subkeys and values are the file's. Names are case-insensitive with their stored case, subkeys keep the
// file's order, and subkeys and values are read from the file when first asked for; the whole key tree and
// every record are checked first, with every rule Windows keeps in the files it writes (CheckHiveStructure). Values
// keep the file's bytes (a read gives a string stored without its terminator one, as Windows reads it). False with the offset at fault; then nothing of the file is loaded.
bool LoadHive(std::string bytes, Registry& registry, HKEY root, std::string_view path, HiveError& error);

// The binary registry files loaded, in load order.
std::size_t HiveCount(const Registry& registry);
// True once a run removed a key of that file.
bool HiveModified(const Registry& registry, std::size_t hive);
// The file's bytes as they were loaded.
std::string_view HiveBytes(const Registry& registry, std::size_t hive);

// The file's bytes with every key DeleteKey removed since loading cut out in place, as Windows deletes a
// key: each removed key is unlinked from its parent's subkeys, its entry and those of its subtree go to the
// head of the free entries, and their key records to the head of their blocks' free lists, counted in the
// blocks' free bytes, their numbers offered again as the lowest unused; a changed area whose checksum flag is
// set gets its checksum anew. Every other byte stays.
std::string EditedHive(const Registry& registry, std::size_t hive);

// Writes into a file's bytes, each write keeping what it overwrote; the bytes are put back as they were when
// the object goes, unless Keep() was called.
class HiveEdits {
public:
    explicit HiveEdits(std::string& bytes) : bytes_(bytes) { }
    ~HiveEdits();
    HiveEdits(const HiveEdits&) = delete;
    HiveEdits& operator=(const HiveEdits&) = delete;

    std::string_view bytes() const { return bytes_; }
    void Put32(std::uint32_t at, std::uint32_t value);
    void Put16(std::uint32_t at, std::uint16_t value);
    void FixChecksum(std::uint32_t begin, std::uint32_t size, std::uint32_t checksumAt);
    // The edits stay.
    void Keep() { overwritten_.clear(); }

private:
    struct Overwritten {
        std::uint32_t at;
        std::uint8_t size;
        char old[4];
    };
    void Save(std::uint32_t at, std::uint8_t size);

    std::string& bytes_;
    std::vector<Overwritten> overwritten_;
};

// The edit EditedHive makes, made through `edits`: on the loaded bytes themselves (LoadedHiveBytes), the
// save needs no second copy of a large file, and the edits' end puts the loaded bytes back.
void CutRemovedKeys(const Registry& registry, std::size_t hive, HiveEdits& edits);
// The loaded bytes of a file, for an edit in place that is undone before anything else reads the registry.
std::string& LoadedHiveBytes(const Registry& registry, std::size_t hive);

// Builds a new binary registry file holding the keys below `root\path` (which becomes the file's root key),
// laid out as Windows ME writes one: the key tree in depth-first order on its page layout, its size 8 KB and
// whole 4 KB pages, with one free entry from the first unused slot to its end; then data blocks of whole
// 4 KB pages, up to 60 KB (a larger record gets a block of its own) and 255 records each, holding the key
// records in the same order; flags as Windows ME writes them, without checksums.
// Every value's bytes are stored as the registry holds them. False with a one-line `error` when
// something does not fit the format (a value of more than 65,535 bytes, say).
bool BuildHive(const Registry& registry, HKEY root, std::string_view path, std::string& out, std::string& error);

}  // namespace emulated
