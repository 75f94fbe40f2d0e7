#include "fat/fat_write.h"

#include <algorithm>

#include "fat/fat_layout.h"
#include "fat/fat_names.h"

namespace image {

namespace {

using namespace fat;

// FAT's date and time of `when` in local time, the clock a Windows guest keeps: the date (years from 1980),
// and the time in two-second steps. Times before 1980 are stored as its first day.
void FatTime(std::time_t when, unsigned& date, unsigned& time)
{
    std::tm local {};
    if (localtime_r(&when, &local) == nullptr || local.tm_year < 80) {
        date = 1 << 5 | 1;  // 1980-01-01
        time = 0;
        return;
    }
    const int year = std::min(local.tm_year - 80, 127);
    date = static_cast<unsigned>(year << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
    time = static_cast<unsigned>(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2);
}

// A FAT entry holds a file's size in 32 bits: a larger file (a restore's copy grown since) cannot be written.
bool FitsEntry(const std::string& bytes, std::string& error)
{
    if (bytes.size() <= 0xFFFFFFFFu)
        return true;
    error = "it is larger than a FAT file can be (4 GiB less one byte)";
    return false;
}

std::uint32_t ClustersFor(const FatVolume& volume, std::uint64_t bytes)
{
    return static_cast<std::uint32_t>((bytes + volume.clusterBytes() - 1) / volume.clusterBytes());
}

// A short entry's first cluster and size set.
void PutPlace(unsigned char* e, int bits, std::uint32_t cluster, std::uint32_t size)
{
    Put16(e + kClusterLow, cluster & 0xFFFF);
    if (bits == 32)
        Put16(e + kClusterHigh, cluster >> 16);
    Put32(e + kSize, size);
}

// The attributes an entry takes from a stamp: a file's own, never a folder's or a volume label's.
constexpr unsigned char kFileAttributes = kReadOnly | kHidden | kSystem | kArchive;

// A short entry's dates set: a FAT entry's stamp gives back its attributes and dates as they were; else
// `when`, or the host file's time of last change that the stamp holds, is its time of last write and day of
// last access, and, for a file made anew (`made`), its time of creation.
void PutDates(unsigned char* e, const storage::FileStamp& stamp, std::time_t when, bool made)
{
    if (stamp.kind == storage::FileStamp::Kind::Fat) {
        const storage::FatStamp& fat = stamp.fat;
        e[kAttributes] = static_cast<unsigned char>(fat.attributes & kFileAttributes);
        e[kCreateHundredths] = fat.createHundredths;
        Put16(e + kCreateTime, fat.createTime);
        Put16(e + kCreateDate, fat.createDate);
        Put16(e + kAccessDate, fat.accessDate);
        Put16(e + kWriteTime, fat.writeTime);
        Put16(e + kWriteDate, fat.writeDate);
        return;
    }
    unsigned date = 0;
    unsigned time = 0;
    FatTime(stamp.kind == storage::FileStamp::Kind::Host ? stamp.modified.tv_sec : when, date, time);
    Put16(e + kWriteTime, time);
    Put16(e + kWriteDate, date);
    Put16(e + kAccessDate, date);
    if (made) {
        Put16(e + kCreateTime, time);
        Put16(e + kCreateDate, date);
    }
}

}  // namespace

bool FatWriter::Open(ReadVolume original, std::uint64_t size, std::string& error)
{
    writes_ = std::make_unique<VolumeWrites>(std::move(original), size);
    if (!volume_.Open(writes_->Reader(), error))
        return false;
    if (!volume_.mirrored()) {
        error = "its FAT copies are not kept alike (FAT mirroring is off), which this program does not write";
        return false;
    }
    // Free clusters are looked for where FSInfo says the last one was taken, as Windows does.
    next_ = 2;
    unsigned char info[512];
    if (volume_.fsInfoSector() != 0 &&
        volume_.Read(std::uint64_t {volume_.fsInfoSector()} * volume_.bytesPerSector(), info, sizeof info)) {
        const std::uint32_t hint = Le32(info + kFsInfoNextFree);
        if (hint >= 2 && hint <= volume_.clusters() + 1)
            next_ = hint;
    }
    return true;
}

bool FatWriter::SetEntry(std::uint32_t cluster, std::uint32_t value)
{
    const int bits = volume_.bits();
    const std::uint64_t at = EntryByte(bits, cluster);
    for (unsigned copy = 0; copy < volume_.fats(); ++copy) {
        const std::uint64_t offset = volume_.fatOffset() + copy * volume_.fatBytes() + at;
        unsigned char bytes[4];
        if (!volume_.Read(offset, bytes, EntryBytes(bits)))
            return false;
        PutEntryValue(bits, cluster, value, bytes);
        if (!writes_->Write(offset, bytes, EntryBytes(bits)))
            return false;
    }
    volume_.Forget();
    return true;
}

bool FatWriter::Take(std::size_t count, std::vector<std::uint32_t>& clusters, std::string& error)
{
    clusters.clear();
    const std::uint32_t last = volume_.clusters() + 1;
    std::uint32_t cluster = next_;
    for (std::uint32_t looked = 0; clusters.size() < count && looked < volume_.clusters(); ++looked) {
        std::uint32_t value = 0;
        if (!volume_.Entry(cluster, value)) {
            error = "its FAT cannot be read";
            return false;
        }
        if (value == 0) {
            if (!SetEntry(cluster, EndOfChain(volume_.bits()))) {
                error = "its FAT cannot be written";
                return false;
            }
            clusters.push_back(cluster);
            lastTaken_ = cluster;
        }
        cluster = cluster == last ? 2 : cluster + 1;
    }
    next_ = cluster;
    taken_ += static_cast<std::int64_t>(clusters.size());
    if (clusters.size() < count) {
        error = "the volume is full";
        return false;
    }
    return true;
}

bool FatWriter::Link(const std::vector<std::uint32_t>& chain)
{
    for (std::size_t i = 0; i < chain.size(); ++i) {
        const std::uint32_t next = i + 1 < chain.size() ? chain[i + 1] : EndOfChain(volume_.bits());
        std::uint32_t now = 0;
        if (!volume_.Entry(chain[i], now) || (now != next && !SetEntry(chain[i], next)))
            return false;
    }
    return true;
}

bool FatWriter::Fill(const std::vector<std::uint32_t>& chain, const std::string& bytes)
{
    const std::uint32_t size = volume_.clusterBytes();
    std::string cluster;
    for (std::size_t i = 0; i < chain.size(); ++i) {
        cluster.assign(bytes, std::min<std::size_t>(i * size, bytes.size()), size);
        cluster.resize(size, '\0');
        if (!writes_->Write(volume_.ClusterOffset(chain[i]), cluster.data(), size))
            return false;
    }
    return true;
}

bool FatWriter::Remove(const FatEntry& file, const std::vector<std::uint32_t>& chain, std::string& error)
{
    const unsigned char deleted = kDeleted;
    bool done = writes_->Write(file.offset, &deleted, 1);
    for (std::uint64_t part : file.longParts)
        done = done && writes_->Write(part, &deleted, 1);
    for (std::uint32_t cluster : chain)
        done = done && SetEntry(cluster, 0);
    freed_ += static_cast<std::int64_t>(chain.size());
    if (!done)
        error = "its folder or FAT cannot be written";
    return done;
}

bool FatWriter::Rewrite(const FatEntry& file, const std::vector<std::uint32_t>& chain, const std::string& bytes,
                        const storage::FileStamp& stamp, std::time_t when, std::string& error)
{
    if (!FitsEntry(bytes, error))
        return false;
    const std::size_t needed = ClustersFor(volume_, bytes.size());
    const std::size_t kept = std::min(needed, chain.size());
    std::vector<std::uint32_t> now(chain.begin(), chain.begin() + static_cast<std::ptrdiff_t>(kept));
    std::vector<std::uint32_t> more;
    if (needed > kept && !Take(needed - kept, more, error))
        return false;
    now.insert(now.end(), more.begin(), more.end());
    for (std::size_t i = kept; i < chain.size(); ++i) {
        if (!SetEntry(chain[i], 0)) {
            error = "its FAT cannot be written";
            return false;
        }
    }
    freed_ += static_cast<std::int64_t>(chain.size() - kept);
    unsigned char e[kEntryBytes];
    if (!Link(now) || !Fill(now, bytes) || !volume_.Read(file.offset, e, sizeof e)) {
        error = "its clusters or folder cannot be written";
        return false;
    }
    e[kAttributes] |= kArchive;
    PutPlace(e, volume_.bits(), now.empty() ? 0 : now.front(), static_cast<std::uint32_t>(bytes.size()));
    PutDates(e, stamp, when, false);
    if (!writes_->Write(file.offset, e, sizeof e)) {
        error = "its folder cannot be written";
        return false;
    }
    return true;
}

bool FatWriter::Create(const FatEntry& folder, const std::string& name, const std::string& bytes,
                       const storage::FileStamp& stamp, std::time_t when, std::string& error)
{
    std::vector<FatEntry> entries;
    std::string shortName;
    bool exact = false;
    if (!FitsEntry(bytes, error))
        return false;
    if (!IsFatName(name) || !volume_.List(folder.cluster, entries) || !MakeShortName(name, entries, shortName, exact)) {
        error = "it is not a name the folder can take";
        return false;
    }
    std::vector<std::string> slots = exact ? std::vector<std::string>() : LongNameEntries(name, shortName);
    std::string entry(kEntryBytes, '\0');
    auto* e = reinterpret_cast<unsigned char*>(entry.data());
    entry.replace(kName, 11, shortName);
    e[kAttributes] = kArchive;
    std::vector<std::uint32_t> chain;
    if (!Take(ClustersFor(volume_, bytes.size()), chain, error))
        return false;
    PutPlace(e, volume_.bits(), chain.empty() ? 0 : chain.front(), static_cast<std::uint32_t>(bytes.size()));
    PutDates(e, stamp, when, true);
    slots.push_back(entry);
    std::vector<std::uint64_t> places;
    if (!FreeSlots(folder.cluster, slots.size(), places, error))
        return false;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (!writes_->Write(places[i], slots[i].data(), kEntryBytes)) {
            error = "its folder cannot be written";
            return false;
        }
    }
    if (!Link(chain) || !Fill(chain, bytes)) {
        error = "its clusters cannot be written";
        return false;
    }
    return true;
}

bool FatWriter::FreeSlots(std::uint32_t folder, std::size_t count, std::vector<std::uint64_t>& slots,
                          std::string& error)
{
    for (int grown = 0; grown <= static_cast<int>(count); ++grown) {
        std::vector<Extent> extents;
        if (!volume_.FolderExtents(folder, extents)) {
            error = "its folder cannot be read";
            return false;
        }
        slots.clear();
        bool ended = false;  // past the entry that ends the folder every slot is free
        for (const Extent& extent : extents) {
            std::string bytes(extent.size, '\0');
            if (!volume_.Read(extent.offset, bytes.data(), bytes.size())) {
                error = "its folder cannot be read";
                return false;
            }
            for (std::size_t at = 0; at + kEntryBytes <= bytes.size() && slots.size() < count; at += kEntryBytes) {
                const auto first = static_cast<unsigned char>(bytes[at]);
                ended = ended || first == kEndOfFolder;
                if (ended || first == kDeleted)
                    slots.push_back(extent.offset + at);
                else
                    slots.clear();
            }
        }
        if (slots.size() == count)
            return true;
        if (!Grow(folder, error))
            return false;
    }
    error = "its folder cannot be grown";
    return false;
}

bool FatWriter::Grow(std::uint32_t folder, std::string& error)
{
    std::vector<std::uint32_t> chain;
    if (folder == 0 && volume_.bits() != 32) {
        error = "the root folder is full";
        return false;
    }
    if (!volume_.FolderChain(folder, chain) ||
        std::uint64_t {chain.size() + 1} * volume_.clusterBytes() > kLargestFolder) {
        error = "its folder is full";
        return false;
    }
    std::vector<std::uint32_t> more;
    if (!Take(1, more, error))
        return false;
    chain.push_back(more.front());
    // A folder's new cluster holds no entries: zeros throughout.
    if (!Link(chain) || !Fill(more, std::string())) {
        error = "its folder cannot be written";
        return false;
    }
    return true;
}

bool FatWriter::UpdateFsInfo(std::uint32_t freeBefore, std::string& error)
{
    if (volume_.bits() != 32 || volume_.fsInfoSector() == 0)
        return true;
    const std::uint64_t offset = std::uint64_t {volume_.fsInfoSector()} * volume_.bytesPerSector();
    unsigned char info[512];
    if (!volume_.Read(offset, info, sizeof info)) {
        error = "its FSInfo sector cannot be read";
        return false;
    }
    // A sector without FSInfo's signatures is not FSInfo: left alone, as Windows leaves it.
    if (Le32(info + kFsInfoLead) != kFsInfoLeadSignature || Le32(info + kFsInfoStruct) != kFsInfoStructSignature ||
        Le32(info + kFsInfoTrail) != kFsInfoTrailSignature)
        return true;
    Put32(info + kFsInfoFree, static_cast<std::uint32_t>(freeBefore + freed_ - taken_));
    if (lastTaken_ != 0)
        Put32(info + kFsInfoNextFree, lastTaken_);
    if (!writes_->Write(offset, info, sizeof info)) {
        error = "its FSInfo sector cannot be written";
        return false;
    }
    return true;
}

}  // namespace image
