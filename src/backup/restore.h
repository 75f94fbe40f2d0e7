// Undo for the offline program: --restore puts back what the run whose backup a folder holds removed, on the
// machine that backup was taken of.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "backup/manifest.h"
#include "storage/durable.h"
#include "storage/file_stamp.h"

namespace backup {

// Where a restore goes.
struct RestorePlace {
    std::filesystem::path folder;  // the machine folder it writes
    std::filesystem::path shown;   // the machine as the user named it: the folder, or the disk image it stands for
    MachineMarks marks {};         // what tells it from another beside its registry (an image's volume)
};

// What a restore did.
struct Restored {
    std::vector<std::string> said;               // a line each
    std::vector<storage::StampedFile> written;  // every file written, relative to the machine folder
};

// Puts back what the run whose backup `folder` holds removed from `machine`, when it is the machine that
// backup was taken of; every write through `calls`. False with a one-line `error` when nothing could be
// restored safely: then nothing is, or, when even taking back a file failed, `error` says so and the same
// restore run again finishes it.
bool RestoreBackup(const std::filesystem::path& folder, const RestorePlace& machine, Restored& restored,
                   std::string& error, storage::Syscalls& calls = storage::Syscalls::Real());

// The files of the machine folder a backup names (registry files and removed files), relative to it.
std::vector<std::string> BackupMachineFiles(const std::filesystem::path& folder);

}  // namespace backup
