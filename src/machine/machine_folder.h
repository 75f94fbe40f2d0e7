// The machine folder a run works on: a folder holding WINDOWS/ (the Windows directory) and its registry,
// either registry.reg (a REGEDIT4 file) or Windows 9x's own WINDOWS/SYSTEM.DAT and USER.DAT. Opening it loads
// the registry; saving it writes the registry files the run changed, all or nothing, or hands their new bytes
// to a target that takes them in memory (a disk image).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "registry/registry.h"
#include "storage/durable.h"

namespace emulated {

// One registry file of a machine.
struct RegistryFile {
    std::filesystem::path path;
    // Its position among the registry's binary registry files, or -1 for a REGEDIT4 file.
    int hive = -1;
    // The folder holding it, as a position in MachineFolder::folders: it is saved through that handle.
    std::size_t folder = 0;
    // Its path relative to the machine folder, with the names found there ("WINDOWS/SYSTEM.DAT").
    std::string relative;
};

// A machine folder opened for a run.
struct MachineFolder {
    // registry.reg alone; or WINDOWS/SYSTEM.DAT, WINDOWS/USER.DAT and, for a user profile,
    // WINDOWS/PROFILES/NAME/USER.DAT.
    std::vector<RegistryFile> registryFiles;
    std::filesystem::path windowsFolder;
    // The folders holding the registry files, opened when the machine was: the machine folder, WINDOWS and,
    // for a profile of its own, its folder. The files are saved through these handles, so that a folder
    // swapped for a link during the run leads nowhere.
    std::vector<storage::Folder> folders;
    // Lines of the registry file that were skipped, one message each in the form "FILE:LINE: warning: ...",
    // the last one a count when there were more than kWarningsShown.
    std::vector<std::string> warnings;

    bool binary() const { return !registryFiles.empty() && registryFiles.front().hive >= 0; }
};

inline constexpr std::size_t kWarningsShown = 5;
// A registry file larger than this is refused: Windows 9x registries are a few megabytes.
inline constexpr std::uint64_t kMaxRegistryFileSize = std::uint64_t {1} << 30;

// Finds the machine's registry (names matched case-insensitively) and WINDOWS, and loads the registry: either
// registry.reg, a REGEDIT4 file, or Windows 9x's own files, WINDOWS/SYSTEM.DAT as HKEY_LOCAL_MACHINE and
// WINDOWS/USER.DAT as HKEY_USERS (HKEY_CLASSES_ROOT standing for HKEY_LOCAL_MACHINE\SOFTWARE\Classes).
// HKEY_CURRENT_USER stands for HKEY_USERS\.DEFAULT or, with a `user`, for that user's profile: the key
// HKEY_USERS\NAME, loaded from WINDOWS/PROFILES/NAME/USER.DAT when the machine has one. False with a
// one-line `error` naming the problem: no such folder or file, a folder with both kinds of registry, a file
// that is not a regular file, not a REGEDIT4 file, or a damaged binary file (with the offset at fault).
bool OpenMachine(const std::filesystem::path& folder, std::string_view user, Registry& registry, MachineFolder& machine,
                 std::string& error);

// Refuses a WINDOWS folder that is a symbolic link, as every run does: it would lead the run's writes and
// removals out of the machine. False with a one-line `error`.
bool WindowsFolderNotLink(const std::filesystem::path& windows, std::string& error);

// Maps HKEY_CLASSES_ROOT onto SYSTEM.DAT's SOFTWARE\Classes and, with `defaultUser`, HKEY_CURRENT_USER onto
// USER.DAT's .DEFAULT, as Windows 9x maps them over its registry files; a root whose key is missing stays
// unmapped.
void MapBinaryRoots(Registry& registry, bool defaultUser);

// Reads a whole registry file: a regular file only, never through a link, at most kMaxRegistryFileSize.
bool ReadRegistryFile(const std::filesystem::path& file, std::string& text, std::string& error);

// Hands `use` the registry file's new bytes, as pieces, while they exist: a REGEDIT4 file's own bytes less
// the sections of the removed keys, or a binary file with the removed keys cut out in place and checked to
// keep Windows' layout (its loaded bytes are back as loaded once `use` returns). False with a one-line
// `error` when the edited file would break the layout, or when `use` fails.
using UseNewBytes = std::function<bool(const std::vector<std::string_view>& pieces, std::string& error)>;
bool WithNewBytes(const RegistryFile& file, const Registry& registry, const UseNewBytes& use, std::string& error);

// A registry file's new bytes whole, for a target that takes them in memory (a disk image).
struct NewRegistryFile {
    std::string relative;  // as RegistryFile::relative
    std::string bytes;
};
// The new bytes of every registry file the run changed, made and checked as WithNewBytes makes them. False
// with a one-line `error`.
bool NewRegistryFiles(const MachineFolder& machine, const Registry& registry, std::vector<NewRegistryFile>& files,
                      std::string& error);
// The registry file's bytes as the run loaded them.
std::string_view LoadedBytes(const RegistryFile& file, const Registry& registry);
// True when the run removed something from that file.
bool RegistryFileChanged(const RegistryFile& file, const Registry& registry);

// A staged registry file's size and SHA-256 digest (in hex), for a commit record to name it by and for the
// file to be read back against.
struct StagedBytes {
    const RegistryFile* file = nullptr;
    std::uint64_t size = 0;
    std::string digest;
};

// Reads each registry file saved again from the disk, in pieces, its pages dropped from the cache first where
// the system lets it (so that what is read is what the medium holds), and compares it with the bytes the save
// meant (`meant`, as staged: made by WithNewBytes, which checked them as Windows lays them out); `files`
// counts those found as written. False with a one-line `error` naming the first file that differs or cannot
// be read.
bool ReadBackRegistryFiles(const MachineFolder& machine, const std::vector<StagedBytes>& meant, unsigned& files,
                           std::string& error);

// Saves every registry file the run changed, all or nothing: each edited binary file must keep Windows'
// layout, every new file is written and fsynced beside its file first, then each is renamed into place; a
// rename that fails puts the files renamed before it back as they were loaded. False with a one-line
// `error`; `saved` names the files saved (none on failure, unless putting one back failed too).
// `meant`, when given, receives each saved file's size and digest.
bool SaveRegistryFiles(const MachineFolder& machine, const Registry& registry, std::vector<std::string>& saved,
                       std::string& error, storage::Syscalls& calls = storage::Syscalls::Real(),
                       std::vector<StagedBytes>* meant = nullptr);

// Stages the new bytes of each of `files`: made, checked (an edited binary file must keep Windows' layout),
// written and fsynced beside the file. False with a one-line `error`; then nothing is left staged.
bool StageRegistryFiles(const MachineFolder& machine, const Registry& registry,
                        const std::vector<const RegistryFile*>& files, std::vector<storage::Staged>& staged,
                        std::vector<StagedBytes>& bytes, std::string& error, storage::Syscalls& calls);

// Removes what saves of runs killed before their end may have left beside the registry files: temporary
// files of the staged pattern (SYSTEM.DAT.tmp-XXXXXX), regular and the user's own. A save stages its files
// without a name, so only a run killed between naming and renaming its file leaves one. Only for a run that
// holds the machine alone: another run's staged files are then not there.
void RemoveStaleSaves(const MachineFolder& machine);

}  // namespace emulated
