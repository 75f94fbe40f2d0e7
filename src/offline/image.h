// Disk images: the offline program cleans a Windows 9x installation on a raw hard-disk image (an MBR with
// FAT partitions, or a bare FAT volume; a fixed VHD is its raw disk plus a footer) without mounting it.
// The image's FAT volume is reached through mtools, started as a subprocess on the image and the
// partition's offset. The run itself works on a machine folder made in a temporary folder: the Windows
// folder's tree with empty stand-ins for its files, and real copies of the registry files. Only when the
// run has succeeded in memory and its files are saved there are the changes carried into the image, and
// then into a copy of the image beside it, which replaces the image by rename once it is complete and
// flushed: after any interruption the image is either as it was or as the run left it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace offline {

// A FAT volume of a disk image: its partition number (1-4 primary, 5 on logical; 0 for a bare volume) and
// its byte offset in the image.
struct Partition {
    int number;
    std::uint64_t offset;
    bool operator==(const Partition&) const = default;
};

// Reads the 512-byte sector at a byte offset of the image into a buffer; false when it cannot.
using ReadSector = std::function<bool(std::uint64_t offset, unsigned char* sector)>;

// The partitions of a partitioned disk of `size` bytes whose boot sectors are FAT: the primary ones of the
// MBR `mbr` (512 bytes), then the logical ones along the chain of extended boot records.
std::vector<Partition> PartitionVolumes(const unsigned char* mbr, std::uint64_t size, const ReadSector& read);

struct ImageChoice {
    std::filesystem::path image;
    int partition = 0;    // 1-4 primary, 5 on logical; 0: the one holding Windows
    std::string windows;  // the Windows folder on the volume ("WINDOWS", "C:\WIN98"); empty: found
};

class ImageMachine {
public:
    ImageMachine() = default;
    ~ImageMachine();
    ImageMachine(const ImageMachine&) = delete;
    ImageMachine& operator=(const ImageMachine&) = delete;

    // Finds the volume and the Windows folder, and makes the machine folder: the Windows folder's tree
    // with empty stand-ins, SYSTEM.DAT, USER.DAT and, for `user`, PROFILES/user/USER.DAT copied out. `said`
    // receives what was found. False with a one-line `error`.
    bool Open(const ImageChoice& choice, const std::string& user, std::vector<std::string>& said, std::string& error);

    // The machine folder standing for the image.
    const std::filesystem::path& machine() const { return machine_; }

    // Replaces the stand-ins of these files (relative to the Windows folder) with their content, so that a
    // backup keeps the real bytes.
    bool Fetch(const std::vector<std::string>& files, std::string& error);
    // Copies these files (relative to the machine folder) out of the image into the machine folder, when
    // the image has them (a registry file, a file a backup names).
    bool FetchMachineFiles(const std::vector<std::string>& files, std::string& error);

    // Carries the run's changes into the image: `written` (files relative to the machine folder, written
    // back with their attributes kept) and `removed` (files relative to the Windows folder, deleted), on a
    // copy of the image that then replaces it. False with a one-line `error`; the image is then as it was.
    bool Commit(const std::vector<std::string>& written, const std::vector<std::string>& removed, std::string& error);

private:
    // Finds the volume and its Windows folder; `partition` receives the volume's partition number.
    bool FindWindows(const ImageChoice& choice, int& partition, std::string& error);
    // Makes the machine folder: the Windows folder's tree with empty stand-ins; `registryFiles` receives the
    // registry files among them (relative to the Windows folder).
    bool MakeStandIns(const std::string& user, std::vector<std::string>& registryFiles, std::string& error);
    // A copy of the image beside it, made exclusively with its mode and owner; its name in `copy`.
    bool CopyImage(std::string& copy, std::string& error) const;
    // Writes one file of the machine folder into the image copy, keeping the attributes it had there.
    bool WriteInto(const std::string& copy, const std::string& file, std::string& error) const;

    // An mtools image argument: the image file with the volume's offset.
    std::string Volume(const std::filesystem::path& image) const;

    std::filesystem::path image_;
    std::uint64_t offset_ = 0;
    std::string windowsPath_;
    std::filesystem::path work_;  // the temporary folder
    std::filesystem::path machine_;
};

}  // namespace offline
