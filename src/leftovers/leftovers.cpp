#include "leftovers/leftovers.h"

#include "common/open_key.h"
#include "common/registry_paths.h"
#include "common/text.h"
#include "common/walk.h"
#include "card/card.h"

namespace {

// What the walk of the mixer settings key found. A match whose path does not fit the key path buffer is
// not deleted, and no later subkey is taken in its place, since only the first match belongs to the card.
enum class MixerSubkey { None, Found, TooLong };

// Walks the open mixer settings key by rising index for the first subkey whose name holds the search text.
// At that match it sets the mixer-settings-found flag and appends the name to the key path buffer, which
// holds the mixer settings key path.
bool HoldsSearchText(RunState& state)
{
    return ContainsText(state.subkeyName, state.searchText);
}

MixerSubkey FindMixerSubkey(RunState& state)
{
    if (!WalkByRisingIndex(state, HoldsSearchText))
        return MixerSubkey::None;
    state.mixerSettingsFound = true;
    bool fits = AppendText(state.keyPath, kBackslash) && AppendText(state.keyPath, state.subkeyName);
    return fits ? MixerSubkey::Found : MixerSubkey::TooLong;
}

void RemoveMixerSettings(RunState& state)
{
    CopyText(state.keyPath, kVolumeControlKey);
    CopyText(state.searchText, kMixerName);

    if (!OpenForReading(state.sys, HKEY_CURRENT_USER, state.keyPath, state.enumKey))
        return;
    MixerSubkey found = FindMixerSubkey(state);
    state.sys.RegCloseKey(state.enumKey);
    state.enumKey = nullptr;

    // Without a fitting path the buffer may still name "Volume Control" itself, which must stay.
    if (found == MixerSubkey::Found)
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

void RemoveLeftovers(RunState& state, const char* cardDeviceKey)
{
    // Instance removal leaves the card device key open, unless it could not open it.
    if (state.enumKey != nullptr) {
        state.sys.RegCloseKey(state.enumKey);
        state.enumKey = nullptr;
    }
    // Without a found card the card device key text is "Enum\PCI" itself, with every PCI device below it.
    if (!state.cardFound)
        return;

    if (CopyText(state.keyPath, cardDeviceKey))
        state.sys.RegDeleteKeyA(HKEY_LOCAL_MACHINE, state.keyPath);
    if (CopyText(state.keyPath, kUninstallEntry))
        state.sys.RegDeleteKeyA(HKEY_LOCAL_MACHINE, state.keyPath);
    RemoveMixerSettings(state);
    RemoveDriverFiles(state);
}
