// The change a commit makes on a FAT volume: files written and removed, as ranges of the disk with their new
// bytes and their bytes now. This program's own FAT code makes it in memory (fat_write.h) after checking the
// chains it touches (fat_check.h); every changed sector is known, and no other program takes part.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "image/disk.h"
#include "fat/fat.h"
#include "storage/file_stamp.h"

namespace image {

// A file the commit writes: its path on the volume ("WINDOWS/SYSTEM.DAT"), its bytes, and the attributes
// and dates it gets back when a restore knows them (see FatWriter::Rewrite).
struct WrittenFile {
    std::string path;
    std::string bytes;
    storage::FileStamp stamp {};
};

// What a commit does on the volume.
struct VolumeEdit {
    // Files written: replaced in their own entries when the volume has them (matched as Windows matches a
    // name, long or short), else made in their folder.
    std::vector<WrittenFile> written;
    // The paths on the volume of the files removed.
    std::vector<std::string> removed;
    // The written files' time of last write, where their stamps give none.
    std::time_t when = 0;
};

// The ranges of the disk that `edit` changes on `volume` (at byte `offset` of the disk): `changes` with their
// new bytes, `old` with their bytes now. `image` names the image in messages. False with a one-line `error`
// and nothing planned when a path is not there, the volume has no room, or a chain the edit touches is
// damaged (then the message asks for ScanDisk).
bool PlanVolumeChange(FatVolume& volume, std::uint64_t offset, const std::string& image, const VolumeEdit& edit,
                      std::vector<DiskChange>& changes, std::vector<DiskChange>& old, std::string& error);

}  // namespace image
