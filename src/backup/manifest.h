// The backup's manifest.json: what a run removed and how to check it before putting it back. One type
// writes it and reads it; the reader takes only what this program writes, one field set a line, and refuses
// any path that would lead a restore out of the machine folder or the backup.
#pragma once

#include <cstdint>
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

    // The manifest's JSON text.
    std::string Text() const;
};

// Reads a manifest's text; `name` is the file's name for messages. False with a one-line `error` when it is
// not a manifest this program wrote, or when it names a path that is absolute or climbs out.
bool ParseManifest(std::string_view text, const std::string& name, Manifest& manifest, std::string& error);

// A relative path of names only: not absolute, not empty, no "." or ".." part.
bool StaysInside(const std::string& path);

}  // namespace backup
