// Backup and undo for the offline program. Before a run changes anything, its backup folder receives what
// the run is about to remove: removed.reg (the removed keys with their subtrees, in regedit's form, for any
// regedit to import), removal.reg (a "[-KEY]" line for each, which makes the same removal when imported
// with Windows' own regedit), the registry as it was (registry.reg.before, or each binary registry file the run
// changes under before/ at its path in the machine folder), files/ (every removed file under its path in
// the machine folder, copied in pieces, never whole in memory) and manifest.json (the machine, the time, the
// version, sizes and SHA-256 of the registry files before and after, and of every removed file). --restore
// puts it all back.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "backup/manifest.h"
#include "machine/machine_folder.h"
#include "registry/registry.h"
#include "storage/digest.h"
#include "storage/durable.h"
#include "storage/file_stamp.h"

namespace backup {

// What a run is about to change, for its backup.
struct RunChanges {
    std::filesystem::path machine;  // the machine folder
    const emulated::MachineFolder* folder = nullptr;
    const emulated::Registry* registry = nullptr;  // after the run, before the save
    std::vector<std::string> removedFiles;         // host paths relative to the Windows folder
    std::vector<std::string> removedWindowsPaths;  // the same files as C:\WINDOWS\... paths
    // What the manifest names as the machine when it is not the folder itself (a disk image).
    std::filesystem::path shownMachine {};
    // The attributes and dates of a file (relative to the machine folder) where it is, for a restore to give
    // back; none kept when not given.
    std::function<storage::FileStamp(const std::string& file)> stampOf {};
    // Learns how far the copies of the removed files are: `done` bytes of `total`, as they are copied.
    std::function<void(std::uint64_t done, std::uint64_t total)> copied {};
    // What tells the machine from another beyond its path (an image's volume, partition and Windows folder);
    // the registry's own marks are added from `registry`.
    MachineMarks marks {};
};

// Adds the registry's own marks of its machine, those of HKLM\Software\Microsoft\Windows\CurrentVersion
// present among ProductId, RegisteredOwner, FirstInstallDateTime and InstallDate, to `marks`: a text as
// UTF-8 without its final zero bytes, any other data as "hex:" and its bytes.
void AddRegistryMarks(const emulated::Registry& registry, MachineMarks& marks);

// Makes a fresh backup folder in the machine folder: cmpci-backup-YYYYMMDD-HHMMSS, with -2, -3 ... when taken.
// It is made here, each name tried by an exclusive mkdir, so that runs at once on images beside each other
// never share one. The empty path, with a one-line `error`, when none can be made.
std::filesystem::path MakeDefaultBackupFolder(const std::filesystem::path& machine, std::string& error);

// Whether a run that removed `removedFiles` and changed `registry` as it did needs a backup: when it
// removed anything, keys or files.
bool BackupNeeded(const emulated::Registry& registry, const std::vector<std::string>& removedFiles);

// Writes the backup into `folder`, which must not exist or be empty; every write and fsync through `calls`.
// False with a one-line `error`; a backup half written is removed again.
bool WriteBackup(const std::filesystem::path& folder, const RunChanges& changes, std::string& error,
                 storage::Syscalls& calls = storage::Syscalls::Real());
using storage::Sha256;
using storage::Sha256Of;
// Reads a backup's manifest.json. False with a one-line `error` when it is not a manifest this program wrote.
bool ReadManifest(const std::filesystem::path& file, Manifest& manifest, std::string& error);

}  // namespace backup
