// A FAT12/16/32 volume read through a function that reads its bytes: the boot sector's layout, the FAT's
// chains, folders with their long names, and files. Reading only; the writer (fat_write.h) reads the volume
// through it, as changed so far.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "storage/file_stamp.h"

namespace image {

// Reads `size` bytes at a byte offset of the volume; false when it cannot.
using ReadVolume = std::function<bool(std::uint64_t offset, void* into, std::size_t size)>;

// The most bytes of a file ReadFilePieces reads at once: files are copied out in pieces of this size, never
// whole in memory.
inline constexpr std::size_t kFilePiece = std::size_t {1} << 20;

// A byte range of the volume.
struct Extent {
    std::uint64_t offset;
    std::uint64_t size;
    bool operator==(const Extent&) const = default;
};

// A folder entry: its name as Windows shows it (the long name, else the short one with its case flags),
// its attributes, dates, first cluster and size, and where it lies: its short entry's byte offset in the
// volume and its long-name entries' (0 and none for the root folder, which no entry names).
struct FatEntry {
    std::string name;
    std::string shortName;
    storage::FatStamp stamp;  // its attributes and dates as it stores them
    std::uint32_t cluster = 0;
    std::uint32_t size = 0;
    std::uint64_t offset = 0;
    std::vector<std::uint64_t> longParts;
    bool folder() const { return (stamp.attributes & 0x10) != 0; }
};

class FatVolume {
public:
    // Reads the boot sector; false with `error` when it is not a FAT volume this reader takes.
    bool Open(ReadVolume read, std::string& error);

    // The volume's size in bytes, as its boot sector gives it.
    std::uint64_t size() const { return size_; }
    std::uint32_t clusterBytes() const { return clusterBytes_; }
    // The FAT's first byte and one FAT's length.
    std::uint64_t fatOffset() const { return fatOffset_; }
    std::uint64_t fatBytes() const { return fatBytes_; }
    unsigned fats() const { return fats_; }
    int bits() const { return bits_; }
    std::uint32_t bytesPerSector() const { return bytesPerSector_; }
    // The data clusters: numbered from 2 to clusters() + 1.
    std::uint32_t clusters() const { return clusters_; }
    // FAT32: the FSInfo sector (0: none), and whether every FAT copy is kept the same (a volume may use only
    // one of them).
    unsigned fsInfoSector() const { return fsInfoSector_; }
    bool mirrored() const { return mirrored_; }
    // The volume's serial number, from its boot sector; false when the boot sector holds none.
    bool Serial(std::uint32_t& serial) const;
    std::uint64_t ClusterOffset(std::uint32_t cluster) const;
    // The FAT entry of `cluster` (0: free); false when it cannot be read.
    bool Entry(std::uint32_t cluster, std::uint32_t& value);
    // The FAT entries of `count` clusters from `first` on, read in one go (for a scan of the whole FAT);
    // false when they cannot be read or lie past the last cluster.
    bool Entries(std::uint32_t first, std::uint32_t count, std::vector<std::uint32_t>& values);
    // The clusters of the chain starting at `first`, in order, at most `limit` (0: as many as the volume has;
    // a longer chain loops). False on a broken, looping or longer chain: one through a free, reserved or bad
    // cluster, or past the volume's last one.
    bool Chain(std::uint32_t first, std::vector<std::uint32_t>& clusters, std::uint32_t limit = 0);
    // Forgets the FAT bytes kept from earlier reads: the volume's bytes changed.
    void Forget() { cachedBlock_ = UINT64_MAX; }

    // The entries of the folder whose first cluster is `cluster` (0: the root folder), without "." and "..".
    // A folder larger than FAT allows (kLargestFolder) is refused before it is read.
    bool List(std::uint32_t cluster, std::vector<FatEntry>& entries);
    // The clusters of a folder (0: the root folder; none for FAT12/16's, which has a place of its own).
    // False on a broken chain, or one longer than a folder may be (kLargestFolder).
    bool FolderChain(std::uint32_t cluster, std::vector<std::uint32_t>& clusters);
    // The extents a folder's entries occupy (0: the root folder).
    bool FolderExtents(std::uint32_t cluster, std::vector<Extent>& extents);
    // The entry a path names ("WINDOWS/SYSTEM.DAT", each name matched as Windows matches it); the empty
    // path is the root folder. False when there is none.
    bool Find(const std::string& path, FatEntry& entry);
    // A file's bytes, handed to `take` in pieces of at most kFilePiece bytes, in order; false when its chain is
    // broken or shorter than its size, a piece cannot be read, or `take` returns false.
    bool ReadFilePieces(const FatEntry& entry, const std::function<bool(const char* piece, std::size_t size)>& take);
    // A file's bytes, whole (for the small files read whole: MSDOS.SYS, a file's old bytes in a test).
    bool ReadFile(const FatEntry& entry, std::string& bytes);

    // Bytes of the volume, read as it was opened to read them.
    bool Read(std::uint64_t offset, void* into, std::size_t size) const { return read_(offset, into, size); }

private:
    // FAT32's own fields: the root folder, FSInfo, which FATs are in use.
    bool OpenFat32Fields(const unsigned char* bootSector, std::string& error);

    ReadVolume read_;
    int bits_ = 0;
    std::uint32_t bytesPerSector_ = 0;
    std::uint32_t clusterBytes_ = 0;
    std::uint64_t fatOffset_ = 0;
    std::uint64_t fatBytes_ = 0;
    unsigned fats_ = 0;
    std::uint64_t rootOffset_ = 0;  // FAT12/16: the root folder's fixed place
    std::uint64_t rootBytes_ = 0;
    std::uint32_t rootCluster_ = 0;  // FAT32: the root folder's first cluster
    unsigned fsInfoSector_ = 0;
    bool mirrored_ = true;
    unsigned activeFat_ = 0;  // the FAT read: the first, unless mirroring is off
    std::uint64_t dataOffset_ = 0;  // the first cluster: past the reserved sectors, the FATs and FAT12/16's root
    std::uint32_t clusters_ = 0;  // data clusters; numbers run from 2 to clusters_ + 1
    std::uint64_t size_ = 0;
    // The FAT block last read, so that a chain does not read the same sectors again and again.
    std::uint64_t cachedBlock_ = UINT64_MAX;
    std::string cache_;
    std::string scan_;  // the FAT bytes of Entries' last block
};

}  // namespace image
