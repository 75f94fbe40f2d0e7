// Everything that lives for the whole run: the fixed buffers, the shared handles, the flags and the message
// set. The entry creates one and passes it by reference; there are no globals, so many runs can share one
// process. The buffer sizes decide which names and values fit, so they are behaviour.
#pragma once

#include "system/system_ops.h"

struct ClassUses;

struct MessageSet {
    char confirmation[100] = {};
    char completion[100] = {};
    char restart[100] = {};
    WORD language = 0;
};

struct RunState {
    explicit RunState(SystemOps& ops) : sys(ops) { }

    SystemOps& sys;

    // Every registry path and driver file path is built here and used at once.
    char keyPath[100] = {};
    // Name of the value about to be read.
    char valueName[52] = {};
    // Key opened for one value read or an index-0 enumeration.
    HKEY workingKey = nullptr;
    // Key whose subkeys are walked: "Enum\PCI", the card device key, the mixer settings key.
    HKEY enumKey = nullptr;
    // Room handed to each value read.
    DWORD dataSize = 0;

    // "Enum\PCI", then "Enum\PCI\" and the device id once the card is found.
    char cardDeviceKey[100] = {};
    // One subkey name per walk step; holds the device id from the match until instance removal ends.
    char subkeyName[100] = {};
    char searchText[52] = {};
    char instanceName[52] = {};
    // The "Driver" value just read.
    char driverKeyName[20] = {};
    // Who names the card's driver classes, found in one walk before the card's keys go: set by the card's
    // instance removal, or before the run by a caller that walked the device keys already. Null otherwise,
    // when each class asked about is walked for on its own.
    const ClassUses* classUses = nullptr;

    bool cardFound = false;
    bool mixerSettingsFound = false;

    MessageSet messages;

    // "Can't reboot: %d" when the restart request was refused.
    char restartFailure[60] = {};
};
