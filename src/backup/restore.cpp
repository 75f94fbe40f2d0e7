// --restore: puts a machine back as a backup of this program holds it, all or nothing, and only on the
// machine the backup was taken of. Every file is reached from the machine folder by handle, never through a
// link; every copy in the backup is checked against the manifest's SHA-256 before anything changes; then
// every new file is written and fsynced beside its place (through storage's Syscalls, which tests fail), and
// only then put in place, the ones put in place already taken back when a later one fails.
#include "backup/restore.h"

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "backup/backup.h"
#include "backup/manifest.h"
#include "common/fold_case.h"
#include "machine/windows_folder.h"
#include "registry/hive.h"
#include "registry/regedit4.h"
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
        return false;
    }
    if (!sha256.empty() && Sha256Of(bytes) != sha256) {
        error = "the backup's copy " + place.shown.string() + " is not what the manifest says (SHA-256 differs)";
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
    storage::FileStamp stamp;  // the dates it gets back: none when its bytes are not those it had
    storage::Staged staged;
    std::string said;
};

// "2026-12-07T10:33:07Z", a backup's time as the manifest holds it, as a user reads it: "2026-12-07 10:33 UTC".
std::string ShownTime(const std::string& time)
{
    if (time.size() == 20 && time[10] == 'T' && time.back() == 'Z')
        return time.substr(0, 10) + " " + time.substr(11, 5) + " UTC";
    return time;
}

class Restore {
public:
    Restore(const Manifest& manifest, const storage::Folder& machine, const storage::Folder& backup,
            Restored& restored, storage::Syscalls& calls)
        : manifest_(manifest), machine_(machine), backup_(backup), restored_(restored), said_(restored.said),
          calls_(calls)
    {
        // Changes hold handles that staged files point at: they must not move once made.
        changes_.reserve(manifest.files.size() + manifest.registryFiles.size() + 1);
    }

    // Whether the machine is the one the backup was taken of. A backup with marks judges by them alone,
    // whatever the path: the same marks are the same machine, used or moved since; other marks (or another
    // partition of the image) are another machine. A backup without marks (an older version's, or of a
    // machine that has none) judges by the path and the registry files.
    bool Whose(const fs::path& folder, const RestorePlace& place, std::string& error)
    {
        std::error_code status;
        const bool samePath = fs::equivalent(manifest_.machine, place.shown, status);
        const std::string machine = fs::absolute(place.shown, status).string();
        const std::string taken = manifest_.machine + " (taken " + ShownTime(manifest_.time) + ")";
        const MachineMarks& was = manifest_.marks;
        if (!was.recorded)
            said_.push_back("this backup carries no marks of its machine (an older version wrote it): judged by its "
                            "path and registry files");
        else if (!was.image && was.registry.empty())
            said_.push_back("the machine of this backup has no marks (no ProductId, RegisteredOwner or install "
                            "date): judged by its path and registry files");
        else
            return SameMarks(folder, place, samePath, machine, taken, error);
        if (samePath)
            return true;
        if (HoldsTheRunsRegistry()) {
            said_.push_back("this backup is of " + taken + "; " + machine +
                            " holds the registry files as that run left or found them: restored there as that machine, moved");
            return true;
        }
        error = folder.string() + ": this backup is of " + taken + ", not of " + machine;
        return false;
    }

    // Removed files come first, the registry files last: a restore cut short with some files back is finished
    // by running it again, while registry.reg merged twice would hold the removed keys twice.
    bool Plan(std::string& error)
    {
        for (const ManifestFile& entry : manifest_.files) {
            if (!PlanFile(entry, error))
                return false;
        }
        for (const ManifestRegistryFile& entry : manifest_.registryFiles) {
            if (!PlanRegistryFile(entry, error))
                return false;
        }
        return manifest_.registryFile.empty() || PlanRegedit4(error);
    }

    // Stages every change, then puts each in place; false with `error` and the machine as it was (or, when a
    // change put in place cannot be taken back, partly restored, which `error` says).
    bool Apply(std::string& error)
    {
        if (!StageAll(error))
            return false;
        for (std::size_t i = 0; i < changes_.size(); ++i) {
            if (!storage::CommitStaged(changes_[i].staged, error, calls_)) {
                for (std::size_t j = i + 1; j < changes_.size(); ++j)
                    storage::DropStaged(changes_[j].staged, calls_);
                TakeBackBefore(i);
                return false;
            }
        }
        std::size_t files = 0;
        for (const Change& change : changes_) {
            if (!change.said.empty())
                said_.push_back(change.said);
            files += change.said.empty() ? 1 : 0;
            restored_.written.push_back({change.host, change.stamp});
        }
        said_.push_back(std::to_string(files) + " files restored" +
                        (files == manifest_.files.size() ? "" : ", the others were already there"));
        restored_.end = RestoreEnd::Restored;
        return true;
    }

private:
    // Whether this machine bears the marks the backup recorded; `error` names the first that differs, or the
    // partition to pass.
    bool SameMarks(const fs::path& folder, const RestorePlace& place, bool samePath, const std::string& machine,
                   const std::string& taken, std::string& error)
    {
        const MachineMarks& was = manifest_.marks;
        // Another partition of a partitioned disk: most likely the same disk, the wrong --partition.
        if (was.image && place.marks.image && was.partition != 0 && place.marks.partition != 0 &&
            was.partition != place.marks.partition) {
            error = folder.string() + ": this backup was taken of partition " + std::to_string(was.partition) +
                    " of " + manifest_.machine + "; pass --partition " + std::to_string(was.partition);
            return false;
        }
        MachineMarks now = place.marks;
        if (!ReadRegistryMarks(now, error))
            return false;
        if (const std::string differs = FirstDifference(was, now); !differs.empty()) {
            error = folder.string() + ": this backup is of " + taken + ", not of " + machine + " (its " + differs +
                    " differs)";
            return false;
        }
        if (!samePath)
            said_.push_back("this backup is of " + taken + "; " + machine +
                            " bears that machine's marks: restored there as that machine, moved");
        return true;
    }

    // The registry's marks of the machine as it is now, its registry file reached as every file of a restore
    // is (by handle, never through a link): registry.reg, or WINDOWS/SYSTEM.DAT, which holds
    // HKEY_LOCAL_MACHINE.
    bool ReadRegistryMarks(MachineMarks& now, std::string& error)
    {
        Change file;
        const bool regedit4 = !manifest_.registryFile.empty();
        if (!ReadRegistryFile(regedit4 ? manifest_.registryFile : "WINDOWS/SYSTEM.DAT", file, error))
            return false;
        emulated::Registry registry;
        emulated::HiveError damage;
        if (regedit4 ? !emulated::LoadRegedit4(std::move(file.current), registry).ok
                     : !emulated::LoadHive(std::move(file.current), registry, HKEY_LOCAL_MACHINE, "", damage)) {
            error = file.place.shown.string() + " cannot be read for the machine's marks";
            return false;
        }
        AddRegistryMarks(registry, now);
        return true;
    }

    // The name of the first mark that differs between the backup's machine and this one; empty when none.
    static std::string FirstDifference(const MachineMarks& was, const MachineMarks& now)
    {
        if (was.image && now.image) {
            if (was.volumeSerial != now.volumeSerial)
                return "volume serial number " + was.volumeSerial;
            if (was.partitionStart != now.partitionStart)
                return "partition start " + std::to_string(was.partitionStart);
            if (!SameName(was.windowsFolder, now.windowsFolder))
                return "Windows folder " + was.windowsFolder;
        }
        for (const auto& [name, value] : was.registry) {
            const auto there = now.registry.find(name);
            if (there == now.registry.end() || there->second != value)
                return name;
        }
        for (const auto& [name, value] : now.registry) {
            if (was.registry.count(name) == 0)
                return name;
        }
        return {};
    }

    // Every registry file the manifest names holds what the run left there or what it found.
    bool HoldsTheRunsRegistry()
    {
        bool all = true;
        std::size_t seen = 0;
        auto holds = [&](const std::string& host, const std::string& before, const std::string& after) {
            Change now;
            std::string ignored;
            if (!ReadRegistryFile(host, now, ignored))
                return false;
            ++seen;
            const std::string sha = Sha256Of(now.current);
            return sha == before || sha == after;
        };
        if (!manifest_.registryFile.empty())
            all = holds(manifest_.registryFile, manifest_.sha256Before, manifest_.sha256After);
        for (const ManifestRegistryFile& entry : manifest_.registryFiles)
            all = all && holds(entry.host, entry.sha256Before, entry.sha256After);
        return all && seen != 0;
    }

    // Reaches a registry file the manifest names and reads what it holds now.
    bool ReadRegistryFile(const std::string& host, Change& change, std::string& error)
    {
        change.host = host;
        if (!Reach(machine_, host, change.place, error, true) ||
            Look(change.place, change.current, error) != Found::Regular)
            return Refuse(error, change.place);
        change.host = OnMachinePath(change.place);
        return true;
    }

    // A binary registry file as the run left it is put back byte for byte; one changed since gets the removed
    // keys added back into it.
    bool PlanRegistryFile(const ManifestRegistryFile& entry, std::string& error)
    {
        Change change;
        if (!ReadRegistryFile(entry.host, change, error))
            return false;
        const std::string sha = Sha256Of(change.current);
        if (sha == entry.sha256Before) {
            said_.push_back(entry.host + " is already as it was before the run");
            return true;
        }
        if (sha != entry.sha256After)
            return PlanMergedHive(entry, change, error);
        if (!ReadCopy(backup_, entry.before, entry.sha256Before, change.bytes, error))
            return false;
        change.replaces = true;
        change.stamp = entry.stamp;
        change.said = entry.host + " is back as it was before the run, byte for byte";
        changes_.push_back(std::move(change));
        return true;
    }

    // A binary registry file changed since the run (the machine used since): the removed keys that belong in
    // it are added back into its keys as they are now, and the file is built anew, as --import builds one.
    bool PlanMergedHive(const ManifestRegistryFile& entry, Change& change, std::string& error)
    {
        HKEY root = HKEY_LOCAL_MACHINE;
        std::string prefix;
        if (!HiveRoot(entry.host, root, prefix)) {
            error = change.place.shown.string() + " changed since the run and is not a registry file the removed "
                                                  "keys can be added into";
            return false;
        }
        std::string removedText;
        if (!ReadCopy(backup_, kRemovedKeysName, "", removedText, error))
            return false;
        emulated::Registry removed;
        emulated::Registry now;
        emulated::HiveError damage;
        std::string why;
        if (!emulated::LoadRegedit4(std::move(removedText), removed).ok ||
            !emulated::LoadHive(change.current, now, root, prefix, damage)) {
            error = change.place.shown.string() + " changed since the run and cannot be read" +
                    (damage.message.empty() ? "" : " (" + damage.message + ")");
            return false;
        }
        AddKeys(removed, root, prefix, now);
        if (!emulated::BuildHive(now, root, prefix, change.bytes, why)) {
            error = change.place.shown.string() + ": the removed keys cannot be added back: " + why;
            return false;
        }
        change.replaces = true;
        change.said = entry.host + " changed since the run: the removed keys were added back into it";
        changes_.push_back(std::move(change));
        return true;
    }

    // The key a binary registry file holds: WINDOWS/SYSTEM.DAT HKEY_LOCAL_MACHINE, WINDOWS/USER.DAT
    // HKEY_USERS, WINDOWS/PROFILES/NAME/USER.DAT HKEY_USERS\NAME.
    static bool HiveRoot(const std::string& host, HKEY& root, std::string& prefix)
    {
        std::vector<std::string> parts;
        for (const fs::path& part : fs::path(host))
            parts.push_back(part.string());
        if (parts.size() == 2 && SameName(parts[1], "SYSTEM.DAT")) {
            root = HKEY_LOCAL_MACHINE;
            return true;
        }
        root = HKEY_USERS;
        if (parts.size() == 2 && SameName(parts[1], "USER.DAT"))
            return true;
        prefix = parts.size() == 4 ? parts[2] : std::string();
        return parts.size() == 4 && SameName(parts[1], "PROFILES") && SameName(parts[3], "USER.DAT");
    }

    // Adds every key of `from` below root\prefix, with its values, to `into`. For WINDOWS/USER.DAT the keys
    // of a profile that has a file of its own in the backup are left to that file.
    void AddKeys(const emulated::Registry& from, HKEY root, const std::string& prefix, emulated::Registry& into) const
    {
        for (const std::string& name : from.SubkeyNames(root, prefix)) {
            const std::string path = prefix.empty() ? name : prefix + "\\" + name;
            if (root == HKEY_USERS && prefix.empty() && HasOwnProfileFile(name))
                continue;
            AddTree(from, root, path, into);
        }
    }

    static void AddTree(const emulated::Registry& from, HKEY root, const std::string& path, emulated::Registry& into)
    {
        into.CreateKey(root, path);
        for (emulated::Value& value : from.ValuesOf(root, path))
            into.SetValue(root, path, std::move(value));
        for (const std::string& name : from.SubkeyNames(root, path))
            AddTree(from, root, path + "\\" + name, into);
    }

    bool HasOwnProfileFile(const std::string& user) const
    {
        for (const ManifestRegistryFile& entry : manifest_.registryFiles) {
            HKEY root = HKEY_LOCAL_MACHINE;
            std::string prefix;
            if (HiveRoot(entry.host, root, prefix) && !prefix.empty() && SameName(prefix, user))
                return true;
        }
        return false;
    }

    // registry.reg: byte for byte when the run's save is still there, else with the removed keys added at
    // its end, as regedit would import them.
    bool PlanRegedit4(std::string& error)
    {
        Change change;
        if (!ReadRegistryFile(manifest_.registryFile, change, error))
            return false;
        const std::string sha = Sha256Of(change.current);
        if (sha == manifest_.sha256Before) {
            said_.push_back("the registry file is already as it was before the run");
            return true;
        }
        change.replaces = true;
        if (sha == manifest_.sha256After) {
            if (!ReadCopy(backup_, kRegistryBeforeName, manifest_.sha256Before, change.bytes, error))
                return false;
            change.stamp = manifest_.stamp;
            change.said = "the registry file is back as it was before the run, byte for byte";
        } else {
            std::string removed;
            if (!ReadCopy(backup_, kRemovedKeysName, "", removed, error))
                return false;
            // The keys start on a line of their own, whatever the file's last line and removed.reg's first
            // key look like.
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
    // nothing is restored. Content is told by its SHA-256: a file of the same size may hold other bytes.
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
                    " exists again with other content: it is not overwritten";
            return false;
        case Found::Missing:
            break;
        }
        if (!ReadCopy(backup_, std::string(kFilesFolder) + "/" + entry.host, entry.sha256, change.bytes, error))
            return false;
        change.stamp = entry.stamp;
        changes_.push_back(std::move(change));
        return true;
    }

    // Stages every change beside its place; false with `error` and nothing left behind.
    bool StageAll(std::string& error)
    {
        for (std::size_t i = 0; i < changes_.size(); ++i) {
            if (!Stage(changes_[i], error)) {
                for (std::size_t j = 0; j < i; ++j)
                    storage::DropStaged(changes_[j].staged, calls_);
                return false;
            }
        }
        return true;
    }

    // Stages one change: its bytes beside its place, with the time of last change its stamp gives. What a
    // restore or save cut short left beside its place goes first.
    bool Stage(Change& change, std::string& error)
    {
        const storage::Folder& folder = change.place.folder;
        storage::RemoveStagedBeside(folder.fd(), change.place.name, calls_);
        if (!(change.replaces
                  ? storage::StageReplacement(folder, change.place.name, {change.bytes}, change.staged, error, calls_)
                  : storage::StageNewFile(folder, change.place.name, change.bytes, change.staged, error, calls_)))
            return false;
        timespec modified {};
        if (storage::ModifiedTime(change.stamp, modified) &&
            !storage::SetStagedTime(change.staged, modified, calls_)) {
            error = "cannot date " + change.place.shown.string() + ": " + std::strerror(errno);
            storage::DropStaged(change.staged, calls_);
            return false;
        }
        return true;
    }

    // Takes back the changes put in place before change `failed`, the last first, and records how the machine
    // is left.
    void TakeBackBefore(std::size_t failed)
    {
        std::vector<std::string> kept;
        for (std::size_t j = failed; j > 0; --j) {
            if (!TakeBack(changes_[j - 1]))
                kept.push_back(changes_[j - 1].place.shown.string());
        }
        restored_.end = kept.empty() ? RestoreEnd::TakenBack : RestoreEnd::PartlyRestored;
        restored_.kept = std::move(kept);
    }

    // Takes back a change put in place: a replaced file gets its bytes of before the restore, a new file goes.
    bool TakeBack(const Change& change)
    {
        const storage::Folder& folder = change.place.folder;
        std::string ignored;
        if (change.replaces)
            return storage::ReplaceFileAt(folder, change.place.name, {change.current}, ignored, calls_);
        if (calls_.UnlinkAt(folder.fd(), change.place.name.c_str()) != 0)
            return false;
        calls_.SyncFolder(folder.fd());
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
        return false;
    }

    const Manifest& manifest_;
    const storage::Folder& machine_;
    const storage::Folder& backup_;
    Restored& restored_;
    std::vector<std::string>& said_;
    storage::Syscalls& calls_;
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

bool RestoreBackup(const fs::path& folder, const RestorePlace& machine, Restored& restored, std::string& error,
                   storage::Syscalls& calls)
{
    Manifest manifest;
    if (!ReadManifest(folder / kManifestName, manifest, error))
        return false;
    storage::Folder machineFolder;
    storage::Folder backupFolder;
    if (!storage::Folder::Open(machine.folder, machineFolder, error) ||
        !storage::Folder::Open(folder, backupFolder, error))
        return false;
    Restore restore(manifest, machineFolder, backupFolder, restored, calls);
    return restore.Whose(folder, machine, error) && restore.Plan(error) && restore.Apply(error);
}

}  // namespace backup
