#include "image/change.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "host/tool.h"

namespace image {

namespace fs = std::filesystem;

using host::Complaint;
using host::RunTool;
using host::Tool;

namespace {

constexpr std::uint64_t kSector = 512;
const char kMtools[] = "mtools";

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
void Touched(const VolumeEdit& edit, std::vector<std::string>& files, std::vector<std::string>& folders)
{
    for (const auto& [onVolume, host] : edit.written)
        files.push_back(onVolume);
    for (const std::string& file : edit.removed)
        files.push_back(file);
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
bool ChangeOverlay(const Overlay& overlay, const fs::path& image, const VolumeEdit& edit,
                   const std::vector<std::string>& files, std::string& error)
{
    const std::string volume = overlay.file().string();
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string inVolume = "::/" + files[i];
        Tool tool;
        bool done = true;
        if (i < edit.written.size()) {
            done = WriteInto(volume, edit.written[i].second, inVolume, error);
        } else {
            RunTool({"mattrib", "-i", volume, "-r", inVolume}, tool, kMtools);
            done = RunTool({"mdel", "-i", volume, inVolume}, tool, kMtools);
            error = Complaint(tool);
        }
        if (!done) {
            error = "cannot " + std::string(i < edit.written.size() ? "write " : "delete ") + files[i] + " in " +
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

bool PlanVolumeChange(FatVolume& volume, std::uint64_t offset, const fs::path& image, const fs::path& scratch,
                      const VolumeEdit& edit, std::vector<DiskChange>& changes, std::vector<DiskChange>& old,
                      std::string& error)
{
    std::vector<std::string> files;
    std::vector<std::string> folders;
    Touched(edit, files, folders);
    Overlay overlay;
    if (!CopyMetadata(volume, image, scratch / "volume", folders, overlay, error) ||
        !ChangeOverlay(overlay, image, edit, files, error))
        return false;
    FatVolume after;
    const int fd = overlay.fd();
    if (!after.Open([fd](std::uint64_t at, void* into, std::size_t size) {
            return pread(fd, into, size, static_cast<off_t>(at)) == static_cast<ssize_t>(size);
        }, error)) {
        error = "mtools left the copy of " + image.string() + "'s volume unreadable: " + error;
        return false;
    }
    return ChangedSectors(volume, offset, image, overlay, changes, old, error) &&
           NewClusters(volume, offset, image, overlay, after, files, edit.written.size(), folders, changes, old, error);
}

}  // namespace image
