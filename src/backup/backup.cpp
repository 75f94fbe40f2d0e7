#include "backup/backup.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <system_error>

#include <fcntl.h>


#include "common/hex.h"
#include "json/cp1252.h"
#include "machine/machine_folder.h"
#include "backup/manifest.h"
#include "registry/regedit4.h"
#include "storage/durable.h"

namespace backup {

namespace fs = std::filesystem;

namespace {

// A manifest is a few hundred bytes a removed file: one this large is not one this program wrote.
constexpr std::uint64_t kLargestManifest = std::uint64_t {64} << 20;

std::string UtcNow()
{
    std::time_t now = std::time(nullptr);
    std::tm utc {};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace

bool ReadManifest(const fs::path& file, Manifest& manifest, std::string& error)
{
    std::string text;
    if (storage::ReadRegularFile(AT_FDCWD, file.c_str(), kLargestManifest, text) != storage::ReadResult::Done) {
        error = "no " + file.string() + ": not a backup folder of this program";
        return false;
    }
    return ParseManifest(text, file.string(), manifest, error);
}


fs::path MakeDefaultBackupFolder(const fs::path& machine, std::string& error)
{
    std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "cmpci-backup-%Y%m%d-%H%M%S", &local);
    fs::path folder = machine / stamp;
    std::error_code status;
    // Tried names are bounded: a folder holding thousands of them is not one to write into.
    for (int n = 2; n <= 10000; ++n) {
        if (fs::create_directory(folder, status))
            return folder;
        if (status) {
            error = "cannot make the backup folder " + folder.string() + ": " + status.message();
            return {};
        }
        folder = machine / (std::string(stamp) + "-" + std::to_string(n));
    }
    error = "cannot make the backup folder " + folder.string() + ": too many taken";
    return {};
}

void AddRegistryMarks(const emulated::Registry& registry, MachineMarks& marks)
{
    for (const char* name : {"ProductId", "RegisteredOwner", "FirstInstallDateTime", "InstallDate"}) {
        const emulated::Value* value =
            registry.FindValue(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", name);
        if (value == nullptr)
            continue;
        std::string data = value->data;
        if (value->type == REG_SZ || value->type == REG_EXPAND_SZ) {
            while (!data.empty() && data.back() == '\0')
                data.pop_back();
            marks.registry[name] = emulated::Cp1252ToUtf8(data);
        } else {
            std::string hex = "hex:";
            AppendHex(hex, data);
            marks.registry[name] = hex;
        }
    }
}

bool BackupNeeded(const emulated::Registry& registry, const std::vector<std::string>& removedFiles)
{
    return registry.Modified() || !removedFiles.empty();
}

namespace {

// The backup folder, made when missing; false with `error` when it exists with something in it or cannot be
// made.
bool MakeBackupFolder(const fs::path& folder, bool& made, std::string& error)
{
    std::error_code status;
    if (fs::exists(folder, status) && !fs::is_empty(folder, status)) {
        error = "the backup folder " + folder.string() + " exists and is not empty";
        return false;
    }
    made = !fs::exists(folder, status);
    fs::create_directories(folder, status);
    if (status)
        error = "cannot write the backup " + folder.string() + ": " + status.message();
    return !status;
}

// Writes what `fill` writes as `relative` in the backup folder, making its folders; every write and fsync
// through `calls`.
bool KeepCopy(const fs::path& folder, const std::string& relative, const storage::FillFile& fill, std::string& error,
              storage::Syscalls& calls)
{
    std::error_code status;
    const fs::path copy = folder / relative;
    fs::create_directories(copy.parent_path(), status);
    if (status) {
        error = "cannot make " + copy.parent_path().string() + ": " + status.message();
        return false;
    }
    if (!storage::WriteNewFileFrom(copy, fill, error, calls))
        return false;
    // The folders made for it are durable once each is named durably in the one above, up to the backup's.
    for (fs::path made = copy.parent_path(); made != folder.parent_path() && !made.empty(); made = made.parent_path()) {
        if (!storage::SyncFolderOf(made, calls)) {
            error = "cannot make " + made.string() + " durable: " + std::strerror(errno);
            return false;
        }
        if (made == folder)
            break;
    }
    return true;
}

// A file's stamp where the run found it, when the run can tell it.
storage::FileStamp StampOf(const RunChanges& changes, const std::string& host)
{
    return changes.stampOf ? changes.stampOf(host) : storage::FileStamp();
}

bool KeepCopy(const fs::path& folder, const std::string& relative, std::string_view bytes, std::string& error,
              storage::Syscalls& calls)
{
    return KeepCopy(folder, relative, [&](int fd, std::string&) { return storage::WriteAll(fd, bytes, calls); },
                    error, calls);
}

// The most bytes of a removed file held in memory at once while it is copied into the backup.
constexpr std::size_t kCopyPiece = std::size_t {1} << 20;

// Copies the regular file `source` into the file open on `fd` in pieces, taking its SHA-256 and size on the
// way; `copied` learns each piece's size. Every call through `calls`.
bool CopyInPieces(const fs::path& source, int fd, Sha256& digest, std::uint64_t& size,
                  const std::function<void(std::size_t)>& copied, std::string& why, storage::Syscalls& calls)
{
    const int in = calls.OpenAt(AT_FDCWD, source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    std::string piece(kCopyPiece, '\0');
    ssize_t got = in < 0 ? -1 : 0;
    while (in >= 0 && (got = calls.PRead(in, piece.data(), piece.size(), size)) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        const std::string_view bytes(piece.data(), got < 0 ? 0 : static_cast<std::size_t>(got));
        if (got < 0 || !storage::WriteAll(fd, bytes, calls))
            break;
        digest.Add(bytes);
        size += bytes.size();
        copied(bytes.size());
    }
    const int readError = got < 0 ? errno : 0;
    if (in >= 0)
        calls.Close(in);
    if (got < 0)
        why = "cannot read " + source.string() + ": " + std::strerror(readError);
    return got == 0;
}

// Keeps one registry file as it was and notes it in the manifest, with its size and SHA-256 before and
// after the run. A binary file the run did not change is not kept.
bool KeepRegistryFile(const fs::path& folder, const RunChanges& changes, const emulated::RegistryFile& file,
                      Manifest& manifest, std::string& error, storage::Syscalls& calls)
{
    const bool changed = emulated::RegistryFileChanged(file, *changes.registry);
    if (file.hive >= 0 && !changed)
        return true;
    // The file's new bytes as the save makes them, so that a file the save would refuse is refused here.
    Sha256 afterHash;
    std::uint64_t sizeAfter = 0;
    if (changed && !emulated::WithNewBytes(file, *changes.registry,
                                           [&](const std::vector<std::string_view>& pieces, std::string&) {
                                               for (std::string_view piece : pieces) {
                                                   afterHash.Add(piece);
                                                   sizeAfter += piece.size();
                                               }
                                               return true;
                                           },
                                           error))
        return false;
    // The bytes the run loaded, not the file read again: what the run removed from is what comes back.
    const std::string_view before = emulated::LoadedBytes(file, *changes.registry);
    const std::string sha256Before = Sha256Of(before);
    const std::string sha256After = changed ? afterHash.Hex() : sha256Before;
    if (!changed)
        sizeAfter = before.size();
    const std::string& host = file.relative;
    const storage::FileStamp stamp = StampOf(changes, host);
    if (file.hive < 0) {
        manifest.registryFile = file.path.filename().string();
        manifest.sizeBefore = before.size();
        manifest.sha256Before = sha256Before;
        manifest.sizeAfter = sizeAfter;
        manifest.sha256After = sha256After;
        manifest.stamp = stamp;
        return KeepCopy(folder, kRegistryBeforeName, before, error, calls);
    }
    const std::string copy = std::string(kBeforeFolder) + "/" + host;
    manifest.registryFiles.push_back({host, copy, before.size(), sha256Before, sizeAfter, sha256After, stamp});
    return KeepCopy(folder, copy, before, error, calls);
}

// Keeps every file the run removes, under files/ at its path in the machine folder.
bool KeepRemovedFiles(const fs::path& folder, const RunChanges& changes, Manifest& manifest, std::string& error,
                      storage::Syscalls& calls)
{
    const emulated::MachineFolder& machine = *changes.folder;
    const std::string windowsName = machine.windowsFolder.filename().string();
    std::uint64_t total = 0;
    for (const std::string& file : changes.removedFiles) {
        std::error_code unknown;
        const std::uintmax_t size = fs::file_size(machine.windowsFolder / file, unknown);
        total += unknown ? 0 : size;
    }
    std::uint64_t done = 0;
    for (std::size_t i = 0; i < changes.removedFiles.size(); ++i) {
        const std::string host = windowsName + "/" + changes.removedFiles[i];
        const fs::path source = machine.windowsFolder / changes.removedFiles[i];
        Sha256 digest;
        std::uint64_t size = 0;
        const auto fill = [&](int fd, std::string& why) {
            return CopyInPieces(source, fd, digest, size, [&](std::size_t piece) {
                if (changes.copied)
                    changes.copied(done += piece, std::max(total, done));
            }, why, calls);
        };
        if (!KeepCopy(folder, std::string(kFilesFolder) + "/" + host, fill, error, calls))
            return false;
        manifest.files.push_back({changes.removedWindowsPaths[i], host, size, digest.Hex(), StampOf(changes, host)});
    }
    return true;
}

// Removes a backup half written: the folder when this run made it, else what it put in it.
void RemoveBackup(const fs::path& folder, bool made)
{
    std::error_code status;
    if (made) {
        fs::remove_all(folder, status);
        return;
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, status))
        fs::remove_all(entry.path(), status);
}

}  // namespace

bool WriteBackup(const fs::path& folder, const RunChanges& changes, std::string& error, storage::Syscalls& calls)
{
    bool made = false;
    if (!MakeBackupFolder(folder, made, error))
        return false;
    // A backup left half written by any way out, running out of memory among them, goes again.
    struct HalfWritten {
        const fs::path& folder;
        bool made;
        bool done = false;
        ~HalfWritten()
        {
            if (!done)
                RemoveBackup(folder, made);
        }
    } halfWritten {folder, made};
    Manifest manifest;
    std::error_code status;
    const fs::path shown = changes.shownMachine.empty() ? changes.machine : changes.shownMachine;
    manifest.machine = fs::absolute(shown, status).string();
    manifest.time = UtcNow();
    manifest.binary = changes.folder->binary();
    manifest.marks = changes.marks;
    manifest.marks.recorded = true;
    AddRegistryMarks(*changes.registry, manifest.marks);
    std::string what;
    bool ok = true;
    for (const emulated::RegistryFile& file : changes.folder->registryFiles)
        ok = ok && KeepRegistryFile(folder, changes, file, manifest, what, calls);
    // The manifest goes last: a backup cut short before it is no backup a restore would take.
    ok = ok && KeepCopy(folder, kRemovedKeysName, emulated::PuttingBackRegedit4(*changes.registry), what, calls) &&
         KeepCopy(folder, kRemovalName, emulated::DeletingRegedit4(*changes.registry), what, calls) &&
         KeepRemovedFiles(folder, changes, manifest, what, calls) &&
         KeepCopy(folder, kManifestName, manifest.Text(), what, calls);
    if (!ok)
        error = "cannot write the backup " + folder.string() + ": " + what;
    halfWritten.done = ok;
    return ok;
}

}  // namespace backup
