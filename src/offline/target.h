// What a run works on: a machine folder, or a disk image through a machine folder standing for it. The run
// opens its target, works on the target's machine folder in memory, and at the end saves its change into
// the target, or leaves the target as it was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "backup/manifest.h"
#include "image/rollback_journal.h"
#include "machine/machine.h"
#include "machine/machine_folder.h"
#include "offline/options.h"
#include "registry/registry.h"
#include "storage/durable.h"
#include "storage/file_stamp.h"

namespace offline {

// How far a run's change got on the target's own disk, in the order a run goes. The messages after a
// failure and the journal's summary are made from it.
enum class Stage {
    NotChanged,     // nothing of the run is on the target's disk
    BackupKept,     // the backup is on disk; the machine is as it was
    JournalLeft,    // an image may hold some or all of the change; its rollback journal, kept, puts it back
                    // as it was at the next run
    RegistrySaved,  // some or all of the registry files hold the change; no file is removed yet
    FilesRemoved,   // the registry files are saved and some of the files removed
    Committed,      // the whole change is on the target's disk
};

// The stage's name in the journal's summary.
const char* StageName(Stage stage);

class Target {
public:
    virtual ~Target() = default;

    // The machine folder the run works on.
    virtual std::filesystem::path folder() const = 0;
    // The machine as the user named it (the folder, or the image), for the backup's manifest.
    virtual std::filesystem::path shown() const = 0;
    // Where a dated backup goes: the machine folder, beside an image, or for a block device the current folder.
    virtual std::filesystem::path backupBase() const = 0;
    // `message` as the user should read it: for an image, the paths of the machine folder standing for it
    // named as the image and the path inside it.
    virtual std::string Shown(const std::string& message) const = 0;
    // Makes the real bytes of these files (relative to the Windows folder) present before a backup keeps them
    // or a caller reads them; a file larger than `limit` is refused unread.
    virtual bool Fetch(const std::vector<std::string>& files, std::uint64_t limit, std::string& error) = 0;
    // What makes the Windows folder's entries present as they are looked up (for an image), or nothing.
    virtual emulated::MakePresent Present() = 0;
    // False with a one-line `error` when an entry looked up could not be made present: what the run saw
    // of the Windows folder was then not whole.
    virtual bool Whole(std::string& error) const = 0;
    // Makes the files a backup names (relative to the machine folder) present before a restore checks them.
    virtual bool FetchMachineFiles(const std::vector<std::string>& files, std::string& error) = 0;
    // What the target's entry of a file (relative to the machine folder) holds beside its bytes, for a
    // backup to keep: a FAT entry's attributes and dates on an image, a host file's time of last change in a
    // machine folder.
    virtual storage::FileStamp StampOf(const std::string& file) = 0;
    // What tells this machine from another at the same path, beside its registry's own marks: an image's
    // volume, partition and Windows folder; nothing for a machine folder.
    virtual backup::MachineMarks Marks() const { return {}; }
    // Saves a run's change into the target: the registry files the run changed, then the files it removed.
    // `reached` receives how far the change got on the target's disk (from `reached` as given on). False
    // with a one-line `error` naming the cause: the caller words the outcome from `reached`.
    virtual bool Save(const emulated::MachineFolder& machine, const emulated::Registry& registry,
                      emulated::EmulatedMachine& system, Stage& reached, std::string& error) = 0;
    // Carries files a restore wrote (relative to the machine folder) into the target, each with its stamp.
    // False with a one-line `error` naming the cause; `reached` says how far it got (JournalLeft, or as given
    // when the target is as it was).
    virtual bool Commit(const std::vector<storage::StampedFile>& written, Stage& reached, std::string& error) = 0;
    // Where an image's rollback journal stays when a change into it ends at JournalLeft; empty for a folder.
    virtual std::filesystem::path rollbackJournal() const { return {}; }
    // The commit record a machine folder's failed save left for the next start to finish; else empty.
    virtual std::filesystem::path commitRecord() const { return {}; }
    // The files the run reads or writes beside the machine folder: an image, its backing files and its
    // rollback journal's place.
    virtual std::vector<std::filesystem::path> files() const = 0;
    // What reading back the change saved found: an image's or device's changed sectors and files, a machine
    // folder's registry files; null when nothing was read back (also in a dry run, which saves nothing).
    virtual const image::ReadBackResult* readBack() const { return nullptr; }
};

// Opens the target the options name. `said` receives what was found. Null with a one-line `error`, also for
// an image that a run which writes may not change.
std::unique_ptr<Target> OpenTarget(const Options& options, std::vector<std::string>& said, std::string& error);

// A machine folder as a target, its saves made through `calls`; not locked (for tests of the session).
std::unique_ptr<Target> UnlockedFolderTarget(const std::filesystem::path& folder, storage::Syscalls& calls);

// Whether this user may write the file or folder `path` (a folder: make and remove entries in it): false
// with a one-line `error` for a file whose owner's write bit is off (as Windows' read-only attribute) or
// that this process's effective user and groups may not write. A path that is not there is true here.
bool MayWrite(const std::filesystem::path& path, std::string& error);

// Whether a run with these options writes to its target.
bool WritesTarget(const Options& options);

}  // namespace offline
