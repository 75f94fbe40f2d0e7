#include "leftovers/leftovers.h"

#include "common/open_key.h"
#include "common/registry_paths.h"
#include "common/text.h"
#include "common/walk_limits.h"

namespace {

enum class Folder { System, Windows };

// The driver files, in the order of removal; each name brings its own backslash.
struct DriverFile {
    Folder folder;
    const char* name;
};

constexpr DriverFile kDriverFiles[] = {
    {Folder::System, "\\cmaudio.vxd"},  {Folder::System, "\\cmpci95.drv"}, {Folder::System, "\\cmpcifm.drv"},
    {Folder::System, "\\cmmpupci.drv"}, {Folder::System, "\\cmswmpu.vxd"}, {Folder::System, "\\cmmpu.exe"},
    {Folder::System, "\\smidi32.dll"},  {Folder::System, "\\A3D.DLL"},     {Folder::System, "\\C3D.DLL"},
    {Folder::Windows, "\\Cldrune.exe"},
};

// Walks the open mixer settings key by rising index for the first subkey whose name holds the search text.
// Sets the mixer-settings-found flag at that match and reports whether its path fits the key path buffer
// behind the mixer settings key path; a match too long for it is not deleted, and no later subkey is taken
// in its place, since only the first match belongs to the card.
bool FindMixerSubkey(RunState& state)
{
    DWORD failingRun = 0;
    for (DWORD index = 0;; ++index) {
        LONG result = state.sys.RegEnumKeyA(state.enumKey, index, state.subkeyName, sizeof state.subkeyName);
        if (result == ERROR_NO_MORE_ITEMS)
            return false;
        if (result != ERROR_SUCCESS) {
            // As in card search: a failing index is passed over, a run of them ends the walk.
            if (++failingRun >= kMaxFailingIndexRun)
                return false;
            continue;
        }
        failingRun = 0;
        if (ContainsText(state.subkeyName, state.searchText)) {
            state.mixerSettingsFound = true;
            return AppendText(state.keyPath, kBackslash) && AppendText(state.keyPath, state.subkeyName);
        }
    }
}

void RemoveMixerSettings(RunState& state)
{
    CopyText(state.keyPath, kVolumeControlKey);
    CopyText(state.searchText, kMixerName);

    if (!OpenForReading(state.sys, HKEY_CURRENT_USER, state.keyPath, state.enumKey))
        return;
    bool pathFits = FindMixerSubkey(state);
    state.sys.RegCloseKey(state.enumKey);
    state.enumKey = nullptr;

    // Without a fitting path the buffer may still name "Volume Control" itself, which must stay.
    if (state.mixerSettingsFound && pathFits)
        state.sys.RegDeleteKeyA(HKEY_CURRENT_USER, state.keyPath);
}

// The directory is fetched afresh for every file. A failing query (0, or the size it would need when the
// buffer is too small) or a path with no room for the name passes over that file.
void RemoveDriverFiles(RunState& state)
{
    constexpr UINT capacity = sizeof state.keyPath;
    for (const DriverFile& file : kDriverFiles) {
        UINT length = file.folder == Folder::System ? state.sys.GetSystemDirectoryA(state.keyPath, capacity)
                                                    : state.sys.GetWindowsDirectoryA(state.keyPath, capacity);
        if (length == 0 || length >= capacity)
            continue;
        if (AppendText(state.keyPath, file.name))
            state.sys.RemoveFile(state.keyPath);
    }
}

}  // namespace

void RemoveLeftovers(RunState& state)
{
    // Instance removal leaves the card device key open, unless it could not open it.
    if (state.enumKey != nullptr) {
        state.sys.RegCloseKey(state.enumKey);
        state.enumKey = nullptr;
    }
    // Without a found card the card device key text is "Enum\PCI" itself, with every PCI device below it.
    if (!state.cardFound)
        return;

    if (CopyText(state.keyPath, state.cardDeviceKey))
        state.sys.RegDeleteKeyA(HKEY_LOCAL_MACHINE, state.keyPath);
    if (CopyText(state.keyPath, kUninstallEntry))
        state.sys.RegDeleteKeyA(HKEY_LOCAL_MACHINE, state.keyPath);
    RemoveMixerSettings(state);
    RemoveDriverFiles(state);
}
