// The emulated Windows 9x system as the logic sees it: the registry calls on the machine's loaded registry,
// file removals in its Windows folder, message boxes and the restart request. Every deletion, box and restart
// request goes to the journal. The machine folder it runs on, opened and saved, is machine_folder.h.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "machine/journal.h"
#include "registry/registry.h"
#include "machine/terminal_box.h"
#include "machine/windows_folder.h"
#include "system/system_ops.h"

namespace emulated {

struct MachineOptions {
    bool dryRun = false;
    // The user's language; without it the user's "Control Panel\International" Locale, else 1033.
    std::optional<LANGID> language;
    BoxAnswers answers;
    // When set, the restart request is refused with this code.
    std::optional<DWORD> refuseRestart;
    // The boxes that come after the confirmation (completion, restart) and the restart request wait for
    // ShowHeldBoxes: on Windows they follow the removal on disk, and here the removal reaches the disk only
    // when the run saves it, so nothing may say "complete" before that.
    bool holdClosingBoxes = false;
    // Makes a file present in the Windows folder before it is looked up (a disk image's Windows folder).
    MakePresent present {};
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

    // Records that `count` removed files left the disk in a commit of the whole change.
    void FilesCommitted(std::size_t count) { folder_.Committed(count); }
    // The removed files, as host paths relative to the Windows folder.
    const std::vector<std::string>& RemovedFiles() const { return folder_.Taken(); }
    // What the run removed, in order: keys that were there (ROOT\path) and files (C:\WINDOWS\...).
    struct Removal {
        bool file;
        std::string where;
    };
    const std::vector<Removal>& removals() const { return removals_; }

    // Shows the held boxes and records the held restart request, in the order the run asked for them.
    void ShowHeldBoxes();

private:
    // A box or the restart request, held until the change is on disk.
    struct Held {
        bool restart;
        std::string caption;
        std::string text;
        UINT style = 0;  // the box's style, or the restart's flags
        WORD language = 0;
        BOOL result = 0;  // the restart request's result
        DWORD error = 0;
    };
    void Show(const Held& box);

    Registry& registry_;
    WindowsFolder folder_;
    MachineOptions options_;
    Journal& journal_;
    DWORD lastError_ = 0;
    bool restartRequested_ = false;
    bool declined_ = false;
    std::vector<Removal> removals_;
    std::vector<Held> held_;
};

// The user's language from HKEY_CURRENT_USER\Control Panel\International "Locale" (eight hex digits such
// as 00000407), or 1033 when it is missing or not a locale.
LANGID LanguageFromRegistry(const Registry& registry);

}  // namespace emulated
