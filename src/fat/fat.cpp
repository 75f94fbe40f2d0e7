#include "fat/fat.h"

#include <algorithm>
#include <cstring>

#include "common/fold_case.h"
#include "fat/fat_layout.h"

namespace image {

namespace {

using namespace fat;

constexpr std::uint64_t kFatBlock = 4096;

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
    std::string name = part(e + kName, 8, (e[kCaseFlags] & 0x08) != 0);
    if (!name.empty() && static_cast<unsigned char>(name[0]) == kStoredE5)
        name[0] = static_cast<char>(kDeleted);
    const std::string extension = part(e + kName + 8, 3, (e[kCaseFlags] & 0x10) != 0);
    return extension.empty() ? name : name + "." + extension;
}

// A short entry's attributes and dates, as it stores them.
storage::FatStamp StampOf(const unsigned char* e)
{
    const auto field = [e](int at) { return static_cast<std::uint16_t>(Le16(e + at)); };
    storage::FatStamp stamp;
    stamp.attributes = e[kAttributes];
    stamp.createHundredths = e[kCreateHundredths];
    stamp.createTime = field(kCreateTime);
    stamp.createDate = field(kCreateDate);
    stamp.accessDate = field(kAccessDate);
    stamp.writeTime = field(kWriteTime);
    stamp.writeDate = field(kWriteDate);
    return stamp;
}

// Gathers a long name from its entries, which come before the short entry, last part first.
struct LongName {
    char16_t units[kMostParts * kUnitsPerPart] = {};
    std::uint64_t offsets[kMostParts] = {};
    int expected = 0;  // the part count the first entry announced; 0: none being gathered
    int next = 0;      // the order number the next entry must carry
    unsigned char checksum = 0;

    void Reset() { expected = next = 0; }
    void Take(const unsigned char* e, std::uint64_t offset)
    {
        const int order = e[0] & 0x1F;
        if ((e[0] & kLastPart) != 0) {
            expected = order;
            next = order;
            checksum = e[kLongChecksum];
        }
        // A part out of order, or one of another name (another checksum), ends the name being gathered.
        if (expected == 0 || order != next || order == 0 || order > kMostParts || e[kLongChecksum] != checksum) {
            Reset();
            return;
        }
        for (int i = 0; i < kUnitsPerPart; ++i)
            units[(order - 1) * kUnitsPerPart + i] = static_cast<char16_t>(Le16(e + kUnitPlaces[i]));
        offsets[order - 1] = offset;
        --next;
    }
    // The gathered name for the short entry `e`, or empty when none belongs to it; `parts` receives the
    // long-name entries' offsets in folder order. Characters beyond Latin-1 show as '?', as Windows 9x
    // shows what its code page lacks.
    std::string For(const unsigned char* e, std::vector<std::uint64_t>& parts) const
    {
        parts.clear();
        if (expected == 0 || next != 0 || checksum != ShortNameChecksum(e + kName))
            return {};
        std::string name;
        for (int i = 0; i < expected * kUnitsPerPart && units[i] != 0 && units[i] != 0xFFFF; ++i)
            name += units[i] < 0x100 ? static_cast<char>(units[i]) : '?';
        for (int order = expected; order > 0; --order)
            parts.push_back(offsets[order - 1]);
        return name;
    }
};

// The FAT entries of the clusters from `first` on, from the FAT's bytes from byte `from` on; one loop for each
// entry width, so that a scan of millions of entries decodes them without a test of the width for each.
template <int Bits>
void DecodeEntries(const unsigned char* bytes, std::uint64_t from, std::uint32_t first,
                   std::vector<std::uint32_t>& values)
{
    for (std::uint32_t i = 0; i < values.size(); ++i)
        values[i] = EntryValue(Bits, first + i, bytes + (EntryByte(Bits, first + i) - from));
}

}  // namespace

bool FatVolume::Open(ReadVolume read, std::string& error)
{
    read_ = std::move(read);
    Forget();
    unsigned char s[512];
    if (!Read(0, s, sizeof s)) {
        error = "cannot read its boot sector";
        return false;
    }
    bytesPerSector_ = Le16(s + kBytesPerSector);
    const unsigned sectorsPerCluster = s[kSectorsPerCluster];
    const unsigned reserved = Le16(s + kReservedSectors);
    const unsigned fats = s[kFatCount];
    const unsigned rootEntries = Le16(s + kRootEntries);
    const std::uint32_t totalSectors =
        Le16(s + kTotalSectors16) != 0 ? Le16(s + kTotalSectors16) : Le32(s + kTotalSectors32);
    const std::uint32_t fatSectors = Le16(s + kFatSectors16) != 0 ? Le16(s + kFatSectors16) : Le32(s + kFatSectors32);
    const bool sane = SaneGeometry(bytesPerSector_, sectorsPerCluster) && reserved != 0 && fats != 0 &&
                      fatSectors != 0 && totalSectors != 0;
    if (!sane) {
        error = "not a FAT volume (its boot sector's layout is not FAT's)";
        return false;
    }
    clusterBytes_ = bytesPerSector_ * sectorsPerCluster;
    fatOffset_ = std::uint64_t {reserved} * bytesPerSector_;
    fatBytes_ = std::uint64_t {fatSectors} * bytesPerSector_;
    fats_ = fats;
    rootOffset_ = fatOffset_ + fats * fatBytes_;
    rootBytes_ = (std::uint64_t {rootEntries} * kEntryBytes + bytesPerSector_ - 1) / bytesPerSector_ * bytesPerSector_;
    dataOffset_ = rootOffset_ + rootBytes_;
    size_ = std::uint64_t {totalSectors} * bytesPerSector_;
    if (dataOffset_ >= size_) {
        error = "not a FAT volume (no room for clusters)";
        return false;
    }
    clusters_ = static_cast<std::uint32_t>((size_ - dataOffset_) / clusterBytes_);
    bits_ = clusters_ < kFat16Clusters ? 12 : clusters_ < kFat32Clusters ? 16 : 32;
    if ((bits_ == 32) != (rootEntries == 0) || fatBytes_ * 8 / static_cast<unsigned>(bits_) < clusters_ + 2) {
        error = "not a FAT volume (its FAT does not fit its clusters)";
        return false;
    }
    return OpenFat32Fields(s, error);
}

bool FatVolume::OpenFat32Fields(const unsigned char* s, std::string& error)
{
    rootCluster_ = 0;
    fsInfoSector_ = 0;
    mirrored_ = true;
    activeFat_ = 0;
    if (bits_ != 32)
        return true;
    rootCluster_ = Le32(s + kRootCluster);
    const unsigned flags = Le16(s + kExtendedFlags);
    mirrored_ = (flags & kMirroringOff) == 0;
    activeFat_ = mirrored_ ? 0 : flags & 0x0F;
    if (activeFat_ >= fats_) {
        error = "not a FAT volume (it names a FAT it does not have)";
        return false;
    }
    const unsigned info = Le16(s + kFsInfoSector);
    if (info != 0 && info != 0xFFFF && std::uint64_t {info} * bytesPerSector_ < fatOffset_)
        fsInfoSector_ = info;
    return true;
}

bool FatVolume::Serial(std::uint32_t& serial) const
{
    unsigned char s[512];
    if (!Read(0, s, sizeof s))
        return false;
    const int signature = bits_ == 32 ? kExtendedSignature32 : kExtendedSignature16;
    if (s[signature] != kExtendedBoot)
        return false;
    serial = Le32(s + signature + 1);
    return true;
}

std::uint64_t FatVolume::ClusterOffset(std::uint32_t cluster) const
{
    return dataOffset_ + std::uint64_t {cluster - 2} * clusterBytes_;
}

bool FatVolume::Entry(std::uint32_t cluster, std::uint32_t& value)
{
    const std::uint64_t at = EntryByte(bits_, cluster);
    const std::size_t width = EntryBytes(bits_);
    if (cluster < 2 || cluster > clusters_ + 1 || at + width > fatBytes_)
        return false;
    const std::uint64_t fat = fatOffset_ + activeFat_ * fatBytes_;
    unsigned char bytes[4] = {};
    for (std::size_t i = 0; i < width; ++i) {
        const std::uint64_t offset = at + i;
        const std::uint64_t block = offset / kFatBlock;
        if (block != cachedBlock_) {
            const std::uint64_t length = std::min(kFatBlock, fatBytes_ - block * kFatBlock);
            cache_.assign(length, '\0');
            if (!Read(fat + block * kFatBlock, cache_.data(), length)) {
                cachedBlock_ = UINT64_MAX;
                return false;
            }
            cachedBlock_ = block;
        }
        bytes[i] = static_cast<unsigned char>(cache_[offset % kFatBlock]);
    }
    value = EntryValue(bits_, cluster, bytes);
    return true;
}

bool FatVolume::Entries(std::uint32_t first, std::uint32_t count, std::vector<std::uint32_t>& values)
{
    values.clear();
    if (first < 2 || count == 0 || count > clusters_ || first > clusters_ + 2 - count)
        return false;
    const std::uint64_t from = EntryByte(bits_, first);
    const std::uint64_t to = EntryByte(bits_, first + count - 1) + EntryBytes(bits_);
    // The buffer stays for the next block: a scan of a large FAT does not map fresh memory for each.
    scan_.resize(to - from);
    if (to > fatBytes_ || !Read(fatOffset_ + activeFat_ * fatBytes_ + from, scan_.data(), scan_.size()))
        return false;
    const auto* at = reinterpret_cast<const unsigned char*>(scan_.data());
    values.resize(count);
    if (bits_ == 12)
        DecodeEntries<12>(at, from, first, values);
    else if (bits_ == 16)
        DecodeEntries<16>(at, from, first, values);
    else
        DecodeEntries<32>(at, from, first, values);
    return true;
}

bool FatVolume::Chain(std::uint32_t first, std::vector<std::uint32_t>& clusters, std::uint32_t limit)
{
    clusters.clear();
    if (limit == 0 || limit > clusters_)
        limit = clusters_;
    const std::uint32_t end = EndOfChainFrom(bits_);
    std::uint32_t cluster = first;
    while (cluster < end) {
        // 0 is free, 1 reserved; past the last cluster lie the reserved and bad values.
        if (cluster < 2 || cluster > clusters_ + 1 || clusters.size() >= limit)
            return false;
        clusters.push_back(cluster);
        if (!Entry(cluster, cluster))
            return false;
    }
    return true;
}

bool FatVolume::FolderChain(std::uint32_t cluster, std::vector<std::uint32_t>& clusters)
{
    clusters.clear();
    if (cluster == 0 && bits_ != 32)
        return true;
    // A chain longer than a folder may be is refused before its clusters are read.
    const auto most = static_cast<std::uint32_t>((kLargestFolder + clusterBytes_ - 1) / clusterBytes_);
    return Chain(cluster == 0 ? rootCluster_ : cluster, clusters, most);
}

bool FatVolume::FolderExtents(std::uint32_t cluster, std::vector<Extent>& extents)
{
    extents.clear();
    if (cluster == 0 && bits_ != 32) {
        extents.push_back({rootOffset_, rootBytes_});
        return true;
    }
    std::vector<std::uint32_t> chain;
    if (!FolderChain(cluster, chain))
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
        for (std::size_t at = 0; at + kEntryBytes <= bytes.size(); at += kEntryBytes) {
            const auto* e = reinterpret_cast<const unsigned char*>(bytes.data() + at);
            if (e[0] == kEndOfFolder)
                return true;
            if (e[0] == kDeleted) {
                longName.Reset();
                continue;
            }
            if ((e[kAttributes] & 0x3F) == kLongNameParts) {
                longName.Take(e, extent.offset + at);
                continue;
            }
            FatEntry entry;
            std::string name = longName.For(e, entry.longParts);
            longName.Reset();
            if ((e[kAttributes] & kVolumeLabel) != 0 || e[0] == '.')
                continue;
            entry.shortName = ShortName(e);
            entry.name = name.empty() ? entry.shortName : name;
            entry.stamp = StampOf(e);
            entry.cluster = Le16(e + kClusterLow) |
                            (bits_ == 32 ? static_cast<std::uint32_t>(Le16(e + kClusterHigh)) << 16 : 0);
            entry.size = Le32(e + kSize);
            entry.offset = extent.offset + at;
            entries.push_back(std::move(entry));
        }
    }
    return true;
}

bool FatVolume::Find(const std::string& path, FatEntry& entry)
{
    entry = FatEntry {};
    entry.stamp.attributes = kFolder;
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

bool FatVolume::ReadFilePieces(const FatEntry& entry,
                               const std::function<bool(const char* piece, std::size_t size)>& take)
{
    if (entry.size == 0)
        return true;
    std::vector<std::uint32_t> chain;
    if (!Chain(entry.cluster, chain) || std::uint64_t {chain.size()} * clusterBytes_ < entry.size)
        return false;
    // Clusters that lie one after the other on the volume are read in one go, up to a piece.
    const std::size_t most = std::max<std::size_t>(kFilePiece / clusterBytes_, 1) * clusterBytes_;
    std::string piece(std::min<std::uint64_t>(most, entry.size), '\0');
    std::uint64_t left = entry.size;
    for (std::size_t i = 0; left != 0;) {
        const std::uint64_t start = ClusterOffset(chain[i]);
        std::size_t size = 0;
        do {
            size += static_cast<std::size_t>(std::min<std::uint64_t>(clusterBytes_, left - size));
            ++i;
        } while (size < left && size + clusterBytes_ <= most && ClusterOffset(chain[i]) == start + size);
        if (!Read(start, piece.data(), size) || !take(piece.data(), size))
            return false;
        left -= size;
    }
    return true;
}

bool FatVolume::ReadFile(const FatEntry& entry, std::string& bytes)
{
    bytes.clear();
    return ReadFilePieces(entry, [&](const char* piece, std::size_t size) {
        bytes.append(piece, size);
        return true;
    });
}

}  // namespace image
