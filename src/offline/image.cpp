#include "offline/image.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "registry/names.h"
#include "storage/durable.h"

extern char** environ;

namespace offline {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kSector = 512;
constexpr int kMaxLogicalPartitions = 64;

struct Tool {
    std::string out;
    std::string err;
    int status = -1;
};

// Runs a tool (an mtools command) with no shell, standard input closed, and its output captured. True when
// it ran and exited 0.
bool RunTool(const std::vector<std::string>& words, Tool& tool)
{
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        return false;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    std::vector<char*> argv;
    for (const std::string& word : words)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    // mtools: no geometry check on images that a BIOS never saw, and no user configuration to change what
    // the commands mean.
    std::vector<std::string> environment {"MTOOLS_SKIP_CHECK=1", "MTOOLSRC=/dev/null", "LC_ALL=C"};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view variable(*entry);
        if (variable.rfind("MTOOLS", 0) != 0 && variable.rfind("LC_ALL=", 0) != 0)
            environment.emplace_back(variable);
    }
    std::vector<char*> envp;
    for (std::string& variable : environment)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    pid_t child = -1;
    const int spawned = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    if (spawned != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        tool.err = words[0] + ": " + std::strerror(spawned) + " (mtools is needed for disk images)";
        return false;
    }
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&tool.out, &tool.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[8192];
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            }
        }
    }
    for (pollfd& fd : fds) {
        if (fd.fd >= 0)
            close(fd.fd);
    }
    while (waitpid(child, &tool.status, 0) < 0 && errno == EINTR) { }
    return WIFEXITED(tool.status) && WEXITSTATUS(tool.status) == 0;
}

// The first line of a tool's complaint, for a message.
std::string Complaint(const Tool& tool)
{
    std::string line = tool.err.substr(0, tool.err.find('\n'));
    return line.empty() ? "it failed" : line;
}

bool ReadAt(int fd, std::uint64_t offset, unsigned char* buffer, std::size_t size)
{
    return pread(fd, buffer, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

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

// The FAT volumes of the image: the image itself when it is a bare volume, else the primary and logical
// partitions of its MBR whose boot sectors are FAT.
bool FindVolumes(const fs::path& image, std::vector<Partition>& volumes, std::string& error)
{
    int fd = open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = image.string() + ": " + std::strerror(errno);
        return false;
    }
    struct stat status { };
    unsigned char sector[kSector];
    bool ok = fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && ReadAt(fd, 0, sector, kSector);
    if (!ok) {
        close(fd);
        error = image.string() + ": not a disk image (not a regular file of at least one sector)";
        return false;
    }
    const auto size = static_cast<std::uint64_t>(status.st_size);
    unsigned char footer[kSector];
    // A fixed VHD is the raw disk with a 512-byte footer; the other VHD kinds and other formats need
    // converting first.
    if (size >= 2 * kSector && ReadAt(fd, size - kSector, footer, kSector) && std::memcmp(footer, "conectix", 8) == 0 &&
        (footer[60] << 24 | footer[61] << 16 | footer[62] << 8 | footer[63]) != 2) {
        close(fd);
        error = image.string() + ": a dynamic or differencing VHD; convert it to a raw image first (qemu-img "
                                 "convert -O raw)";
        return false;
    }
    if (std::memcmp(sector, "QFI\xFB", 4) == 0 || std::memcmp(sector, "KDMV", 4) == 0 ||
        std::memcmp(sector, "<<< ", 4) == 0 || std::memcmp(sector, "# Disk DescriptorFile", 21) == 0) {
        close(fd);
        error = image.string() + ": a qcow2, VMDK or VDI image; convert it to a raw image first (qemu-img convert "
                                 "-O raw)";
        return false;
    }
    if (IsFatBootSector(sector)) {
        close(fd);
        volumes.push_back({0, 0});
        return true;
    }
    if (sector[510] != 0x55 || sector[511] != 0xAA) {
        close(fd);
        error = image.string() + ": neither a partitioned disk (no MBR) nor a FAT volume";
        return false;
    }
    volumes = PartitionVolumes(sector, size, [&](std::uint64_t offset, unsigned char* into) {
        return ReadAt(fd, offset, into, kSector);
    });
    close(fd);
    if (volumes.empty()) {
        error = image.string() + ": no FAT partition in its partition table";
        return false;
    }
    return true;
}

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

// A relative path of names only: no empty, "." or ".." component.
bool InsideFolder(std::string_view path)
{
    if (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    while (true) {
        const std::size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        if (part.empty() || part == "." || part == "..")
            return false;
        if (slash == std::string_view::npos)
            return true;
        path.remove_prefix(slash + 1);
    }
}

std::string BaseName(std::string path)
{
    if (!path.empty() && path.back() == '/')
        path.pop_back();
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

ImageMachine::~ImageMachine()
{
    if (!work_.empty()) {
        std::error_code ignored;
        fs::remove_all(work_, ignored);
    }
}

std::string ImageMachine::Volume(const fs::path& image) const
{
    return image.string() + "@@" + std::to_string(offset_);
}

namespace {

// The Windows folders on the volume that `volume` (an mtools image argument) names: the one --windows
// names, else the one MSDOS.SYS names, else every top folder holding WIN.COM and SYSTEM.DAT.
std::vector<std::string> WindowsFoldersOn(const std::string& volume, const std::string& named)
{
    Tool tool;
    if (!named.empty()) {
        const std::string path = VolumePath(named);
        if (!path.empty() && RunTool({"mdir", "-b", "-a", "-i", volume, "::/" + path}, tool))
            return {path};
        return {};
    }
    // Windows 9x's MSDOS.SYS names the Windows folder ([Paths] WinDir=C:\WINDOWS).
    std::string windows;
    if (RunTool({"mtype", "-i", volume, "::/MSDOS.SYS"}, tool)) {
        for (const std::string& line : Lines(tool.out)) {
            if (line.size() > 7 && emulated::SameName(line.substr(0, 7), "WinDir=")) {
                windows = VolumePath(line.substr(7));
                while (!windows.empty() && (windows.back() == ' ' || windows.back() == '\t'))
                    windows.pop_back();
            }
        }
    }
    Tool listing;
    if (!windows.empty() && RunTool({"mdir", "-b", "-a", "-i", volume, "::/" + windows}, listing))
        return {windows};
    std::vector<std::string> found;
    Tool top;
    if (!RunTool({"mdir", "-b", "-a", "-i", volume, "::/"}, top))
        return found;
    for (const std::string& line : Lines(top.out)) {
        if (line.back() != '/')
            continue;
        const std::string folder = BaseName(line);
        Tool inside;
        if (!RunTool({"mdir", "-b", "-a", "-i", volume, "::/" + folder}, inside))
            continue;
        bool winCom = false;
        bool systemDat = false;
        for (const std::string& entry : Lines(inside.out)) {
            winCom = winCom || emulated::SameName(BaseName(entry), "WIN.COM");
            systemDat = systemDat || emulated::SameName(BaseName(entry), "SYSTEM.DAT");
        }
        if (winCom && systemDat)
            found.push_back(folder);
    }
    return found;
}

}  // namespace

bool ImageMachine::FindWindows(const ImageChoice& choice, int& partition, std::string& error)
{
    std::vector<Partition> volumes;
    if (!FindVolumes(image_, volumes, error))
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
        offset_ = volume.offset;
        for (const std::string& windows : WindowsFoldersOn(Volume(image_), choice.windows))
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
    offset_ = found.front().first.offset;
    partition = found.front().first.number;
    windowsPath_ = found.front().second;
    return true;
}

bool ImageMachine::MakeStandIns(const std::string& user, std::vector<std::string>& registryFiles, std::string& error)
{
    std::string pattern = (fs::temp_directory_path() / "cmpci-image.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        error = std::string("cannot make a temporary folder: ") + std::strerror(errno);
        return false;
    }
    work_ = pattern;
    machine_ = work_ / "machine";
    const fs::path windowsFolder = machine_ / "WINDOWS";
    std::error_code status;
    fs::create_directories(windowsFolder, status);
    Tool listing;
    if (status || !RunTool({"mdir", "-/", "-b", "-a", "-i", Volume(image_), "::/" + windowsPath_}, listing)) {
        error = image_.string() + ": cannot list " + windowsPath_ + ": " + Complaint(listing);
        return false;
    }
    const std::string prefix = "::/" + windowsPath_ + "/";
    for (const std::string& line : Lines(listing.out)) {
        if (line.size() <= prefix.size() || !emulated::SameName(line.substr(0, prefix.size()), prefix))
            continue;
        const std::string relative = line.substr(prefix.size());
        // A name from a damaged or crafted volume must not lead the stand-ins out of the machine folder.
        if (!InsideFolder(relative))
            continue;
        fs::path host = windowsFolder / relative;
        if (relative.back() == '/') {
            fs::create_directories(host, status);
        } else {
            fs::create_directories(host.parent_path(), status);
            std::ofstream(host, std::ios::binary).close();
            const std::string name = BaseName(relative);
            const bool top = relative.find('/') == std::string::npos;
            const bool profile = !user.empty() && emulated::SameName(relative, "PROFILES/" + user + "/USER.DAT");
            if ((top && (emulated::SameName(name, "SYSTEM.DAT") || emulated::SameName(name, "USER.DAT"))) || profile)
                registryFiles.push_back(relative);
        }
        if (status) {
            error = "cannot make " + host.string() + ": " + status.message();
            return false;
        }
    }
    return true;
}

bool ImageMachine::Open(const ImageChoice& choice, const std::string& user, std::vector<std::string>& said,
                        std::string& error)
{
    image_ = choice.image;
    if (image_.string().find("@@") != std::string::npos) {
        error = image_.string() + ": a name holding \"@@\" cannot be given to mtools; rename the image";
        return false;
    }
    int partition = 0;
    if (!FindWindows(choice, partition, error))
        return false;
    said.push_back("image " + image_.string() +
                   (partition == 0 ? std::string(": a FAT volume") : ": partition " + std::to_string(partition)) +
                   ", Windows in " + windowsPath_);
    // The machine folder: the Windows folder's tree with empty stand-ins, and the registry files' real bytes.
    std::vector<std::string> registryFiles;
    return MakeStandIns(user, registryFiles, error) && Fetch(registryFiles, error);
}

bool ImageMachine::Fetch(const std::vector<std::string>& files, std::string& error)
{
    for (const std::string& relative : files) {
        const fs::path host = machine_ / "WINDOWS" / relative;
        Tool tool;
        if (!RunTool({"mcopy", "-n", "-i", Volume(image_), "::/" + windowsPath_ + "/" + relative, host.string()},
                     tool)) {
            error = image_.string() + ": cannot read " + windowsPath_ + "/" + relative + ": " + Complaint(tool);
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

bool ImageMachine::CopyImage(std::string& copy, std::string& error) const
{
    int target = storage::CreateTemporaryBeside(image_, copy, error);
    if (target < 0) {
        error = "cannot make a copy of " + image_.string() + " beside it: " + error;
        return false;
    }
    int source = open(image_.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status { };
    bool copied = source >= 0 && fstat(source, &status) == 0;
    if (!copied)
        error = "cannot read " + image_.string() + ": " + std::strerror(errno);
    // A clone shares the blocks where the file system can (btrfs, XFS); else the bytes are copied.
    if (copied && ioctl(target, FICLONE, source) != 0) {
        for (off_t done = 0; copied && done < status.st_size;) {
            ssize_t moved = copy_file_range(source, nullptr, target, nullptr, 1 << 30, 0);
            if (moved < 0 && errno == EINTR)
                continue;
            if (moved <= 0) {
                error = "cannot copy " + image_.string() + ": " + (moved < 0 ? std::strerror(errno) : "it shrank");
                copied = false;
            }
            done += moved;
        }
    }
    if (source >= 0)
        close(source);
    close(target);
    if (!copied)
        unlink(copy.c_str());
    return copied;
}

bool ImageMachine::WriteInto(const std::string& copy, const std::string& file, std::string& error) const
{
    const std::string volume = Volume(copy);
    const std::size_t slash = file.find('/');
    const std::string inVolume = "::/" + windowsPath_ + "/" + file.substr(slash + 1);
    // Windows keeps its registry files read-only, hidden and system; an overwrite would drop that.
    // A file the image does not have (one a restore puts back) has no attributes to keep.
    Tool attributes;
    const bool exists = RunTool({"mattrib", "-i", volume, inVolume}, attributes);
    const std::string flags = exists ? attributes.out.substr(0, attributes.out.find("::/")) : std::string();
    Tool tool;
    if ((exists && !RunTool({"mattrib", "-i", volume, "-r", inVolume}, tool)) ||
        !RunTool({"mcopy", "-o", "-i", volume, (machine_ / file).string(), inVolume}, tool)) {
        error = "cannot write " + inVolume + " into the image: " + Complaint(tool);
        return false;
    }
    std::vector<std::string> restore {"mattrib", "-i", volume};
    for (char flag : {'R', 'S', 'H'}) {
        if (flags.find(flag) != std::string::npos)
            restore.push_back(std::string("+") + static_cast<char>(flag - 'A' + 'a'));
    }
    restore.push_back(inVolume);
    if (restore.size() > 4 && !RunTool(restore, tool)) {
        error = "cannot set the attributes of " + inVolume + ": " + Complaint(tool);
        return false;
    }
    return true;
}

bool ImageMachine::Commit(const std::vector<std::string>& written, const std::vector<std::string>& removed,
                          std::string& error)
{
    if (written.empty() && removed.empty())
        return true;
    std::string copy;
    bool ok = CopyImage(copy, error);
    if (ok) {
        for (const std::string& file : written)
            ok = ok && WriteInto(copy, file, error);
        for (const std::string& file : removed) {
            Tool tool;
            if (ok && !RunTool({"mdel", "-i", Volume(copy), "::/" + windowsPath_ + "/" + file}, tool)) {
                error = "cannot delete " + windowsPath_ + "/" + file + " in the image: " + Complaint(tool);
                ok = false;
            }
        }
        if (!ok)
            unlink(copy.c_str());
    }
    // The changed copy replaces the image only once it is whole and on disk.
    ok = ok && storage::PublishTemporary(copy, image_, error);
    if (!ok)
        error += "; the image is as it was";
    return ok;
}

}  // namespace offline
