#include "image/disk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/progress.h"
#include "host/tool.h"
#include "storage/durable.h"

namespace image {

namespace fs = std::filesystem;

using host::Complaint;
using host::Progress;
using host::RunTool;
using host::Tool;

namespace {

constexpr std::uint64_t kSector = 512;
const char kQemuPackage[] = "qemu-utils";

// The value of the first `"key": ...` in qemu-img's JSON (a string without its quotes, or a number), or
// empty. The keys asked for stand once in each object qemu-img prints.
std::string JsonValue(const std::string& json, const std::string& key, std::size_t from = 0)
{
    const std::string quoted = "\"" + key + "\":";
    std::size_t at = json.find(quoted, from);
    if (at == std::string::npos)
        return {};
    at += quoted.size();
    while (at < json.size() && json[at] == ' ')
        ++at;
    std::string value;
    if (at < json.size() && json[at] == '"') {
        for (++at; at < json.size() && json[at] != '"'; ++at) {
            if (json[at] == '\\' && at + 1 < json.size())
                ++at;
            value += json[at];
        }
        return value;
    }
    while (at < json.size() && json[at] != ',' && json[at] != '}' && json[at] != '\n')
        value += json[at++];
    return value;
}

std::uint64_t Number(const std::string& text)
{
    return text.empty() ? 0 : std::strtoull(text.c_str(), nullptr, 10);
}

// The formats QEMU knows and a raw disk is not, told by their headers: qcow2, QED, VMDK (sparse or a
// descriptor), VDI, a dynamic or differencing VHD (its footer copied at the start).
bool QemuHeader(const unsigned char* s)
{
    static const unsigned char kVdi[4] = {0x7F, 0x10, 0xDA, 0xBE};
    return std::memcmp(s, "QFI\xFB", 4) == 0 || std::memcmp(s, "QEMU QED", 8) == 0 || std::memcmp(s, "KDMV", 4) == 0 ||
           std::memcmp(s, "# Disk DescriptorFile", 21) == 0 || std::memcmp(s + 64, kVdi, 4) == 0 ||
           std::memcmp(s, "conectix", 8) == 0;
}

// A VMDK's descriptor (the text naming its CID and extents): embedded in a sparse VMDK where its header
// says, or the whole file of a descriptor VMDK. `at` receives its offset in the file, `room` the bytes it may
// take there (0: as many as it needs, the file then ending with it).
bool VmdkDescriptor(int fd, std::string& text, std::uint64_t& at, std::uint64_t& room)
{
    unsigned char header[64];
    if (pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header))
        return false;
    std::uint64_t size = 64 * 1024;
    at = 0;
    room = 0;
    if (std::memcmp(header, "KDMV", 4) == 0) {
        auto le64 = [&](int from) {
            std::uint64_t value = 0;
            for (int i = 7; i >= 0; --i)
                value = value << 8 | header[from + i];
            return value;
        };
        at = le64(28) * kSector;
        size = room = std::min<std::uint64_t>(le64(36) * kSector, 1 << 20);
    }
    text.assign(size, '\0');
    const ssize_t got = pread(fd, text.data(), size, static_cast<off_t>(at));
    if (got <= 0)
        return false;
    text.resize(std::min(static_cast<std::size_t>(got), text.find('\0')));
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

bool ReadVmdkCid(int fd, VmdkDescriptorText& descriptor)
{
    if (!VmdkDescriptor(fd, descriptor.text, descriptor.at, descriptor.room))
        return false;
    const std::size_t line = descriptor.text.find("\nCID=");
    if (line == std::string::npos)
        return false;
    descriptor.cid = line + 5;
    descriptor.cidLength = descriptor.text.find_first_of("\r\n", descriptor.cid) - descriptor.cid;
    return true;
}

// The CID line's value in a VMDK's descriptor.
bool VmdkCid(int fd, std::string& cid)
{
    VmdkDescriptorText descriptor;
    if (!ReadVmdkCid(fd, descriptor))
        return false;
    cid = descriptor.text.substr(descriptor.cid, descriptor.cidLength);
    return true;
}

// Puts `cid` back as the VMDK's CID: the descriptor rewritten with that line changed alone.
bool SetVmdkCid(int fd, const std::string& cid)
{
    VmdkDescriptorText descriptor;
    if (!ReadVmdkCid(fd, descriptor))
        return false;
    std::string& text = descriptor.text;
    const std::size_t old = text.size();
    text.replace(descriptor.cid, descriptor.cidLength, cid);
    if (descriptor.room != 0 && text.size() > descriptor.room)
        return false;
    if (text.size() < old)
        text.append(old - text.size(), descriptor.room != 0 ? '\0' : '\n');
    return pwrite(fd, text.data(), text.size(), static_cast<off_t>(descriptor.at)) == static_cast<ssize_t>(text.size()) &&
           fsync(fd) == 0;
}

}  // namespace

Disk::~Disk()
{
    for (int layer : layers_) {
        if (layer != fd_)
            close(layer);
    }
    if (fd_ >= 0)
        close(fd_);
}

bool Disk::Open(const fs::path& file, const std::string& shown, std::string& error)
{
    file_ = file;
    shown_ = shown;
    fd_ = open(file.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0 && (errno == EACCES || errno == EROFS || errno == EPERM))
        fd_ = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        error = shown + ": " + std::strerror(errno);
        return false;
    }
    struct stat status { };
    unsigned char header[kSector];
    if (fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode) ||
        pread(fd_, header, kSector, 0) != static_cast<ssize_t>(kSector)) {
        error = shown + ": not a disk image (not a regular file of at least one sector)";
        return false;
    }
    size_ = static_cast<std::uint64_t>(status.st_size);
    if (QemuHeader(header)) {
        qemuFormat_ = "?";
        return true;
    }
    // A fixed VHD is the raw disk with a 512-byte footer.
    unsigned char footer[kSector];
    if (size_ >= 2 * kSector && pread(fd_, footer, kSector, static_cast<off_t>(size_ - kSector)) == 512 &&
        std::memcmp(footer, "conectix", 8) == 0) {
        if ((footer[60] << 24 | footer[61] << 16 | footer[62] << 8 | footer[63]) != 2) {
            qemuFormat_ = "?";
            return true;
        }
        fixedVhd_ = true;
        size_ -= kSector;
    }
    layers_ = {fd_};
    return true;
}

bool Disk::Map(std::string& error)
{
    if (raw())
        return true;
    if (qemuFormat_ == "?" && !Describe(error))
        return false;
    return MapData(error);
}

bool Disk::Describe(std::string& error)
{
    // The format, the size and the backing chain, top first: each layer's file.
    layers_ = {fd_};
    Tool info;
    if (!RunTool({"qemu-img", "info", "--output=json", file_.string()}, info, kQemuPackage)) {
        error = shown_ + ": not a raw disk, and qemu-img cannot read it: " + Complaint(info);
        return false;
    }
    qemuFormat_ = JsonValue(info.out, "format");
    size_ = Number(JsonValue(info.out, "virtual-size"));
    if (qemuFormat_.empty() || size_ == 0) {
        error = shown_ + ": qemu-img gives no format or size for it";
        return false;
    }
    std::string backing = JsonValue(info.out, "full-backing-filename");
    for (int depth = 1; !backing.empty(); ++depth) {
        const int layer = depth < 16 ? open(backing.c_str(), O_RDONLY | O_CLOEXEC) : -1;
        if (layer < 0) {
            error = shown_ + ": cannot read its backing file " + backing;
            return false;
        }
        layers_.push_back(layer);
        Tool next;
        if (!RunTool({"qemu-img", "info", "--output=json", backing}, next, kQemuPackage)) {
            error = shown_ + ": qemu-img cannot read its backing file " + backing + ": " + Complaint(next);
            return false;
        }
        backing = JsonValue(next.out, "full-backing-filename");
    }
    return true;
}

bool Disk::MapData(std::string& error)
{
    Tool map;
    if (!RunTool({"qemu-img", "map", "--output=json", "-f", qemuFormat_, file_.string()}, map, kQemuPackage)) {
        error = shown_ + ": qemu-img cannot map it: " + Complaint(map);
        return false;
    }
    stretches_.clear();
    for (std::size_t at = map.out.find('{'); at != std::string::npos; at = map.out.find('{', at + 1)) {
        const std::string object = map.out.substr(at, map.out.find('}', at) - at + 1);
        Stretch stretch {Number(JsonValue(object, "start")), Number(JsonValue(object, "length")), -1, 0};
        const int depth = static_cast<int>(Number(JsonValue(object, "depth")));
        if (JsonValue(object, "data") == "true") {
            const std::string offset = JsonValue(object, "offset");
            // Compressed or encrypted data has no place in a file that a plain read could take it from.
            if (offset.empty() || depth >= static_cast<int>(layers_.size())) {
                error = shown_ + ": part of its data is compressed or encrypted; convert it first (qemu-img convert "
                                 "-O " + qemuFormat_ + ")";
                return false;
            }
            stretch.layer = depth;
            stretch.fileOffset = Number(offset);
        }
        stretches_.push_back(stretch);
    }
    return true;
}

bool Disk::Read(std::uint64_t offset, void* into, std::size_t size) const
{
    if (offset + size > size_ || offset + size < offset)
        return false;
    auto* out = static_cast<unsigned char*>(into);
    if (raw()) {
        for (std::size_t done = 0; done < size;) {
            const ssize_t got = pread(fd_, out + done, size - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            done += static_cast<std::size_t>(got);
        }
        return true;
    }
    // The map's stretches are in order and cover the disk.
    auto stretch = std::upper_bound(stretches_.begin(), stretches_.end(), offset,
                                    [](std::uint64_t at, const Stretch& s) { return at < s.start; });
    if (stretch == stretches_.begin())
        return false;
    --stretch;
    std::size_t done = 0;
    for (; done < size && stretch != stretches_.end(); ++stretch) {
        const std::uint64_t at = offset + done;
        if (at < stretch->start || at >= stretch->start + stretch->length)
            return false;
        const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, stretch->start + stretch->length - at));
        if (stretch->layer < 0) {
            std::memset(out + done, 0, part);
        } else {
            const off_t from = static_cast<off_t>(stretch->fileOffset + (at - stretch->start));
            if (pread(layers_[static_cast<std::size_t>(stretch->layer)], out + done, part, from) != static_cast<ssize_t>(part))
                return false;
        }
        done += part;
    }
    return done == size;
}

bool Disk::Write(const std::vector<DiskChange>& changes, const fs::path& scratch, std::string& error)
{
    std::uint64_t total = 0;
    for (const DiskChange& change : changes)
        total += change.bytes.size();
    Progress progress("writing into " + shown_, total);
    std::uint64_t done = 0;
    if (raw()) {
        constexpr std::size_t kChunk = 1 << 20;
        for (const DiskChange& change : changes) {
            if (change.offset + change.bytes.size() > size_) {
                error = "cannot write into " + shown_ + ": " + std::strerror(EIO);
                return false;
            }
            for (std::size_t at = 0; at < change.bytes.size();) {
                const ssize_t put = pwrite(fd_, change.bytes.data() + at, std::min(kChunk, change.bytes.size() - at),
                                           static_cast<off_t>(change.offset + at));
                if (put < 0 && errno == EINTR)
                    continue;
                if (put <= 0) {
                    error = "cannot write into " + shown_ + ": " + std::strerror(put < 0 ? errno : EIO);
                    return false;
                }
                at += static_cast<std::size_t>(put);
                progress.Update(done += static_cast<std::uint64_t>(put));
            }
        }
        if (fsync(fd_) != 0) {
            error = "cannot flush " + shown_ + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    // QEMU gives a VMDK a new content ID (CID) when it first writes it; the disk's owner (VMware, VirtualBox)
    // knows it by the old one, which goes back after the write.
    std::string cid;
    const bool vmdk = qemuFormat_ == "vmdk" && VmdkCid(fd_, cid);
    // qemu-io writes each change from a file of its bytes, then flushes, in one run.
    std::vector<std::string> words {"qemu-io", "-f", qemuFormat_};
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const fs::path bytes = scratch / ("change." + std::to_string(i));
        std::error_code ignored;
        fs::remove(bytes, ignored);
        if (!storage::WriteNewFile(bytes, changes[i].bytes, error))
            return false;
        // Half of the step: the bytes are ready for qemu-io, which writes them all in one run.
        progress.Update((done += changes[i].bytes.size()) / 2);
        words.insert(words.end(), {"-c", "write -q -s " + bytes.string() + " " + std::to_string(changes[i].offset) +
                                             " " + std::to_string(changes[i].bytes.size())});
    }
    words.insert(words.end(), {"-c", "flush", file_.string()});
    Tool tool;
    const bool written = RunTool(words, tool, kQemuPackage) && tool.err.empty() &&
                         tool.out.find("error") == std::string::npos;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        std::error_code ignored;
        fs::remove(scratch / ("change." + std::to_string(i)), ignored);
    }
    if (!written) {
        const std::string why = tool.err.empty() ? tool.out.substr(0, tool.out.find('\n')) : Complaint(tool);
        error = "cannot write into " + shown_ + " (qemu-io): " + why;
        return false;
    }
    std::string now;
    if (vmdk && VmdkCid(fd_, now) && now != cid) {
        if (!SetVmdkCid(fd_, cid)) {
            error = shown_ + ": written, but its VMDK content ID could not be kept (" + cid + ", now " + now + ")";
            return false;
        }
    }
    return true;
}

}  // namespace image
