// A disk image's bytes as the virtual machine sees them. A raw image (or a fixed VHD: a raw disk and a
// footer) is read and written in place. Any other format QEMU knows (qcow2, VDI, VMDK, dynamic VHD, an image
// over a backing chain) is read where qemu-img's map says its data lies, and written through qemu-io, which
// keeps the format's own fields (UUID, CID, backing file) and puts a change into the top layer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace image {

// Bytes to put at a byte offset of the disk.
struct DiskChange {
    std::uint64_t offset;
    std::string bytes;
};

class Disk {
public:
    Disk() = default;
    ~Disk();
    Disk(const Disk&) = delete;
    Disk& operator=(const Disk&) = delete;

    // Opens the image file (read-write when its owner may write it) and tells its format from its header.
    // `shown` names it in messages. False with a one-line `error`.
    bool Open(const std::filesystem::path& file, const std::string& shown, std::string& error);
    // For a format other than raw: asks qemu-img the disk's format and size, and where its data lies. Called
    // again after someone else may have written the image (then only where the data lies).
    bool Map(std::string& error);

    int fd() const { return fd_; }
    bool raw() const { return qemuFormat_.empty(); }
    // "raw", "fixed VHD", or QEMU's name of the format ("qcow2", "vdi", "vmdk", "vpc").
    std::string format() const { return raw() ? (fixedVhd_ ? "fixed VHD" : "raw") : qemuFormat_; }
    std::uint64_t size() const { return size_; }

    bool Read(std::uint64_t offset, void* into, std::size_t size) const;
    // Writes the changes and flushes them to the disk. `scratch` is a folder for qemu-io's input files.
    bool Write(const std::vector<DiskChange>& changes, const std::filesystem::path& scratch, std::string& error);

private:
    // Asks qemu-img the format, size and backing chain.
    bool Describe(std::string& error);
    // Asks qemu-img where the data lies.
    bool MapData(std::string& error);

    // Where a stretch of the disk lies: in layer `layer`'s file at `fileOffset`, or nowhere (reads as zeros).
    struct Stretch {
        std::uint64_t start;
        std::uint64_t length;
        int layer;  // -1: zeros
        std::uint64_t fileOffset;
    };

    std::filesystem::path file_;
    std::string shown_;
    int fd_ = -1;
    bool fixedVhd_ = false;
    std::string qemuFormat_;
    std::uint64_t size_ = 0;
    std::vector<int> layers_;  // the backing chain's files, top first (layers_[0] is fd_)
    std::vector<Stretch> stretches_;
};

}  // namespace image
