#include "fat/volume_writes.h"

#include <algorithm>
#include <cstring>

namespace image {

// The unit of the queue is the disk's sector (kSector): a volume's own sectors are whole multiples of it.

bool VolumeWrites::Read(std::uint64_t offset, void* into, std::size_t size) const
{
    if (!original_(offset, into, size))
        return false;
    auto* out = static_cast<char*>(into);
    const std::uint64_t end = offset + size;
    for (auto each = sectors_.lower_bound(offset / kSector); each != sectors_.end() && each->first * kSector < end;
         ++each) {
        const std::uint64_t from = std::max(offset, each->first * kSector);
        const std::uint64_t to = std::min(end, (each->first + 1) * kSector);
        std::memcpy(out + (from - offset), each->second.now.data() + (from - each->first * kSector), to - from);
    }
    return true;
}

bool VolumeWrites::Write(std::uint64_t offset, const void* from, std::size_t size)
{
    if (offset > size_ || size > size_ - offset)
        return false;
    const auto* in = static_cast<const char*>(from);
    for (std::uint64_t at = offset; at < offset + size;) {
        const std::uint64_t number = at / kSector;
        auto sector = sectors_.find(number);
        if (sector == sectors_.end()) {
            std::string bytes(kSector, '\0');
            if (!original_(number * kSector, bytes.data(), kSector))
                return false;
            sector = sectors_.emplace(number, Sector {bytes, bytes}).first;
        }
        const std::uint64_t to = std::min(offset + size, (number + 1) * kSector);
        sector->second.now.replace(at - number * kSector, to - at, in + (at - offset), to - at);
        at = to;
    }
    return true;
}

void VolumeWrites::Changes(std::uint64_t base, std::vector<DiskChange>& changes, std::vector<DiskChange>& old) const
{
    std::uint64_t next = UINT64_MAX;  // the sector after the run being joined
    for (const auto& [number, sector] : sectors_) {
        if (sector.now == sector.before)
            continue;
        if (number == next && !changes.empty()) {
            changes.back().bytes += sector.now;
            old.back().bytes += sector.before;
        } else {
            changes.push_back({base + number * kSector, sector.now});
            old.push_back({base + number * kSector, sector.before});
        }
        next = number + 1;
    }
}

}  // namespace image
