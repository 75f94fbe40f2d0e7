#include "machine/machine_folder.h"

#include "machine/commit_record.h"
#include "machine/windows_folder.h"

#include "registry/hive.h"
#include "registry/names.h"
#include "registry/numbers.h"
#include "registry/regedit4.h"
#include "storage/digest.h"
#include "storage/durable.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace emulated {

// Only a regular file is read: a folder, a FIFO or a device would hang the run or make no sense, and a link
// could lead out of the machine.
bool ReadRegistryFile(const std::filesystem::path& file, std::string& text, std::string& error)
{
    switch (storage::ReadRegularFile(AT_FDCWD, file.c_str(), kMaxRegistryFileSize, text)) {
    case storage::ReadResult::Done:
        return true;
    case storage::ReadResult::Link:
        error = file.string() + ": is a symbolic link";
        return false;
    case storage::ReadResult::NotRegular:
        error = file.string() + ": is not a regular file";
        return false;
    case storage::ReadResult::TooLarge:
        error = file.string() + ": is larger than 1 GiB, far beyond any Windows 9x registry";
        return false;
    case storage::ReadResult::Missing:
    case storage::ReadResult::Failed:
        break;
    }
    error = file.string() + ": " + std::strerror(errno);
    return false;
}

namespace {

bool LoadHiveFile(const std::filesystem::path& file, Registry& registry, HKEY root, std::string_view path,
                  std::string& error)
{
    std::string bytes;
    if (!ReadRegistryFile(file, bytes, error))
        return false;
    HiveError fault;
    if (!LoadHive(std::move(bytes), registry, root, path, fault)) {
        char offset[16];
        std::snprintf(offset, sizeof offset, "0x%X", static_cast<unsigned>(fault.offset));
        error = file.string() + ": damaged Windows 9x registry file at offset " + offset + ": " + fault.message;
        return false;
    }
    return true;
}

bool OpenRegedit4(const std::filesystem::path& file, Registry& registry, MachineFolder& machine, std::string& error)
{
    std::string text;
    if (!ReadRegistryFile(file, text, error))
        return false;
    LoadResult loaded = LoadRegedit4(std::move(text), registry);
    if (!loaded.ok) {
        error = file.string() + ": " + loaded.message +
                ", not a REGEDIT4 file: export the registry again with regedit as a REGEDIT4 file "
                "(Win9x/NT4 registration file)";
        return false;
    }
    machine.warnings.clear();
    for (const SkippedLine& skipped : loaded.skipped) {
        if (machine.warnings.size() == kWarningsShown)
            break;
        machine.warnings.push_back(file.string() + ":" + std::to_string(skipped.line) +
                                   ": warning: line skipped, as regedit skips it: " + skipped.reason);
    }
    if (loaded.skippedCount > machine.warnings.size()) {
        machine.warnings.push_back(file.string() + ": warning: " +
                                   std::to_string(loaded.skippedCount - machine.warnings.size()) +
                                   " more lines skipped, as regedit skips them");
    }
    machine.registryFiles.push_back({file, -1, 0, file.filename().string()});
    return true;
}

// Loads WINDOWS/SYSTEM.DAT and USER.DAT and, for a `user` with a profile of its own, that profile's USER.DAT.
bool OpenBinaryRegistry(const std::filesystem::path& system, const std::filesystem::path& users, std::string_view user,
                        Registry& registry, MachineFolder& machine, std::string& error)
{
    if (!LoadHiveFile(system, registry, HKEY_LOCAL_MACHINE, "", error) ||
        !LoadHiveFile(users, registry, HKEY_USERS, "", error))
        return false;
    const std::string windows = machine.windowsFolder.filename().string() + "/";
    machine.registryFiles.push_back({system, 0, 1, windows + system.filename().string()});
    machine.registryFiles.push_back({users, 1, 1, windows + users.filename().string()});
    MapBinaryRoots(registry, user.empty());
    if (user.empty())
        return true;
    // Windows 98 keeps a profile's user registry in WINDOWS/PROFILES/NAME/USER.DAT and loads it as
    // HKEY_USERS\NAME.
    std::filesystem::path profiles;
    std::filesystem::path profile;
    std::filesystem::path profileUsers;
    const bool ownFile = user.find_first_of("/\\") == std::string_view::npos && user != "." && user != ".." &&
                         FindEntryIgnoringCase(machine.windowsFolder, "PROFILES", profiles) &&
                         FindEntryIgnoringCase(profiles, std::string(user), profile) &&
                         FindEntryIgnoringCase(profile, "USER.DAT", profileUsers);
    if (ownFile && !registry.KeyExists(HKEY_USERS, user)) {
        storage::Folder profilesFolder;
        storage::Folder profileFolder;
        if (!machine.folders[1].OpenChild(profiles.filename().string(), profilesFolder, error) ||
            !profilesFolder.OpenChild(profile.filename().string(), profileFolder, error) ||
            !LoadHiveFile(profileUsers, registry, HKEY_USERS, user, error))
            return false;
        machine.folders.push_back(std::move(profileFolder));
        machine.registryFiles.push_back({profileUsers, 2, 2,
                                         windows + profiles.filename().string() + "/" +
                                             profile.filename().string() + "/" + profileUsers.filename().string()});
    } else if (!registry.KeyExists(HKEY_USERS, user)) {
        error = "--user " + std::string(user) + ": no WINDOWS/PROFILES/" + std::string(user) +
                "/USER.DAT and no such key below HKEY_USERS in " + users.string();
        return false;
    }
    registry.MapCurrentUser(HKEY_USERS, user);
    return true;
}

}  // namespace

void MapBinaryRoots(Registry& registry, bool defaultUser)
{
    if (registry.KeyExists(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes"))
        registry.MapRoot(HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes");
    if (defaultUser && registry.KeyExists(HKEY_USERS, ".DEFAULT"))
        registry.MapCurrentUser(HKEY_USERS, ".DEFAULT");
}

bool WindowsFolderNotLink(const std::filesystem::path& windows, std::string& error)
{
    std::error_code status;
    if (!std::filesystem::is_symlink(windows, status))
        return true;
    error = windows.string() + " is a symbolic link: the machine is refused";
    return false;
}

bool OpenMachine(const std::filesystem::path& folder, std::string_view user, Registry& registry, MachineFolder& machine,
                 std::string& error)
{
    std::error_code status;
    machine = MachineFolder();
    if (!std::filesystem::is_directory(folder, status)) {
        error = "no machine folder at " + folder.string();
        return false;
    }
    if (!FindEntryIgnoringCase(folder, "WINDOWS", machine.windowsFolder) ||
        !std::filesystem::is_directory(machine.windowsFolder, status)) {
        error = "no WINDOWS folder in the machine folder " + folder.string();
        // The Windows folder named in the machine folder's place: the folder above it is the one meant.
        std::filesystem::path system;
        if (FindEntryIgnoringCase(folder, "SYSTEM", system) && std::filesystem::is_directory(system, status)) {
            std::filesystem::path above = folder.lexically_normal();
            above = (above.has_filename() ? above : above.parent_path()).parent_path();
            error += " (it looks like a Windows folder itself: name the folder above it, as in --machine " +
                     (above.empty() ? std::string(".") : above.string()) + ")";
        }
        return false;
    }
    if (!WindowsFolderNotLink(machine.windowsFolder, error))
        return false;
    machine.folders.resize(2);
    if (!storage::Folder::Open(folder, machine.folders[0], error) ||
        !machine.folders[0].OpenChild(machine.windowsFolder.filename().string(), machine.folders[1], error))
        return false;
    std::filesystem::path regedit4;
    std::filesystem::path system;
    std::filesystem::path users;
    const bool hasRegedit4 = FindEntryIgnoringCase(folder, "registry.reg", regedit4);
    const bool hasSystem = FindEntryIgnoringCase(machine.windowsFolder, "SYSTEM.DAT", system);
    const bool hasUsers = FindEntryIgnoringCase(machine.windowsFolder, "USER.DAT", users);
    if (hasRegedit4 && (hasSystem || hasUsers)) {
        error = "the machine folder " + folder.string() + " holds both registry.reg and WINDOWS/" +
                (hasSystem ? "SYSTEM.DAT" : "USER.DAT") +
                ": it is refused, as it is not clear which registry is the machine's";
        return false;
    }
    if (hasRegedit4) {
        if (!OpenRegedit4(regedit4, registry, machine, error))
            return false;
        if (!user.empty()) {
            if (!registry.KeyExists(HKEY_USERS, user)) {
                error = "--user " + std::string(user) + ": no such profile below HKEY_USERS in " + regedit4.string();
                return false;
            }
            registry.MapCurrentUser(HKEY_USERS, user);
        }
        return true;
    }
    if (!hasSystem || !hasUsers) {
        error = hasSystem || hasUsers ? "the machine folder " + folder.string() + " has WINDOWS/" +
                                            (hasSystem ? "SYSTEM.DAT" : "USER.DAT") + " but no WINDOWS/" +
                                            (hasSystem ? "USER.DAT" : "SYSTEM.DAT") + ": Windows needs both"
                                      : "no registry in the machine folder " + folder.string() +
                                            ": neither registry.reg nor WINDOWS/SYSTEM.DAT and WINDOWS/USER.DAT";
        return false;
    }
    return OpenBinaryRegistry(system, users, user, registry, machine, error);
}

std::string_view LoadedBytes(const RegistryFile& file, const Registry& registry)
{
    return file.hive < 0 ? registry.FileBytes() : HiveBytes(registry, static_cast<std::size_t>(file.hive));
}

bool RegistryFileChanged(const RegistryFile& file, const Registry& registry)
{
    return file.hive < 0 ? registry.Modified() : HiveModified(registry, static_cast<std::size_t>(file.hive));
}

namespace {

// Puts back, as they were loaded, the files `committed` of `files` whose new bytes are in place. The
// message part for `error`.
std::string PutBack(const MachineFolder& machine, const Registry& registry, const std::vector<const RegistryFile*>& files,
                    std::size_t committed, std::vector<std::string>& saved, storage::Syscalls& calls)
{
    std::string failed;
    for (std::size_t i = 0; i < committed; ++i) {
        const RegistryFile& file = *files[i];
        std::string error;
        if (!storage::ReplaceFileAt(machine.folders[file.folder], file.path.filename().string(),
                                    {LoadedBytes(file, registry)}, error, calls)) {
            failed += (failed.empty() ? "" : ", ") + file.path.string();
            saved.push_back(file.path.string());
        }
    }
    if (committed == 0)
        return "";
    return failed.empty() ? "; the files saved before it were put back as they were"
                          : "; " + failed + " could not be put back and holds the new bytes";
}

// Moves bytes lent to a reading back to their owner on every way out of the reading, a throw too, so that
// the edits made on them are undone on them and not on an emptied string.
class GiveBack {
public:
    GiveBack(std::string& lent, std::string& owner) : lent_(lent), owner_(owner) { }
    ~GiveBack() { owner_ = std::move(lent_); }
    GiveBack(const GiveBack&) = delete;
    GiveBack& operator=(const GiveBack&) = delete;

private:
    std::string& lent_;
    std::string& owner_;
};

}  // namespace

bool WithNewBytes(const RegistryFile& file, const Registry& registry, const UseNewBytes& use, std::string& error)
{
    if (file.hive < 0)
        return use(registry.KeptRanges(), error);
    // A binary file is edited in its loaded bytes, which go back as they were loaded when `edits` goes.
    std::string& edited = LoadedHiveBytes(registry, static_cast<std::size_t>(file.hive));
    Hive hive;
    HiveEdits edits(edited);
    CutRemovedKeys(registry, static_cast<std::size_t>(file.hive), edits);
    // Checked in place: the edited bytes move into the check's reading and back, never copied.
    HiveError fault;
    bool sound = false;
    {
        const GiveBack back(hive.bytes, edited);
        sound = ParseHive(std::move(edited), hive, fault) && CheckHiveStructure(hive, fault);
    }
    if (!sound) {
        error = file.path.string() + ": the edited file would break Windows' registry layout at offset " +
                HexOffset(fault.offset) + ": " + fault.message;
        return false;
    }
    return use({edited}, error);
}

bool NewRegistryFiles(const MachineFolder& machine, const Registry& registry, std::vector<NewRegistryFile>& files,
                      std::string& error)
{
    for (const RegistryFile& file : machine.registryFiles) {
        if (!RegistryFileChanged(file, registry))
            continue;
        NewRegistryFile made {file.relative, {}};
        const bool ok = WithNewBytes(file, registry, [&](const std::vector<std::string_view>& pieces, std::string&) {
            for (std::string_view piece : pieces)
                made.bytes += piece;
            return true;
        }, error);
        if (!ok)
            return false;
        files.push_back(std::move(made));
    }
    return true;
}

bool StageRegistryFiles(const MachineFolder& machine, const Registry& registry,
                        const std::vector<const RegistryFile*>& files, std::vector<storage::Staged>& staged,
                        std::vector<StagedBytes>& bytes, std::string& error, storage::Syscalls& calls)
{
    staged.assign(files.size(), storage::Staged());
    bytes.assign(files.size(), StagedBytes());
    // Each new file's bytes leave memory once they are on disk.
    for (std::size_t i = 0; i < files.size(); ++i) {
        const RegistryFile& file = *files[i];
        const auto stage = [&](const std::vector<std::string_view>& pieces, std::string& why) {
            storage::Sha256 digest;
            for (std::string_view piece : pieces) {
                digest.Add(piece);
                bytes[i].size += piece.size();
            }
            bytes[i].digest = digest.Hex();
            bytes[i].file = &file;
            return storage::StageReplacement(machine.folders[file.folder], file.path.filename().string(), pieces,
                                             staged[i], why, calls);
        };
        if (!WithNewBytes(file, registry, stage, error)) {
            for (std::size_t j = 0; j < i; ++j)
                storage::DropStaged(staged[j], calls);
            return false;
        }
    }
    return true;
}

bool SaveRegistryFiles(const MachineFolder& machine, const Registry& registry, std::vector<std::string>& saved,
                       std::string& error, storage::Syscalls& calls, std::vector<StagedBytes>* meant)
{
    std::vector<const RegistryFile*> files;
    for (const RegistryFile& file : machine.registryFiles) {
        if (RegistryFileChanged(file, registry))
            files.push_back(&file);
    }
    // Every new file is on disk beside its file before the first rename.
    std::vector<storage::Staged> staged;
    std::vector<StagedBytes> bytes;
    if (!StageRegistryFiles(machine, registry, files, staged, bytes, error, calls))
        return false;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!storage::CommitStaged(staged[i], error, calls)) {
            for (std::size_t j = i + 1; j < files.size(); ++j)
                storage::DropStaged(staged[j], calls);
            saved.clear();
            error += PutBack(machine, registry, files, i, saved, calls);
            return false;
        }
        saved.push_back(files[i]->path.string());
    }
    if (meant != nullptr)
        *meant = std::move(bytes);
    return true;
}

bool ReadBackRegistryFiles(const MachineFolder& machine, const std::vector<StagedBytes>& meant, unsigned& files,
                           std::string& error)
{
    for (const StagedBytes& each : meant) {
        const RegistryFile& file = *each.file;
        const int dir = machine.folders[file.folder].fd();
        const std::string name = file.path.filename().string();
        storage::DropCachedPages(dir, name.c_str());
        std::string digest;
        std::uint64_t size = 0;
        if (storage::DigestRegularFile(dir, name.c_str(), kMaxRegistryFileSize, digest, size) !=
            storage::ReadResult::Done) {
            error = file.path.string() + ", read back, cannot be read: " + std::strerror(errno);
            return false;
        }
        if (digest != each.digest) {
            error = file.path.string() + ", read back, is not what was written";
            return false;
        }
        ++files;
    }
    return true;
}

void RemoveStaleSaves(const MachineFolder& machine)
{
    if (!machine.folders.empty() && machine.folders[0].open())
        storage::RemoveStagedBeside(machine.folders[0].fd(), kCommitRecordName);
    for (const RegistryFile& file : machine.registryFiles) {
        storage::RemoveStagedBeside(machine.folders[file.folder].fd(), file.path.filename().string());
    }
}

}  // namespace emulated
