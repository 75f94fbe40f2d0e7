// The changes a run makes on a FAT volume, written by this program's own code into a VolumeWrites (in
// memory; the caller takes the changed sectors): a file removed, a file's bytes replaced, and a file made
// anew (a restore puts back removed files). Every FAT copy is written alike and FAT32's FSInfo is kept right,
// so that ScanDisk and fsck.fat find nothing to say.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "fat/fat.h"
#include "fat/volume_writes.h"
#include "storage/file_stamp.h"

namespace image {

class FatWriter {
public:
    // Opens the volume that `original` reads (`size` bytes) for changing. False with `error` when it is
    // not a FAT volume, or one whose FAT copies are not kept alike (mirroring off).
    bool Open(ReadVolume original, std::uint64_t size, std::string& error);

    // The volume as changed so far.
    FatVolume& volume() { return volume_; }

    // Marks `file`'s entry and its long-name entries deleted and frees `chain`, its clusters (checked), in
    // every FAT.
    bool Remove(const FatEntry& file, const std::vector<std::uint32_t>& chain, std::string& error);
    // Gives `file` (with `chain`, checked) these bytes in its own entry: its name kept, its size new; its
    // chain kept as far as the bytes reach, grown from free clusters or its tail freed. A FAT entry's `stamp`
    // (a restore's) gives back the attributes and dates it holds; otherwise the attributes are kept with the
    // archive flag set, and the time of last write is `when`, or the host file's time that `stamp` holds.
    bool Rewrite(const FatEntry& file, const std::vector<std::uint32_t>& chain, const std::string& bytes,
                 const storage::FileStamp& stamp, std::time_t when, std::string& error);
    // Makes the file `name` (Windows-1252) in the folder `folder` holding `bytes`, with a long name when its
    // short one does not say it, as Windows 9x makes one, and its attributes and dates from `stamp` as
    // Rewrite takes them (otherwise the archive flag alone, and made at `when`). The caller knows the folder
    // has no such name.
    bool Create(const FatEntry& folder, const std::string& name, const std::string& bytes,
                const storage::FileStamp& stamp, std::time_t when, std::string& error);
    // FAT32: FSInfo's free count set to the volume's (`freeBefore` clusters at the start, with what was freed
    // and taken since) and its next-free hint to the last cluster taken, as Windows keeps them.
    bool UpdateFsInfo(std::uint32_t freeBefore, std::string& error);

    // The changed sectors (see VolumeWrites::Changes).
    void Changes(std::uint64_t base, std::vector<DiskChange>& changes, std::vector<DiskChange>& old) const
    {
        writes_->Changes(base, changes, old);
    }

private:
    // Sets `cluster`'s entry in every FAT copy.
    bool SetEntry(std::uint32_t cluster, std::uint32_t value);
    // Takes `count` free clusters (each marked as a chain's end until linked).
    bool Take(std::size_t count, std::vector<std::uint32_t>& clusters, std::string& error);
    // Links `chain` in the FAT, the last cluster ending it.
    bool Link(const std::vector<std::uint32_t>& chain);
    // Writes `bytes` into the clusters of `chain`, the last one's tail zeroed.
    bool Fill(const std::vector<std::uint32_t>& chain, const std::string& bytes);
    // Slots for `count` entries in a row in the folder of first cluster `folder` (0: the root folder), the
    // folder grown by a cluster when it has none.
    bool FreeSlots(std::uint32_t folder, std::size_t count, std::vector<std::uint64_t>& slots, std::string& error);
    bool Grow(std::uint32_t folder, std::string& error);

    std::unique_ptr<VolumeWrites> writes_;  // read by volume_ through its address
    FatVolume volume_;
    std::uint32_t next_ = 2;  // where to look for the next free cluster
    std::int64_t freed_ = 0;
    std::int64_t taken_ = 0;
    std::uint32_t lastTaken_ = 0;
};

}  // namespace image
