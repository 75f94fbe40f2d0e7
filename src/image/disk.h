// A disk image's bytes as the virtual machine sees them, and their one owner: every read and write of an
// image goes through a Disk, by positional I/O through storage::Syscalls, so that a test can fail any of
// them. The format is decided once, here, from the file's own bytes (format.h). A raw image (or a fixed VHD:
// a raw disk and a footer) is read and written in place. Any other supported format is read where
// qemu-img's map says its data lies and written through qemu-io, which keeps the format's own fields (UUID,
// CID, backing file) and puts a change into the top layer. Every QEMU tool is given the format and every
// layer of the backing chain explicitly, each as a file this program opened (/proc/self/fd/N): no tool
// probes, and no name of the user's reaches a tool's parser. A write is refused unless it lies inside the
// volume the run changes.
//
// A block device (a whole disk, a memory card in a reader, a partition) is a raw disk read and written in
// place. It is claimed for the run alone (O_EXCL): the kernel refuses the claim while a partition of it is
// mounted or another program holds it, and the refusal names what holds it where that can be found.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/disk_change.h"
#include "image/format.h"
#include "storage/durable.h"

namespace image {

// The Debian package of the QEMU tools an image in a format of QEMU's is read and written with.
inline constexpr char kQemuPackage[] = "qemu-utils";

class Disk {
public:
    explicit Disk(storage::Syscalls& calls = storage::Syscalls::Real()) : calls_(calls) { }
    ~Disk();
    Disk(const Disk&) = delete;
    Disk& operator=(const Disk&) = delete;

    // Opens the image file (read-write when its owner may write it) and tells its format. `shown` names it in
    // messages. False with a one-line `error`, also for a format that is refused.
    bool Open(const std::filesystem::path& file, const std::string& shown, std::string& error);
    // For a format read through QEMU: the backing chain (once) and where the data lies. Called again after
    // someone else may have written the image.
    bool Map(std::string& error);

    int fd() const { return fd_; }
    // A block device rather than an image file.
    bool device() const { return device_; }
    // Opened read-only: its owner may not write it, or a device's lock switch is set.
    bool readOnly() const { return readOnly_; }
    // Read and written in place (raw, a fixed VHD).
    bool inPlace() const { return format_.driver.empty(); }
    // "raw", "fixed VHD", or QEMU's name of the format ("qcow2", "vdi", "vmdk", "vpc", ...).
    const std::string& format() const { return format_.name; }
    std::uint64_t size() const { return size_; }
    // The files the disk's bytes come from: the image, then each file of its backing chain.
    std::vector<std::filesystem::path> files() const;

    // From now on, writes must lie in `length` bytes from byte `start` of the disk (the volume being changed).
    void Bound(std::uint64_t start, std::uint64_t length);
    std::uint64_t boundStart() const { return boundStart_; }
    std::uint64_t boundLength() const { return boundLength_; }
    // The calls every read and write of the image goes through.
    storage::Syscalls& calls() const { return calls_; }

    bool Read(std::uint64_t offset, void* into, std::size_t size) const;
    // Writes the changes and flushes them to the disk. Refused, with nothing written, when one lies outside
    // the bound.
    bool Write(const std::vector<DiskChange>& changes, std::string& error);

    // Opens the disk again, read-only, as `fresh` (made with the same calls), what the caches hold of the
    // changed places dropped first (a device's buffer cache, an image's pages), so that its reads come from
    // the medium; for a format read through QEMU, the chain is opened and mapped by qemu-img again. Then
    // compares what lies at each change's place with the change's bytes. False with a one-line `error`
    // naming the first place that differs or cannot be read.
    bool ReadBack(const std::vector<DiskChange>& changes, Disk& fresh, std::string& error) const;

private:
    // The format of the file `fd` of `size` bytes, told from its own bytes.
    static bool ProbeOpened(int fd, std::uint64_t size, ImageFormat& format, storage::Syscalls& calls);
    // Opens a file without waiting for it (a FIFO opened for reading waits for a writer, a device may wait for
    // its medium), through the storage seam; the descriptor then reads and writes as usual, and its kind is
    // the caller's to check. -1 with errno.
    int OpenWithoutWaiting(const std::filesystem::path& path, int flags) const;
    // One file of the backing chain, top first.
    struct Layer {
        std::filesystem::path path;
        int fd;
        std::string driver;
    };
    // Where a stretch of the disk lies: in layer `layer`'s file at `fileOffset`, or nowhere (reads as zeros).
    struct Stretch {
        std::uint64_t start;
        std::uint64_t length;
        int layer;  // -1: zeros
        std::uint64_t fileOffset;
    };

    bool ProbeFile(std::string& error);
    bool ProbeDevice(std::string& error);
    // Opens the file of the disk again read-only as this disk, for reading only: the same file as `from`'s,
    // with its format.
    bool OpenAgain(const Disk& from, std::string& error);
    bool DescribeChain(std::string& error);
    bool AddBackingLayer(const std::string& name, const std::string& recorded, std::string& error);
    bool MapData(std::string& error);
    // The chain as QEMU's block options, each layer's file as /proc/self/fd/N.
    std::string ChainOptions() const;
    std::vector<int> LayerFds() const;
    // A tool's complaint with the files of the chain named as the user knows them.
    std::string Named(const std::string& text) const;
    bool InBounds(const std::vector<DiskChange>& changes, std::string& error) const;
    bool WriteInPlace(const std::vector<DiskChange>& changes, std::string& error);
    bool WriteThroughQemu(const std::vector<DiskChange>& changes, std::string& error);
    bool RunQemuIo(const std::vector<DiskChange>& changes, std::size_t first, std::size_t count, std::string& error);

    storage::Syscalls& calls_;
    std::filesystem::path file_;
    std::string shown_;
    int fd_ = -1;
    bool device_ = false;
    bool readOnly_ = false;
    ImageFormat format_;
    std::uint64_t size_ = 0;
    std::vector<Layer> layers_;
    bool described_ = false;
    std::vector<Stretch> stretches_;
    bool bounded_ = false;
    std::uint64_t boundStart_ = 0;
    std::uint64_t boundLength_ = 0;
};

}  // namespace image
