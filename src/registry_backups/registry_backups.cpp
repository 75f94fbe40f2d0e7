#include "registry_backups/registry_backups.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string_view>
#include <utility>

#include <fcntl.h>

#include "registry_backups/cabinet.h"
#include "common/fold_case.h"
#include "machine/machine.h"
#include "machine/machine_folder.h"
#include "machine/windows_folder.h"
#include "registry/hive.h"
#include "storage/durable.h"

namespace backup {

namespace {

namespace fs = std::filesystem;

// SCANREG.INI is a few hundred bytes; a larger one is not the Registry Checker's.
constexpr std::uint64_t kMaxScanregBytes = 64 * 1024;
// The summary names this many backups, then counts the rest.
constexpr std::size_t kBackupsNamed = 5;

std::string_view Trim(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool IsFolder(const fs::path& path)
{
    std::error_code status;
    return fs::is_directory(fs::symlink_status(path, status));
}

// Makes the real bytes of these files present where the machine folder stands for an image; a file outside
// the Windows folder cannot be reached there (and is not in the machine folder either).
bool Fetch(const BackupPlaces& places, const std::vector<fs::path>& files, std::uint64_t limit, std::string& error)
{
    std::vector<std::string> relative;
    for (const fs::path& file : files) {
        const fs::path inWindows = file.lexically_relative(places.windowsFolder);
        if (!inWindows.empty() && *inWindows.begin() != "..")
            relative.push_back(inWindows.generic_string());
    }
    return !places.fetch || relative.empty() || places.fetch(relative, limit, error);
}

// Makes an entry of the Windows folder present before it is looked up, where the machine folder stands for an
// image; `windowsPath` is C:\WINDOWS or a path in it (another is not in the machine folder either).
void MakePresent(const BackupPlaces& places, std::string_view windowsPath, bool contents)
{
    const std::string_view windows = emulated::kWindowsDirectory;
    if (!places.present || windowsPath.size() < windows.size() ||
        !SameName(windowsPath.substr(0, windows.size()), windows))
        return;
    std::string relative(windowsPath.substr(windows.size()));
    if (!relative.empty() && relative.front() != '\\')
        return;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    while (!relative.empty() && relative.front() == '/')
        relative.erase(0, 1);
    places.present(relative, contents);
}

// The folder a Windows path names on drive C:, each component matched ignoring case as on FAT, never
// through a link; false when it is not there.
bool HostFolderOf(const BackupPlaces& places, std::string_view windowsPath, fs::path& host)
{
    if (windowsPath.size() < 2 || windowsPath[1] != ':' || FoldCase(windowsPath[0]) != FoldCase('C'))
        return false;
    std::string_view rest = windowsPath.substr(2);
    host = places.machine;
    while (!rest.empty()) {
        const std::size_t cut = rest.find('\\');
        const std::string_view part = rest.substr(0, cut);
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        if (part.empty())
            continue;
        fs::path next;
        if (part == "." || part == ".." || !emulated::FindEntryIgnoringCase(host, part, next) || !IsFolder(next))
            return false;
        host = next;
    }
    return true;
}

// The BackupDirectory of the machine's SCANREG.INI, or empty.
std::string NamedBackupDirectory(const BackupPlaces& places)
{
    fs::path ini;
    std::string bytes;
    std::string ignored;
    MakePresent(places, std::string(emulated::kWindowsDirectory) + "\\SCANREG.INI", false);
    if (!emulated::FindEntryIgnoringCase(places.windowsFolder, "SCANREG.INI", ini) ||
        !Fetch(places, {ini}, kMaxScanregBytes, ignored) ||
        storage::ReadRegularFile(AT_FDCWD, ini.c_str(), kMaxScanregBytes, bytes) != storage::ReadResult::Done)
        return {};
    return ScanregBackupDirectory(bytes);
}

// The backup folder and its Windows path: the one SCANREG.INI names, else SYSBCKUP in the Windows folder.
// False when there is none.
bool FindBackupFolder(const BackupPlaces& places, fs::path& host, std::string& windowsPath,
                      std::vector<std::string>& notes)
{
    windowsPath = NamedBackupDirectory(places);
    while (windowsPath.size() > 3 && windowsPath.back() == '\\')
        windowsPath.pop_back();
    if (!windowsPath.empty()) {
        MakePresent(places, windowsPath, true);
        if (HostFolderOf(places, windowsPath, host))
            return true;
        notes.push_back("warning: " + std::string(emulated::kWindowsDirectory) +
                        "\\SCANREG.INI names the backup folder " + windowsPath +
                        ", which is not there: no registry backup in it is checked");
        return false;
    }
    windowsPath = std::string(emulated::kWindowsDirectory) + "\\SYSBCKUP";
    MakePresent(places, windowsPath, true);
    return emulated::FindEntryIgnoringCase(places.windowsFolder, "SYSBCKUP", host) && IsFolder(host);
}

// The number of a Registry Checker cabinet's name, RB000.CAB to RB999.CAB in any case; -1 for another name.
int CabinetNumber(const std::string& name)
{
    if (name.size() != 9 || !SameName(name.substr(0, 2), "RB") || !SameName(name.substr(5), ".CAB"))
        return -1;
    int number = 0;
    for (std::size_t i = 2; i < 5; ++i) {
        if (name[i] < '0' || name[i] > '9')
            return -1;
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

// The cabinets in the backup folder, in the order of their numbers.
std::vector<fs::path> CabinetsIn(const fs::path& folder)
{
    std::vector<std::pair<int, fs::path>> found;
    std::error_code status;
    for (fs::directory_iterator entry(folder, status), end; !status && entry != end; entry.increment(status)) {
        const int number = CabinetNumber(entry->path().filename().string());
        if (number >= 0)
            found.emplace_back(number, entry->path());
    }
    std::sort(found.begin(), found.end());
    std::vector<fs::path> cabinets;
    for (auto& [number, path] : found)
        cabinets.push_back(std::move(path));
    return cabinets;
}

// Loads one registry file of a backup below `root`; `name` says which in a message.
bool LoadPart(std::string bytes, HKEY root, const std::string& name, emulated::Registry& registry, std::string& error)
{
    emulated::HiveError fault;
    if (emulated::LoadHive(std::move(bytes), registry, root, "", fault))
        return true;
    char offset[16];
    std::snprintf(offset, sizeof offset, "0x%X", static_cast<unsigned>(fault.offset));
    error = name + " is a damaged Windows 9x registry file (offset " + offset + ": " + fault.message + ")";
    return false;
}

CabinetFile* FileNamed(std::vector<CabinetFile>& files, std::string_view name)
{
    for (CabinetFile& file : files) {
        const std::size_t slash = file.name.find_last_of("\\/");
        if (SameName(slash == std::string::npos ? file.name : file.name.substr(slash + 1), name))
            return &file;
    }
    return nullptr;
}

// A cabinet's backup, dated by its SYSTEM.DAT (else USER.DAT): the registry as it was when the backup was made.
// `unpacked` receives the bytes it extracted; each file extracted is at most `limits.fileBytes`.
RegistryBackup ReadCabinetBackup(const BackupPlaces& places, const fs::path& cabinet, std::string where,
                                 const ExamineBackup& examine, const CabinetLimits& limits, std::uint64_t& unpacked)
{
    RegistryBackup backup {std::move(where)};
    std::vector<CabinetFile> files;
    std::string error;
    unpacked = 0;
    if (!Fetch(places, {cabinet}, limits.cabinetBytes, error) ||
        !ReadCabinet(cabinet, {"SYSTEM.DAT", "USER.DAT"}, files, error, limits)) {
        backup.damage = error;
        return backup;
    }
    CabinetFile* system = FileNamed(files, "SYSTEM.DAT");
    CabinetFile* users = FileNamed(files, "USER.DAT");
    for (const CabinetFile* file : {system, users})
        unpacked += file != nullptr ? file->bytes.size() : 0;
    if (system == nullptr && users == nullptr) {
        backup.damage = "holds neither SYSTEM.DAT nor USER.DAT";
        return backup;
    }
    backup.date = (system != nullptr ? system : users)->time;
    emulated::Registry registry;
    if ((system != nullptr &&
         !LoadPart(std::move(system->bytes), HKEY_LOCAL_MACHINE, system->name + " in it", registry, error)) ||
        (users != nullptr && !LoadPart(std::move(users->bytes), HKEY_USERS, users->name + " in it", registry, error))) {
        backup.damage = error;
        return backup;
    }
    emulated::MapBinaryRoots(registry, true);
    examine(registry, backup);
    return backup;
}

// The time of last write a file's stamp holds, as the machine's clock showed it: a FAT entry's as stored (the
// guest's local time), a host file's in the host's local time, as FAT keeps it; empty when it holds none.
std::string WriteTime(const storage::FileStamp& stamp)
{
    char text[24];
    if (stamp.kind == storage::FileStamp::Kind::Fat) {
        const unsigned date = stamp.fat.writeDate;
        const unsigned time = stamp.fat.writeTime;
        if (date == 0)
            return {};
        std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (date >> 9), date >> 5 & 0xF,
                      date & 0x1F, time >> 11, time >> 5 & 0x3F, (time & 0x1F) * 2);
        return text;
    }
    std::tm local { };
    if (stamp.kind != storage::FileStamp::Kind::Host || localtime_r(&stamp.modified.tv_sec, &local) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0)
        return {};
    return text;
}

// The time of last write of a file of the machine, from the stamp where it lies (BackupPlaces::stampOf), else
// from the host file.
std::string FileWriteTime(const BackupPlaces& places, const fs::path& file)
{
    return WriteTime(places.stampOf ? places.stampOf(file.lexically_relative(places.machine).generic_string())
                                    : storage::HostStamp(file));
}

// Windows 95's copies beside the registry, as one backup: SYSTEM.DA0 and USER.DA0 (either may be missing).
RegistryBackup ReadDa0Backup(const BackupPlaces& places, const fs::path& system, const fs::path& users,
                             const ExamineBackup& examine)
{
    const fs::path& named = system.empty() ? users : system;
    RegistryBackup backup {std::string(emulated::kWindowsDirectory) + "\\" + named.filename().string()};
    std::vector<fs::path> present;
    for (const fs::path& file : {system, users}) {
        if (!file.empty())
            present.push_back(file);
    }
    std::string error;
    if (!Fetch(places, present, emulated::kMaxRegistryFileSize, error)) {
        backup.damage = error;
        return backup;
    }
    backup.date = FileWriteTime(places, named);
    emulated::Registry registry;
    const HKEY roots[] = {system.empty() ? HKEY_USERS : HKEY_LOCAL_MACHINE, HKEY_USERS};
    for (std::size_t i = 0; i < present.size(); ++i) {
        std::string bytes;
        if (!emulated::ReadRegistryFile(present[i], bytes, error) ||
            !LoadPart(std::move(bytes), roots[i], present[i].filename().string(), registry, error)) {
            backup.damage = error;
            return backup;
        }
    }
    emulated::MapBinaryRoots(registry, true);
    examine(registry, backup);
    return backup;
}

// The cabinets in the backup folder, newest first (by the time of last change of the cabinet, then by its
// number).
std::vector<std::size_t> NewestFirst(const BackupPlaces& places, const std::vector<fs::path>& cabinets)
{
    std::vector<std::pair<std::string, std::size_t>> dated;
    for (std::size_t i = 0; i < cabinets.size(); ++i)
        dated.emplace_back(FileWriteTime(places, cabinets[i]), i);
    std::sort(dated.begin(), dated.end(), std::greater<>());
    std::vector<std::size_t> order;
    for (const auto& [time, index] : dated)
        order.push_back(index);
    return order;
}

// Reads the newest cabinets of the backup folder, at most kCabinetsRead of them and kCabinetBytesRead extracted
// in all, into `backups` in the order of their numbers; a note says how many older ones were left unread.
void ReadNewestCabinets(const BackupPlaces& places, const fs::path& folder, const std::string& folderPath,
                        const ExamineBackup& examine, std::vector<RegistryBackup>& backups,
                        std::vector<std::string>& notes)
{
    const std::vector<fs::path> cabinets = CabinetsIn(folder);
    std::vector<std::pair<std::size_t, RegistryBackup>> read;
    std::uint64_t unpacked = 0;
    for (const std::size_t index : NewestFirst(places, cabinets)) {
        if (read.size() == kCabinetsRead || unpacked >= kCabinetBytesRead)
            break;
        CabinetLimits limits;
        limits.fileBytes =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(limits.fileBytes, kCabinetBytesRead - unpacked));
        std::uint64_t bytes = 0;
        read.emplace_back(index, ReadCabinetBackup(places, cabinets[index],
                                                   folderPath + "\\" + cabinets[index].filename().string(), examine,
                                                   limits, bytes));
        unpacked += bytes;
    }
    std::sort(read.begin(), read.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [index, backup] : read)
        backups.push_back(std::move(backup));
    if (const std::size_t unread = cabinets.size() - read.size(); unread != 0)
        notes.push_back("warning: " + std::to_string(unread) + " older registry " +
                        (unread == 1 ? "backup" : "backups") + " in " + folderPath + " left unread: only the newest " +
                        std::to_string(read.size()) + " are read (at most " + std::to_string(kCabinetsRead) + ", " +
                        std::to_string(kCabinetBytesRead >> 20) + " MiB unpacked)");
}

}  // namespace

std::vector<RegistryBackup> ReadRegistryBackups(const BackupPlaces& places, const ExamineBackup& examine,
                                                std::vector<std::string>& notes)
{
    std::vector<RegistryBackup> backups;
    fs::path folder;
    std::string folderPath;
    if (FindBackupFolder(places, folder, folderPath, notes))
        ReadNewestCabinets(places, folder, folderPath, examine, backups, notes);
    fs::path system;
    fs::path users;
    MakePresent(places, std::string(emulated::kWindowsDirectory) + "\\SYSTEM.DA0", false);
    MakePresent(places, std::string(emulated::kWindowsDirectory) + "\\USER.DA0", false);
    const bool hasSystem = emulated::FindEntryIgnoringCase(places.windowsFolder, "SYSTEM.DA0", system);
    const bool hasUsers = emulated::FindEntryIgnoringCase(places.windowsFolder, "USER.DA0", users);
    if (hasSystem || hasUsers)
        backups.push_back(ReadDa0Backup(places, hasSystem ? system : fs::path(), hasUsers ? users : fs::path(), examine));
    return backups;
}

// Read as Windows' profile functions read it: the first BackupDirectory line of the [Scanreg] section, blanks
// around the name and the value dropped, and one pair of quotes around the value.
std::string ScanregBackupDirectory(const std::string& ini)
{
    const std::string_view text = ini;
    bool inScanreg = false;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find_first_of("\r\n", at), text.size());
        const std::string_view line = Trim(text.substr(at, end - at));
        at = end + 1;
        if (line.empty() || line.front() == ';')
            continue;
        if (line.front() == '[') {
            inScanreg = SameName(Trim(line.substr(1, line.find(']') - 1)), "Scanreg");
            continue;
        }
        const std::size_t equals = line.find('=');
        if (!inScanreg || equals == std::string_view::npos || !SameName(Trim(line.substr(0, equals)), "BackupDirectory"))
            continue;
        std::string_view value = Trim(line.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        return std::string(value);
    }
    return {};
}

std::string DescribeBackup(const RegistryBackup& backup)
{
    std::string text = (backup.date.empty() ? std::string("date unknown") : backup.date) + ": ";
    const std::size_t others = backup.items - (backup.deviceKey ? 1 : 0);
    if (backup.deviceKey)
        text += "the card's device key";
    if (backup.deviceKey && others != 0)
        text += " and ";
    if (others != 0)
        text += std::to_string(others) + (backup.deviceKey ? " more " : " ") + (others == 1 ? "item" : "items") +
                (backup.deviceKey ? "" : " of the card, not its device key");
    return text;
}

std::string DescribeBackupsHoldingCard(const std::vector<RegistryBackup>& backups, bool filesThere)
{
    std::string names;
    std::size_t holding = 0;
    for (const RegistryBackup& backup : backups) {
        if (backup.items == 0)
            continue;
        if (++holding <= kBackupsNamed)
            names += (holding == 1 ? "" : ", ") + backup.where.substr(backup.where.find_last_of('\\') + 1);
    }
    if (holding == 0)
        return {};
    if (holding > kBackupsNamed)
        names += " and " + std::to_string(holding - kBackupsNamed) + " more";
    const std::string count = std::to_string(holding) + (holding == 1 ? " registry backup" : " registry backups");
    const std::string ageOut = "they age out as Windows makes new ones (daily, or scanreg /backup), or delete those named";
    if (filesThere)
        return count + (holding == 1 ? " holds" : " hold") + " the card (" + names +
               "), as the machine does now: after a removal " + ageOut;
    return count + (holding == 1 ? " still holds" : " still hold") + " the card (" + names +
           "): a restore (the Registry Checker's own at start-up, or scanreg /restore) " +
           "would bring the card's registry keys back without its driver files; " + ageOut;
}

}  // namespace backup
