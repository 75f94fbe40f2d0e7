#include "offline/target.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/fold_case.h"
#include "image/image.h"
#include "machine/commit_record.h"
#include "registry/hive_file.h"
#include "storage/lock.h"

namespace offline {

namespace fs = std::filesystem;

namespace {

// Saves the run's change into the machine folder as one commit: the registry files and the removals go in
// together, or, cut short, are finished by the next start. `reached` says how far it got there.
bool CommitInFolder(const emulated::MachineFolder& machine, const emulated::Registry& registry,
                    emulated::EmulatedMachine& system, Stage& reached, emulated::CommitProgress& progress,
                    std::string& error, storage::Syscalls& calls)
{
    const bool committed =
        emulated::CommitMachineChange(machine, registry, system.RemovedFiles(), progress, error, calls);
    if (!progress.saved.empty() || progress.recorded)
        reached = Stage::RegistrySaved;
    if (progress.removed != 0)
        reached = Stage::FilesRemoved;
    system.FilesCommitted(progress.removed);
    return committed;
}

// A machine folder: the run's saves and removals land in it directly.
class FolderTarget final : public Target {
public:
    FolderTarget(fs::path folder, storage::Syscalls& calls) : folder_(std::move(folder)), calls_(calls) { }
    ~FolderTarget() override
    {
        if (lock_ >= 0)
            close(lock_);
    }
    // Takes the folder for the run: shared for a run that only reads it, else for this run alone. A folder
    // that cannot be opened is left to the run to report. A change that a run cut short left recorded is
    // finished first, under the lock for this run alone (a shared lock is turned into it); `said` receives
    // the line saying so.
    bool Lock(bool writes, std::vector<std::string>& said, std::string& error)
    {
        lock_ = open(folder_.empty() ? "." : folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (lock_ < 0)
            return true;
        bool alone = writes || Recorded();
        if (!storage::LockForRun(lock_, alone ? storage::LockKind::Exclusive : storage::LockKind::Shared,
                                 folder_.string(), error))
            return false;
        // The run that held the folder may have been killed with its record written while this one waited.
        if (!alone && Recorded()) {
            alone = true;
            if (!storage::LockForRun(lock_, storage::LockKind::Exclusive, folder_.string(), error))
                return false;
        }
        return !alone || FinishCutShort(said, error);
    }
    bool Recorded() const
    {
        struct stat record { };
        return fstatat(lock_, emulated::kCommitRecordName, &record, AT_SYMLINK_NOFOLLOW) == 0;
    }
    bool FinishCutShort(std::vector<std::string>& said, std::string& error)
    {
        storage::Folder folder;
        std::string line;
        if (!storage::Folder::Open(folder_.empty() ? fs::path(".") : folder_, folder, error) ||
            !emulated::FinishCutShortCommit(folder, line, error, calls_))
            return false;
        if (!line.empty())
            said.push_back(line);
        return true;
    }
    fs::path folder() const override { return folder_; }
    fs::path shown() const override { return folder_; }
    fs::path backupBase() const override { return folder_.empty() ? fs::path(".") : folder_; }
    std::string Shown(const std::string& message) const override { return message; }
    bool Fetch(const std::vector<std::string>&, std::uint64_t, std::string&) override { return true; }
    emulated::MakePresent Present() override { return {}; }
    bool Whole(std::string&) const override { return true; }
    bool FetchMachineFiles(const std::vector<std::string>&, std::string&) override { return true; }
    storage::FileStamp StampOf(const std::string& file) override { return storage::HostStamp(folder_ / file); }
    bool Save(const emulated::MachineFolder& machine, const emulated::Registry& registry,
              emulated::EmulatedMachine& system, Stage& reached, std::string& error) override
    {
        emulated::CommitProgress progress;
        if (!CommitInFolder(machine, registry, system, reached, progress, error, calls_)) {
            recorded_ = progress.recorded;
            return false;
        }
        reached = Stage::Committed;
        // Read back, as an image's change is: a memory card or stick that drops writes shows here.
        readBack_.matched = emulated::ReadBackRegistryFiles(machine, progress.meant, readBack_.files, error);
        readBack_.registryFiles = readBack_.files;
        readBack_.done = !readBack_.matched || readBack_.files != 0;
        if (!readBack_.matched)
            readBack_.mismatch = error;
        return readBack_.matched;
    }
    const image::ReadBackResult* readBack() const override { return readBack_.done ? &readBack_ : nullptr; }
    fs::path commitRecord() const override
    {
        return recorded_ ? (folder_.empty() ? fs::path(".") : folder_) / emulated::kCommitRecordName : fs::path();
    }
    bool Commit(const std::vector<storage::StampedFile>&, Stage&, std::string&) override { return true; }
    std::vector<fs::path> files() const override { return {}; }

private:
    fs::path folder_;
    storage::Syscalls& calls_;
    int lock_ = -1;
    image::ReadBackResult readBack_;
    bool recorded_ = false;  // a commit that failed left its record for the next start to finish
};

// A SYSTEM.DAT or USER.DAT written into an image must pass the registry-file checker once read back.
bool CheckRegistryFileWritten(const std::string& name, const std::string& bytes, bool& checked, std::string& error)
{
    checked = SameName(name, "SYSTEM.DAT") || SameName(name, "USER.DAT");
    emulated::HiveError fault;
    if (checked && !emulated::CheckHiveStructure(bytes, fault)) {
        error = "is not a sound registry file: " + fault.message;
        return false;
    }
    return true;
}

// A disk image: the run works on a machine folder standing for it, and the change goes into the image at
// the very end; until then nothing of it is on the image.
class ImageTarget final : public Target {
public:
    explicit ImageTarget(fs::path image) : image_(std::move(image)) { }
    bool Open(const Options& options, std::vector<std::string>& said, std::string& error)
    {
        machine_.CheckWrittenFilesWith(CheckRegistryFileWritten);
        if (!machine_.Open({image_, options.partition, options.windows, WritesTarget(options),
                            emulated::kMaxRegistryFileSize},
                           options.user, said, error))
            return false;
        // Nothing is written into /dev: the question comes with where the backup goes instead.
        if (!machine_.device() || !WritesTarget(options) || !options.restore.empty() || !options.backup.empty() ||
            options.noBackup)
            return true;
        std::error_code ignored;
        const std::string here = fs::current_path(ignored).string();
        if (here == "/dev" || here.rfind("/dev/", 0) == 0) {
            error = "the backup would go into the current folder, " + here +
                    ", and nothing is written into /dev: run from another folder or give --backup FOLDER";
            return false;
        }
        said.push_back("the backup of what the run removes goes into the current folder, " + here +
                       " (--backup FOLDER puts it elsewhere)");
        return true;
    }
    bool device() const { return machine_.device(); }
    bool readOnly() const { return machine_.readOnly(); }
    fs::path folder() const override { return machine_.machine(); }
    fs::path shown() const override { return image_; }
    fs::path backupBase() const override
    {
        return machine_.device() || image_.parent_path().empty() ? fs::path(".") : image_.parent_path();
    }
    std::string Shown(const std::string& message) const override { return machine_.Shown(message); }
    bool Fetch(const std::vector<std::string>& files, std::uint64_t limit, std::string& error) override
    {
        return machine_.Fetch(files, limit, error);
    }
    emulated::MakePresent Present() override
    {
        return [this](const std::string& relative, bool contents) {
            std::string error;
            if (!machine_.Reach(relative, contents, error) && trouble_.empty())
                trouble_ = error;
        };
    }
    bool Whole(std::string& error) const override
    {
        error = trouble_;
        return trouble_.empty();
    }
    bool FetchMachineFiles(const std::vector<std::string>& files, std::string& error) override
    {
        return machine_.FetchMachineFiles(files, error);
    }
    storage::FileStamp StampOf(const std::string& file) override { return machine_.StampOf(file); }
    backup::MachineMarks Marks() const override
    {
        backup::MachineMarks marks;
        marks.image = true;
        marks.partition = machine_.partition().number;
        marks.partitionStart = machine_.partition().offset;
        marks.volumeSerial = machine_.VolumeSerial();
        marks.windowsFolder = machine_.windowsPath();
        return marks;
    }
    bool Save(const emulated::MachineFolder& machine, const emulated::Registry& registry,
              emulated::EmulatedMachine& system, Stage& reached, std::string& error) override
    {
        // The new registry files go into the image from memory, with the removals, in one change.
        std::vector<emulated::NewRegistryFile> registryFiles;
        if (!Whole(error) || !emulated::NewRegistryFiles(machine, registry, registryFiles, error))
            return false;
        std::vector<image::WrittenFile> written;
        for (emulated::NewRegistryFile& file : registryFiles)
            written.push_back({std::move(file.relative), std::move(file.bytes), {}});
        const std::size_t removed = system.RemovedFiles().size();
        if (!Reached(machine_.Commit(std::move(written), system.RemovedFiles(), error), reached))
            return false;
        system.FilesCommitted(removed);
        return true;
    }
    bool Commit(const std::vector<storage::StampedFile>& written, Stage& reached, std::string& error) override
    {
        return Reached(machine_.CommitFromFolder(written, error), reached);
    }
    fs::path rollbackJournal() const override { return machine_.journal(); }
    std::vector<fs::path> files() const override { return machine_.files(); }
    const image::ReadBackResult* readBack() const override
    {
        return machine_.readBack().done ? &machine_.readBack() : nullptr;
    }

private:
    // How far a change into the image got, as the run's stage: whole, or left to the rollback journal, or
    // (untouched) as it was.
    static bool Reached(image::ChangeState state, Stage& reached)
    {
        if (state == image::ChangeState::Done)
            reached = Stage::Committed;
        else if (state != image::ChangeState::Untouched)
            reached = Stage::JournalLeft;
        return state == image::ChangeState::Done;
    }

    fs::path image_;
    image::ImageMachine machine_;
    std::string trouble_;  // why an entry looked up could not be made present
};

}  // namespace

const char* StageName(Stage stage)
{
    switch (stage) {
    case Stage::NotChanged: return "not-changed";
    case Stage::BackupKept: return "backup-kept";
    case Stage::JournalLeft: return "journal-left";
    case Stage::RegistrySaved: return "registry-saved";
    case Stage::FilesRemoved: return "files-removed";
    case Stage::Committed: return "committed";
    }
    return "not-changed";
}

bool MayWrite(const fs::path& path, std::string& error)
{
    struct stat status { };
    if (stat(path.c_str(), &status) != 0)
        return true;
    const bool folder = S_ISDIR(status.st_mode);
    if (!folder && (status.st_mode & S_IWUSR) == 0) {
        error = path.string() + " is read-only";
        return false;
    }
    // The right of this process's effective user and groups, which the owner's write bit does not tell.
    if (faccessat(AT_FDCWD, path.c_str(), folder ? W_OK | X_OK : W_OK, AT_EACCESS) != 0) {
        error = "cannot write into " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool WritesTarget(const Options& options)
{
    return !options.restore.empty() || (options.exportFile.empty() && !options.dryRun && !options.check);
}

namespace {

// The likely mistake of naming a disk image as a machine folder, or the other way round: the option the
// user meant, before anything is opened.
bool RightKindOfTarget(const Options& options, std::string& error)
{
    struct stat status { };
    if (options.image.empty()) {
        if (!options.machine.empty() && stat(options.machine.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
            error = options.machine + " is a file, not a machine folder (a folder holding WINDOWS and its registry): "
                                      "for a disk image, use --image " + options.machine;
            return false;
        }
        return true;
    }
    if (stat(options.image.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        error = options.image + " is a folder, not a disk image: for a machine folder, use --machine " + options.image;
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<Target> OpenTarget(const Options& options, std::vector<std::string>& said, std::string& error)
{
    if (!RightKindOfTarget(options, error))
        return nullptr;
    if (options.image.empty()) {
        auto folder = std::make_unique<FolderTarget>(options.machine, storage::Syscalls::Real());
        if (!folder->Lock(WritesTarget(options), said, error))
            return nullptr;
        return folder;
    }
    // An image this user may not write is left alone, and so is one whose folder cannot take its rollback
    // journal (beside the file a link names), before anything is read, asked or made beside it.
    std::error_code status;
    const fs::path file = fs::canonical(options.image, status);
    if (WritesTarget(options) && !status &&
        (!MayWrite(options.image, error) || !MayWrite(file.parent_path(), error)))
        return nullptr;
    auto image = std::make_unique<ImageTarget>(options.image);
    if (!image->Open(options, said, error))
        return nullptr;
    // A device whose lock switch is set (a card's) is left alone, before any question.
    if (WritesTarget(options) && image->device() && image->readOnly()) {
        error = options.image +
                " is read-only (a memory card's lock switch, or a device this user may not write)";
        return nullptr;
    }
    return image;
}

std::unique_ptr<Target> UnlockedFolderTarget(const fs::path& folder, storage::Syscalls& calls)
{
    return std::make_unique<FolderTarget>(folder, calls);
}

}  // namespace offline
