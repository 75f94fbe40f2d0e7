#include "offline/image.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <system_error>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "offline/image_journal.h"
#include "offline/interrupt.h"
#include "offline/progress.h"
#include "offline/tool.h"
#include "registry/names.h"
#include "storage/lock.h"

namespace offline {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kSector = 512;
constexpr int kMaxLogicalPartitions = 64;
// Folders deeper than this below the Windows folder are not stood in for; a crafted volume could loop.
constexpr int kMaxDepth = 32;
const char kMtools[] = "mtools";

std::uint32_t Le32(const unsigned char* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// A FAT boot sector: the jump, a sane BIOS parameter block and the boot signature.
bool IsFatBootSector(const unsigned char* s)
{
    const unsigned bytesPerSector = s[11] | s[12] << 8;
    const unsigned sectorsPerCluster = s[13];
    return (s[0] == 0xEB || s[0] == 0xE9) && s[510] == 0x55 && s[511] == 0xAA &&
           (bytesPerSector == 512 || bytesPerSector == 1024 || bytesPerSector == 2048 || bytesPerSector == 4096) &&
           sectorsPerCluster != 0 && (sectorsPerCluster & (sectorsPerCluster - 1)) == 0 && (s[14] | s[15] << 8) != 0 &&
           (s[16] == 1 || s[16] == 2);
}

bool IsFatType(unsigned type)
{
    return type == 0x01 || type == 0x04 || type == 0x06 || type == 0x0B || type == 0x0C || type == 0x0E;
}

bool IsExtendedType(unsigned type)
{
    return type == 0x05 || type == 0x0F || type == 0x85;
}

}  // namespace

std::vector<Partition> PartitionVolumes(const unsigned char* mbr, std::uint64_t size, const ReadSector& read)
{
    std::vector<Partition> volumes;
    unsigned char boot[kSector];
    auto addIfFat = [&](int number, std::uint64_t lba) {
        const std::uint64_t offset = lba * kSector;
        if (offset + kSector <= size && read(offset, boot) && IsFatBootSector(boot))
            volumes.push_back({number, offset});
    };
    std::uint64_t extended = 0;
    for (int i = 0; i < 4; ++i) {
        const unsigned char* entry = mbr + 446 + 16 * i;
        if (IsFatType(entry[4]))
            addIfFat(i + 1, Le32(entry + 8));
        else if (IsExtendedType(entry[4]) && extended == 0)
            extended = Le32(entry + 8);
    }
    // Logical partitions: a chain of extended boot records, each naming one partition relative to itself and
    // the next record relative to the extended partition.
    std::uint64_t record = extended;
    for (int number = 5; record != 0 && number < 5 + kMaxLogicalPartitions; ++number) {
        unsigned char ebr[kSector];
        if (record * kSector + kSector > size || !read(record * kSector, ebr) || ebr[510] != 0x55 || ebr[511] != 0xAA)
            break;
        if (IsFatType(ebr[446 + 4]))
            addIfFat(number, record + Le32(ebr + 446 + 8));
        const std::uint32_t next = Le32(ebr + 446 + 16 + 8);
        record = IsExtendedType(ebr[446 + 16 + 4]) && next != 0 ? extended + next : 0;
    }
    return volumes;
}

namespace {

// "C:\WIN98", "\WIN98\", "/win98" and "WIN98" all name the folder WIN98 of the volume.
std::string VolumePath(std::string path)
{
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.size() >= 2 && path[1] == ':')
        path.erase(0, 2);
    while (!path.empty() && path.front() == '/')
        path.erase(0, 1);
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    return path;
}

// mdir's bare listing: one path per line, folders ending in '/'.
std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// A name from a folder entry that can stand in a host path: no '/', not empty, "." or "..".
bool PlainName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// The path on the volume of a file relative to the Windows folder.
std::string OnVolume(const std::string& windows, const std::string& relative)
{
    return windows + "/" + relative;
}

// Writes a whole buffer at an offset of a host file.
bool WriteAt(int fd, const std::string& bytes, std::uint64_t offset)
{
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t put = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

bool ReadAt(int fd, std::string& bytes, std::uint64_t offset)
{
    return pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) == static_cast<ssize_t>(bytes.size());
}

}  // namespace

ImageMachine::~ImageMachine()
{
    if (!work_.empty()) {
        std::error_code ignored;
        fs::remove_all(work_, ignored);
    }
}

std::string ImageMachine::Shown(const std::string& message) const
{
    if (machine_.empty())
        return message;
    std::string shown = message;
    const std::string windows = (machine_ / "WINDOWS").string() + "/";
    for (std::size_t at = shown.find(windows); at != std::string::npos; at = shown.find(windows, at))
        shown.replace(at, windows.size(), image_.string() + ":" + windowsPath_ + "/");
    const std::string machine = machine_.string();
    for (std::size_t at = shown.find(machine); at != std::string::npos; at = shown.find(machine, at))
        shown.replace(at, machine.size(), image_.string());
    return shown;
}

bool ImageMachine::OpenVolume(std::uint64_t offset, std::string& error)
{
    offset_ = offset;
    return volume_.Open([this](std::uint64_t at, void* into, std::size_t size) {
        return disk_.Read(offset_ + at, into, size);
    }, error);
}

namespace {

// The FAT volumes of the disk: the disk itself when it is a bare volume, else the primary and logical
// partitions of its MBR whose boot sectors are FAT.
bool FindVolumes(const Disk& disk, const std::string& shown, std::vector<Partition>& volumes, std::string& error)
{
    unsigned char sector[kSector];
    if (disk.size() < kSector || !disk.Read(0, sector, kSector)) {
        error = shown + ": cannot read its first sector";
        return false;
    }
    if (IsFatBootSector(sector)) {
        volumes.push_back({0, 0});
        return true;
    }
    if (sector[510] != 0x55 || sector[511] != 0xAA) {
        error = shown + ": neither a partitioned disk (no MBR) nor a FAT volume";
        return false;
    }
    volumes = PartitionVolumes(sector, disk.size(), [&](std::uint64_t offset, unsigned char* into) {
        return disk.Read(offset, into, kSector);
    });
    if (volumes.empty()) {
        error = shown + ": no FAT partition in its partition table";
        return false;
    }
    return true;
}

// The Windows folders on `volume`: the one --windows names, else the one MSDOS.SYS names, else every top
// folder holding WIN.COM and SYSTEM.DAT.
std::vector<std::string> WindowsFoldersOn(FatVolume& volume, const std::string& named)
{
    FatEntry entry;
    if (!named.empty()) {
        const std::string path = VolumePath(named);
        if (!path.empty() && volume.Find(path, entry) && entry.folder())
            return {path};
        return {};
    }
    // Windows 9x's MSDOS.SYS names the Windows folder ([Paths] WinDir=C:\WINDOWS).
    std::string windows;
    std::string text;
    if (volume.Find("MSDOS.SYS", entry) && !entry.folder() && entry.size <= 65536 && volume.ReadFile(entry, text)) {
        for (const std::string& line : Lines(text)) {
            if (line.size() > 7 && emulated::SameName(line.substr(0, 7), "WinDir=")) {
                windows = VolumePath(line.substr(7));
                while (!windows.empty() && (windows.back() == ' ' || windows.back() == '\t'))
                    windows.pop_back();
            }
        }
    }
    if (!windows.empty() && volume.Find(windows, entry) && entry.folder())
        return {windows};
    std::vector<std::string> found;
    std::vector<FatEntry> top;
    if (!volume.List(0, top))
        return found;
    for (const FatEntry& folder : top) {
        std::vector<FatEntry> inside;
        if (!folder.folder() || !PlainName(folder.name) || !volume.List(folder.cluster, inside))
            continue;
        bool winCom = false;
        bool systemDat = false;
        for (const FatEntry& each : inside) {
            winCom = winCom || emulated::SameName(each.name, "WIN.COM");
            systemDat = systemDat || emulated::SameName(each.name, "SYSTEM.DAT");
        }
        if (winCom && systemDat)
            found.push_back(folder.name);
    }
    return found;
}

}  // namespace

bool ImageMachine::FindWindows(const ImageChoice& choice, int& partition, std::string& error)
{
    std::vector<Partition> volumes;
    if (!FindVolumes(disk_, image_.string(), volumes, error))
        return false;
    if (choice.partition != 0) {
        auto chosen = std::find_if(volumes.begin(), volumes.end(),
                                   [&](const Partition& volume) { return volume.number == choice.partition; });
        if (chosen == volumes.end()) {
            error = image_.string() + ": no FAT partition " + std::to_string(choice.partition);
            return false;
        }
        volumes = {*chosen};
    }
    std::vector<std::pair<Partition, std::string>> found;
    for (const Partition& volume : volumes) {
        std::string ignored;
        if (!OpenVolume(volume.offset, ignored))
            continue;
        for (const std::string& windows : WindowsFoldersOn(volume_, choice.windows))
            found.emplace_back(volume, windows);
    }
    if (found.empty()) {
        error = image_.string() + ": no Windows folder found" +
                (choice.windows.empty() ? " (no MSDOS.SYS WinDir, no folder with WIN.COM and SYSTEM.DAT); --windows "
                                          "PATH names it"
                                        : ": no folder " + choice.windows);
        return false;
    }
    if (found.size() > 1) {
        error = image_.string() + ": several Windows folders:";
        for (const auto& [volume, windows] : found)
            error += " partition " + std::to_string(volume.number) + " " + windows + ";";
        error += " choose with --partition N and --windows PATH";
        return false;
    }
    partition = found.front().first.number;
    windowsPath_ = found.front().second;
    return OpenVolume(found.front().first.offset, error);
}

namespace {

constexpr char kTemporaryPrefix[] = "cmpci-image.";

// Removes the temporary folders in `temp` that runs of this program left when they were killed: named
// "cmpci-image.PID.XXXXXX", owned by this user, and PID no longer a live process.
void RemoveStaleTemporaryFolders(const fs::path& temp)
{
    std::error_code status;
    for (fs::directory_iterator each(temp, status), end; !status && each != end; each.increment(status)) {
        const std::string name = each->path().filename().string();
        if (name.rfind(kTemporaryPrefix, 0) != 0)
            continue;
        const std::size_t digits = sizeof kTemporaryPrefix - 1;
        const std::size_t dot = name.find('.', digits);
        if (dot == std::string::npos || dot == digits || dot - digits > 9 ||
            name.find_first_not_of("0123456789", digits) != dot)
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(name.substr(digits, dot - digits)));
        struct stat folder { };
        if (pid <= 0 || lstat(each->path().c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode) ||
            folder.st_uid != geteuid() || kill(pid, 0) == 0 || errno != ESRCH)
            continue;
        std::error_code ignored;
        fs::remove_all(each->path(), ignored);
    }
}

}  // namespace

bool ImageMachine::MakeStandIns(const std::string& user, std::vector<std::string>& registryFiles, std::string& error)
{
    const fs::path temp = fs::temp_directory_path();
    RemoveStaleTemporaryFolders(temp);
    // The process's id in the name tells a later run whether the folder's run is still alive.
    std::string pattern = (temp / (kTemporaryPrefix + std::to_string(getpid()) + ".XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        error = std::string("cannot make a temporary folder: ") + std::strerror(errno);
        return false;
    }
    work_ = pattern;
    machine_ = work_ / "machine";
    FatEntry windows;
    if (!volume_.Find(windowsPath_, windows)) {
        error = image_.string() + ": cannot read the folder " + windowsPath_;
        return false;
    }
    // The tree, folder by folder; a folder met twice (a crafted volume's loop) is not walked again.
    struct Pending {
        std::uint32_t cluster;
        std::string relative;  // "" or "SYSTEM/"
        int depth;
    };
    std::vector<Pending> pending {{windows.cluster, "", 0}};
    std::set<std::uint32_t> seen {windows.cluster};
    std::error_code status;
    fs::create_directories(machine_ / "WINDOWS", status);
    Progress progress("reading " + windowsPath_ + " in " + image_.string(), 0, "files");
    std::uint64_t files = 0;
    while (!status && !pending.empty()) {
        if (StopRequested(error))
            return false;
        const Pending folder = pending.back();
        pending.pop_back();
        std::vector<FatEntry> entries;
        if (!volume_.List(folder.cluster, entries)) {
            error = image_.string() + ": cannot read the folder " + windowsPath_ + "/" + folder.relative;
            return false;
        }
        for (const FatEntry& entry : entries) {
            // A name from a damaged or crafted volume must not lead the stand-ins out of the machine folder.
            if (!PlainName(entry.name))
                continue;
            const std::string relative = folder.relative + entry.name;
            const fs::path host = machine_ / "WINDOWS" / relative;
            if (entry.folder()) {
                if (folder.depth < kMaxDepth && entry.cluster != 0 && seen.insert(entry.cluster).second) {
                    fs::create_directories(host, status);
                    pending.push_back({entry.cluster, relative + "/", folder.depth + 1});
                }
                continue;
            }
            std::ofstream(host, std::ios::binary).close();
            progress.Update(++files);
            const bool top = folder.relative.empty();
            const bool profile = !user.empty() && emulated::SameName(relative, "PROFILES/" + user + "/USER.DAT");
            if ((top && (emulated::SameName(entry.name, "SYSTEM.DAT") || emulated::SameName(entry.name, "USER.DAT"))) ||
                profile)
                registryFiles.push_back(relative);
        }
    }
    if (status) {
        error = "cannot make the machine folder for " + image_.string() + ": " + status.message();
        return false;
    }
    return true;
}

bool ImageMachine::PlayBackJournal(std::vector<std::string>& said, std::string& error)
{
    const fs::path journal = RollbackJournalOf(file_);
    std::vector<DiskChange> old;
    switch (ReadRollbackJournal(journal, old, error)) {
    case JournalFound::None:
        return error.empty();
    case JournalFound::Torn:
        // Written only part way: the run that wrote it had not yet touched the image.
        if (!error.empty() || !RemoveRollbackJournal(journal, error))
            return false;
        said.push_back("removed " + journal.string() + ", left by a run cut short before it changed the image");
        return true;
    case JournalFound::Whole:
        break;
    }
    if (!disk_.Write(old, journal.parent_path(), error) || !RemoveRollbackJournal(journal, error)) {
        error = "cannot play back the rollback journal " + journal.string() + ": " + error;
        return false;
    }
    said.push_back("played back the rollback journal " + journal.string() + " of a run cut short: " +
                   image_.string() + " is as it was before that run");
    return true;
}

bool ImageMachine::Open(const ImageChoice& choice, const std::string& user, std::vector<std::string>& said,
                        std::string& error)
{
    image_ = choice.image;
    // A link is followed once, here: the run works on the file it names, and leaves the link as it is.
    std::error_code status;
    file_ = fs::canonical(image_, status);
    if (status) {
        error = image_.string() + ": " + status.message();
        return false;
    }
    if (!disk_.Open(file_, image_.string(), error))
        return false;
    pid_t holder = 0;
    if (!storage::TryLock(disk_.fd(), storage::LockKind::Exclusive, holder)) {
        error = image_.string() + " is in use by another run of cmpci-uninstall" +
                (holder != 0 ? " (process " + std::to_string(holder) + ")" : std::string()) + ": nothing was changed";
        return false;
    }
    if (storage::QemuHolds(disk_.fd())) {
        error = image_.string() + " is in use by QEMU (a running virtual machine, qemu-img or qemu-io holds its "
                                  "lock): shut the virtual machine down first; nothing was changed";
        return false;
    }
    // While this run writes a raw image, a virtual machine started on it is refused as if a QEMU held it.
    if (disk_.raw() && choice.writes)
        storage::HoldAsQemuWriter(disk_.fd());
    if (!disk_.Map(error) || !PlayBackJournal(said, error))
        return false;
    int partition = 0;
    if (!FindWindows(choice, partition, error))
        return false;
    said.push_back("image " + image_.string() + " (" + disk_.format() + ")" +
                   (partition == 0 ? std::string(": a FAT volume") : ": partition " + std::to_string(partition)) +
                   ", Windows in " + windowsPath_);
    // The machine folder is scratch in a temporary folder that goes with the run: its files are written
    // plainly, not through the durable files' module, since none of them is kept (what the image takes goes
    // in under the rollback journal).
    // The machine folder: the Windows folder's tree with empty stand-ins, and the registry files' real bytes,
    // kept to tell at the end whether someone else changed them meanwhile.
    std::vector<std::string> registryFiles;
    if (!MakeStandIns(user, registryFiles, error) || !Fetch(registryFiles, error))
        return false;
    for (const std::string& file : registryFiles) {
        std::ifstream in(machine_ / "WINDOWS" / file, std::ios::binary);
        read_[file] = std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    return true;
}

bool ImageMachine::Fetch(const std::vector<std::string>& files, std::string& error)
{
    std::vector<FatEntry> entries(files.size());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!volume_.Find(OnVolume(windowsPath_, files[i]), entries[i]) || entries[i].folder()) {
            error = image_.string() + ": cannot read " + OnVolume(windowsPath_, files[i]);
            return false;
        }
        total += entries[i].size;
    }
    Progress progress("reading files out of " + image_.string(), total);
    std::uint64_t before = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string& relative = files[i];
        const fs::path host = machine_ / "WINDOWS" / relative;
        std::string bytes;
        if (StopRequested(error))
            return false;
        if (!volume_.ReadFile(entries[i], bytes, [&](std::uint64_t done) { progress.Update(before + done); })) {
            error = image_.string() + ": cannot read " + OnVolume(windowsPath_, relative);
            return false;
        }
        before += entries[i].size;
        std::ofstream out(host, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            error = "cannot copy " + OnVolume(windowsPath_, relative) + " out of " + image_.string();
            return false;
        }
    }
    return true;
}

bool ImageMachine::FetchMachineFiles(const std::vector<std::string>& files, std::string& error)
{
    std::vector<std::string> inWindows;
    for (const std::string& file : files) {
        const std::size_t slash = file.find('/');
        if (slash == std::string::npos || !emulated::SameName(file.substr(0, slash), "WINDOWS"))
            continue;
        if (fs::exists(machine_ / "WINDOWS" / file.substr(slash + 1)))
            inWindows.push_back(file.substr(slash + 1));
    }
    return Fetch(inWindows, error);
}

namespace {

// A sparse file standing for the volume, holding only the parts of it that mtools reads to make a change:
// the boot sector, reserved sectors and FATs (and FAT12/16's root folder), and the folders on the way to
// the files. Everything else is a hole; mtools never reads the data of a file it deletes or replaces.
class Overlay {
public:
    ~Overlay()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool Make(const fs::path& file, std::uint64_t size)
    {
        file_ = file;
        fd_ = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        return fd_ >= 0 && ftruncate(fd_, static_cast<off_t>(size)) == 0;
    }
    // Copies a part of the volume in, keeping its bytes to compare after.
    bool Take(FatVolume& volume, const Extent& extent)
    {
        for (const auto& [taken, bytes] : parts_) {
            if (taken == extent)
                return true;
        }
        std::string bytes(extent.size, '\0');
        if (!volume.Read(extent.offset, bytes.data(), bytes.size()) || !WriteAt(fd_, bytes, extent.offset))
            return false;
        parts_.emplace_back(extent, std::move(bytes));
        return true;
    }
    bool Taken(std::uint64_t offset) const
    {
        for (const auto& [extent, bytes] : parts_) {
            if (offset >= extent.offset && offset < extent.offset + extent.size)
                return true;
        }
        return false;
    }
    const fs::path& file() const { return file_; }
    int fd() const { return fd_; }
    const std::vector<std::pair<Extent, std::string>>& parts() const { return parts_; }

private:
    fs::path file_;
    int fd_ = -1;
    std::vector<std::pair<Extent, std::string>> parts_;
};

// Writes `file` (a host file) to `inVolume` on the overlay, keeping the attributes the file had there:
// Windows keeps its registry files read-only, hidden and system. mtools would ask before replacing a
// read-only file, so that flag goes first and comes back after.
bool WriteInto(const std::string& overlay, const fs::path& file, const std::string& inVolume, std::string& error)
{
    Tool attributes;
    const bool exists = RunTool({"mattrib", "-i", overlay, inVolume}, attributes, kMtools);
    const std::string flags = exists ? attributes.out.substr(0, attributes.out.find("::/")) : std::string();
    Tool tool;
    if ((exists && !RunTool({"mattrib", "-i", overlay, "-r", inVolume}, tool, kMtools)) ||
        !RunTool({"mcopy", "-o", "-i", overlay, file.string(), inVolume}, tool, kMtools)) {
        error = Complaint(tool);
        return false;
    }
    std::vector<std::string> restore {"mattrib", "-i", overlay};
    for (char flag : {'R', 'S', 'H'}) {
        if (flags.find(flag) != std::string::npos)
            restore.push_back(std::string("+") + static_cast<char>(flag - 'A' + 'a'));
    }
    restore.push_back(inVolume);
    if (restore.size() > 4 && !RunTool(restore, tool, kMtools)) {
        error = Complaint(tool);
        return false;
    }
    return true;
}

// The clusters of a chain as extents of the volume, consecutive clusters joined.
void AddClusters(const FatVolume& volume, const std::vector<std::uint32_t>& clusters, std::vector<Extent>& extents)
{
    for (std::uint32_t cluster : clusters) {
        const std::uint64_t offset = volume.ClusterOffset(cluster);
        if (!extents.empty() && extents.back().offset + extents.back().size == offset)
            extents.back().size += volume.clusterBytes();
        else
            extents.push_back({offset, volume.clusterBytes()});
    }
}

// The files a commit writes and removes, as paths on the volume, and every folder on their way, the root
// among them.
void Touched(const std::string& windowsPath, const std::vector<std::string>& written,
             const std::vector<std::string>& removed, std::vector<std::string>& files, std::vector<std::string>& folders)
{
    for (const std::string& file : written)
        files.push_back(OnVolume(windowsPath, file.substr(file.find('/') + 1)));
    for (const std::string& file : removed)
        files.push_back(OnVolume(windowsPath, file));
    folders = {""};
    for (const std::string& file : files) {
        for (std::size_t slash = file.find('/'); slash != std::string::npos; slash = file.find('/', slash + 1))
            folders.push_back(file.substr(0, slash));
    }
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
}

// Copies into the overlay what mtools reads for the change: the sectors before the data area but the FAT
// copies after the first (mtools writes each sector it changes into every copy, so the other copies' change
// follows from the first's), and the touched folders.
bool CopyMetadata(FatVolume& volume, const fs::path& image, const fs::path& file, const std::vector<std::string>& folders,
                  Overlay& overlay, std::string& error)
{
    const std::uint64_t firstFatEnd = volume.fatOffset() + volume.fatBytes();
    const std::uint64_t otherFatsEnd = volume.fatOffset() + volume.fats() * volume.fatBytes();
    if (!overlay.Make(file, volume.size()) || !overlay.Take(volume, {0, firstFatEnd}) ||
        (volume.dataOffset() > otherFatsEnd && !overlay.Take(volume, {otherFatsEnd, volume.dataOffset() - otherFatsEnd}))) {
        error = "cannot copy the FATs of " + image.string() + " to a temporary file: " + std::strerror(errno);
        return false;
    }
    for (const std::string& folder : folders) {
        FatEntry entry;
        std::vector<Extent> extents;
        if (!volume.Find(folder, entry) || !entry.folder() || !volume.FolderExtents(entry.cluster, extents)) {
            error = image.string() + ": cannot read the folder " + (folder.empty() ? "\\" : folder);
            return false;
        }
        for (const Extent& extent : extents) {
            if (!overlay.Take(volume, extent)) {
                error = "cannot copy the folder " + folder + " of " + image.string() + " to a temporary file";
                return false;
            }
        }
    }
    return true;
}

// mtools makes the changes on the overlay: the written files (the first `writtenCount` of `files`, from the
// machine folder) copied in, the others deleted.
bool ChangeOverlay(const Overlay& overlay, const fs::path& image, const fs::path& machine,
                   const std::vector<std::string>& written, const std::vector<std::string>& files, std::string& error)
{
    const std::string volume = overlay.file().string();
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string inVolume = "::/" + files[i];
        Tool tool;
        bool done = true;
        if (i < written.size()) {
            done = WriteInto(volume, machine / written[i], inVolume, error);
        } else {
            RunTool({"mattrib", "-i", volume, "-r", inVolume}, tool, kMtools);
            done = RunTool({"mdel", "-i", volume, inVolume}, tool, kMtools);
            error = Complaint(tool);
        }
        if (!done) {
            error = "cannot " + std::string(i < written.size() ? "write " : "delete ") + files[i] + " in " +
                    image.string() + ": " + error;
            return false;
        }
    }
    return true;
}

// The sectors that differ in the parts copied, as changes at their disk offsets (the volume at `offset`),
// then the same sectors of the other FAT copies.
bool ChangedSectors(FatVolume& volume, std::uint64_t offset, const fs::path& image, const Overlay& overlay,
                    std::vector<DiskChange>& changes, std::vector<DiskChange>& old, std::string& error)
{
    for (const auto& [extent, before] : overlay.parts()) {
        std::string now(extent.size, '\0');
        if (!ReadAt(overlay.fd(), now, extent.offset)) {
            error = "cannot read the temporary copy of " + image.string() + "'s volume";
            return false;
        }
        for (std::uint64_t sector = 0; sector < extent.size; sector += kSector) {
            const std::size_t at = static_cast<std::size_t>(sector);
            if (now.compare(at, kSector, before, at, kSector) == 0)
                continue;
            const std::uint64_t onDisk = offset + extent.offset + sector;
            // A run of sectors does not reach across the first FAT's start, whose sectors are also
            // written into the other copies.
            if (!changes.empty() && changes.back().offset + changes.back().bytes.size() == onDisk &&
                extent.offset + sector != volume.fatOffset()) {
                changes.back().bytes.append(now, at, kSector);
                old.back().bytes.append(before, at, kSector);
            } else {
                changes.push_back({onDisk, now.substr(at, kSector)});
                old.push_back({onDisk, before.substr(at, kSector)});
            }
        }
    }
    const std::uint64_t firstFatEnd = volume.fatOffset() + volume.fatBytes();
    const std::size_t firstFatChanges = changes.size();
    for (std::size_t i = 0; i < firstFatChanges; ++i) {
        const std::uint64_t inVolume = changes[i].offset - offset;
        if (inVolume < volume.fatOffset() || inVolume >= firstFatEnd)
            continue;
        for (unsigned copy = 1; copy < volume.fats(); ++copy) {
            DiskChange before {changes[i].offset + copy * volume.fatBytes(), std::string(changes[i].bytes.size(), '\0')};
            if (!volume.Read(before.offset - offset, before.bytes.data(), before.bytes.size())) {
                error = "cannot read the FAT copies of " + image.string();
                return false;
            }
            changes.push_back({before.offset, changes[i].bytes});
            old.push_back(std::move(before));
        }
    }
    return true;
}

// The clusters the written files and the touched folders hold after the change that lie outside the parts
// copied (the files' new data, a folder grown by a cluster), as changes with their old bytes.
bool NewClusters(FatVolume& volume, std::uint64_t offset, const fs::path& image, const Overlay& overlay,
                 FatVolume& after, const std::vector<std::string>& files, std::size_t writtenCount,
                 const std::vector<std::string>& folders, std::vector<DiskChange>& changes, std::vector<DiskChange>& old,
                 std::string& error)
{
    std::vector<std::uint32_t> outside;
    auto addOutside = [&](std::uint64_t at) {
        if (!overlay.Taken(at))
            outside.push_back(static_cast<std::uint32_t>((at - after.dataOffset()) / after.clusterBytes() + 2));
    };
    for (std::size_t i = 0; i < writtenCount; ++i) {
        FatEntry entry;
        std::vector<std::uint32_t> chain;
        if (!after.Find(files[i], entry) || (entry.cluster != 0 && !after.Chain(entry.cluster, chain))) {
            error = "mtools left " + files[i] + " unreadable in the copy of " + image.string() + "'s volume";
            return false;
        }
        for (std::uint32_t cluster : chain)
            addOutside(after.ClusterOffset(cluster));
    }
    for (const std::string& folder : folders) {
        FatEntry entry;
        std::vector<Extent> extents;
        if (!after.Find(folder, entry) || !after.FolderExtents(entry.cluster, extents)) {
            error = "mtools left the folder " + folder + " unreadable in the copy of " + image.string() + "'s volume";
            return false;
        }
        for (const Extent& extent : extents) {
            for (std::uint64_t at = extent.offset; at < extent.offset + extent.size; at += after.clusterBytes())
                addOutside(at);
        }
    }
    std::sort(outside.begin(), outside.end());
    outside.erase(std::unique(outside.begin(), outside.end()), outside.end());
    std::vector<Extent> data;
    AddClusters(after, outside, data);
    for (const Extent& extent : data) {
        DiskChange now {offset + extent.offset, std::string(extent.size, '\0')};
        DiskChange before {offset + extent.offset, std::string(extent.size, '\0')};
        if (!ReadAt(overlay.fd(), now.bytes, extent.offset) || !volume.Read(extent.offset, before.bytes.data(), extent.size)) {
            error = "cannot read the data written for " + image.string();
            return false;
        }
        changes.push_back(std::move(now));
        old.push_back(std::move(before));
    }
    return true;
}

}  // namespace

bool ImageMachine::Changes(const std::vector<std::string>& written, const std::vector<std::string>& removed,
                           std::vector<DiskChange>& changes, std::vector<DiskChange>& old, std::string& error)
{
    std::vector<std::string> files;
    std::vector<std::string> folders;
    Touched(windowsPath_, written, removed, files, folders);
    Overlay overlay;
    if (!CopyMetadata(volume_, image_, work_ / "volume", folders, overlay, error) ||
        !ChangeOverlay(overlay, image_, machine_, written, files, error))
        return false;
    FatVolume after;
    const int fd = overlay.fd();
    if (!after.Open([fd](std::uint64_t at, void* into, std::size_t size) {
            return pread(fd, into, size, static_cast<off_t>(at)) == static_cast<ssize_t>(size);
        }, error)) {
        error = "mtools left the copy of " + image_.string() + "'s volume unreadable: " + error;
        return false;
    }
    return ChangedSectors(volume_, offset_, image_, overlay, changes, old, error) &&
           NewClusters(volume_, offset_, image_, overlay, after, files, written.size(), folders, changes, old, error);
}

bool ImageMachine::Commit(const std::vector<std::string>& written, const std::vector<std::string>& removed,
                          std::string& error)
{
    if (written.empty() && removed.empty())
        return true;
    // Read afresh: what the image holds now, not what the run read at its start.
    if (!disk_.Map(error) || !OpenVolume(offset_, error)) {
        error += "; the image is as it was";
        return false;
    }
    for (const auto& [file, bytes] : read_) {
        FatEntry entry;
        std::string now;
        if (!volume_.Find(OnVolume(windowsPath_, file), entry) || !volume_.ReadFile(entry, now) || now != bytes) {
            error = image_.string() + ":" + OnVolume(windowsPath_, file) +
                    " changed in the image while this run worked; nothing was changed (run again)";
            return false;
        }
    }
    std::vector<DiskChange> changes;
    std::vector<DiskChange> old;
    if (!Changes(written, removed, changes, old, error) || StopRequested(error)) {
        error += "; the image is as it was";
        return false;
    }
    // From the journal on, an interrupt stops the run only while the journal is written: once the image
    // takes its first change, the run finishes them all (or the next start plays the journal back).
    // The old bytes are on disk before the first new byte goes into the image.
    const fs::path journal = RollbackJournalOf(file_);
    if (!WriteRollbackJournal(journal, old, error)) {
        error += "; the image is as it was";
        return false;
    }
    if (!disk_.Write(changes, work_, error)) {
        std::string undo;
        if (disk_.Write(old, work_, undo) && RemoveRollbackJournal(journal, undo))
            error += "; the image is as it was";
        else
            error += "; the next run on the image plays back the rollback journal " + journal.string();
        return false;
    }
    if (!RemoveRollbackJournal(journal, error)) {
        error += "; the next run on the image puts the image back as it was";
        return false;
    }
    return true;
}

}  // namespace offline
