// Disk images: the offline program cleans a Windows 9x installation on a hard-disk image (an MBR with FAT
// partitions, or a bare FAT volume) without mounting it, in whatever format the image is: raw, a fixed VHD,
// or any format QEMU reads (see disk.h). The image is read by this program's own FAT reader. The run works
// on a machine folder made in a temporary folder, standing for the image's Windows folder: the Windows
// folder's tree is read once, at the start, and an entry of it is made there when the run looks for it (an
// empty stand-in for a file, a folder with stand-ins for its files), so that a run costs what it looks at,
// not what the Windows folder holds; the registry files, and any file a caller reads, are copied out whole.
// When the run has succeeded, its changes go into the image
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
#include "fat/fat.h"
#include "image/change.h"
#include "image/partitions.h"
#include "image/rollback_journal.h"
#include "storage/digest.h"
#include "storage/file_stamp.h"

namespace image {

struct ImageChoice {
    std::filesystem::path image;
    int partition = 0;    // 1-4 primary, 5 on logical; 0: the one holding Windows
    std::string windows;  // the Windows folder on the volume ("WINDOWS", "C:\WIN98"); empty: found
    bool writes = false;  // the run may write into the image
    // The largest registry file copied out: a larger one is refused unread.
    std::uint64_t largestRegistryFile = UINT64_MAX;
};

class ImageMachine {
public:
    ImageMachine() = default;
    ~ImageMachine();
    ImageMachine(const ImageMachine&) = delete;
    ImageMachine& operator=(const ImageMachine&) = delete;

    // Takes the image for the run (refused while another run or a QEMU program holds it, or when a QEMU
    // program that a run which writes needs is missing), plays back a rollback journal left by a run cut
    // short, finds the volume and the Windows folder, reads the Windows folder's tree, and makes the machine
    // folder with SYSTEM.DAT, USER.DAT and, for `user`, PROFILES/user/USER.DAT copied out. `said` receives
    // what was found. False with a one-line `error`.
    bool Open(const ImageChoice& choice, const std::string& user, std::vector<std::string>& said, std::string& error);

    // The machine folder standing for the image.
    const std::filesystem::path& machine() const { return machine_; }

    // Makes the entry `relative` names (a path relative to the Windows folder, each name matched as FAT
    // matches it, long or short, ignoring case) present in the machine folder under its stored name: its
    // folders, and an empty stand-in for a file; with `contents`, a folder's files too (not its folders). An
    // entry is made at most once: a later lookup costs nothing, and one the run has removed since is not made
    // again. Nothing, and true, when the image has no such entry. False with a one-line `error` when the
    // machine folder cannot take it.
    bool Reach(const std::string& relative, bool contents, std::string& error);

    // Copies these files (relative to the Windows folder) out of the image over their stand-ins, in pieces,
    // so that a backup keeps the real bytes. A file larger than `limit` is refused unread.
    bool Fetch(const std::vector<std::string>& files, std::uint64_t limit, std::string& error);
    // Copies these files (relative to the machine folder) out of the image into the machine folder, when
    // the image has them (a registry file, a file a backup names).
    bool FetchMachineFiles(const std::vector<std::string>& files, std::string& error);

    // The attributes and dates the image holds for a file (relative to the machine folder); none when the
    // image has no such file.
    storage::FileStamp StampOf(const std::string& file);

    // Carries the run's changes into the image in place, under the rollback journal: `written` (files with
    // their paths relative to the machine folder, written back with the attributes and dates of their stamps,
    // else with their attributes kept and dated now) and `removed` (files relative to the Windows folder,
    // deleted). A registry file that changed in the image since the run read it is not overwritten. Returns
    // where the change ended: Done, or another state with a one-line `error` naming the cause (Untouched for
    // a change refused before its journal).
    ChangeState Commit(std::vector<WrittenFile> written, const std::vector<std::string>& removed, std::string& error);
    // The same for files written into the machine folder (those a restore put back), read from there.
    ChangeState CommitFromFolder(const std::vector<storage::StampedFile>& written, std::string& error);
    // Where the image's rollback journal is while a change is made, and stays when one ends cut short.
    const std::filesystem::path& journal() const { return journal_; }

    // What reading back the last commit found: every changed sector through a fresh open of the image, then
    // the files written through the FAT reader, the registry files checked as such, and the files removed.
    const ReadBackResult& readBack() const { return readBack_; }
    // How a file the commit wrote is checked once read back, beyond its bytes: a registry file by the
    // registry-file checker, which this room does not know. `checked` says the check applied to the file.
    using WrittenFileCheck =
        std::function<bool(const std::string& name, const std::string& bytes, bool& checked, std::string& error)>;
    void CheckWrittenFilesWith(WrittenFileCheck check) { checkWritten_ = std::move(check); }
    // A block device rather than an image file.
    bool device() const { return disk_.device(); }
    // Opened read-only: its owner may not write it, or a device's lock switch is set.
    bool readOnly() const { return disk_.readOnly(); }

    // `message` with the machine folder's paths named as the image and the path inside it.
    std::string Shown(const std::string& message) const;

    // The files the run reads beside the machine folder: the image, every file of its backing chain, and its
    // rollback journal's place.
    std::vector<std::filesystem::path> files() const;

    // What tells this installation from another at the same path: the volume's partition (number 0 for a
    // volume without a partition table), the Windows folder as stored on it, and the volume's serial number
    // from its boot sector as DIR shows it ("1A2B-3C4D"; empty when the boot sector has none).
    const Partition& partition() const { return partition_; }
    const std::string& windowsPath() const { return windowsPath_; }
    std::string VolumeSerial() const;

private:
    // False with a one-line `error` when a registry file read at the start no longer holds what it held.
    bool ReadFilesUnchanged(std::string& error);
    // Finds the volume and its Windows folder, and opens the volume.
    bool FindWindows(const ImageChoice& choice, std::string& error);
    // Opens the FAT volume of `partition`, which it must fit (`fits` false when it does not), as the run's
    // volume; the disk's writes are bounded to it.
    bool OpenVolume(const Partition& partition, std::string& error, bool& fits);
    // An entry of the Windows folder's tree as read at the start; a folder's entries are folders_[inside].
    struct Node {
        std::string name;  // as stored: the long name, else the short one
        std::string shortName;
        std::uint32_t cluster = 0;
        std::uint32_t size = 0;
        bool folder = false;
        int inside = -1;    // a folder read: its place in folders_
        bool made = false;  // present in the machine folder (or made once and removed since)
    };
    struct Folder {
        std::vector<Node> entries;
        bool filled = false;  // every file of it made
    };
    // A path relative to the Windows folder as stored on the volume, and its node; false when there is none.
    struct Found {
        std::string stored;
        std::vector<Node*> path;  // the node of each name
        Node* node() const { return path.empty() ? nullptr : path.back(); }
    };
    bool Lookup(const std::string& relative, Found& found);
    // Reads the Windows folder's tree from the volume, each folder once; `registryFiles` receives the
    // registry files in it (relative to the Windows folder).
    bool ReadTree(const std::string& user, std::vector<std::string>& registryFiles, std::string& error);
    // Makes the machine folder, its empty file for stand-ins and the Windows folder in it.
    bool MakeMachineFolder(std::string& error);
    // Makes `node` (at `host`) present in the machine folder: a folder, or a stand-in for a file.
    bool Make(Node& node, const std::filesystem::path& host, std::string& error);
    // Copies these files out of the image over their stand-ins, refusing any larger than `limit`; `digests`
    // (when given) receives each one's SHA-256 by its stored path.
    bool CopyFilesOut(const std::vector<std::string>& files, std::uint64_t limit,
                      std::map<std::string, std::string>* digests, std::string& error);
    // A format read and written through QEMU needs qemu-img, and qemu-io for a run that `writes`: false with
    // `error` naming the one missing and its package, before anything is asked or changed.
    bool QemuToolsThere(bool writes, std::string& error) const;
    // Copies a file out of the volume to `host` in pieces; `copied` learns the bytes copied so far, `digest`
    // (when given) takes them.
    bool CopyOut(const Node& node, const std::filesystem::path& host, const std::function<void(std::uint64_t)>& copied,
                 storage::Sha256* digest, std::string& error);
    // Reads the volume of `fresh` (the disk opened afresh after a commit) through the FAT reader: each file
    // `edit` wrote holds its bytes (and passes the check it was given) and each it removed is
    // gone. False with a one-line `error`.
    bool CheckVolumeWritten(Disk& fresh, const VolumeEdit& edit, ReadBackResult& result, std::string& error) const;

    std::filesystem::path image_;  // as the user named it
    std::filesystem::path file_;   // the image file itself (a link's target)
    std::filesystem::path journal_;  // the place of its rollback journal
    ReadBackResult readBack_;
    WrittenFileCheck checkWritten_;
    Disk disk_;
    FatVolume volume_;
    Partition partition_ {};  // the volume's partition; the volume reads the disk from its offset on
    std::string windowsPath_;
    std::filesystem::path work_;  // the temporary folder
    std::filesystem::path machine_;
    std::filesystem::path standIn_;  // the empty file every stand-in is a link to
    std::vector<Folder> folders_;    // the Windows folder's tree; [0]: the Windows folder itself
    // The registry files (relative to the Windows folder) as read: their SHA-256, to tell at the end whether
    // someone else changed them meanwhile.
    std::map<std::string, std::string> read_;
};

}  // namespace image
