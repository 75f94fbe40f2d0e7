// Disk images: the offline program cleans a Windows 9x installation on a hard-disk image (an MBR with FAT
// partitions, or a bare FAT volume) without mounting it, in whatever format the image is: raw, a fixed VHD,
// or any format QEMU reads (see disk.h). The image is read by this program's own FAT reader. The run works
// on a machine folder made in a temporary folder: the Windows folder's tree with empty stand-ins for its
// files, and real copies of the registry files. When the run has succeeded, its changes go into the image
// in place: the program's own FAT code makes them in memory (change.h), the sectors that differ are the
// change, their old bytes go into a rollback journal beside the image first (rollback_journal.h), and then
// the new bytes into the image. The cost is that of what changes, never of the image's size, and the image
// keeps its inode, format and allocation.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "image/disk.h"
#include "image/fat.h"
#include "image/partitions.h"
#include "storage/file_stamp.h"

namespace image {

struct ImageChoice {
    std::filesystem::path image;
    int partition = 0;    // 1-4 primary, 5 on logical; 0: the one holding Windows
    std::string windows;  // the Windows folder on the volume ("WINDOWS", "C:\WIN98"); empty: found
    bool writes = false;  // the run may write into the image
};

class ImageMachine {
public:
    ImageMachine() = default;
    ~ImageMachine();
    ImageMachine(const ImageMachine&) = delete;
    ImageMachine& operator=(const ImageMachine&) = delete;

    // Takes the image for the run (refused while another run or a QEMU program holds it), plays back a
    // rollback journal left by a run cut short, finds the volume and the Windows folder, and makes the
    // machine folder: the Windows folder's tree with empty stand-ins, SYSTEM.DAT, USER.DAT and, for `user`,
    // PROFILES/user/USER.DAT copied out. `said` receives what was found. False with a one-line `error`.
    bool Open(const ImageChoice& choice, const std::string& user, std::vector<std::string>& said, std::string& error);

    // The machine folder standing for the image.
    const std::filesystem::path& machine() const { return machine_; }

    // Replaces the stand-ins of these files (relative to the Windows folder) with their content, so that a
    // backup keeps the real bytes.
    bool Fetch(const std::vector<std::string>& files, std::string& error);
    // Copies these files (relative to the machine folder) out of the image into the machine folder, when
    // the image has them (a registry file, a file a backup names).
    bool FetchMachineFiles(const std::vector<std::string>& files, std::string& error);

    // The attributes and dates the image holds for a file (relative to the machine folder); none when the
    // image has no such file.
    storage::FileStamp StampOf(const std::string& file);

    // Carries the run's changes into the image in place, under the rollback journal: `written` (files
    // relative to the machine folder, written back with the attributes and dates of their stamps, else with
    // their attributes kept and dated now) and `removed` (files relative to the Windows folder, deleted). A
    // registry file that changed in the image since the run read it is not overwritten. False with a
    // one-line `error`; the image is then as it was.
    bool Commit(const std::vector<storage::StampedFile>& written, const std::vector<std::string>& removed,
                std::string& error);

    // `message` with the machine folder's paths named as the image and the path inside it.
    std::string Shown(const std::string& message) const;

    // The files the run reads beside the machine folder: the image, every file of its backing chain, and its
    // rollback journal's place.
    std::vector<std::filesystem::path> files() const;

private:
    // Finds the volume and its Windows folder; `partition` receives the volume's partition number.
    bool FindWindows(const ImageChoice& choice, int& partition, std::string& error);
    // Opens the FAT volume of `partition`, which it must fit (`fits` false when it does not); the disk's writes
    // are bounded to it.
    bool OpenVolume(const Partition& partition, std::string& error, bool& fits);
    // The path of a file relative to the Windows folder with each name as the volume stores it, found as FAT
    // finds names (ignoring case). False when the volume has no such file.
    bool StoredPath(const std::string& relative, std::string& stored);
    // Makes the machine folder: the Windows folder's tree with empty stand-ins; `registryFiles` receives the
    // registry files among them (relative to the Windows folder).
    bool MakeStandIns(const std::string& user, std::vector<std::string>& registryFiles, std::string& error);

    std::filesystem::path image_;  // as the user named it
    std::filesystem::path file_;   // the image file itself (a link's target)
    Disk disk_;
    FatVolume volume_;
    Partition partition_ {};
    std::uint64_t offset_ = 0;
    std::string windowsPath_;
    std::filesystem::path work_;  // the temporary folder
    std::filesystem::path machine_;
    std::map<std::string, std::string> read_;  // registry files (relative to the Windows folder) as read
};

}  // namespace image
