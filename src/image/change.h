// The change a commit makes on a FAT volume: files written and removed, as ranges of the disk with their new
// bytes and their bytes now. mtools makes the change on a sparse copy of just the volume's parts it touches
// (its FATs and the folders on the way to the files); the sectors that differ are the change.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "image/disk.h"
#include "image/fat.h"

namespace image {

// What a commit does on the volume.
struct VolumeEdit {
    // Each written file: its path on the volume ("WINDOWS/SYSTEM.DAT") and the host file holding its bytes.
    std::vector<std::pair<std::string, std::filesystem::path>> written;
    // The paths on the volume of the files removed.
    std::vector<std::string> removed;
};

// The ranges of the disk that `edit` changes on `volume` (at byte `offset` of the disk): `changes` with their
// new bytes, `old` with their bytes now. `image` names the image in messages; `scratch` is a private folder
// for the copy. False with a one-line `error`.
bool PlanVolumeChange(FatVolume& volume, std::uint64_t offset, const std::filesystem::path& image,
                      const std::filesystem::path& scratch, const VolumeEdit& edit, std::vector<DiskChange>& changes,
                      std::vector<DiskChange>& old, std::string& error);

}  // namespace image
