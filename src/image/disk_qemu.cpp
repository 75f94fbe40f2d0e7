// The QEMU half of the disk: an image in a format of QEMU's is read through its chain of layers, each opened
// here and handed to the tools as /proc/self/fd/N with its driver named (never probed by a tool): qemu-img
// describes the chain and maps where each range's data lies, and qemu-io writes a change.
#include "image/disk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/little_endian.h"
#include "host/progress.h"
#include "host/tool.h"
#include "json/json.h"

namespace image {

namespace fs = std::filesystem;

using host::Complaint;
using host::Progress;
using host::RunTool;
using host::Tool;

namespace {

// A backing chain deeper than this is refused: a crafted chain could be endless.
constexpr std::size_t kMaxLayers = 16;
// Changes written by one qemu-io run, each from a descriptor of its own.
constexpr std::size_t kChangesPerRun = 64;

std::string FdName(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

// One layer of a chain as QEMU's block options, its file as /proc/self/fd/N; `prefix` places it in the chain
// ("" for the top, "backing." for the layer below it, and so on).
std::string LayerOptions(const std::string& prefix, const std::string& driver, int fd)
{
    return prefix + "driver=" + driver + "," + prefix + "file.driver=file," + prefix + "file.filename=" + FdName(fd);
}

// The formats whose images QEMU lets name a backing file.
bool TakesBacking(const std::string& driver)
{
    return driver == "qcow2" || driver == "qcow" || driver == "qed" || driver == "vmdk";
}

// A backing file name QEMU would read as options or a protocol ("json:{...}", "nbd:host:port"), not a file.
bool NamesNoFile(const std::string& name)
{
    const std::size_t special = name.find_first_of(":/");
    return special != std::string::npos && name[special] == ':';
}

// A VMDK's descriptor (the text naming its CID and extents), embedded in a sparse VMDK where its header
// says. `at` receives its offset in the file, `room` the bytes it may take there.
bool VmdkDescriptor(int fd, std::string& text, std::uint64_t& at, std::uint64_t& room, storage::Syscalls& calls)
{
    unsigned char header[64];
    if (!storage::ReadAllAt(fd, header, sizeof header, 0, calls) || std::memcmp(header, "KDMV", 4) != 0)
        return false;
    at = byte_order::Le64(header + 28) * kSector;
    room = std::min<std::uint64_t>(byte_order::Le64(header + 36) * kSector, 1 << 20);
    text.assign(static_cast<std::size_t>(room), '\0');
    if (room == 0 || !storage::ReadAllAt(fd, text.data(), text.size(), at, calls))
        return false;
    text.resize(std::min(text.size(), text.find('\0')));
    return true;
}

// A VMDK's descriptor, where it lies, and where in it the CID line's value ("CID=fffffffe") stands.
struct VmdkDescriptorText {
    std::string text;
    std::uint64_t at = 0;
    std::uint64_t room = 0;
    std::size_t cid = 0;        // offset of the value in `text`
    std::size_t cidLength = 0;  // up to the line's end
};

bool ReadVmdkCid(int fd, VmdkDescriptorText& descriptor, storage::Syscalls& calls)
{
    if (!VmdkDescriptor(fd, descriptor.text, descriptor.at, descriptor.room, calls))
        return false;
    const std::size_t line = descriptor.text.find("\nCID=");
    if (line == std::string::npos)
        return false;
    descriptor.cid = line + 5;
    descriptor.cidLength = descriptor.text.find_first_of("\r\n", descriptor.cid) - descriptor.cid;
    return true;
}

// The CID line's value in a VMDK's descriptor.
bool VmdkCid(int fd, std::string& cid, storage::Syscalls& calls)
{
    VmdkDescriptorText descriptor;
    if (!ReadVmdkCid(fd, descriptor, calls))
        return false;
    cid = descriptor.text.substr(descriptor.cid, descriptor.cidLength);
    return true;
}

// Puts `cid` back as the VMDK's CID: the descriptor rewritten with that line changed alone.
bool SetVmdkCid(int fd, const std::string& cid, storage::Syscalls& calls)
{
    VmdkDescriptorText descriptor;
    if (!ReadVmdkCid(fd, descriptor, calls))
        return false;
    std::string& text = descriptor.text;
    const std::size_t old = text.size();
    text.replace(descriptor.cid, descriptor.cidLength, cid);
    if (text.size() > descriptor.room)
        return false;
    if (text.size() < old)
        text.append(old - text.size(), '\0');
    return storage::WriteAllAt(fd, text, descriptor.at, calls) && calls.Fsync(fd) == 0;
}

// A file in memory holding `bytes`, for a tool to read as /proc/self/fd/N. -1 when it cannot be made.
int MemoryFile(const std::string& bytes)
{
    const int fd = memfd_create("cmpci-change", MFD_CLOEXEC);
    if (fd >= 0 && !storage::WriteAll(fd, bytes)) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::string Disk::Named(const std::string& text) const
{
    std::string named = text;
    for (const Layer& layer : layers_) {
        // The search goes on after each path put in, which may itself hold the descriptor's name; a name
        // followed by a digit is another descriptor's (/proc/self/fd/1 in /proc/self/fd/12).
        const std::string name = FdName(layer.fd);
        const std::string path = layer.path.string();
        for (std::size_t at = named.find(name); at != std::string::npos;) {
            const std::size_t end = at + name.size();
            if (end < named.size() && named[end] >= '0' && named[end] <= '9') {
                at = named.find(name, end);
                continue;
            }
            named.replace(at, name.size(), path);
            at = named.find(name, at + path.size());
        }
    }
    return named;
}

std::string Disk::ChainOptions() const
{
    std::string options;
    std::string prefix;
    for (std::size_t i = 0; i < layers_.size(); ++i) {
        options += (i == 0 ? "" : ",") + LayerOptions(prefix, layers_[i].driver, layers_[i].fd);
        if (i > 0)
            options += "," + prefix + "read-only=on";
        prefix += "backing.";
    }
    return options;
}

std::vector<int> Disk::LayerFds() const
{
    std::vector<int> fds;
    for (const Layer& layer : layers_)
        fds.push_back(layer.fd);
    return fds;
}

bool Disk::Map(std::string& error)
{
    if (inPlace())
        return true;
    if (!described_ && !DescribeChain(error))
        return false;
    described_ = true;
    return MapData(error);
}

bool Disk::DescribeChain(std::string& error)
{
    // Each layer that may have one names its backing file in its header; qemu-img reads that name for us,
    // from the one layer it is given, and opens nothing else.
    for (std::size_t i = 0; i < layers_.size() && TakesBacking(layers_[i].driver); ++i) {
        const Layer& layer = layers_[i];
        Tool info;
        if (!RunTool({"qemu-img", "info", "--output=json", "--image-opts", LayerOptions("", layer.driver, layer.fd)},
                     info, kQemuPackage, {layer.fd})) {
            error = shown_ + ": qemu-img cannot read " + (i == 0 ? std::string("it") : layer.path.string()) + ": " +
                    Named(Complaint(info));
            return false;
        }
        // A description that is not JSON names no backing file, as one without the field.
        json::Document described;
        std::string notJson;
        json::Parse(info.out, described, notJson);
        std::string backing;
        std::string recorded;
        described.Root().Member("backing-filename").Text(backing);
        described.Root().Member("backing-filename-format").Text(recorded);
        if (!backing.empty() && !AddBackingLayer(backing, recorded, error))
            return false;
    }
    return true;
}

bool Disk::AddBackingLayer(const std::string& name, const std::string& recorded, std::string& error)
{
    const Layer& above = layers_.back();
    if (NamesNoFile(name) || layers_.size() >= kMaxLayers) {
        error = shown_ + ": its backing file \"" + name + "\" " +
                (layers_.size() >= kMaxLayers ? "lies deeper than a chain of " + std::to_string(kMaxLayers) + " files"
                                              : "is named as QEMU options or a protocol, not as a file") +
                ", which is not supported";
        return false;
    }
    // QEMU takes a relative name from the folder of the file that names it.
    const fs::path path = fs::path(name).is_absolute() ? fs::path(name) : above.path.parent_path() / name;
    const int fd = OpenWithoutWaiting(path, O_RDONLY);
    struct stat status { };
    const bool known = fd >= 0 && fstat(fd, &status) == 0;
    ImageFormat format;
    if (known && !S_ISREG(status.st_mode)) {
        error = shown_ + ": its backing file " + path.string() +
                " is not a regular file (a FIFO, a socket, a device or a folder), which is not supported";
        close(fd);
        return false;
    }
    if (!known || !ProbeOpened(fd, static_cast<std::uint64_t>(status.st_size), format, calls_)) {
        error = shown_ + ": cannot read its backing file " + path.string() + (fd < 0 ? ": " + std::string(std::strerror(errno)) : "");
        if (fd >= 0)
            close(fd);
        return false;
    }
    layers_.push_back({path, fd, {}});
    for (std::size_t i = 0; i + 1 < layers_.size(); ++i) {
        struct stat other { };
        if (fstat(layers_[i].fd, &other) == 0 && other.st_dev == status.st_dev && other.st_ino == status.st_ino) {
            error = shown_ + ": its backing chain comes back to " + layers_[i].path.string() + ", which is not supported";
            return false;
        }
    }
    // The format the image records for its backing file is the one QEMU uses; without one, QEMU probes, and a
    // fixed VHD is then a raw file.
    const std::string driver = !recorded.empty() ? recorded : format.driver.empty() ? "raw" : format.driver;
    if (!KnownDriver(driver) || (!format.refusal.empty() && (recorded.empty() || recorded == format.name))) {
        error = shown_ + ": its backing file " + path.string() + " is " +
                (format.refusal.empty() ? "of the format " + driver + ", which is not supported" : format.refusal);
        return false;
    }
    layers_.back().driver = driver;
    return true;
}

bool Disk::MapData(std::string& error)
{
    Tool map;
    if (!RunTool({"qemu-img", "map", "--output=json", "--image-opts", ChainOptions()}, map, kQemuPackage, LayerFds())) {
        error = shown_ + ": qemu-img cannot map it: " + Named(Complaint(map));
        return false;
    }
    stretches_.clear();
    std::uint64_t end = 0;
    json::Document parts;
    std::string notJson;
    if (!json::Parse(map.out, parts, notJson) || !parts.Root().IsArray()) {
        error = shown_ + ": qemu-img's map of it is not the JSON list it prints";
        return false;
    }
    for (const json::Value part : parts.Root().Elements()) {
        Stretch stretch {0, 0, -1, 0};
        std::uint64_t depth = 0;
        if (!part.Member("start").Number(stretch.start) || !part.Member("length").Number(stretch.length) ||
            !part.Member("depth").Number(depth)) {
            error = shown_ + ": qemu-img's map of it lacks a part's start, length or depth";
            return false;
        }
        if (stretch.start != end) {
            error = shown_ + ": qemu-img's map of it has a gap at byte " + std::to_string(end);
            return false;
        }
        end = stretch.start + stretch.length;
        if (part.Member("data").IsTrue()) {
            // Compressed or encrypted data has no place in a file that a plain read could take it from.
            if (!part.Member("offset").Number(stretch.fileOffset) || depth >= layers_.size()) {
                error = shown_ + ": part of its data is compressed or encrypted; convert it first (qemu-img convert "
                                 "-O " + format_.name + ")";
                return false;
            }
            stretch.layer = static_cast<int>(depth);
        }
        stretches_.push_back(stretch);
    }
    size_ = end;
    if (size_ == 0) {
        error = shown_ + ": qemu-img gives no size for it";
        return false;
    }
    return true;
}

bool Disk::WriteThroughQemu(const std::vector<DiskChange>& changes, std::string& error)
{
    // QEMU gives a VMDK a new content ID (CID) when it first writes it; the disk's owner (VMware, VirtualBox)
    // knows it by the old one, which goes back after the write.
    std::string cid;
    const bool vmdk = format_.driver == "vmdk" && VmdkCid(fd_, cid, calls_);
    Progress progress("writing into " + shown_, changes.size());
    for (std::size_t first = 0; first < changes.size(); first += kChangesPerRun) {
        if (!RunQemuIo(changes, first, std::min(kChangesPerRun, changes.size() - first), error))
            return false;
        progress.Update(first + std::min(kChangesPerRun, changes.size() - first));
    }
    std::string now;
    if (vmdk && VmdkCid(fd_, now, calls_) && now != cid && !SetVmdkCid(fd_, cid, calls_)) {
        error = shown_ + ": written, but its VMDK content ID could not be kept (" + cid + ", now " + now + ")";
        return false;
    }
    return true;
}

bool Disk::RunQemuIo(const std::vector<DiskChange>& changes, std::size_t first, std::size_t count, std::string& error)
{
    // Each change's bytes in a file in memory that qemu-io reads by descriptor; then one flush.
    std::vector<int> passed = LayerFds();
    std::vector<std::string> words {"qemu-io", "--image-opts"};
    bool made = true;
    for (std::size_t i = first; made && i < first + count; ++i) {
        const int bytes = MemoryFile(changes[i].bytes);
        made = bytes >= 0;
        if (made) {
            passed.push_back(bytes);
            words.insert(words.end(), {"-c", "write -q -s " + FdName(bytes) + " " + std::to_string(changes[i].offset) +
                                                 " " + std::to_string(changes[i].bytes.size())});
        }
    }
    words.insert(words.end(), {"-c", "flush", ChainOptions()});
    Tool tool;
    const bool written = made && RunTool(words, tool, kQemuPackage, passed) && tool.err.empty() &&
                         tool.out.find("error") == std::string::npos;
    for (std::size_t i = layers_.size(); i < passed.size(); ++i)
        close(passed[i]);
    if (!made) {
        error = "cannot write into " + shown_ + ": cannot hold its change in memory: " + std::strerror(errno);
        return false;
    }
    if (!written) {
        const std::string why = tool.err.empty() ? tool.out.substr(0, tool.out.find('\n')) : Complaint(tool);
        error = "cannot write into " + shown_ + " (qemu-io): " + Named(why);
        return false;
    }
    return true;
}

}  // namespace image
