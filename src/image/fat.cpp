#include "image/fat.h"

#include <algorithm>
#include <cstring>

#include "common/fold_case.h"

namespace image {

namespace {

constexpr std::uint64_t kFatBlock = 4096;
constexpr std::uint8_t kLongName = 0x0F;
constexpr std::uint8_t kVolumeLabel = 0x08;

unsigned Le16(const unsigned char* p)
{
    return p[0] | p[1] << 8;
}

std::uint32_t Le32(const unsigned char* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// The short name of an entry as Windows shows it: "NAME.EXT", each part lower case when the entry's case
// flags say so (names written as "readme.txt" keep their case that way, without a long name).
std::string ShortName(const unsigned char* e)
{
    auto part = [](const unsigned char* from, int size, bool lower) {
        std::string text(reinterpret_cast<const char*>(from), static_cast<std::size_t>(size));
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        if (lower) {
            for (char& c : text) {
                if (c >= 'A' && c <= 'Z')
                    c = static_cast<char>(c - 'A' + 'a');
            }
        }
        return text;
    };
    std::string name = part(e, 8, (e[12] & 0x08) != 0);
    if (!name.empty() && static_cast<unsigned char>(name[0]) == 0x05)
        name[0] = static_cast<char>(0xE5);
    const std::string extension = part(e + 8, 3, (e[12] & 0x10) != 0);
    return extension.empty() ? name : name + "." + extension;
}

unsigned char ShortNameChecksum(const unsigned char* e)
{
    unsigned char sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<unsigned char>(((sum & 1) << 7) + (sum >> 1) + e[i]);
    return sum;
}

// Gathers a long name from its entries, which come before the short entry, last part first.
struct LongName {
    char16_t units[20 * 13] = {};
    int expected = 0;  // the part count the first entry announced; 0: none being gathered
    int next = 0;      // the order number the next entry must carry
    unsigned char checksum = 0;

    void Reset() { expected = next = 0; }
    void Take(const unsigned char* e)
    {
        const int order = e[0] & 0x1F;
        if ((e[0] & 0x40) != 0) {
            expected = order;
            next = order;
            checksum = e[13];
        }
        if (expected == 0 || order != next || order == 0 || order > 20 || e[13] != checksum) {
            Reset();
            return;
        }
        static const int kPlaces[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        for (int i = 0; i < 13; ++i)
            units[(order - 1) * 13 + i] = static_cast<char16_t>(Le16(e + kPlaces[i]));
        --next;
    }
    // The gathered name for the short entry `e`, or empty when none belongs to it. Characters beyond
    // Latin-1 show as '?', as Windows 9x shows what its code page lacks.
    std::string For(const unsigned char* e) const
    {
        if (expected == 0 || next != 0 || checksum != ShortNameChecksum(e))
            return {};
        std::string name;
        for (int i = 0; i < expected * 13 && units[i] != 0 && units[i] != 0xFFFF; ++i)
            name += units[i] < 0x100 ? static_cast<char>(units[i]) : '?';
        return name;
    }
};

}  // namespace

bool FatVolume::Open(ReadVolume read, std::string& error)
{
    read_ = std::move(read);
    unsigned char s[512];
    if (!Read(0, s, sizeof s)) {
        error = "cannot read its boot sector";
        return false;
    }
    bytesPerSector_ = Le16(s + 11);
    const unsigned sectorsPerCluster = s[13];
    const unsigned reserved = Le16(s + 14);
    const unsigned fats = s[16];
    const unsigned rootEntries = Le16(s + 17);
    const std::uint32_t totalSectors = Le16(s + 19) != 0 ? Le16(s + 19) : Le32(s + 32);
    const std::uint32_t fatSectors = Le16(s + 22) != 0 ? Le16(s + 22) : Le32(s + 36);
    const bool sane = (bytesPerSector_ == 512 || bytesPerSector_ == 1024 || bytesPerSector_ == 2048 ||
                       bytesPerSector_ == 4096) &&
                      sectorsPerCluster != 0 && (sectorsPerCluster & (sectorsPerCluster - 1)) == 0 && reserved != 0 &&
                      fats != 0 && fatSectors != 0 && totalSectors != 0;
    if (!sane) {
        error = "not a FAT volume (its boot sector's layout is not FAT's)";
        return false;
    }
    clusterBytes_ = bytesPerSector_ * sectorsPerCluster;
    fatOffset_ = std::uint64_t {reserved} * bytesPerSector_;
    fatBytes_ = std::uint64_t {fatSectors} * bytesPerSector_;
    fats_ = fats;
    rootOffset_ = fatOffset_ + fats * fatBytes_;
    rootBytes_ = (std::uint64_t {rootEntries} * 32 + bytesPerSector_ - 1) / bytesPerSector_ * bytesPerSector_;
    dataOffset_ = rootOffset_ + rootBytes_;
    size_ = std::uint64_t {totalSectors} * bytesPerSector_;
    if (dataOffset_ >= size_) {
        error = "not a FAT volume (no room for clusters)";
        return false;
    }
    clusters_ = static_cast<std::uint32_t>((size_ - dataOffset_) / clusterBytes_);
    // The FAT type follows from the cluster count alone, as the format defines it.
    bits_ = clusters_ < 4085 ? 12 : clusters_ < 65525 ? 16 : 32;
    rootCluster_ = bits_ == 32 ? Le32(s + 44) : 0;
    if ((bits_ == 32) != (rootEntries == 0) || fatBytes_ * 8 / bits_ < clusters_ + 2) {
        error = "not a FAT volume (its FAT does not fit its clusters)";
        return false;
    }
    return true;
}

std::uint64_t FatVolume::ClusterOffset(std::uint32_t cluster) const
{
    return dataOffset_ + std::uint64_t {cluster - 2} * clusterBytes_;
}

bool FatVolume::Entry(std::uint32_t cluster, std::uint32_t& value)
{
    const std::uint64_t at = std::uint64_t {cluster} * bits_ / 8;
    if (cluster < 2 || cluster > clusters_ + 1 || at + 2 > fatBytes_)
        return false;
    unsigned char bytes[4] = {};
    for (std::uint64_t i = 0; i < std::uint64_t(bits_ == 32 ? 4 : 2); ++i) {
        const std::uint64_t offset = at + i;
        const std::uint64_t block = offset / kFatBlock;
        if (block != cachedBlock_) {
            const std::uint64_t length = std::min(kFatBlock, fatBytes_ - block * kFatBlock);
            cache_.assign(length, '\0');
            if (!Read(fatOffset_ + block * kFatBlock, cache_.data(), length)) {
                cachedBlock_ = UINT64_MAX;
                return false;
            }
            cachedBlock_ = block;
        }
        bytes[i] = static_cast<unsigned char>(cache_[offset % kFatBlock]);
    }
    if (bits_ == 12)
        value = (cluster & 1) != 0 ? Le16(bytes) >> 4 : Le16(bytes) & 0xFFF;
    else if (bits_ == 16)
        value = Le16(bytes);
    else
        value = Le32(bytes) & 0x0FFFFFFF;
    return true;
}

bool FatVolume::Chain(std::uint32_t first, std::vector<std::uint32_t>& clusters)
{
    clusters.clear();
    const std::uint32_t end = bits_ == 12 ? 0xFF8 : bits_ == 16 ? 0xFFF8 : 0x0FFFFFF8;
    std::uint32_t cluster = first;
    while (cluster < end) {
        // A chain longer than the volume has clusters loops.
        if (cluster < 2 || cluster > clusters_ + 1 || clusters.size() > clusters_)
            return false;
        clusters.push_back(cluster);
        if (!Entry(cluster, cluster))
            return false;
    }
    return true;
}

bool FatVolume::FolderExtents(std::uint32_t cluster, std::vector<Extent>& extents)
{
    extents.clear();
    if (cluster == 0 && bits_ != 32) {
        extents.push_back({rootOffset_, rootBytes_});
        return true;
    }
    std::vector<std::uint32_t> chain;
    if (!Chain(cluster == 0 ? rootCluster_ : cluster, chain))
        return false;
    for (std::uint32_t each : chain) {
        if (!extents.empty() && extents.back().offset + extents.back().size == ClusterOffset(each))
            extents.back().size += clusterBytes_;
        else
            extents.push_back({ClusterOffset(each), clusterBytes_});
    }
    return true;
}

bool FatVolume::List(std::uint32_t cluster, std::vector<FatEntry>& entries)
{
    entries.clear();
    std::vector<Extent> extents;
    if (!FolderExtents(cluster, extents))
        return false;
    LongName longName;
    for (const Extent& extent : extents) {
        std::string bytes(extent.size, '\0');
        if (!Read(extent.offset, bytes.data(), bytes.size()))
            return false;
        for (std::size_t at = 0; at + 32 <= bytes.size(); at += 32) {
            const auto* e = reinterpret_cast<const unsigned char*>(bytes.data() + at);
            if (e[0] == 0x00)
                return true;
            if (e[0] == 0xE5) {
                longName.Reset();
                continue;
            }
            if ((e[11] & 0x3F) == kLongName) {
                longName.Take(e);
                continue;
            }
            std::string name = longName.For(e);
            longName.Reset();
            if ((e[11] & kVolumeLabel) != 0 || e[0] == '.')
                continue;
            FatEntry entry;
            entry.shortName = ShortName(e);
            entry.name = name.empty() ? entry.shortName : name;
            entry.attributes = e[11];
            entry.cluster = Le16(e + 26) | (bits_ == 32 ? static_cast<std::uint32_t>(Le16(e + 20)) << 16 : 0);
            entry.size = Le32(e + 28);
            entries.push_back(entry);
        }
    }
    return true;
}

bool FatVolume::Find(const std::string& path, FatEntry& entry)
{
    entry = FatEntry {};
    entry.attributes = 0x10;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        const std::string name = path.substr(start, slash - start);
        start = slash + 1;
        if (name.empty())
            continue;
        std::vector<FatEntry> entries;
        if (!entry.folder() || !List(entry.cluster, entries))
            return false;
        bool found = false;
        for (const FatEntry& each : entries) {
            if (SameName(each.name, name) || SameName(each.shortName, name)) {
                entry = each;
                found = true;
                break;
            }
        }
        if (!found)
            return false;
    }
    return true;
}

bool FatVolume::ReadFile(const FatEntry& entry, std::string& bytes, const std::function<void(std::uint64_t)>& read)
{
    bytes.clear();
    if (entry.size == 0)
        return true;
    std::vector<std::uint32_t> chain;
    if (!Chain(entry.cluster, chain) || std::uint64_t {chain.size()} * clusterBytes_ < entry.size)
        return false;
    bytes.assign(entry.size, '\0');
    std::size_t done = 0;
    for (std::uint32_t cluster : chain) {
        const std::size_t part = std::min<std::size_t>(clusterBytes_, entry.size - done);
        if (part == 0)
            break;
        if (!Read(ClusterOffset(cluster), bytes.data() + done, part))
            return false;
        done += part;
        if (read)
            read(done);
    }
    return true;
}

}  // namespace image
