#include "image/disk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "host/progress.h"

namespace image {

namespace fs = std::filesystem;

using host::Progress;

namespace {

// The name the kernel gives the block device `device` ("sdb", "mmcblk0p1", "loop3"), or empty.
std::string KernelName(dev_t device)
{
    std::error_code status;
    const fs::path link = fs::read_symlink(
        "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device)), status);
    return status ? std::string() : link.filename().string();
}

// The first line of a small file of sysfs, or empty.
std::string SysfsLine(const fs::path& file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// A mount point as /proc/self/mountinfo writes it, its escapes (\040 for a space) undone.
std::string Unescaped(const std::string& field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field.find_first_not_of("01234567", i + 1) >= i + 4) {
            text += static_cast<char>(std::strtoul(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// What holds the block device `device` that the kernel refused to claim: a partition of it (or itself)
// mounted, or taken by another device (a RAID, LVM or encrypted volume), else a program.
std::string DeviceHolder(dev_t device)
{
    const std::string name = KernelName(device);
    // The device and its partitions, by "major:minor", each with its name.
    std::vector<std::pair<std::string, std::string>> parts {
        {std::to_string(major(device)) + ":" + std::to_string(minor(device)), name}};
    std::error_code status;
    if (!name.empty()) {
        for (const auto& entry : fs::directory_iterator("/sys/class/block/" + name, status)) {
            if (fs::exists(entry.path() / "partition", status))
                parts.push_back({SysfsLine(entry.path() / "dev"), entry.path().filename().string()});
        }
    }
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string id, parent, numbers, root, point;
        fields >> id >> parent >> numbers >> root >> point;
        for (const auto& [number, part] : parts) {
            if (number == numbers)
                return (part == name ? std::string("it") : "its partition /dev/" + part) + " is mounted at " +
                       Unescaped(point) + ": unmount it first";
        }
    }
    for (const auto& [number, part] : parts) {
        for (const auto& holder : fs::directory_iterator("/sys/class/block/" + part + "/holders", status))
            return (part == name ? std::string("it") : "its partition /dev/" + part) + " is taken by /dev/" +
                   holder.path().filename().string() + " (a RAID, LVM or encrypted volume): stop that first";
    }
    return "another program holds it (a file manager that mounted it, a partition editor, a virtual machine): "
           "close that first";
}

}  // namespace

// The format of the file `fd` of `size` bytes, told from its own bytes.
bool Disk::ProbeOpened(int fd, std::uint64_t size, ImageFormat& format, storage::Syscalls& calls)
{
    std::string head(static_cast<std::size_t>(std::min<std::uint64_t>(size, kProbeHead)), '\0');
    std::string tail(static_cast<std::size_t>(std::min<std::uint64_t>(size, kSector)), '\0');
    if (!storage::ReadAllAt(fd, head.data(), head.size(), 0, calls) ||
        !storage::ReadAllAt(fd, tail.data(), tail.size(), size - tail.size(), calls))
        return false;
    format = ProbeFormat(head, tail, size);
    return true;
}

int Disk::OpenWithoutWaiting(const fs::path& path, int flags) const
{
    const int fd = calls_.OpenAt(AT_FDCWD, path.c_str(), flags | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

Disk::~Disk()
{
    for (const Layer& layer : layers_) {
        if (layer.fd != fd_)
            close(layer.fd);
    }
    if (fd_ >= 0)
        close(fd_);
}

bool Disk::Open(const fs::path& file, const std::string& shown, std::string& error)
{
    file_ = file;
    shown_ = shown;
    struct stat named { };
    device_ = stat(file.c_str(), &named) == 0 && S_ISBLK(named.st_mode);
    // A device is claimed for this run alone; for any other file O_EXCL would mean nothing without O_CREAT.
    const int exclusive = device_ ? O_EXCL : 0;
    fd_ = OpenWithoutWaiting(file, O_RDWR | exclusive);
    if (fd_ < 0 && (errno == EACCES || errno == EROFS || errno == EPERM || errno == EISDIR)) {
        readOnly_ = true;
        fd_ = OpenWithoutWaiting(file, O_RDONLY | exclusive);
    }
    if (fd_ < 0) {
        error = device_ && errno == EBUSY
                    ? shown + " is in use: " + DeviceHolder(named.st_rdev)
                    : shown + ": " + std::strerror(errno);
        return false;
    }
    return device_ ? ProbeDevice(error) : ProbeFile(error);
}

bool Disk::ProbeDevice(std::string& error)
{
    struct stat status { };
    std::uint64_t bytes = 0;
    int sector = 0;
    int locked = 0;
    if (fstat(fd_, &status) != 0 || !S_ISBLK(status.st_mode) || ioctl(fd_, BLKGETSIZE64, &bytes) != 0 ||
        ioctl(fd_, BLKSSZGET, &sector) != 0 || ioctl(fd_, BLKROGET, &locked) != 0) {
        error = shown_ + ": cannot read the device's size: " + std::strerror(errno);
        return false;
    }
    if (static_cast<std::uint64_t>(sector) != kSector) {
        error = shown_ + " has sectors of " + std::to_string(sector) + " bytes: only a disk of 512-byte sectors, as "
                         "Windows 9x knows, is supported";
        return false;
    }
    if (bytes < kSector) {
        error = shown_ + ": the device holds no medium (is the card in its reader?)";
        return false;
    }
    readOnly_ = readOnly_ || locked != 0;
    // Whatever its first bytes look like, a device is the disk itself.
    format_ = {"raw", {}, {}};
    size_ = bytes;
    layers_ = {{file_, fd_, "raw"}};
    return true;
}

bool Disk::ProbeFile(std::string& error)
{
    struct stat status { };
    const bool known = fstat(fd_, &status) == 0;
    if (known && S_ISDIR(status.st_mode)) {
        error = shown_ + " is a folder, not a disk image: for a machine folder, use --machine " + shown_;
        return false;
    }
    if (!known || !S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) < kSector ||
        !ProbeOpened(fd_, static_cast<std::uint64_t>(status.st_size), format_, calls_)) {
        error = shown_ + ": not a disk image (not a regular file of at least one sector)";
        return false;
    }
    if (!format_.refusal.empty()) {
        error = shown_ + ": " + format_.refusal;
        return false;
    }
    size_ = static_cast<std::uint64_t>(status.st_size);
    // A fixed VHD is the raw disk with a 512-byte footer, which stays as it is.
    if (format_.name == "fixed VHD")
        size_ -= kSector;
    layers_ = {{file_, fd_, format_.driver.empty() ? "raw" : format_.driver}};
    return true;
}

std::vector<fs::path> Disk::files() const
{
    std::vector<fs::path> files {file_};
    for (std::size_t i = 1; i < layers_.size(); ++i)
        files.push_back(layers_[i].path);
    return files;
}

void Disk::Bound(std::uint64_t start, std::uint64_t length)
{
    bounded_ = true;
    boundStart_ = start;
    boundLength_ = length;
}

bool Disk::Read(std::uint64_t offset, void* into, std::size_t size) const
{
    if (offset + size > size_ || offset + size < offset)
        return false;
    auto* out = static_cast<unsigned char*>(into);
    if (inPlace())
        return storage::ReadAllAt(fd_, out, size, offset, calls_);
    // The map's stretches are in order and cover the disk.
    auto stretch = std::upper_bound(stretches_.begin(), stretches_.end(), offset,
                                    [](std::uint64_t at, const Stretch& s) { return at < s.start; });
    if (stretch == stretches_.begin())
        return false;
    --stretch;
    std::size_t done = 0;
    for (; done < size && stretch != stretches_.end(); ++stretch) {
        const std::uint64_t at = offset + done;
        const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, stretch->start + stretch->length - at));
        if (stretch->layer < 0)
            std::memset(out + done, 0, part);
        else if (!storage::ReadAllAt(layers_[static_cast<std::size_t>(stretch->layer)].fd, out + done, part,
                                     stretch->fileOffset + (at - stretch->start), calls_))
            return false;
        done += part;
    }
    return done == size;
}

bool Disk::InBounds(const std::vector<DiskChange>& changes, std::string& error) const
{
    for (const DiskChange& change : changes) {
        const std::uint64_t end = change.offset + change.bytes.size();
        if (!bounded_ || change.offset < boundStart_ || end < change.offset || end > boundStart_ + boundLength_ ||
            end > size_) {
            error = "cannot write into " + shown_ + ": bytes " + std::to_string(change.offset) + " to " +
                    std::to_string(end) + " lie outside the volume being changed" +
                    (bounded_ ? " (bytes " + std::to_string(boundStart_) + " to " +
                                    std::to_string(boundStart_ + boundLength_) + ")"
                              : std::string()) +
                    "; nothing was written";
            return false;
        }
    }
    return true;
}

bool Disk::Write(const std::vector<DiskChange>& changes, std::string& error)
{
    if (!InBounds(changes, error))
        return false;
    if (!(inPlace() ? WriteInPlace(changes, error) : WriteThroughQemu(changes, error)))
        return false;
    if (calls_.Fsync(fd_) != 0) {
        error = "cannot flush " + shown_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool Disk::WriteInPlace(const std::vector<DiskChange>& changes, std::string& error)
{
    std::uint64_t total = 0;
    for (const DiskChange& change : changes)
        total += change.bytes.size();
    Progress progress("writing into " + shown_, total);
    std::uint64_t done = 0;
    constexpr std::size_t kChunk = 1 << 20;
    for (const DiskChange& change : changes) {
        for (std::size_t at = 0; at < change.bytes.size(); at += kChunk) {
            const std::string_view part = std::string_view(change.bytes).substr(at, kChunk);
            if (!storage::WriteAllAt(fd_, part, change.offset + at, calls_)) {
                error = "cannot write into " + shown_ + ": " + std::strerror(errno);
                return false;
            }
            progress.Update(done += part.size());
        }
    }
    return true;
}

bool Disk::OpenAgain(const Disk& from, std::string& error)
{
    file_ = from.file_;
    shown_ = from.shown_;
    device_ = from.device_;
    format_ = from.format_;
    fd_ = calls_.OpenAt(AT_FDCWD, file_.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat now { };
    struct stat then { };
    if (fd_ < 0 || fstat(fd_, &now) != 0 || fstat(from.fd_, &then) != 0) {
        error = "cannot open " + shown_ + " again to read back what was written: " + std::strerror(errno);
        return false;
    }
    if (now.st_dev != then.st_dev || now.st_ino != then.st_ino || now.st_rdev != then.st_rdev) {
        error = shown_ + " names another file than the one written, so what was written cannot be read back";
        return false;
    }
    layers_ = {{file_, fd_, from.layers_.front().driver}};
    for (std::size_t i = 1; i < from.layers_.size(); ++i) {
        const int fd = calls_.OpenAt(AT_FDCWD, from.layers_[i].path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            error = "cannot open " + from.layers_[i].path.string() + " again to read back what was written: " +
                    std::strerror(errno);
            return false;
        }
        layers_.push_back({from.layers_[i].path, fd, from.layers_[i].driver});
    }
    size_ = from.size_;
    described_ = true;
    return inPlace() || MapData(error);
}

bool Disk::ReadBack(const std::vector<DiskChange>& changes, Disk& fresh, std::string& error) const
{
    if (!fresh.OpenAgain(*this, error))
        return false;
    // What the caches hold goes, so that the reads below come from the medium: a device's buffer cache (the
    // kernel flushes it first), else the image file's pages at the changed places (written and flushed
    // already, so dropped, not lost). An image in a format of QEMU's is read where qemu-img maps it now.
    if (device_) {
        if (ioctl(fresh.fd_, BLKFLSBUF, 0) != 0)
            posix_fadvise(fresh.fd_, 0, 0, POSIX_FADV_DONTNEED);
    } else if (inPlace()) {
        for (const DiskChange& change : changes)
            posix_fadvise(fresh.fd_, static_cast<off_t>(change.offset), static_cast<off_t>(change.bytes.size()),
                          POSIX_FADV_DONTNEED);
    } else {
        for (const Layer& layer : fresh.layers_)
            posix_fadvise(layer.fd, 0, 0, POSIX_FADV_DONTNEED);
    }
    std::string read;
    for (const DiskChange& change : changes) {
        read.assign(change.bytes.size(), '\0');
        if (!fresh.Read(change.offset, read.data(), read.size())) {
            error = "cannot read back bytes " + std::to_string(change.offset) + " to " +
                    std::to_string(change.offset + change.bytes.size()) + " of " + shown_ + ": " +
                    std::strerror(errno != 0 ? errno : EIO);
            return false;
        }
        if (read != change.bytes) {
            const std::size_t at = static_cast<std::size_t>(
                std::mismatch(read.begin(), read.end(), change.bytes.begin()).first - read.begin());
            error = shown_ + " does not hold what was written into it: read back, the sector at byte " +
                    std::to_string((change.offset + at) / kSector * kSector) +
                    " differs (the disk or its reader lost the write)";
            return false;
        }
    }
    return true;
}

}  // namespace image
