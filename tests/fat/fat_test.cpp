#include "fat/fat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kSector = 512;

// A FAT volume in memory, sector by sector (unwritten sectors read as zeros): one sector a cluster, one
// reserved sector, one FAT, a root folder of 16 entries (FAT12/16), so that the FAT type follows from the
// data clusters asked for. `layout` lays it out as that type (a FAT of its entries' width; FAT32: no fixed
// root folder, the root in cluster 2), when it is not the one the clusters make.
class Volume {
public:
    Volume(int bits, std::uint32_t clusters, int layout = 0) : bits_(bits)
    {
        layout = layout == 0 ? bits : layout;
        const std::uint32_t fatSectors =
            static_cast<std::uint32_t>((std::uint64_t {clusters + 2} * layout / 8 + kSector - 1) / kSector);
        const std::uint32_t rootSectors = layout == 32 ? 0 : 1;
        const std::uint32_t total = 1 + fatSectors + rootSectors + clusters;
        unsigned char boot[kSector] = {0xEB, 0x3C, 0x90};
        boot[11] = 0x00, boot[12] = 0x02;  // 512 bytes a sector
        boot[13] = 1;                      // a sector a cluster
        boot[14] = 1;                      // reserved sectors
        boot[16] = 1;                      // FATs
        boot[17] = layout == 32 ? 0 : 16;  // root folder entries
        Put32(boot + 32, total);
        if (layout == 32) {
            Put32(boot + 36, fatSectors);
            Put32(boot + 44, 2);  // the root folder's first cluster
        } else {
            boot[22] = static_cast<unsigned char>(fatSectors);
            boot[23] = static_cast<unsigned char>(fatSectors >> 8);
        }
        boot[510] = 0x55, boot[511] = 0xAA;
        Write(0, boot, kSector);
        fatOffset_ = kSector;
        rootOffset_ = fatOffset_ + std::uint64_t {fatSectors} * kSector;
        dataOffset_ = rootOffset_ + rootSectors * kSector;
    }
    void SetEntry(std::uint32_t cluster, std::uint32_t value)
    {
        const std::uint64_t at = fatOffset_ + std::uint64_t {cluster} * bits_ / 8;
        unsigned char bytes[4];
        Read(at, bytes, 4);
        if (bits_ == 12) {
            const unsigned old = bytes[0] | bytes[1] << 8;
            const unsigned both = (cluster & 1) != 0 ? (old & 0x000F) | value << 4 : (old & 0xF000) | value;
            bytes[0] = static_cast<unsigned char>(both), bytes[1] = static_cast<unsigned char>(both >> 8);
        } else if (bits_ == 16) {
            bytes[0] = static_cast<unsigned char>(value), bytes[1] = static_cast<unsigned char>(value >> 8);
        } else {
            Put32(bytes, value);
        }
        Write(at, bytes, bits_ == 32 ? 4 : 2);
    }
    // Puts 32-byte folder entries at the start of the root folder (FAT32: of cluster 2).
    void Root(const std::vector<std::string>& entries)
    {
        for (std::size_t i = 0; i < entries.size(); ++i)
            Write(rootOffset_ + 32 * i, entries[i].data(), 32);
    }
    // Fills a data cluster (numbered from 2) with one byte.
    void Fill(std::uint32_t cluster, char byte)
    {
        const std::string bytes(kSector, byte);
        Write(dataOffset_ + std::uint64_t {cluster - 2} * kSector, bytes.data(), kSector);
    }
    image::ReadVolume Reader()
    {
        return [this](std::uint64_t offset, void* into, std::size_t size) { return Read(offset, into, size); };
    }
    // Bytes read so far from cluster `from` on.
    std::uint64_t ReadFrom(std::uint32_t from) const { return from == watched_ ? watchedBytes_ : 0; }
    void Watch(std::uint32_t from)
    {
        watched_ = from;
        watchedBytes_ = 0;
    }

    static void Put32(unsigned char* p, std::uint32_t value)
    {
        for (int i = 0; i < 4; ++i)
            p[i] = static_cast<unsigned char>(value >> (8 * i));
    }

private:
    bool Read(std::uint64_t offset, void* into, std::size_t size)
    {
        const std::uint64_t watched = dataOffset_ + std::uint64_t {watched_ - 2} * kSector;
        if (watched_ != 0 && offset + size > watched)
            watchedBytes_ += offset + size - std::max(offset, watched);
        auto* out = static_cast<unsigned char*>(into);
        for (std::size_t i = 0; i < size; ++i) {
            auto sector = sectors_.find((offset + i) / kSector);
            out[i] = sector == sectors_.end() ? 0 : static_cast<unsigned char>(sector->second[(offset + i) % kSector]);
        }
        return true;
    }
    void Write(std::uint64_t offset, const void* from, std::size_t size)
    {
        const auto* in = static_cast<const unsigned char*>(from);
        for (std::size_t i = 0; i < size; ++i) {
            std::string& sector = sectors_[(offset + i) / kSector];
            sector.resize(kSector);
            sector[(offset + i) % kSector] = static_cast<char>(in[i]);
        }
    }

    int bits_;
    std::uint64_t fatOffset_ = 0;
    std::uint64_t rootOffset_ = 0;
    std::uint64_t dataOffset_ = 0;
    std::uint32_t watched_ = 0;
    std::uint64_t watchedBytes_ = 0;
    std::map<std::uint64_t, std::string> sectors_;
};

std::vector<std::uint32_t> ChainOf(image::FatVolume& fat, std::uint32_t first, bool& ok)
{
    std::vector<std::uint32_t> clusters;
    ok = fat.Chain(first, clusters);
    return clusters;
}

// FAT12 packs two entries into three bytes: an even cluster's entry is the low 12 bits of its pair of
// bytes, an odd one's the high 12; a chain that alternates between them reads right only if both do.
TEST(FatVolumeTest, ReadsFat12OddAndEvenEntries)
{
    Volume volume(12, 60);
    volume.SetEntry(2, 7);
    volume.SetEntry(7, 4);
    volume.SetEntry(4, 9);
    volume.SetEntry(9, 0xABC);  // a value with every nibble different
    volume.SetEntry(3, 0xFFF);
    image::FatVolume fat;
    std::string error;
    ASSERT_TRUE(fat.Open(volume.Reader(), error)) << error;
    EXPECT_EQ(fat.bits(), 12);
    std::uint32_t value = 0;
    ASSERT_TRUE(fat.Entry(9, value));
    EXPECT_EQ(value, 0xABCu);
    ASSERT_TRUE(fat.Entry(8, value));
    EXPECT_EQ(value, 0u);
    volume.SetEntry(9, 3);
    image::FatVolume again;
    ASSERT_TRUE(again.Open(volume.Reader(), error));
    bool ok = false;
    EXPECT_EQ(ChainOf(again, 2, ok), (std::vector<std::uint32_t> {2, 7, 4, 9, 3}));
    EXPECT_TRUE(ok);
}

TEST(FatVolumeTest, FollowsFat16AndFat32ChainsAndRefusesLoopsAndStraysAndFreeClusters)
{
    Volume fat16(16, 5000);
    fat16.SetEntry(2, 4999);
    fat16.SetEntry(4999, 3);
    fat16.SetEntry(3, 0xFFF8);
    fat16.SetEntry(10, 11);
    fat16.SetEntry(11, 10);      // loops
    fat16.SetEntry(20, 5002);    // past the last cluster (5001)
    fat16.SetEntry(30, 0);       // a free cluster in a chain
    image::FatVolume fat;
    std::string error;
    ASSERT_TRUE(fat.Open(fat16.Reader(), error)) << error;
    EXPECT_EQ(fat.bits(), 16);
    bool ok = false;
    EXPECT_EQ(ChainOf(fat, 2, ok), (std::vector<std::uint32_t> {2, 4999, 3}));
    EXPECT_TRUE(ok);
    ChainOf(fat, 10, ok);
    EXPECT_FALSE(ok) << "a looping chain";
    ChainOf(fat, 20, ok);
    EXPECT_FALSE(ok) << "a chain leaving the volume";
    ChainOf(fat, 30, ok);
    EXPECT_FALSE(ok) << "a chain through a free cluster";

    // FAT32's top four bits are reserved: an entry is its low 28 bits.
    Volume fat32(32, 70000);
    fat32.SetEntry(2, 0x0FFFFFFF);
    fat32.SetEntry(5, 0xF0000000 | 69999);
    fat32.SetEntry(69999, 0xFFFFFFF8);
    image::FatVolume big;
    ASSERT_TRUE(big.Open(fat32.Reader(), error)) << error;
    EXPECT_EQ(big.bits(), 32);
    EXPECT_EQ(ChainOf(big, 5, ok), (std::vector<std::uint32_t> {5, 69999}));
    EXPECT_TRUE(ok);
}

// A folder entry of `name` (11 characters, 8.3 without the dot) with `attributes`.
std::string ShortEntry(const char* name, unsigned char attributes)
{
    std::string entry(32, '\0');
    std::memcpy(entry.data(), name, 11);
    entry[11] = static_cast<char>(attributes);
    return entry;
}

unsigned char Checksum(const std::string& entry)
{
    unsigned char sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<unsigned char>(((sum & 1) << 7) + (sum >> 1) + static_cast<unsigned char>(entry[i]));
    return sum;
}

// The long name entry `order` (1: the name's first 13 characters) of `name`.
std::string LongEntry(const std::string& name, int order, bool last, unsigned char checksum)
{
    static const int kPlaces[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    std::string entry(32, '\0');
    entry[0] = static_cast<char>(order | (last ? 0x40 : 0));
    entry[11] = 0x0F;
    entry[13] = static_cast<char>(checksum);
    for (int i = 0; i < 13; ++i) {
        const std::size_t at = static_cast<std::size_t>((order - 1) * 13 + i);
        const unsigned unit = at < name.size() ? static_cast<unsigned char>(name[at]) : at == name.size() ? 0 : 0xFFFF;
        entry[static_cast<std::size_t>(kPlaces[i])] = static_cast<char>(unit);
        entry[static_cast<std::size_t>(kPlaces[i]) + 1] = static_cast<char>(unit >> 8);
    }
    return entry;
}

TEST(FatVolumeTest, JoinsALongNameAcrossEntriesAndDropsOneThatIsNotTheShortEntrysOwn)
{
    const std::string name = "Sound Card Driver.vxd";  // 21 characters: two long entries
    std::string first = ShortEntry("SOUNDC~1VXD", 0x20);
    std::string second = ShortEntry("OTHER   VXD", 0x20);
    std::string third = ShortEntry("SYSTEM     ", 0x10);
    std::string fourth = ShortEntry("SOUNDC~2VXD", 0x20);
    Volume volume(12, 60);
    volume.Root({LongEntry(name, 2, true, Checksum(first)), LongEntry(name, 1, false, Checksum(first)), first,
                 // a long name whose checksum is another entry's: the short name stands
                 LongEntry(name, 2, true, Checksum(first)), LongEntry(name, 1, false, Checksum(first)), second,
                 // parts out of order: the short name stands
                 LongEntry("Windows Settings", 1, false, Checksum(third)),
                 LongEntry("Windows Settings", 2, true, Checksum(third)), third,
                 // a part of another name (another checksum) after this name's last part: the short name
                 // stands, nothing glued
                 LongEntry(name, 2, true, Checksum(fourth)), LongEntry("Glued in here", 1, false, Checksum(first)),
                 fourth});
    image::FatVolume fat;
    std::string error;
    ASSERT_TRUE(fat.Open(volume.Reader(), error)) << error;
    std::vector<image::FatEntry> entries;
    ASSERT_TRUE(fat.List(0, entries));
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].name, name);
    EXPECT_EQ(entries[0].shortName, "SOUNDC~1.VXD");
    EXPECT_EQ(entries[1].name, "OTHER.VXD");
    EXPECT_EQ(entries[2].name, "SYSTEM");
    EXPECT_TRUE(entries[2].folder());
    EXPECT_EQ(entries[3].name, "SOUNDC~2.VXD");
}

// A file's entry: `name` (8.3 without the dot), first cluster and size.
std::string FileEntry(const char* name, std::uint32_t cluster, std::uint32_t size, unsigned char attributes = 0x20)
{
    std::string entry = ShortEntry(name, attributes);
    entry[26] = static_cast<char>(cluster), entry[27] = static_cast<char>(cluster >> 8);
    entry[20] = static_cast<char>(cluster >> 16), entry[21] = static_cast<char>(cluster >> 24);
    Volume::Put32(reinterpret_cast<unsigned char*>(entry.data()) + 28, size);
    return entry;
}

// The type follows from the count of data clusters alone: fewer than 4085 is FAT12, fewer than 65525 FAT16,
// FAT32 from there. A volume laid out for another type than its count makes (a FAT too narrow, a fixed root
// folder on FAT32 or none on FAT16) is not taken.
TEST(FatVolumeTest, TellsTheTypeFromTheClusterCountAtItsBounds)
{
    struct Case {
        std::uint32_t clusters;
        int layout;
        int bits;  // 0: refused
    };
    const Case cases[] = {{4084, 12, 12}, {4085, 16, 16},  {4085, 12, 0},     {4084, 16, 12},
                          {65524, 16, 16}, {65525, 32, 32}, {65525, 16, 0}, {65524, 32, 0}};
    for (const Case& each : cases) {
        SCOPED_TRACE(std::to_string(each.clusters) + " clusters laid out as FAT" + std::to_string(each.layout));
        Volume volume(each.layout, each.clusters);
        image::FatVolume fat;
        std::string error;
        const bool opened = fat.Open(volume.Reader(), error);
        EXPECT_EQ(opened ? fat.bits() : 0, each.bits) << error;
        if (opened) {
            EXPECT_EQ(fat.clusters(), each.clusters);
        }
    }
}

// A file reads whole when its chain holds its size: one ending on the volume's last cluster too, and one
// longer than its size (Windows reads those); one shorter, or leaving the volume, is refused.
TEST(FatVolumeTest, ReadsAFileOnlyWhenItsChainHoldsItsSize)
{
    Volume volume(16, 5000);  // clusters 2 to 5001
    volume.SetEntry(2, 5001), volume.SetEntry(5001, 0xFFFF);
    volume.Fill(2, 'a'), volume.Fill(5001, 'b');
    volume.SetEntry(3, 0xFFF8);
    volume.SetEntry(4, 6), volume.SetEntry(6, 0xFFFF);
    volume.Fill(4, 'c'), volume.Fill(6, 'd');
    volume.SetEntry(7, 5002);
    volume.Root({FileEntry("LAST    BIN", 2, 1024), FileEntry("SHORT   BIN", 3, 513), FileEntry("LONG    BIN", 4, 100),
                 FileEntry("AWAY    BIN", 7, 1024)});
    struct Case {
        const char* path;
        bool read;
        std::string bytes;
    };
    const Case cases[] = {{"LAST.BIN", true, std::string(512, 'a') + std::string(512, 'b')},
                          {"SHORT.BIN", false, ""},
                          {"LONG.BIN", true, std::string(100, 'c')},
                          {"AWAY.BIN", false, ""}};
    image::FatVolume fat;
    std::string error;
    ASSERT_TRUE(fat.Open(volume.Reader(), error)) << error;
    for (const Case& each : cases) {
        SCOPED_TRACE(each.path);
        image::FatEntry entry;
        std::string bytes;
        ASSERT_TRUE(fat.Find(each.path, entry));
        EXPECT_EQ(fat.ReadFile(entry, bytes), each.read);
        if (each.read) {
            EXPECT_EQ(bytes, each.bytes);
        }
    }
}

// A file is read in pieces of at most a mebibyte, each from clusters that lie one after the other, so that
// it is never whole in memory: 2,500 clusters in a row, then 1,000 elsewhere, the last one not full.
TEST(FatVolumeTest, ReadsAFileInPiecesOfAtMostAMebibyteSplitWhereItsClustersLieApart)
{
    Volume volume(32, 70000);
    volume.SetEntry(2, 0x0FFFFFFF);
    std::vector<std::uint32_t> clusters;
    for (std::uint32_t i = 10; i < 2510; ++i)
        clusters.push_back(i);
    for (std::uint32_t i = 3000; i < 4000; ++i)
        clusters.push_back(i);
    std::string expected;
    for (std::size_t i = 0; i < clusters.size(); ++i) {
        volume.SetEntry(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : 0x0FFFFFFF);
        volume.Fill(clusters[i], static_cast<char>('A' + i % 23));
        expected += std::string(kSector, static_cast<char>('A' + i % 23));
    }
    expected.resize(expected.size() - 100);
    image::FatEntry entry;
    entry.cluster = 10;
    entry.size = static_cast<std::uint32_t>(expected.size());
    image::FatVolume fat;
    std::string error;
    ASSERT_TRUE(fat.Open(volume.Reader(), error)) << error;
    std::vector<std::size_t> pieces;
    std::string read;
    EXPECT_TRUE(fat.ReadFilePieces(entry, [&](const char* piece, std::size_t size) {
        pieces.push_back(size);
        read.append(piece, size);
        return true;
    }));
    EXPECT_EQ(pieces, (std::vector<std::size_t> {1 << 20, (2500 - 2048) * kSector, 1000 * kSector - 100}));
    EXPECT_TRUE(read == expected);
    // A taker that stops the copy stops the read.
    pieces.clear();
    EXPECT_FALSE(fat.ReadFilePieces(entry, [&](const char*, std::size_t size) {
        pieces.push_back(size);
        return false;
    }));
    EXPECT_EQ(pieces.size(), 1u);
}

// A folder holds at most 65,536 entries (2 MiB): a chain longer than that is refused before any of its
// clusters is read, however long it runs; one of exactly 2 MiB is a folder.
TEST(FatVolumeTest, RefusesAFolderLargerThanFatAllowsBeforeReadingIt)
{
    Volume volume(32, 70000);
    volume.SetEntry(2, 0x0FFFFFFF);  // the root folder: cluster 2
    const std::uint32_t most = 2 * 1024 * 1024 / 512;
    for (std::uint32_t i = 0; i < most; ++i)
        volume.SetEntry(10 + i, i + 1 < most ? 10 + i + 1 : 0x0FFFFFFF);
    for (std::uint32_t i = 0; i <= most; ++i)
        volume.SetEntry(5000 + i, i < most ? 5000 + i + 1 : 0x0FFFFFFF);
    for (std::uint32_t i = 0; i < 60000; ++i)
        volume.SetEntry(10000 + i, i + 1 < 60000 ? 10000 + i + 1 : 0x0FFFFFFF);
    volume.Root({FileEntry("FULL       ", 10, 0, 0x10), FileEntry("OVER       ", 5000, 0, 0x10),
                 FileEntry("HUGE       ", 10000, 0, 0x10)});
    image::FatVolume fat;
    std::string error;
    ASSERT_TRUE(fat.Open(volume.Reader(), error)) << error;
    std::vector<image::FatEntry> entries;
    EXPECT_TRUE(fat.List(10, entries)) << "a folder of 2 MiB";
    for (const std::uint32_t first : {5000u, 10000u}) {
        volume.Watch(first);
        EXPECT_FALSE(fat.List(first, entries)) << "a folder of cluster " << first;
        EXPECT_EQ(volume.ReadFrom(first), 0u) << "the folder's clusters were read";
    }
    image::FatEntry over;
    EXPECT_FALSE(fat.Find("OVER/ANY", over));
}

}  // namespace
