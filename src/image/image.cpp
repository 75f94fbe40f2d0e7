#include "image/image.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <system_error>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image/change.h"
#include "image/partitions.h"
#include "image/rollback_journal.h"
#include "host/interrupt.h"
#include "host/progress.h"
#include "host/tool.h"
#include "common/fold_case.h"
#include "storage/lock.h"

namespace image {

namespace fs = std::filesystem;

using host::Progress;
using host::StopRequested;

namespace {

// Folders deeper than this below the Windows folder are not stood in for; a crafted volume could loop.
constexpr int kMaxDepth = 32;
// A Windows 98 folder holds about 6,000 files and folders; the tree read of a crafted volume stays bounded.
constexpr std::size_t kMostEntries = 1000000;

}  // namespace

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

// A text's lines (MSDOS.SYS), without their line ends; empty lines left out.
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

// Whether a file (relative to the Windows folder) is one of the registry files a run loads for `user`:
// SYSTEM.DAT and USER.DAT, and the user's PROFILES/user/USER.DAT.
bool IsRegistryFile(const std::string& relative, const std::string& user)
{
    return SameName(relative, "SYSTEM.DAT") || SameName(relative, "USER.DAT") ||
           (!user.empty() && SameName(relative, "PROFILES/" + user + "/USER.DAT"));
}

// Creates the empty file `file` in the run's scratch folder, never over an existing name nor through a link:
// its descriptor, or -1 with errno. The scratch folder goes with the run and none of its files is kept, so
// they are written plainly, not through the durable files' module: its fsync of every file would make a
// large file copied out wait for the disk, for nothing in a folder thrown away.
int CreateScratchFile(const fs::path& file)
{
    return open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// The path on the volume of a file relative to the Windows folder.
std::string OnVolume(const std::string& windows, const std::string& relative)
{
    return windows + "/" + relative;
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
    // The search goes on after each name put in, which may itself hold the path replaced.
    const auto replaceEach = [](std::string& text, const std::string& from, const std::string& to) {
        for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
    };
    std::string shown = message;
    replaceEach(shown, (machine_ / "WINDOWS").string() + "/", image_.string() + ":" + windowsPath_ + "/");
    replaceEach(shown, machine_.string(), image_.string());
    return shown;
}

std::string ImageMachine::VolumeSerial() const
{
    std::uint32_t serial = 0;
    if (!volume_.Serial(serial))
        return {};
    char text[10];
    std::snprintf(text, sizeof text, "%04X-%04X", static_cast<unsigned>(serial >> 16),
                  static_cast<unsigned>(serial & 0xFFFF));
    return text;
}

bool ImageMachine::OpenVolume(const Partition& partition, std::string& error, bool& fits)
{
    partition_ = partition;
    fits = true;
    if (!volume_.Open([this](std::uint64_t at, void* into, std::size_t size) {
            return disk_.Read(partition_.offset + at, into, size);
        }, error))
        return false;
    // The volume's own size must fit its partition: a boot sector claiming more would lead writes into the
    // next partition.
    if (volume_.size() > partition.size) {
        fits = false;
        error = image_.string() + ": the FAT volume of " +
                (partition.number == 0 ? std::string("the image") : "partition " + std::to_string(partition.number)) +
                " claims " + std::to_string(volume_.size()) + " bytes, more than the " + std::to_string(partition.size) +
                " of its partition: the disk's layout is damaged (run ScanDisk or fdisk in the virtual machine)";
        return false;
    }
    disk_.Bound(partition.offset, volume_.size());
    return true;
}

namespace {

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
            if (line.size() > 7 && SameName(line.substr(0, 7), "WinDir=")) {
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
            winCom = winCom || SameName(each.name, "WIN.COM");
            systemDat = systemDat || SameName(each.name, "SYSTEM.DAT");
        }
        if (winCom && systemDat)
            found.push_back(folder.name);
    }
    return found;
}

}  // namespace

bool ImageMachine::FindWindows(const ImageChoice& choice, std::string& error)
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
        std::string notFat;
        bool fits = true;
        if (!OpenVolume(volume, notFat, fits)) {
            // A FAT volume larger than its partition is damage to refuse, not a volume to pass over.
            if (!fits) {
                error = notFat;
                return false;
            }
            continue;
        }
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
    windowsPath_ = found.front().second;
    bool fits = true;
    return OpenVolume(found.front().first, error, fits);
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

// Makes the run's private temporary folder (mode 0700, a name this program makes) in the system's temporary
// folder, after removing those of killed runs. Nothing in it is ever the user's.
bool MakeWorkFolder(fs::path& work, std::string& error)
{
    std::error_code noTemp;
    const fs::path temp = fs::temp_directory_path(noTemp);
    if (noTemp) {
        error = "no temporary folder for the run (TMPDIR): " + noTemp.message();
        return false;
    }
    RemoveStaleTemporaryFolders(temp);
    // The process's id in the name tells a later run whether the folder's run is still alive.
    std::string pattern = (temp / (kTemporaryPrefix + std::to_string(getpid()) + ".XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        error = std::string("cannot make a temporary folder: ") + std::strerror(errno);
        return false;
    }
    work = pattern;
    return true;
}

}  // namespace

bool ImageMachine::ReadTree(const std::string& user, std::vector<std::string>& registryFiles, std::string& error)
{
    FatEntry windows;
    if (!volume_.Find(windowsPath_, windows)) {
        error = image_.string() + ": cannot read the folder " + windowsPath_;
        return false;
    }
    // Folder by folder; a folder met twice (a crafted volume's loop) is not read again.
    struct Pending {
        std::uint32_t cluster;
        int folder;
        std::string relative;  // "" or "SYSTEM/"
        int depth;
    };
    folders_.assign(1, Folder {});
    std::vector<Pending> pending {{windows.cluster, 0, "", 0}};
    std::set<std::uint32_t> seen {windows.cluster};
    Progress progress("reading " + windowsPath_ + " in " + image_.string(), 0, "files");
    std::uint64_t files = 0;
    std::size_t entries = 0;
    while (!pending.empty()) {
        if (StopRequested(error))
            return false;
        const Pending folder = pending.back();
        pending.pop_back();
        std::vector<FatEntry> listed;
        if (!volume_.List(folder.cluster, listed)) {
            error = image_.string() + ": cannot read the folder " + windowsPath_ + "/" + folder.relative;
            return false;
        }
        entries += listed.size();
        if (entries > kMostEntries) {
            error = image_.string() + ": " + windowsPath_ + " holds more than " + std::to_string(kMostEntries) +
                    " files and folders, far more than a Windows folder";
            return false;
        }
        std::vector<Node> nodes;
        for (FatEntry& entry : listed) {
            // A name from a damaged or crafted volume must not lead out of the machine folder.
            if (!PlainName(entry.name))
                continue;
            Node node {entry.name, std::move(entry.shortName), entry.cluster, entry.size, entry.folder()};
            const std::string relative = folder.relative + entry.name;
            if (node.folder) {
                if (folder.depth < kMaxDepth && entry.cluster != 0 && seen.insert(entry.cluster).second) {
                    node.inside = static_cast<int>(folders_.size());
                    folders_.emplace_back();
                    pending.push_back({entry.cluster, node.inside, relative + "/", folder.depth + 1});
                }
            } else {
                progress.Update(++files);
                if (IsRegistryFile(relative, user))
                    registryFiles.push_back(relative);
            }
            nodes.push_back(std::move(node));
        }
        folders_[static_cast<std::size_t>(folder.folder)].entries = std::move(nodes);
    }
    return true;
}

bool ImageMachine::MakeMachineFolder(std::string& error)
{
    if (!MakeWorkFolder(work_, error))
        return false;
    machine_ = work_ / "machine";
    standIn_ = work_ / "stand-in";
    std::error_code status;
    fs::create_directories(machine_ / "WINDOWS", status);
    const int empty = status ? -1 : CreateScratchFile(standIn_);
    if (empty < 0) {
        error = "cannot make the machine folder for " + image_.string() + ": " +
                (status ? status.message() : std::string(std::strerror(errno)));
        return false;
    }
    close(empty);
    return true;
}

bool ImageMachine::Lookup(const std::string& relative, Found& found)
{
    found = Found {};
    if (relative.empty())
        return true;
    int folder = 0;
    for (std::size_t start = 0; folder >= 0;) {
        const std::size_t slash = std::min(relative.find('/', start), relative.size());
        const std::string_view name = std::string_view(relative).substr(start, slash - start);
        auto& entries = folders_[static_cast<std::size_t>(folder)].entries;
        // As FatVolume::Find matches a name: the first entry whose long or short name it is.
        auto match = std::find_if(entries.begin(), entries.end(), [&](const Node& node) {
            return SameName(node.name, name) || SameName(node.shortName, name);
        });
        if (name.empty() || match == entries.end())
            return false;
        found.stored += (found.stored.empty() ? "" : "/") + match->name;
        found.path.push_back(&*match);
        if (slash == relative.size())
            return true;
        folder = match->folder ? match->inside : -1;
        start = slash + 1;
    }
    return false;
}

bool ImageMachine::Make(Node& node, const fs::path& host, std::string& error)
{
    if (node.made)
        return true;
    // Every stand-in is a link to one empty file: a name costs the machine folder no file of its own. Where
    // a file system takes no more links to it, a stand-in is an empty file of its own.
    bool made = node.folder ? mkdir(host.c_str(), 0700) == 0 : link(standIn_.c_str(), host.c_str()) == 0;
    if (!made && !node.folder && errno == EMLINK) {
        const int empty = CreateScratchFile(host);
        made = empty >= 0 && close(empty) == 0;
    }
    if (!made && errno != EEXIST) {
        error = "cannot make " + host.string() + " in the machine folder for " + image_.string() + ": " +
                std::strerror(errno);
        return false;
    }
    node.made = true;
    return true;
}

bool ImageMachine::Reach(const std::string& relative, bool contents, std::string& error)
{
    Found found;
    if (!Lookup(relative, found))
        return true;
    // The folders on the way, then the entry itself.
    fs::path host = machine_ / "WINDOWS";
    for (Node* node : found.path) {
        host /= node->name;
        if (!Make(*node, host, error))
            return false;
    }
    const int folder = found.path.empty() ? 0 : found.path.back()->inside;
    if (!contents || folder < 0 || folders_[static_cast<std::size_t>(folder)].filled)
        return true;
    for (Node& node : folders_[static_cast<std::size_t>(folder)].entries) {
        if (!node.folder && !Make(node, host / node.name, error))
            return false;
    }
    folders_[static_cast<std::size_t>(folder)].filled = true;
    return true;
}

bool ImageMachine::CopyOut(const Node& node, const fs::path& host, const std::function<void(std::uint64_t)>& copied,
                           storage::Sha256* digest, std::string& error)
{
    const std::string shown = OnVolume(windowsPath_, host.lexically_relative(machine_ / "WINDOWS").generic_string());
    // The stand-in, a link to the one empty file, makes way for a file of its own.
    const int fd = unlink(host.c_str()) != 0 && errno != ENOENT ? -1 : CreateScratchFile(host);
    if (fd < 0) {
        error = "cannot copy " + shown + " out of " + image_.string() + ": " + std::strerror(errno);
        return false;
    }
    FatEntry entry;
    entry.cluster = node.cluster;
    entry.size = node.size;
    std::uint64_t done = 0;
    int writeError = 0;
    bool stopped = false;
    const bool read = volume_.ReadFilePieces(entry, [&](const char* piece, std::size_t size) {
        if (StopRequested(error)) {
            stopped = true;
            return false;
        }
        if (!storage::WriteAll(fd, {piece, size})) {
            writeError = errno;
            return false;
        }
        if (digest != nullptr)
            digest->Add({piece, size});
        copied(done += size);
        return true;
    });
    close(fd);
    if (!read && !stopped)
        error = writeError != 0
                    ? "cannot copy " + shown + " out of " + image_.string() + ": " + std::strerror(writeError)
                    : image_.string() + ": cannot read " + shown;
    return read;
}

bool ImageMachine::CopyFilesOut(const std::vector<std::string>& files, std::uint64_t limit,
                                std::map<std::string, std::string>* digests, std::string& error)
{
    std::vector<Found> found(files.size());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!Lookup(files[i], found[i]) || found[i].node() == nullptr || found[i].node()->folder) {
            error = image_.string() + ": cannot read " + OnVolume(windowsPath_, files[i]);
            return false;
        }
        if (found[i].node()->size > limit) {
            error = image_.string() + ":" + OnVolume(windowsPath_, found[i].stored) + " is larger than " +
                    std::to_string(limit) + " bytes, more than a file of its kind: not read";
            return false;
        }
        total += found[i].node()->size;
    }
    Progress progress("reading files out of " + image_.string(), total);
    std::uint64_t before = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        storage::Sha256 digest;
        const auto copied = [&](std::uint64_t done) { progress.Update(before + done); };
        if (StopRequested(error) || !Reach(found[i].stored, false, error) ||
            !CopyOut(*found[i].node(), machine_ / "WINDOWS" / found[i].stored, copied,
                     digests != nullptr ? &digest : nullptr, error))
            return false;
        before += found[i].node()->size;
        if (digests != nullptr)
            (*digests)[found[i].stored] = digest.Hex();
    }
    return true;
}

bool ImageMachine::QemuToolsThere(bool writes, std::string& error) const
{
    if (disk_.inPlace())
        return true;
    for (const char* tool : {"qemu-img", "qemu-io"}) {
        if ((writes || std::strcmp(tool, "qemu-img") == 0) && !host::OnPath(tool)) {
            error = image_.string() + ": a " + disk_.format() + " image is " + (writes ? "read and written" : "read") +
                    " through qemu-img" + (writes ? " and qemu-io" : "") + ", and " + tool + " is missing (install " +
                    kQemuPackage + ")";
            return false;
        }
    }
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
    if (!disk_.Open(file_, image_.string(), error) || !QemuToolsThere(choice.writes, error))
        return false;
    // A run that only reads shares the image with other readers, unless a rollback journal left by a run cut
    // short is to be played back into it.
    std::error_code missing;
    const bool alone = choice.writes || fs::exists(RollbackJournalOf(file_), missing);
    if (!storage::LockForRun(disk_.fd(), alone ? storage::LockKind::Exclusive : storage::LockKind::Shared,
                             image_.string(), error) ||
        (!alone && fs::exists(RollbackJournalOf(file_), missing) &&
         !storage::LockForRun(disk_.fd(), storage::LockKind::Exclusive, image_.string(), error)))
        return false;
    if (choice.writes ? storage::QemuHolds(disk_.fd()) : storage::QemuKeepsFromReading(disk_.fd())) {
        error = image_.string() + " is in use by QEMU (a running virtual machine, qemu-img or qemu-io holds its "
                                  "lock): shut the virtual machine down first";
        return false;
    }
    // While this run writes a raw image, a virtual machine started on it is refused as if a QEMU held it.
    if (disk_.inPlace() && choice.writes)
        storage::HoldAsQemuWriter(disk_.fd());
    // Nothing is ever written into /dev: a device's journal lives in the user's state folder.
    journal_ = RollbackJournalOf(file_);
    if (disk_.device() && !DeviceJournalOf(disk_, journal_, error))
        return false;
    if (!disk_.Map(error) || !PlayBackRollbackJournal(disk_, journal_, image_.string(), said, error))
        return false;
    if (!FindWindows(choice, error))
        return false;
    said.push_back((disk_.device() ? "device " + image_.string()
                                   : "image " + image_.string() + " (" + disk_.format() + ")") +
                   (partition_.number == 0 ? std::string(": a FAT volume")
                                           : ": partition " + std::to_string(partition_.number)) +
                   ", Windows in " + windowsPath_);
    // The machine folder is scratch (see CreateScratchFile); what the image takes goes in under the rollback
    // journal. The registry files' real bytes are there from the start.
    std::vector<std::string> registryFiles;
    return ReadTree(user, registryFiles, error) && MakeMachineFolder(error) &&
           CopyFilesOut(registryFiles, choice.largestRegistryFile, &read_, error);
}

bool ImageMachine::Fetch(const std::vector<std::string>& files, std::uint64_t limit, std::string& error)
{
    return CopyFilesOut(files, limit, nullptr, error);
}

bool ImageMachine::FetchMachineFiles(const std::vector<std::string>& files, std::string& error)
{
    // Names are matched as FAT matches them: a file back under another case is the same file.
    std::vector<std::string> inWindows;
    for (const std::string& file : files) {
        const std::size_t slash = file.find('/');
        if (slash == std::string::npos || !SameName(file.substr(0, slash), "WINDOWS"))
            continue;
        const std::string relative = file.substr(slash + 1);
        // The folder a file goes back into is there for the restore, also when the file is not.
        const std::size_t last = relative.rfind('/');
        Found found;
        if (last != std::string::npos && !Reach(relative.substr(0, last), false, error))
            return false;
        if (Lookup(relative, found) && found.node() != nullptr && !found.node()->folder)
            inWindows.push_back(found.stored);
    }
    return Fetch(inWindows, UINT64_MAX, error);
}

storage::FileStamp ImageMachine::StampOf(const std::string& file)
{
    storage::FileStamp stamp;
    const std::size_t slash = file.find('/');
    FatEntry entry;
    if (slash != std::string::npos && volume_.Find(OnVolume(windowsPath_, file.substr(slash + 1)), entry) &&
        !entry.folder()) {
        stamp.kind = storage::FileStamp::Kind::Fat;
        stamp.fat = entry.stamp;
    }
    return stamp;
}

ChangeState ImageMachine::CommitFromFolder(const std::vector<storage::StampedFile>& written, std::string& error)
{
    std::vector<WrittenFile> files;
    for (const storage::StampedFile& file : written) {
        std::string bytes;
        if (storage::ReadRegularFile(AT_FDCWD, (machine_ / file.path).c_str(), UINT64_MAX, bytes) !=
            storage::ReadResult::Done) {
            error = "cannot read " + (machine_ / file.path).string();
            return ChangeState::Untouched;
        }
        files.push_back({file.path, std::move(bytes), file.stamp});
    }
    return Commit(std::move(files), {}, error);
}

bool ImageMachine::ReadFilesUnchanged(std::string& error)
{
    for (const auto& [file, digest] : read_) {
        FatEntry entry;
        storage::Sha256 now;
        const bool read = volume_.Find(OnVolume(windowsPath_, file), entry) && !entry.folder() &&
                          volume_.ReadFilePieces(entry, [&](const char* piece, std::size_t size) {
                              now.Add({piece, size});
                              return true;
                          });
        if (!read || now.Hex() != digest) {
            error = image_.string() + ":" + OnVolume(windowsPath_, file) +
                    " changed in the image while this run worked (run again)";
            return false;
        }
    }
    return true;
}

ChangeState ImageMachine::Commit(std::vector<WrittenFile> written, const std::vector<std::string>& removed,
                                 std::string& error)
{
    if (written.empty() && removed.empty())
        return ChangeState::Done;
    // Read afresh: what the image holds now, not what the run read at its start.
    bool fits = true;
    if (!disk_.Map(error) || !OpenVolume(partition_, error, fits) || !ReadFilesUnchanged(error))
        return ChangeState::Untouched;
    VolumeEdit edit;
    edit.when = std::time(nullptr);
    for (WrittenFile& file : written) {
        file.path = OnVolume(windowsPath_, file.path.substr(file.path.find('/') + 1));
        edit.written.push_back(std::move(file));
    }
    for (const std::string& file : removed)
        edit.removed.push_back(OnVolume(windowsPath_, file));
    std::vector<DiskChange> changes;
    std::vector<DiskChange> old;
    if (!PlanVolumeChange(volume_, partition_.offset, image_.string(), edit, changes, old, error) || StopRequested(error))
        return ChangeState::Untouched;
    // From the journal on, an interrupt stops the run only while the journal is written: once the image
    // takes its first change, the run finishes them all (or the next start plays the journal back).
    readBack_ = {};
    return ChangeUnderJournal(disk_, journal_, changes, old, error, &readBack_,
                              [&](Disk& fresh, ReadBackResult& result, std::string& why) {
                                  return CheckVolumeWritten(fresh, edit, result, why);
                              });
}

bool ImageMachine::CheckVolumeWritten(Disk& fresh, const VolumeEdit& edit, ReadBackResult& result,
                                      std::string& error) const
{
    FatVolume volume;
    const std::uint64_t offset = partition_.offset;
    if (!volume.Open([&](std::uint64_t at, void* into, std::size_t size) { return fresh.Read(offset + at, into, size); },
                     error)) {
        error = image_.string() + ": read back, its FAT volume does not open: " + error;
        return false;
    }
    for (const WrittenFile& file : edit.written) {
        FatEntry entry;
        std::string bytes;
        if (!volume.Find(file.path, entry) || entry.folder() || !volume.ReadFile(entry, bytes) || bytes != file.bytes) {
            error = image_.string() + ":" + file.path + ", read back through its FAT chain, is not what was written";
            return false;
        }
        ++result.files;
        const std::string name = file.path.substr(file.path.rfind('/') + 1);
        bool checked = false;
        std::string why;
        if (checkWritten_ && !checkWritten_(name, bytes, checked, why)) {
            error = image_.string() + ":" + file.path + ", read back, " + why;
            return false;
        }
        if (checked)
            ++result.registryFiles;
    }
    for (const std::string& file : edit.removed) {
        FatEntry entry;
        if (volume.Find(file, entry)) {
            error = image_.string() + ":" + file + ", read back, is still there";
            return false;
        }
        ++result.files;
    }
    return true;
}

std::vector<fs::path> ImageMachine::files() const
{
    std::vector<fs::path> files = disk_.files();
    files.push_back(journal_);
    return files;
}

}  // namespace image
