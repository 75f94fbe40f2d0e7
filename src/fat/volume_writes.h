// A volume's writes held in memory until the change is whole, as dosfstools' fs_write queues them: each
// write lands in copies of the sectors it touches, later reads see it, and at the end the sectors whose bytes
// differ are handed out as ranges of the disk with their new bytes and their bytes before. Nothing here
// reaches the disk.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/disk_change.h"
#include "fat/fat.h"

namespace image {

class VolumeWrites {
public:
    // Over the volume's bytes as `original` reads them; writes stay within its first `size` bytes.
    VolumeWrites(ReadVolume original, std::uint64_t size) : original_(std::move(original)), size_(size) { }

    // Reads the volume's bytes with the writes queued so far.
    bool Read(std::uint64_t offset, void* into, std::size_t size) const;
    // Queues a write; false when it reaches past the volume or a sector it touches cannot be read.
    bool Write(std::uint64_t offset, const void* from, std::size_t size);
    // The sectors whose bytes differ now, joined into runs, at `base` + their offset in the volume:
    // `changes` with their new bytes, `old` with their bytes before, in the same order.
    void Changes(std::uint64_t base, std::vector<DiskChange>& changes, std::vector<DiskChange>& old) const;

    // A reader of the volume as changed so far, for a FatVolume.
    ReadVolume Reader() const
    {
        return [this](std::uint64_t offset, void* into, std::size_t size) { return Read(offset, into, size); };
    }

private:
    struct Sector {
        std::string before;
        std::string now;
    };

    ReadVolume original_;
    std::uint64_t size_;
    std::map<std::uint64_t, Sector> sectors_;  // by sector number
};

}  // namespace image
