#include "device/instance_removal.h"

#include "classes/class_use.h"
#include "classes/driver_class.h"
#include "common/open_key.h"
#include "common/registry_paths.h"
#include "common/text.h"
#include "common/walk_limits.h"

namespace {

// Keys of the companion virtual devices: the prefix, the device id, "&" and the instance name.
struct Companion {
    const char* prefix;
    InfFiles infFiles;
};

// The game port's class keeps its INF files.
constexpr Companion kCompanions[] = {
    {"Enum\\VIRTUAL\\*PNPB02F\\PCI&", InfFiles::Keep},
    {"Enum\\VIRTUAL\\SSC-DOSEMU\\PCI&", InfFiles::Remove},
    {"Enum\\VIRTUAL\\SSC-SBEMU\\PCI&", InfFiles::Remove},
};

constexpr char kAmpersand[] = "&";

// Handles one removal target whose path the key path buffer holds: reads its "Driver" value, deletes the
// key, then removes the driver class the value names.
void RemoveTarget(RunState& state, InfFiles infFiles)
{
    state.dataSize = sizeof state.driverKeyName;
    CopyText(state.valueName, kDriverValue);
    // A companion that is not there: nothing is read and nothing is deleted.
    if (!OpenForReading(state.sys, HKEY_LOCAL_MACHINE, state.keyPath, state.workingKey))
        return;
    LONG read = state.sys.RegQueryValueExA(state.workingKey, state.valueName, nullptr, nullptr,
                                           reinterpret_cast<BYTE*>(state.driverKeyName), &state.dataSize);
    state.sys.RegCloseKey(state.workingKey);
    state.workingKey = nullptr;

    // The key goes whatever the read gave: a key without a usable "Driver" value still belongs to the card.
    state.sys.RegDeleteKeyA(HKEY_LOCAL_MACHINE, state.keyPath);

    if (read == ERROR_SUCCESS && ReadAsText(state.driverKeyName, state.dataSize, sizeof state.driverKeyName))
        RemoveDriverClass(state, state.driverKeyName, infFiles);
}

// One pass for one instance: the instance key, then its three companions. A target whose path does not fit
// the key path buffer is passed over untouched.
void RemoveInstance(RunState& state, const char* cardDeviceKey, const char* deviceId, const char* instanceName)
{
    // An empty name would make the instance key path end in a backslash, that is the card device key.
    if (instanceName[0] == '\0')
        return;

    if (JoinText(state.keyPath, cardDeviceKey, kBackslash, instanceName))
        RemoveTarget(state, InfFiles::Remove);

    for (const Companion& companion : kCompanions) {
        if (JoinText(state.keyPath, companion.prefix, deviceId, kAmpersand, instanceName))
            RemoveTarget(state, companion.infFiles);
    }
}

// Asks for the instance at `index` until it is given or the index is passed over. A pass deletes its
// instance key, so the next instance comes up at the same index; an instance that survives its pass comes
// up again under the same name and is then passed over, so that the card's other instances still go.
void WalkInstances(RunState& state, const char* cardDeviceKey, const char* deviceId)
{
    char lastName[sizeof state.instanceName] = {};
    bool passMade = false;
    DWORD index = 0;
    DWORD tries = 0;
    FailingRun passedOver;
    while (index < kMaxWalkIndex) {
        LONG result = state.sys.RegEnumKeyA(state.enumKey, index, state.instanceName, sizeof state.instanceName);
        if (result == ERROR_NO_MORE_ITEMS)
            return;
        if (result != ERROR_SUCCESS) {
            // A name too long for the buffer will not fit when asked again: that instance is passed over at
            // once. Another failure is asked again first.
            if (result != ERROR_MORE_DATA && ++tries < kInstanceEnumTries)
                continue;
            tries = 0;
            if (EndsWalk(passedOver, result))
                return;
            ++index;
            continue;
        }
        tries = 0;
        passedOver = {};
        if (passMade && SameText(state.instanceName, lastName)) {
            ++index;
            continue;
        }
        CopyText(lastName, state.instanceName);
        passMade = true;
        RemoveInstance(state, cardDeviceKey, deviceId, state.instanceName);
    }
}

// Reads the "Driver" value of the key the key path buffer names into the table of classes to note.
void NoteTargetClass(RunState& state, ClassUses& uses)
{
    HKEY key = nullptr;
    if (!OpenForReading(state.sys, HKEY_LOCAL_MACHINE, state.keyPath, key))
        return;
    char driver[kDriverRoom] = {};
    DWORD size = kDriverRoom;
    const LONG read = state.sys.RegQueryValueExA(key, kDriverValue, nullptr, nullptr, reinterpret_cast<BYTE*>(driver),
                                                 &size);
    state.sys.RegCloseKey(key);
    if (read == ERROR_SUCCESS && ReadAsText(driver, size, kDriverRoom) && NamesOneDriverKey(driver))
        NoteClass(uses, driver);
}

// The classes the card's instances and companions name, on a handle of its own to the card device key, then
// one walk over every device key for all of them.
void FindCardClassUses(RunState& state, const char* cardDeviceKey, const char* deviceId, ClassUses& uses)
{
    HKEY card = nullptr;
    if (!OpenForReading(state.sys, HKEY_LOCAL_MACHINE, cardDeviceKey, card))
        return;
    char instance[sizeof state.instanceName] = {};
    for (DWORD index = 0; index < kMaxWalkIndex; ++index) {
        if (state.sys.RegEnumKeyA(card, index, instance, sizeof instance) != ERROR_SUCCESS)
            break;
        if (instance[0] == '\0')
            continue;
        if (JoinText(state.keyPath, cardDeviceKey, kBackslash, instance))
            NoteTargetClass(state, uses);
        for (const Companion& companion : kCompanions) {
            if (JoinText(state.keyPath, companion.prefix, deviceId, kAmpersand, instance))
                NoteTargetClass(state, uses);
        }
    }
    state.sys.RegCloseKey(card);
    if (uses.count > 0)
        FindClassUses(state.sys, uses);
}

}  // namespace

void RemoveInstances(RunState& state, const char* cardDeviceKey, const char* deviceId)
{
    if (OpenForReading(state.sys, HKEY_LOCAL_MACHINE, cardDeviceKey, state.enumKey))
        WalkInstances(state, cardDeviceKey, deviceId);
}

void RemoveCardInstances(RunState& state, const char* cardDeviceKey, const char* deviceId)
{
    if (state.classUses != nullptr) {
        RemoveInstances(state, cardDeviceKey, deviceId);
        return;
    }
    ClassUses uses;
    FindCardClassUses(state, cardDeviceKey, deviceId, uses);
    state.classUses = &uses;
    RemoveInstances(state, cardDeviceKey, deviceId);
    state.classUses = nullptr;
}

InfFiles CompanionInfFiles(const char* companionFolder)
{
    return IsGamePortDevice(companionFolder) ? InfFiles::Keep : InfFiles::Remove;
}
