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

// Where a restore ended, for its caller to word.
enum class RestoreEnd {
    NothingRestored,  // refused or failed before anything was put in place
    TakenBack,        // what was put in place before a failure was taken back again: nothing is restored
    PartlyRestored,   // some of it could not be taken back (`kept`): the same restore run again finishes it
    Restored,         // all of it is in place
};

// What a restore did.
struct Restored {
    std::vector<std::string> said;               // a line each
    std::vector<storage::StampedFile> written;  // every file written, relative to the machine folder
    RestoreEnd end = RestoreEnd::NothingRestored;
    std::vector<std::string> kept;  // PartlyRestored: the files put in place that could not be taken back
};

// Puts back what the run whose backup `folder` holds removed from `machine`, when it is the machine that
// backup was taken of; every write through `calls`. False with a one-line `error` naming the cause when
// nothing could be restored safely; `restored.end` says where it ended.
bool RestoreBackup(const std::filesystem::path& folder, const RestorePlace& machine, Restored& restored,
                   std::string& error, storage::Syscalls& calls = storage::Syscalls::Real());

// The files of the machine folder a backup names (registry files and removed files), relative to it.
std::vector<std::string> BackupMachineFiles(const std::filesystem::path& folder);

}  // namespace backup
