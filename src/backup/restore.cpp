// --restore: puts a machine back as a backup of this program holds it, all or nothing. Every file is reached
// from the machine folder by handle, never through a link; every copy in the backup is checked against the
// manifest's SHA-256 before anything changes; then every new file is written and fsynced beside its place,
// and only then put in place, the ones put in place already taken back when a later one fails.
#include "backup/restore.h"

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "backup/backup.h"
#include "backup/manifest.h"
#include "machine/windows_folder.h"
#include "storage/durable.h"

namespace backup {

namespace fs = std::filesystem;

namespace {


// A file reached by handle: the folder that holds it, opened from the top down without following a link,
// and its name there.
struct Place {
    storage::Folder folder;
    std::string name;
    fs::path shown;
};

// The name in the folder open on `dir` that stands for `name`: on the machine, names are matched as FAT
// matches them, ignoring case, so that a file back under another case is the same file.
std::string OnMachine(int dir, const std::string& name, bool machine)
{
    std::string found;
    return machine && emulated::FindEntryIgnoringCaseAt(dir, name, found) ? found : name;
}

bool Reach(const storage::Folder& top, const std::string& relative, Place& place, std::string& error,
           bool machine = false)
{
    const fs::path path(relative);
    storage::Folder current;
    const storage::Folder* at = &top;
    fs::path shown = top.path();
    for (const fs::path& part : path.parent_path()) {
        storage::Folder next;
        if (!at->OpenChild(OnMachine(at->fd(), part.string(), machine), next, error))
            return false;
        current = std::move(next);
        at = &current;
    }
    place.name = OnMachine(at->fd(), path.filename().string(), machine);
    place.shown = at->path() / place.name;
    // A file in the top folder itself gets a handle of its own on that folder, so that the place owns one.
    if (at == &top)
        return top.OpenChild(".", place.folder, error);
    place.folder = std::move(current);
    return true;
}

enum class Found { Missing, Regular, Other };

// What stands at a place: nothing, a regular file (its bytes read into `bytes`), or anything else (a link,
// a folder, a FIFO, a device), which is never opened, so that nothing can block.
Found Look(const Place& place, std::string& bytes, std::string& error)
{
    // No limit: a restore puts back what a run removed, whatever its size.
    switch (storage::ReadRegularFile(place.folder.fd(), place.name.c_str(), UINT64_MAX, bytes)) {
    case storage::ReadResult::Done:
        return Found::Regular;
    case storage::ReadResult::Missing:
        return Found::Missing;
    case storage::ReadResult::Link:
    case storage::ReadResult::NotRegular:
        error = place.shown.string() + " is not a regular file (a link, a folder or a device is never written over)";
        return Found::Other;
    case storage::ReadResult::TooLarge:
    case storage::ReadResult::Failed:
        break;
    }
    error = place.shown.string() + ": cannot read it: " + std::strerror(errno);
    return Found::Other;
}

// A copy in the backup, checked against the SHA-256 the manifest gives for it (none for removed.reg).
bool ReadCopy(const storage::Folder& backup, const std::string& relative, const std::string& sha256, std::string& bytes,
              std::string& error)
{
    Place place;
    if (!Reach(backup, relative, place, error))
        return false;
    if (Look(place, bytes, error) != Found::Regular) {
        if (error.empty())
            error = "the backup lacks " + place.shown.string();
        error += "; nothing was restored";
        return false;
    }
    if (!sha256.empty() && Sha256Of(bytes) != sha256) {
        error = "the backup's copy " + place.shown.string() + " is not what the manifest says (SHA-256 differs); "
                "nothing was restored";
        return false;
    }
    return true;
}

// One change a restore makes: a file replaced or a file made anew.
struct Change {
    Place place;
    std::string bytes;    // what goes in
    std::string current;  // what was there, for taking a replacement back
    bool replaces = false;
    std::string host;  // relative to the machine folder
    storage::Staged staged;
    std::string said;
};

// Takes back a change put in place: a replaced file gets its bytes of before the restore, a new file goes.
void TakeBack(const Change& change)
{
    std::string ignored;
    if (change.replaces)
        storage::ReplaceFileAt(change.place.folder, change.place.name, {change.current}, ignored);
    else
        unlinkat(change.place.folder.fd(), change.place.name.c_str(), 0);
}

class Restore {
public:
    Restore(const Manifest& manifest, const storage::Folder& machine, const storage::Folder& backup,
            std::vector<std::string>& said)
        : manifest_(manifest), machine_(machine), backup_(backup), said_(said)
    {
        // Changes hold handles that staged files point at: they must not move once made.
        changes_.reserve(manifest.files.size() + manifest.registryFiles.size() + 1);
    }

    bool Plan(std::string& error)
    {
        for (const ManifestRegistryFile& entry : manifest_.registryFiles) {
            if (!PlanRegistryFile(entry, error))
                return false;
        }
        if (!manifest_.registryFile.empty() && !PlanRegedit4(error))
            return false;
        for (const ManifestFile& entry : manifest_.files) {
            if (!PlanFile(entry, error))
                return false;
        }
        return true;
    }

    // Stages every change, then puts each in place; false with `error` and the machine as it was.
    bool Apply(std::vector<std::string>* written, std::string& error)
    {
        for (std::size_t i = 0; i < changes_.size(); ++i) {
            Change& change = changes_[i];
            const bool ok = change.replaces
                                ? storage::StageReplacement(change.place.folder, change.place.name, {change.bytes},
                                                            change.staged, error)
                                : storage::StageNewFile(change.place.folder, change.place.name, change.bytes,
                                                        change.staged, error);
            if (!ok) {
                for (std::size_t j = 0; j < i; ++j)
                    storage::DropStaged(changes_[j].staged);
                error += "; nothing was restored";
                return false;
            }
        }
        for (std::size_t i = 0; i < changes_.size(); ++i) {
            Change& change = changes_[i];
            if (!storage::CommitStaged(change.staged, error)) {
                for (std::size_t j = i + 1; j < changes_.size(); ++j)
                    storage::DropStaged(changes_[j].staged);
                for (std::size_t j = i; j > 0; --j)
                    TakeBack(changes_[j - 1]);
                error += "; what was restored before it was taken back: nothing was restored";
                return false;
            }
        }
        std::size_t files = 0;
        for (const Change& change : changes_) {
            if (!change.said.empty())
                said_.push_back(change.said);
            files += change.said.empty() ? 1 : 0;
            if (written)
                written->push_back(change.host);
        }
        said_.push_back(std::to_string(files) + " files restored" +
                        (files == manifest_.files.size() ? "" : ", the others were already there"));
        return true;
    }

private:
    // A binary registry file is put back only when it is as the run left it: one changed since cannot take
    // the removed keys back in.
    bool PlanRegistryFile(const ManifestRegistryFile& entry, std::string& error)
    {
        Change change;
        change.host = entry.host;
        if (!Reach(machine_, entry.host, change.place, error, true) ||
            Look(change.place, change.current, error) != Found::Regular)
            return Refuse(error, change.place);
        change.host = OnMachinePath(change.place);
        const std::string sha = Sha256Of(change.current);
        if (sha == entry.sha256Before) {
            said_.push_back(entry.host + " is already as it was before the run");
            return true;
        }
        if (sha != entry.sha256After) {
            error = change.place.shown.string() + " changed since the run; it is not overwritten, and nothing was "
                                                  "restored (the removed keys are in " +
                    (backup_.path() / kRemovedKeysName).string() + ")";
            return false;
        }
        if (!ReadCopy(backup_, entry.before, entry.sha256Before, change.bytes, error))
            return false;
        change.replaces = true;
        change.said = entry.host + " is back as it was before the run, byte for byte";
        changes_.push_back(std::move(change));
        return true;
    }

    // registry.reg: byte for byte when the run's save is still there, else with the removed keys added at
    // its end, as regedit would import them.
    bool PlanRegedit4(std::string& error)
    {
        Change change;
        change.host = manifest_.registryFile;
        if (!Reach(machine_, manifest_.registryFile, change.place, error, true) ||
            Look(change.place, change.current, error) != Found::Regular)
            return Refuse(error, change.place);
        change.host = OnMachinePath(change.place);
        const std::string sha = Sha256Of(change.current);
        if (sha == manifest_.sha256Before) {
            said_.push_back("the registry file is already as it was before the run");
            return true;
        }
        change.replaces = true;
        if (sha == manifest_.sha256After) {
            if (!ReadCopy(backup_, kRegistryBeforeName, manifest_.sha256Before, change.bytes, error))
                return false;
            change.said = "the registry file is back as it was before the run, byte for byte";
        } else {
            std::string removed;
            if (!ReadCopy(backup_, kRemovedKeysName, "", removed, error))
                return false;
            const std::size_t body = removed.find('\n');
            change.bytes = change.current;
            if (!change.bytes.empty() && change.bytes.back() != '\n' && change.bytes.back() != '\r')
                change.bytes += "\r\n";
            change.bytes += removed.substr(body == std::string::npos ? removed.size() : body + 1);
            change.said = "the registry file changed since the run: the removed keys were added back at its end";
        }
        changes_.push_back(std::move(change));
        return true;
    }

    // A removed file comes back when it is missing; one there again with other content stays, and then
    // nothing is restored.
    bool PlanFile(const ManifestFile& entry, std::string& error)
    {
        Change change;
        change.host = entry.host;
        if (!Reach(machine_, entry.host, change.place, error, true))
            return Refuse(error, change.place);
        change.host = OnMachinePath(change.place);
        std::string there;
        switch (Look(change.place, there, error)) {
        case Found::Other:
            return Refuse(error, change.place);
        case Found::Regular:
            if (Sha256Of(there) == entry.sha256)
                return true;
            error = change.place.shown.string() +
                    " exists again with other content; it is not overwritten, and nothing was restored";
            return false;
        case Found::Missing:
            break;
        }
        if (!ReadCopy(backup_, std::string(kFilesFolder) + "/" + entry.host, entry.sha256, change.bytes, error))
            return false;
        changes_.push_back(std::move(change));
        return true;
    }

    // A place's path relative to the machine folder, with the names the machine has.
    std::string OnMachinePath(const Place& place) const
    {
        return place.shown.lexically_relative(machine_.path()).generic_string();
    }

    static bool Refuse(std::string& error, const Place& place)
    {
        if (error.empty())
            error = "cannot reach " + place.shown.string();
        error += "; nothing was restored";
        return false;
    }

    const Manifest& manifest_;
    const storage::Folder& machine_;
    const storage::Folder& backup_;
    std::vector<std::string>& said_;
    std::vector<Change> changes_;
};

}  // namespace

std::vector<std::string> BackupMachineFiles(const fs::path& folder)
{
    Manifest manifest;
    std::string error;
    std::vector<std::string> files;
    if (!ReadManifest(folder / kManifestName, manifest, error))
        return files;
    if (!manifest.registryFile.empty())
        files.push_back(manifest.registryFile);
    for (const ManifestRegistryFile& entry : manifest.registryFiles)
        files.push_back(entry.host);
    for (const ManifestFile& entry : manifest.files)
        files.push_back(entry.host);
    return files;
}

bool RestoreBackup(const fs::path& folder, const fs::path& machine, std::vector<std::string>& said, std::string& error,
                   std::vector<std::string>* written)
{
    Manifest manifest;
    if (!ReadManifest(folder / kManifestName, manifest, error))
        return false;
    storage::Folder machineFolder;
    storage::Folder backupFolder;
    if (!storage::Folder::Open(machine, machineFolder, error) || !storage::Folder::Open(folder, backupFolder, error))
        return false;
    Restore restore(manifest, machineFolder, backupFolder, said);
    return restore.Plan(error) && restore.Apply(written, error);
}

}  // namespace backup
