// The emulated Windows 9x machine as the logic sees it: a folder holding registry.reg (a REGEDIT4 file) and
// WINDOWS/ (the Windows directory). Every deletion, box and restart request goes to the journal.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "system/emulated/journal.h"
#include "system/emulated/registry.h"
#include "system/emulated/terminal_box.h"
#include "system/emulated/windows_folder.h"
#include "system/system_ops.h"

namespace emulated {

struct MachineOptions {
    bool dryRun = false;
    // The user's language; without it the user's "Control Panel\International" Locale, else 1033.
    std::optional<LANGID> language;
    BoxAnswers answers;
    // When set, the restart request is refused with this code.
    std::optional<DWORD> refuseRestart;
};

class EmulatedMachine final : public SystemOps {
public:
    EmulatedMachine(Registry& registry, std::filesystem::path windowsFolder, MachineOptions options, Journal& journal);

    LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access, HKEY* result) override;
    LONG RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD nameCapacity) override;
    LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                          DWORD* dataSize) override;
    LONG RegCloseKey(HKEY key) override;
    LONG RegDeleteKeyA(HKEY root, const char* subKey) override;
    int RemoveFile(const char* path) override;
    UINT GetWindowsDirectoryA(char* buffer, UINT size) override;
    UINT GetSystemDirectoryA(char* buffer, UINT size) override;
    LANGID GetUserDefaultLangID() override;
    int MessageBoxExA(HWND owner, const char* text, const char* caption, UINT type, WORD languageId) override;
    BOOL ExitWindowsEx(UINT flags, DWORD reserved) override;
    DWORD GetLastError() override;

    bool restartRequested() const { return restartRequested_; }
    // A Yes/No box was answered No.
    bool declined() const { return declined_; }
    // The Windows folder as the run left it: removed files are gone from it.
    const WindowsFolder& folder() const { return folder_; }

    // Files the run removed stay on disk until this removes them (never in a dry run), so that a run whose
    // registry file cannot be saved removes nothing. False with a one-line `error`.
    bool CommitFiles(std::string& error);
    // The removed files, as host paths relative to the Windows folder.
    const std::vector<std::string>& RemovedFiles() const { return folder_.Taken(); }

private:
    Registry& registry_;
    WindowsFolder folder_;
    MachineOptions options_;
    Journal& journal_;
    DWORD lastError_ = 0;
    bool restartRequested_ = false;
    bool declined_ = false;
};

// The user's language from HKEY_CURRENT_USER\Control Panel\International "Locale" (eight hex digits such
// as 00000407), or 1033 when it is missing or not a locale.
LANGID LanguageFromRegistry(const Registry& registry);

// A machine folder opened for a run.
struct MachineFolder {
    std::filesystem::path registryFile;
    std::filesystem::path windowsFolder;
    // Lines of the registry file that were skipped, one message each, the last one a count when there were
    // more than kWarningsShown.
    std::vector<std::string> warnings;
};

inline constexpr std::size_t kWarningsShown = 5;
// A registry file larger than this is refused: Windows 9x registries are a few megabytes.
inline constexpr std::uint64_t kMaxRegistryFileSize = std::uint64_t {1} << 30;

// Finds registry.reg and WINDOWS (names matched case-insensitively) and loads the registry. False with a
// one-line `error` naming the problem: no such folder or file, a file that is not a regular file or not a
// REGEDIT4 file.
bool OpenMachine(const std::filesystem::path& folder, Registry& registry, MachineFolder& machine, std::string& error);

// Saves the registry file as its own bytes less the sections of the removed keys, atomically: a temporary
// file created exclusively in the same folder with the file's mode and owner, fsync, rename, fsync of the
// folder. False with a one-line `error` (the file is then as it was).
bool SaveRegistryFile(const std::filesystem::path& file, const Registry& registry, std::string& error);

// Replaces an existing file with `pieces` joined, as SaveRegistryFile saves: exclusive temporary file beside
// it with its mode and owner, fsync, rename, fsync of the folder. False with a one-line `error`.
bool ReplaceFileAtomically(const std::filesystem::path& file, const std::vector<std::string_view>& pieces,
                           std::string& error);

}  // namespace emulated
