// The registry backups Windows keeps, read for --check and a run's summary: the Registry Checker's cabinets
// (Windows 98 and ME back the registry up once a day into WINDOWS\SYSBCKUP\RB000.CAB ..., or the folder
// SCANREG.INI names, and restores the newest by itself when it finds the registry damaged; scanreg /restore
// restores any of them), and Windows 95's SYSTEM.DA0 and USER.DA0 beside the registry, which it falls back
// to the same way. Each is loaded into a registry of its own and examined by the caller with the same rules
// as the live machine. Nothing here writes anywhere: a cabinet is read into memory and extracted there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "storage/file_stamp.h"
#include "machine/windows_folder.h"
#include "registry/registry.h"

namespace backup {

// One registry backup, as read.
struct RegistryBackup {
    std::string where;       // its Windows path: C:\WINDOWS\SYSBCKUP\RB001.CAB, C:\WINDOWS\SYSTEM.DA0
    std::string date {};     // YYYY-MM-DD HH:MM:SS, the machine's local time; empty when unknown
    std::string damage {};   // why it could not be read; empty when it was read
    bool deviceKey = false;  // the card's device key is in it
    std::size_t items = 0;   // items of the card's footprint in its registry, the device key among them
};

// Where a machine's backups are and how their bytes are reached.
struct BackupPlaces {
    std::filesystem::path machine;        // the machine folder, the root of drive C:
    std::filesystem::path windowsFolder;  // C:\WINDOWS in it
    // Makes the real bytes of files (relative to the Windows folder) present, for an image's stand-ins, each
    // at most `limit` bytes; none for a machine folder. False with a one-line error.
    std::function<bool(const std::vector<std::string>&, std::uint64_t limit, std::string&)> fetch {};
    // Makes entries of the Windows folder present before they are looked up, for an image; none for a machine
    // folder.
    emulated::MakePresent present {};
    // A file's stamp where it lies (relative to the machine folder): for an image, whose stand-ins have no
    // time, its FAT entry's dates; without it, the host file's own time of last change.
    std::function<storage::FileStamp(const std::string&)> stampOf {};
};

// Fills in what of the card a backup's registry holds: `deviceKey` and `items`.
using ExamineBackup = std::function<void(const emulated::Registry&, RegistryBackup&)>;

// At most this many of the Registry Checker's cabinets are read, the newest, and at most this many bytes
// extracted from them in all: Windows keeps five by default, and a folder of a thousand would take minutes.
inline constexpr std::size_t kCabinetsRead = 10;
inline constexpr std::uint64_t kCabinetBytesRead = std::uint64_t {256} << 20;

// Reads the registry backups of the machine: the newest cabinets (within kCabinetsRead and
// kCabinetBytesRead; a note says how many were left unread) in the order of their numbers, then the .DA0
// pair (named by SYSTEM.DA0, or USER.DA0 when it is alone). A backup that cannot be read comes back with its
// damage and is not examined. `notes` receives warnings about the search itself (a backup folder named in
// SCANREG.INI that is not there).
std::vector<RegistryBackup> ReadRegistryBackups(const BackupPlaces& places, const ExamineBackup& examine,
                                                std::vector<std::string>& notes);

// The BackupDirectory that the [Scanreg] section of a SCANREG.INI text names; empty when none.
std::string ScanregBackupDirectory(const std::string& ini);

// --check's line for a backup that holds something of the card: "WHEN: the device key and N more items".
std::string DescribeBackup(const RegistryBackup& backup);

// The summary's line when backups hold something of the card, saying what a restore would do and how they
// go; empty when none does. `filesThere`: the card's driver files are still on the machine, so a restore
// would bring back nothing that is not there.
std::string DescribeBackupsHoldingCard(const std::vector<RegistryBackup>& backups, bool filesThere);

}  // namespace backup
