// The backup's manifest.json: what a run removed, the machine it removed it from, and how to check both
// before putting it back. One type writes it and reads it; the reader takes any layout of the JSON
// (doc/manifest.schema.json), refuses a manifest that does not parse, lacks a field or has a format it does
// not know, and any path that would lead a restore out of the Windows folder or the backup.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "storage/file_stamp.h"

namespace backup {

// The names inside a backup folder.
inline constexpr char kManifestName[] = "manifest.json";
inline constexpr char kRemovedKeysName[] = "removed.reg";
inline constexpr char kRemovalName[] = "removal.reg";
inline constexpr char kRegistryBeforeName[] = "registry.reg.before";
inline constexpr char kFilesFolder[] = "files";
inline constexpr char kBeforeFolder[] = "before";

// A removed file.
struct ManifestFile {
    std::string path;  // as the logic named it (C:\WINDOWS\...), Windows-1252; written, not read back
    std::string host;  // relative to the machine folder
    std::uint64_t size = 0;
    std::string sha256;
    storage::FileStamp stamp {};  // its attributes and dates where it was (none in older backups)
};

// A binary registry file the run changed.
struct ManifestRegistryFile {
    std::string host;    // relative to the machine folder
    std::string before;  // its copy, relative to the backup folder
    std::uint64_t sizeBefore = 0;
    std::string sha256Before;
    std::uint64_t sizeAfter = 0;
    std::string sha256After;
    storage::FileStamp stamp {};  // its attributes and dates before the run (none in older backups)
};

// The manifest's format: 1 had no "format" field and no marks; 2 adds them.
inline constexpr int kManifestFormat = 2;

// What identifies a machine and survives its use, recorded with a backup so that a restore finds the
// machine by more than its path.
struct MachineMarks {
    bool recorded = false;  // false: a manifest of format 1, without marks
    // A disk image's: its FAT volume's serial number ("XXXX-XXXX", empty when the boot sector has none),
    // its partition (0: a volume without a partition table) and that partition's first byte, and the
    // Windows folder as stored on the volume. All empty or 0 for a machine folder.
    bool image = false;
    std::string volumeSerial;
    int partition = 0;
    std::uint64_t partitionStart = 0;
    std::string windowsFolder;
    // Every target's: the registry's own marks under HKLM\Software\Microsoft\Windows\CurrentVersion where
    // present (ProductId, RegisteredOwner, FirstInstallDateTime, InstallDate), each as the text of its data.
    std::map<std::string, std::string> registry;
};

struct Manifest {
    std::string machine;  // absolute, as shown to the user
    std::string time;     // UTC, ISO 8601
    // A REGEDIT4 machine's registry.reg: its name in the machine folder, before and after the run.
    std::string registryFile;
    std::uint64_t sizeBefore = 0;
    std::string sha256Before;
    std::uint64_t sizeAfter = 0;
    std::string sha256After;
    storage::FileStamp stamp;
    // A machine with binary registry files: those the run changed (none is a valid list).
    bool binary = false;
    std::vector<ManifestRegistryFile> registryFiles;
    std::vector<ManifestFile> files;
    MachineMarks marks;

    // The manifest's JSON text.
    std::string Text() const;
};

// Reads a manifest's text; `name` is the file's name for messages. False with a one-line `error` when it is
// not a manifest this program wrote (not JSON, cut short, a field missing or of another type, a format
// unknown), or when it names a path that is absolute, climbs out, or (a removed file) lies outside the
// Windows folder.
bool ParseManifest(std::string_view text, const std::string& name, Manifest& manifest, std::string& error);

}  // namespace backup
