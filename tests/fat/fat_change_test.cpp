// The change a commit makes on FAT volumes that mkfs.fat made and mtools filled, checked by those tools:
// fsck.fat finds the volume clean, mtools reads the written files' bytes and attributes, finds the removed
// ones gone and every other file as it was; the old bytes put back give the volume as it was.
#include "image/change.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <sstream>

#include "host/tool.h"
#include "support/read_file.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

std::string Random(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator());
    return bytes;
}

unsigned Le(const std::string& bytes, std::size_t at, int size)
{
    unsigned value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

// The FAT copies' place, from the boot sector as the format defines it.
struct Fats {
    std::size_t offset;
    std::size_t bytes;
    unsigned count;
    int bits;
};

class FatChangeTest : public ::testing::Test {
public:
    void SetUp() override
    {
        ASSERT_TRUE(temp_.ok());
        image_ = (folder_ / "volume.img").string();
    }

    // Runs a tool; the test fails when it does not exit 0.
    std::string Must(const std::vector<std::string>& words)
    {
        host::Tool tool;
        EXPECT_TRUE(host::RunTool(words, tool, "mtools or dosfstools"))
            << words[0] << " " << words.back() << ": " << tool.err;
        return tool.out;
    }
    void Make(int bits, int clusterSectors, int kilobytes, int fats = 2)
    {
        Must({"mkfs.fat", "-C", "-F", std::to_string(bits), "-s", std::to_string(clusterSectors), "-f",
              std::to_string(fats), image_, std::to_string(kilobytes)});
        bits_ = bits;
    }
    void Put(const std::string& path, const std::string& bytes)
    {
        std::ofstream(folder_ / "put", std::ios::binary) << bytes;
        Must({"mcopy", "-o", "-i", image_, (folder_ / "put").string(), "::/" + path});
        files_[path] = bytes;
    }
    std::string Out(const std::string& path) { return Must({"mcopy", "-n", "-i", image_, "::/" + path, "-"}); }
    // The file's bytes as mcopy reads them are `bytes` (a failure names the sizes, not the bytes).
    void ExpectBytes(const std::string& path, const std::string& bytes)
    {
        const std::string out = Out(path);
        EXPECT_TRUE(out == bytes) << path << ": " << out.size() << " bytes read, not the " << bytes.size()
                                  << " written";
    }
    bool There(const std::string& path)
    {
        host::Tool tool;
        return host::RunTool({"mdir", "-a", "-b", "-i", image_, "::/" + path}, tool, "mtools");
    }
    // mattrib's flags: "A", "A  SHR", ...
    std::string Attributes(const std::string& path)
    {
        std::string flags = Must({"mattrib", "-i", image_, "::/" + path}).substr(0, 10);
        flags.erase(0, flags.find_first_not_of(' '));
        flags.erase(flags.find_last_not_of(' ') + 1);
        return flags;
    }
    // fsck.fat's report when it finds anything to repair; empty when the volume is clean.
    std::string Fsck()
    {
        host::Tool tool;
        return host::RunTool({"fsck.fat", "-n", image_}, tool, "dosfstools") ? "" : tool.out + tool.err + "!";
    }
    // The clusters of a file, as mshowfat lists them ("<5-7> <11-13>").
    std::vector<std::uint32_t> Clusters(const std::string& path)
    {
        std::istringstream out(Must({"mshowfat", "-i", image_, "::/" + path}));
        std::vector<std::uint32_t> clusters;
        std::string word;
        while (out >> word) {
            unsigned from = 0;
            unsigned to = 0;
            const int got = std::sscanf(word.c_str(), "<%u-%u>", &from, &to);
            for (unsigned c = from; got >= 1 && c <= (got == 2 ? to : from); ++c)
                clusters.push_back(c);
        }
        return clusters;
    }
    std::string Bytes() const { return test_support::ReadFile(image_); }
    // The image's bytes as FatVolume reads them, from the file open on `fd`.
    static image::ReadVolume ReaderOf(int fd)
    {
        return [fd](std::uint64_t at, void* into, std::size_t size) {
            return pread(fd, into, size, static_cast<off_t>(at)) == static_cast<ssize_t>(size);
        };
    }
    void Write(const std::vector<image::DiskChange>& changes)
    {
        const int fd = open(image_.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        for (const image::DiskChange& change : changes) {
            ASSERT_EQ(pwrite(fd, change.bytes.data(), change.bytes.size(), static_cast<off_t>(change.offset)),
                      static_cast<ssize_t>(change.bytes.size()));
        }
        close(fd);
    }
    bool Plan(const image::VolumeEdit& edit, std::vector<image::DiskChange>& changes,
              std::vector<image::DiskChange>& old, std::string& error)
    {
        const int fd = open(image_.c_str(), O_RDONLY);
        image::FatVolume volume;
        const bool planned = fd >= 0 && volume.Open(ReaderOf(fd), error) &&
                             image::PlanVolumeChange(volume, 0, "volume.img", edit, changes, old, error);
        close(fd);
        return planned;
    }
    // Plans and writes the change; then the old bytes must give back the volume as it was.
    void Change(const image::VolumeEdit& edit)
    {
        const std::string before = Bytes();
        std::vector<image::DiskChange> changes;
        std::vector<image::DiskChange> old;
        std::string error;
        ASSERT_TRUE(Plan(edit, changes, old, error)) << error;
        Write(old);
        EXPECT_TRUE(Bytes() == before) << "the old bytes are not the volume's";
        Write(changes);
    }
    Fats FatsOf(const std::string& volume) const
    {
        const unsigned sector = Le(volume, 11, 2);
        const unsigned fatSectors = Le(volume, 22, 2) != 0 ? Le(volume, 22, 2) : Le(volume, 36, 4);
        return {std::size_t {Le(volume, 14, 2)} * sector, std::size_t {fatSectors} * sector,
                static_cast<unsigned>(static_cast<unsigned char>(volume[16])), bits_};
    }
    // Every FAT copy alike (fsck.fat compares the first two only).
    void ExpectFatsAlike()
    {
        const std::string volume = Bytes();
        const Fats fats = FatsOf(volume);
        for (unsigned copy = 1; copy < fats.count; ++copy) {
            EXPECT_EQ(volume.compare(fats.offset + copy * fats.bytes, fats.bytes, volume, fats.offset, fats.bytes), 0)
                << "FAT copy " << copy;
        }
    }
    // Sets a FAT entry in every copy, packed as the format packs it.
    void SetFatEntry(std::uint32_t cluster, std::uint32_t value)
    {
        std::string volume = Bytes();
        const Fats fats = FatsOf(volume);
        for (unsigned copy = 0; copy < fats.count; ++copy) {
            const std::size_t at = fats.offset + copy * fats.bytes + std::size_t {cluster} * fats.bits / 8;
            unsigned word = Le(volume, at, fats.bits == 32 ? 4 : 2);
            if (fats.bits == 12)
                word = (cluster & 1) != 0 ? (word & 0x000F) | value << 4 : (word & 0xF000) | value;
            else
                word = fats.bits == 16 ? value : (word & 0xF0000000) | value;
            for (int i = 0; i < (fats.bits == 32 ? 4 : 2); ++i)
                volume[at + static_cast<std::size_t>(i)] = static_cast<char>(word >> (8 * i));
        }
        std::ofstream(image_, std::ios::binary | std::ios::trunc) << volume;
    }
    // Points the short entry named `name` (11 bytes, as stored) at another first cluster.
    void SetFirstCluster(const std::string& name, std::uint32_t cluster)
    {
        std::string volume = Bytes();
        const std::size_t at = volume.find(name);
        ASSERT_NE(at, std::string::npos) << name;
        volume[at + 26] = static_cast<char>(cluster);
        volume[at + 27] = static_cast<char>(cluster >> 8);
        std::ofstream(image_, std::ios::binary | std::ios::trunc) << volume;
    }
    // Where the data clusters start, and the last one's number, from the boot sector as the format defines them.
    std::size_t DataOffset(const std::string& volume) const
    {
        const unsigned sector = Le(volume, 11, 2);
        const unsigned rootSectors = (Le(volume, 17, 2) * 32 + sector - 1) / sector;
        const Fats fats = FatsOf(volume);
        return fats.offset + fats.count * fats.bytes + std::size_t {rootSectors} * sector;
    }
    std::uint32_t LastCluster(const std::string& volume) const
    {
        const std::size_t total = Le(volume, 19, 2) != 0 ? Le(volume, 19, 2) : Le(volume, 32, 4);
        const std::size_t clusterBytes = std::size_t {Le(volume, 11, 2)} * static_cast<unsigned char>(volume[13]);
        return static_cast<std::uint32_t>((total * Le(volume, 11, 2) - DataOffset(volume)) / clusterBytes + 1);
    }
    std::string ClusterBytes(std::uint32_t cluster) const
    {
        const std::string volume = Bytes();
        const std::size_t size = std::size_t {Le(volume, 11, 2)} * static_cast<unsigned char>(volume[13]);
        return volume.substr(DataOffset(volume) + (cluster - 2) * size, size);
    }
    // The free bytes mdir counts.
    std::uint64_t FreeBytes()
    {
        std::string out = Must({"mdir", "-i", image_, "::/"});
        out.erase(std::remove(out.begin(), out.end(), ' '), out.end());
        const std::size_t end = out.find("bytesfree");
        std::size_t start = end;
        while (start > 0 && std::isdigit(static_cast<unsigned char>(out[start - 1])) != 0)
            --start;
        return std::stoull(out.substr(start, end - start));
    }
    bool Plans(const image::VolumeEdit& edit, std::string& error)
    {
        std::vector<image::DiskChange> changes;
        std::vector<image::DiskChange> old;
        if (!Plan(edit, changes, old, error))
            return false;
        Write(changes);
        return true;
    }

    // The files put there and not named in `except`, byte for byte as they were put.
    void ExpectOthersAsPut(const std::vector<std::string>& except)
    {
        for (const auto& [path, bytes] : files_) {
            if (std::find(except.begin(), except.end(), path) == except.end()) {
                ExpectBytes(path, bytes);
            }
        }
    }

    test_support::TempFolder temp_ {"fat-change-test"};
    const fs::path& folder_ = temp_.path();
    std::string image_;
    int bits_ = 0;
    std::map<std::string, std::string> files_;
};

std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second)
{
    std::tm local {};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = hour;
    local.tm_min = minute;
    local.tm_sec = second;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

struct Layout {
    int bits;
    int clusterSectors;
    int kilobytes;
    int fats;
};

// Volumes of each FAT type, of one-sector and larger clusters, and one with a single FAT.
const Layout kLayouts[] = {{12, 1, 1440, 2},  {12, 4, 8000, 2},  {16, 1, 8000, 2},
                           {16, 4, 20000, 1}, {32, 1, 36000, 2}, {32, 2, 72000, 2}};

TEST_F(FatChangeTest, RemovesAndRewritesFilesAsFsckAndMtoolsSeeThem)
{
    for (const Layout& layout : kLayouts) {
        SCOPED_TRACE("FAT" + std::to_string(layout.bits) + ", " + std::to_string(layout.clusterSectors) +
                     " sectors a cluster, " + std::to_string(layout.fats) + " FATs");
        image_ =
            (folder_ / ("fat" + std::to_string(layout.bits) + "-" + std::to_string(layout.clusterSectors) + ".img"))
                .string();
        files_.clear();
        Make(layout.bits, layout.clusterSectors, layout.kilobytes, layout.fats);
        const std::size_t cluster = 512u * static_cast<unsigned>(layout.clusterSectors);
        Must({"mmd", "-i", image_, "::/WINDOWS", "::/WINDOWS/SYSTEM"});
        Put("WINDOWS/SYSTEM.DAT", Random(cluster * 5 + cluster / 2, 1));
        Put("WINDOWS/USER.DAT", Random(cluster * 2 + 100, 2));
        Must({"mattrib", "-i", image_, "+r", "+h", "+s", "::/WINDOWS/SYSTEM.DAT", "::/WINDOWS/USER.DAT"});
        Put("WINDOWS/SYSTEM/CMAUDIO.VXD", Random(cluster * 3, 3));
        Put("WINDOWS/SYSTEM/Sound Card Driver.vxd", Random(cluster + 1, 4));
        Put("My Notes.txt", Random(cluster + cluster / 2, 5));
        for (int i = 1; i <= 4; ++i)
            Put("WINDOWS/GAP" + std::to_string(i), Random(cluster, static_cast<unsigned>(10 + i)));
        Must({"mdel", "-i", image_, "::/WINDOWS/GAP1", "::/WINDOWS/GAP3"});
        files_.erase("WINDOWS/GAP1");
        files_.erase("WINDOWS/GAP3");
        Put("WINDOWS/Fragmented file.bin", Random(cluster * 4, 6));
        ASSERT_EQ(Fsck(), "");

        image::VolumeEdit edit;
        const std::string system = Random(cluster * 2 + 7, 21);  // shorter: its tail freed
        const std::string user = Random(cluster * 4 + 9, 22);    // longer: grown from free clusters
        edit.written = {{"windows/system.dat", system}, {"WINDOWS/USER.DAT", user}};
        edit.removed = {"WINDOWS/SYSTEM/SOUNDC~1.VXD", "WINDOWS/SYSTEM/cmaudio.vxd"};
        edit.when = LocalTime(2001, 2, 3, 4, 5, 6);
        Change(edit);

        EXPECT_EQ(Fsck(), "");
        ExpectFatsAlike();
        ExpectBytes("WINDOWS/SYSTEM.DAT", system);
        ExpectBytes("WINDOWS/USER.DAT", user);
        EXPECT_EQ(Attributes("WINDOWS/SYSTEM.DAT"), "A  SHR");
        EXPECT_EQ(Attributes("WINDOWS/USER.DAT"), "A  SHR");
        const std::string listing = Must({"mdir", "-a", "-i", image_, "::/WINDOWS/SYSTEM.DAT"});
        EXPECT_NE(listing.find("2001-02-03   4:05"), std::string::npos) << listing;
        EXPECT_FALSE(There("WINDOWS/SYSTEM/CMAUDIO.VXD"));
        EXPECT_FALSE(There("WINDOWS/SYSTEM/Sound Card Driver.vxd"));
        ExpectOthersAsPut({"WINDOWS/SYSTEM.DAT", "WINDOWS/USER.DAT", "WINDOWS/SYSTEM/CMAUDIO.VXD",
                           "WINDOWS/SYSTEM/Sound Card Driver.vxd"});
    }
}

// A restore puts removed files back: made anew with the short names Windows 9x gives them ("[Kid].txt" is
// _KID_~1.TXT), long names where the short one does not say the name, the folder grown by a cluster when its
// slots run out; a name there in another case is written in its own entry.
TEST_F(FatChangeTest, MakesFilesWithTheNamesWindowsGivesThem)
{
    Make(12, 1, 1440);
    Must({"mmd", "-i", image_, "::/WINDOWS", "::/WINDOWS/SYSTEM"});
    // 14 files and "." and "..": the folder's one cluster (16 entries) is full.
    for (int i = 1; i <= 14; ++i)
        Put("WINDOWS/SYSTEM/F" + std::to_string(i), Random(100, static_cast<unsigned>(i)));
    image::VolumeEdit edit;
    const std::string kid = Random(1000, 31);
    const std::string driver = Random(700, 32);
    const std::string named = Random(513, 33);
    const std::string f1 = Random(2000, 34);
    edit.written = {{"WINDOWS/SYSTEM/[Kid].txt", kid},
                    {"WINDOWS/SYSTEM/cmaudio.vxd", driver},
                    {"WINDOWS/SYSTEM/A rather long driver name.vxd", named},
                    {"WINDOWS/SYSTEM/EMPTY.TXT", ""},
                    {"windows/system/f1", f1}};
    edit.when = LocalTime(2002, 3, 4, 5, 6, 8);
    Change(edit);

    EXPECT_EQ(Fsck(), "");
    EXPECT_EQ(Clusters("WINDOWS/SYSTEM").size(), 2u) << "the folder is not grown by a cluster";
    const std::string listing = Must({"mdir", "-a", "-i", image_, "::/WINDOWS/SYSTEM"});
    for (const char* line : {"_KID_~1  TXT      1000 2002-03-04   5:06  [Kid].txt",
                             "CMAUDIO  VXD       700 2002-03-04   5:06  cmaudio.vxd",
                             "ARATHE~1 VXD       513 2002-03-04   5:06  A rather long driver name.vxd",
                             "EMPTY    TXT         0 2002-03-04   5:06", "F1                2000 2002-03-04   5:06"}) {
        EXPECT_NE(listing.find(line), std::string::npos) << line << "\n" << listing;
    }
    ExpectBytes("WINDOWS/SYSTEM/cmaudio.vxd", driver);
    ExpectBytes("WINDOWS/SYSTEM/A rather long driver name.vxd", named);
    ExpectBytes("WINDOWS/SYSTEM/EMPTY.TXT", "");
    ExpectBytes("WINDOWS/SYSTEM/F1", f1);
    EXPECT_EQ(Attributes("WINDOWS/SYSTEM/cmaudio.vxd"), "A");
    // mtools takes "[Kid]" as a pattern: the file is read by its short name.
    ExpectBytes("WINDOWS/SYSTEM/_KID_~1.TXT", kid);
    files_.erase("WINDOWS/SYSTEM/F1");
    ExpectOthersAsPut({});
}

// A file named twice in one change (by its long and its short name, or a new name in two cases) is refused:
// two steps on it would free its clusters twice or make two entries of one name.
TEST_F(FatChangeTest, RefusesAChangeThatNamesAFileTwice)
{
    Make(12, 1, 1440);
    Put("Sound Card Driver.vxd", Random(700, 61));
    const std::vector<std::pair<std::vector<image::WrittenFile>, std::vector<std::string>>> twice {
        {{{"sound card driver.vxd", "new"}}, {"SOUNDC~1.VXD"}},
        {{{"new.txt", "one"}, {"NEW.TXT", "two"}}, {}},
    };
    for (const auto& [written, removed] : twice) {
        image::VolumeEdit edit;
        edit.written = written;
        edit.removed = removed;
        std::vector<image::DiskChange> changes;
        std::vector<image::DiskChange> old;
        std::string error;
        EXPECT_FALSE(Plan(edit, changes, old, error));
        EXPECT_NE(error.find("the change names it twice"), std::string::npos) << error;
    }
}

// Each kind of damage, made by hand: the driver's chain and its folder are touched, NOTES.TXT is not.
struct Damage {
    const char* damage;
    std::function<void(FatChangeTest&, const std::vector<std::uint32_t>& driver,
                       const std::vector<std::uint32_t>& notes, std::uint32_t folder)>
        make;
    const char* says;  // in the message; empty: the change goes ahead
};
const Damage kDamages[] = {
    {"a loop", [](FatChangeTest& t, auto& d, auto&, auto) { t.SetFatEntry(d[2], d[0]); },
     "CMAUDIO.VXD: its cluster chain is broken"},
    {"a free cluster in the chain", [](FatChangeTest& t, auto& d, auto&, auto) { t.SetFatEntry(d[1], 0); },
     "CMAUDIO.VXD: its cluster chain is broken"},
    {"a bad cluster in the chain", [](FatChangeTest& t, auto& d, auto&, auto) { t.SetFatEntry(d[1], 0xFFF7); },
     "CMAUDIO.VXD: its cluster chain is broken"},
    {"a chain shorter than the size", [](FatChangeTest& t, auto& d, auto&, auto) { t.SetFatEntry(d[1], 0xFFFF); },
     "CMAUDIO.VXD: its cluster chain is shorter than its size"},
    {"a chain longer than the size",
     [](FatChangeTest& t, auto& d, auto&, auto) {
         t.SetFatEntry(d[2], 1000);
         t.SetFatEntry(1000, 0xFFFF);
     },
     "CMAUDIO.VXD: its cluster chain is longer than its size"},
    {"another file's chain leading into it",
     [](FatChangeTest& t, auto& d, auto& n, auto) { t.SetFatEntry(n.back(), d[1]); },
     "CMAUDIO.VXD shares its clusters with another file"},
    {"another file's chain leading into its first cluster",
     [](FatChangeTest& t, auto& d, auto& n, auto) { t.SetFatEntry(n.back(), d[0]); },
     "CMAUDIO.VXD shares its clusters with another file"},
    {"another file's chain leading into its folder's first cluster",
     [](FatChangeTest& t, auto&, auto& n, auto folder) { t.SetFatEntry(n.back(), folder); },
     "WINDOWS/SYSTEM shares its clusters with another file"},
    {"another file's entry starting in it",
     [](FatChangeTest& t, auto& d, auto&, auto) { t.SetFirstCluster("NOTES   TXT", d[1]); },
     "CMAUDIO.VXD shares its clusters with NOTES.TXT"},
    {"another file's entry starting in its folder",
     [](FatChangeTest& t, auto&, auto&, auto folder) { t.SetFirstCluster("NOTES   TXT", folder); },
     "WINDOWS/SYSTEM shares its clusters with NOTES.TXT"},
    {"a loop in a file it does not touch", [](FatChangeTest& t, auto&, auto& n, auto) { t.SetFatEntry(n[1], n[0]); },
     ""},
};

// Damage in a chain the change touches, each kind made by hand and found by fsck.fat first: the change is
// refused with a call for ScanDisk and plans nothing. Damage in a chain it does not touch is not its business.
TEST_F(FatChangeTest, RefusesAVolumeWhoseTouchedChainsAreDamaged)
{
    for (const Damage& each : kDamages) {
        SCOPED_TRACE(each.damage);
        image_ = (folder_ / (std::string(each.damage) + ".img")).string();
        Make(16, 1, 8000);
        Must({"mmd", "-i", image_, "::/WINDOWS", "::/WINDOWS/SYSTEM"});
        Put("WINDOWS/SYSTEM.DAT", Random(1024, 41));
        Put("WINDOWS/SYSTEM/CMAUDIO.VXD", Random(1536, 42));
        Put("NOTES.TXT", Random(1024, 43));
        each.make(*this, Clusters("WINDOWS/SYSTEM/CMAUDIO.VXD"), Clusters("NOTES.TXT"),
                  Clusters("WINDOWS/SYSTEM").front());
        ASSERT_NE(Fsck(), "") << "the damage is not there";
        image::VolumeEdit edit;
        edit.written = {{"WINDOWS/SYSTEM.DAT", Random(700, 44)}};
        edit.removed = {"WINDOWS/SYSTEM/CMAUDIO.VXD"};
        std::vector<image::DiskChange> changes;
        std::vector<image::DiskChange> old;
        std::string error;
        const bool planned = Plan(edit, changes, old, error);
        if (std::string(each.says).empty()) {
            EXPECT_TRUE(planned) << error;
            continue;
        }
        EXPECT_FALSE(planned);
        EXPECT_NE(error.find(each.says), std::string::npos) << error;
        EXPECT_NE(error.find("run ScanDisk on it in Windows first"), std::string::npos) << error;
        EXPECT_TRUE(changes.empty() && old.empty());
    }
}

// The short entry stored under `name` (11 bytes, as stored) in `volume`, whole; empty when there is none.
std::string EntryOf(const std::string& volume, const std::string& name)
{
    for (std::size_t at = volume.find(name); at != std::string::npos; at = volume.find(name, at + 1)) {
        if (at % 32 == 0)
            return volume.substr(at, 32);
    }
    return {};
}

// An entry's attributes and dates, read from its bytes as the format lays them out.
storage::FileStamp StampOfEntry(const std::string& e)
{
    storage::FileStamp stamp;
    stamp.kind = storage::FileStamp::Kind::Fat;
    stamp.fat = {static_cast<std::uint8_t>(e[11]), static_cast<std::uint8_t>(e[13]),
                 static_cast<std::uint16_t>(Le(e, 14, 2)), static_cast<std::uint16_t>(Le(e, 16, 2)),
                 static_cast<std::uint16_t>(Le(e, 18, 2)), static_cast<std::uint16_t>(Le(e, 22, 2)),
                 static_cast<std::uint16_t>(Le(e, 24, 2))};
    return stamp;
}

// A file's time of last write as mcopy -m gives it to the copy it makes.
std::time_t WrittenAt(FatChangeTest& test, const fs::path& folder, const std::string& path)
{
    const fs::path copy = folder / "copy";
    fs::remove(copy);
    test.Must({"mcopy", "-n", "-m", "-i", test.image_, "::/" + path, copy.string()});
    struct stat status { };
    return stat(copy.c_str(), &status) == 0 ? status.st_mtime : 0;
}

// WINDOWS/SYSTEM/CMAUDIO.VXD (hidden, system) and WINDOWS/SYSTEM.DAT (read-only, hidden, system), written
// at `times`[1] by mcopy -m, created earlier and last read later than written, as Windows keeps them:
// 1998-12-31 23:59:59.37, 2000-01-02.
void PutStampedFiles(FatChangeTest& test, const timespec times[2])
{
    test.Must({"mmd", "-i", test.image_, "::/WINDOWS", "::/WINDOWS/SYSTEM"});
    const fs::path source = fs::path(test.image_).parent_path() / "CMAUDIO.VXD";
    std::ofstream(source, std::ios::binary) << Random(1500, 71);
    EXPECT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
    test.Must({"mcopy", "-m", "-i", test.image_, source.string(), "::/WINDOWS/SYSTEM/CMAUDIO.VXD"});
    test.Must({"mcopy", "-m", "-i", test.image_, source.string(), "::/WINDOWS/SYSTEM.DAT"});
    test.Must({"mattrib", "-i", test.image_, "+h", "+s", "::/WINDOWS/SYSTEM/CMAUDIO.VXD"});
    test.Must({"mattrib", "-i", test.image_, "+r", "+h", "+s", "-a", "::/WINDOWS/SYSTEM.DAT"});
    std::string volume = test.Bytes();
    for (const char* name : {"CMAUDIO VXD", "SYSTEM  DAT"}) {
        const std::size_t at = volume.find(EntryOf(volume, name));
        // Bytes 13-19: hundredths, the time 0xBF7D and date 0x259F of creation, the date 0x2822 of last access.
        const char dates[] = {'\x89', '\x7d', '\xbf', '\x9f', '\x25', '\x22', '\x28'};
        volume.replace(at + 13, sizeof dates, dates, sizeof dates);
    }
    std::ofstream(test.image_, std::ios::binary | std::ios::trunc) << volume;
}

// A restore's stamps: a file made anew and a file rewritten get back the attributes and dates their entries
// had (bytes 11 and 13-19, 22-25 of the entry as the format lays it out, and as mattrib and mcopy -m read
// them), the dates set by mtools and by hand apart from each other; the reader gives each entry's stamp as
// stored. A host file's time of last change dates a file made from it.
TEST_F(FatChangeTest, GivesFilesTheAttributesAndDatesTheirStampsHold)
{
    for (const int bits : {12, 16, 32}) {
        SCOPED_TRACE("FAT" + std::to_string(bits));
        image_ = (folder_ / ("stamps" + std::to_string(bits) + ".img")).string();
        Make(bits, 1, bits == 12 ? 1440 : bits == 16 ? 8000 : 36000);
        const timespec old[2] = {{0, UTIME_OMIT}, {LocalTime(1999, 4, 23, 22, 22, 2), 0}};
        PutStampedFiles(*this, old);
        ASSERT_EQ(Fsck(), "");
        const std::string driver = EntryOf(Bytes(), "CMAUDIO VXD");
        const std::string system = EntryOf(Bytes(), "SYSTEM  DAT");
        const std::string driverFlags = Attributes("WINDOWS/SYSTEM/CMAUDIO.VXD");
        const std::string systemFlags = Attributes("WINDOWS/SYSTEM.DAT");
        ASSERT_EQ(systemFlags, "SHR");

        const int fd = open(image_.c_str(), O_RDONLY);
        image::FatVolume reader;
        std::string error;
        ASSERT_TRUE(reader.Open(ReaderOf(fd), error)) << error;
        image::FatEntry entry;
        ASSERT_TRUE(reader.Find("WINDOWS/SYSTEM/CMAUDIO.VXD", entry));
        EXPECT_TRUE(entry.stamp == StampOfEntry(driver).fat);
        close(fd);

        image::VolumeEdit removal;
        removal.removed = {"WINDOWS/SYSTEM/CMAUDIO.VXD"};
        Change(removal);
        image::VolumeEdit restore;
        const std::string bytes = Random(1500, 71);
        storage::FileStamp host;
        host.kind = storage::FileStamp::Kind::Host;
        host.modified = {LocalTime(2003, 4, 5, 6, 7, 8), 0};
        restore.written = {{"WINDOWS/SYSTEM/CMAUDIO.VXD", bytes, StampOfEntry(driver)},
                           {"WINDOWS/SYSTEM.DAT", Random(3000, 72), StampOfEntry(system)},
                           {"WINDOWS/SYSTEM/HOST.TXT", "made from a host file", host}};
        restore.when = LocalTime(2001, 2, 3, 4, 5, 6);
        Change(restore);

        EXPECT_EQ(Fsck(), "");
        ExpectBytes("WINDOWS/SYSTEM/CMAUDIO.VXD", bytes);
        for (const auto& [name, before] : {std::pair {"CMAUDIO VXD", driver}, std::pair {"SYSTEM  DAT", system}}) {
            SCOPED_TRACE(name);
            const std::string after = EntryOf(Bytes(), name);
            ASSERT_EQ(after.size(), 32u);
            EXPECT_EQ(after[11], before[11]) << "attributes";
            EXPECT_EQ(after.substr(13, 7), before.substr(13, 7)) << "created, last read";
            EXPECT_EQ(after.substr(22, 4), before.substr(22, 4)) << "last written";
        }
        EXPECT_EQ(Attributes("WINDOWS/SYSTEM/CMAUDIO.VXD"), driverFlags);
        EXPECT_EQ(Attributes("WINDOWS/SYSTEM.DAT"), systemFlags);
        EXPECT_EQ(WrittenAt(*this, folder_, "WINDOWS/SYSTEM/CMAUDIO.VXD"), old[1].tv_sec);
        EXPECT_EQ(WrittenAt(*this, folder_, "WINDOWS/SYSTEM.DAT"), old[1].tv_sec);
        EXPECT_EQ(WrittenAt(*this, folder_, "WINDOWS/SYSTEM/HOST.TXT"), host.modified.tv_sec);
    }
}

// A file whose chain ends on the volume's last cluster (a floppy filled to the last byte by mcopy) reads
// whole, and is rewritten and removed like any other.
TEST_F(FatChangeTest, TakesAChainEndingOnTheVolumesLastCluster)
{
    Make(12, 1, 1440);
    Put("FIRST.BIN", Random(5000, 51));
    // The data clusters, numbered from 2, as the boot sector gives them: every sector past the reserved ones,
    // the FATs and the root folder, in clusters of one sector.
    const std::string volume = Bytes();
    const unsigned sectors = Le(volume, 19, 2);
    const unsigned before =
        Le(volume, 14, 2) + static_cast<unsigned char>(volume[16]) * Le(volume, 22, 2) + Le(volume, 17, 2) * 32 / 512;
    ASSERT_EQ(static_cast<unsigned char>(volume[13]), 1);
    const std::uint32_t last = sectors - before + 1;
    // Every cluster FIRST.BIN (10 clusters) leaves free.
    Put("FILLS.BIN", Random((last - 1 - 10) * 512, 52));
    const std::vector<std::uint32_t> chain = Clusters("FILLS.BIN");
    ASSERT_EQ(chain.back(), last) << "the chain does not end on the last cluster";
    image::VolumeEdit edit;
    const std::string shorter = Random(512 * 3, 53);
    edit.written = {{"FILLS.BIN", shorter}};
    edit.removed = {"FIRST.BIN"};
    Change(edit);
    EXPECT_EQ(Fsck(), "");
    ExpectBytes("FILLS.BIN", shorter);
    EXPECT_FALSE(There("FIRST.BIN"));
}

// A folder grown by a cluster that a deleted file's bytes still fill: the cluster is zeroed, as the format
// wants of a folder's new cluster (past the entry that ends it, nothing), and holds the one entry made.
TEST_F(FatChangeTest, GrowsAFolderIntoAZeroedClusterWhereADeletedFileLay)
{
    Make(12, 1, 1440);
    Put("JUNK.BIN", Random(4 * 512, 81));
    const std::vector<std::uint32_t> junk = Clusters("JUNK.BIN");
    Must({"mmd", "-i", image_, "::/WINDOWS"});
    for (int i = 1; i <= 14; ++i)  // with "." and "..", the folder's one cluster is full
        Put("WINDOWS/F" + std::to_string(i), Random(100, static_cast<unsigned>(80 + i)));
    Must({"mdel", "-i", image_, "::/JUNK.BIN"});
    files_.erase("JUNK.BIN");
    image::VolumeEdit edit;
    edit.written = {{"WINDOWS/EMPTY.TXT", ""}};
    Change(edit);

    EXPECT_EQ(Fsck(), "");
    const std::vector<std::uint32_t> folder = Clusters("WINDOWS");
    ASSERT_EQ(folder.size(), 2u);
    ASSERT_NE(std::find(junk.begin(), junk.end(), folder[1]), junk.end()) << "the folder grew elsewhere";
    const std::string grown = ClusterBytes(folder[1]);
    EXPECT_EQ(grown.substr(0, 11), "EMPTY   TXT");
    EXPECT_EQ(grown.find_first_not_of('\0', 32), std::string::npos) << "the deleted file's bytes are left in it";
    ExpectOthersAsPut({});
}

// A long name's entries as the format defines them, read from a folder's bytes: before each short entry,
// the parts last first (its order byte 0x40 | N, then N-1 down to 1), each with attributes 0x0F, the short
// name's checksum, 13 UTF-16 units at bytes 1, 14 and 28, the name ending in 0x0000 where there is room and
// 0xFFFF after. Gives each long name with its entries' offsets; a part out of order fails the test.
std::map<std::string, std::vector<std::uint64_t>> LongNamesOf(const std::string& folder, std::uint64_t at)
{
    static const int kUnits[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    std::map<std::string, std::vector<std::uint64_t>> names;
    std::vector<std::size_t> parts;
    for (std::size_t e = 0; e + 32 <= folder.size() && folder[e] != '\0'; e += 32) {
        if (folder[e + 11] == '\x0F' && static_cast<unsigned char>(folder[e]) != 0xE5) {
            parts.push_back(e);
            continue;
        }
        if (parts.empty())
            continue;
        unsigned char sum = 0;
        for (std::size_t i = 0; i < 11; ++i)
            sum = static_cast<unsigned char>(((sum & 1) << 7) + (sum >> 1) + static_cast<unsigned char>(folder[e + i]));
        std::u16string units;
        std::vector<std::uint64_t> offsets;
        for (std::size_t k = 0; k < parts.size(); ++k) {
            const std::size_t p = parts[parts.size() - 1 - k];  // order k + 1
            const unsigned order = static_cast<unsigned char>(folder[p]);
            EXPECT_EQ(order, (k + 1) | (k + 1 == parts.size() ? 0x40u : 0u)) << "part " << k + 1 << " at " << p;
            EXPECT_EQ(static_cast<unsigned char>(folder[p + 13]), sum) << "the checksum of part " << k + 1;
            EXPECT_EQ(folder[p + 12], '\0');
            EXPECT_EQ(Le(folder, p + 26, 2), 0u);
            for (int u : kUnits)
                units += static_cast<char16_t>(Le(folder, p + static_cast<std::size_t>(u), 2));
        }
        const std::size_t end = std::min(units.find(u'\0'), units.size());
        EXPECT_EQ(units.find_first_not_of(u'\xFFFF', end + 1), std::u16string::npos) << "no 0xFFFF after the name";
        for (std::size_t p : parts)
            offsets.push_back(at + p);
        names[std::string(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(end))] = offsets;
        parts.clear();
    }
    return names;
}

// Names of one to five long-name entries, at the bounds of a part (13 characters): those mtools wrote and
// those the writer made are laid out as the format defines, and read back whole, in order, by the reader,
// which gives each file's long-name entries in folder order.
TEST_F(FatChangeTest, WritesAndReadsLongNamesOfSeveralPartsInTheirOrder)
{
    Make(16, 1, 8000);
    auto name = [](std::size_t length, char fill) { return "Driver " + std::string(length - 11, fill) + ".vxd"; };
    for (std::size_t length : {13, 40})
        Put(name(length, 'm'), Random(100, static_cast<unsigned>(length)));
    image::VolumeEdit edit;
    for (std::size_t length : {12, 13, 14, 26, 27, 39, 53, 65})
        edit.written.push_back({name(length, 'w'), Random(100, static_cast<unsigned>(length))});
    Change(edit);
    EXPECT_EQ(Fsck(), "");

    const std::string volume = Bytes();
    const std::size_t root = FatsOf(volume).offset + FatsOf(volume).count * FatsOf(volume).bytes;
    const auto names = LongNamesOf(volume.substr(root, Le(volume, 17, 2) * 32u), root);
    const int fd = open(image_.c_str(), O_RDONLY);
    image::FatVolume reader;
    std::string error;
    ASSERT_TRUE(reader.Open(ReaderOf(fd), error)) << error;
    std::vector<image::FatEntry> entries;
    ASSERT_TRUE(reader.List(0, entries));
    close(fd);
    EXPECT_EQ(entries.size(), names.size());
    for (const image::FatEntry& entry : entries) {
        const auto found = names.find(entry.name);
        ASSERT_NE(found, names.end()) << entry.name << " is not a long name on the volume";
        EXPECT_EQ(entry.longParts, found->second) << entry.name;
    }
    for (const auto& [path, bytes] : files_)
        EXPECT_EQ(names.count(path), 1u) << path;
    for (const image::WrittenFile& file : edit.written)
        EXPECT_EQ(names.count(file.path), 1u) << file.path;
}

// A file made where only the volume's last cluster is free (FAT12 with it even and odd, FAT16): it goes
// there, as the boot sector numbers the clusters, and the volume is clean.
TEST_F(FatChangeTest, AllocatesTheVolumesLastCluster)
{
    for (const Layout& layout : {Layout {12, 1, 1440, 2}, Layout {12, 1, 720, 2}, Layout {16, 1, 8000, 2}}) {
        SCOPED_TRACE("FAT" + std::to_string(layout.bits) + ", " + std::to_string(layout.kilobytes) + " KB");
        image_ = (folder_ / ("last" + std::to_string(layout.kilobytes) + ".img")).string();
        Make(layout.bits, layout.clusterSectors, layout.kilobytes, layout.fats);
        const std::uint32_t last = LastCluster(Bytes());
        Put("FILLS.BIN", Random(FreeBytes() - 512, 91));
        ASSERT_EQ(FreeBytes(), 512u);
        ASSERT_EQ(Clusters("FILLS.BIN").back(), last - 1);
        image::VolumeEdit edit;
        const std::string bytes = Random(300, 92);
        edit.written = {{"NEW.BIN", bytes}};
        Change(edit);
        EXPECT_EQ(Fsck(), "");
        EXPECT_EQ(Clusters("NEW.BIN"), std::vector<std::uint32_t> {last});
        ExpectBytes("NEW.BIN", bytes);
        EXPECT_EQ(FreeBytes(), 0u);
    }
}

// FAT32's FSInfo: the search for free clusters starts at its next-free hint when the hint names a cluster
// (2 to the last), and wraps past the last; a hint out of that range (0xFFFFFFFF: unknown) is no hint, and
// the search starts at cluster 2. After the change the hint names the cluster taken last, and the free
// count is mdir's.
TEST_F(FatChangeTest, TakesFsInfosNextFreeHintAsTheHintItIs)
{
    Make(32, 1, 36000);
    const std::string fresh = Bytes();
    const std::uint32_t last = LastCluster(fresh);
    ASSERT_EQ(Le(fresh, 44, 4), 2u) << "the root folder is not in cluster 2";
    ASSERT_EQ(FreeBytes(), std::uint64_t {last - 2} * 512) << "more than the root folder is taken";
    const std::size_t info = std::size_t {Le(fresh, 48, 2)} * 512;
    ASSERT_EQ(Le(fresh, info, 4), 0x41615252u);
    const struct {
        std::uint32_t hint;
        std::vector<std::uint32_t> taken;
    } cases[] = {{0xFFFFFFFF, {3, 4}}, {0, {3, 4}},        {1, {3, 4}},
                 {last + 1, {3, 4}},   {last, {last, 3}}, {1000, {1000, 1001}}};
    for (const auto& each : cases) {
        SCOPED_TRACE("hint " + std::to_string(each.hint));
        std::string volume = fresh;
        for (std::size_t i = 0; i < 4; ++i)
            volume[info + 492 + i] = static_cast<char>(each.hint >> (8 * i));
        std::ofstream(image_, std::ios::binary | std::ios::trunc) << volume;
        image::VolumeEdit edit;
        edit.written = {{"NEW.BIN", Random(1000, 93)}};
        std::string error;
        ASSERT_TRUE(Plans(edit, error)) << error;
        EXPECT_EQ(Fsck(), "");
        EXPECT_EQ(Clusters("NEW.BIN"), each.taken);
        const std::string now = Bytes();
        EXPECT_EQ(Le(now, info + 492, 4), each.taken.back()) << "the next-free hint";
        EXPECT_EQ(std::uint64_t {Le(now, info + 488, 4)} * 512, FreeBytes()) << "the free count";
    }
}

}  // namespace
