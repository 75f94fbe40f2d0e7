// Who still names a driver class: the removal's rule for what of a class may go. The run asks it before it
// removes a class, and --check and --remnants ask the same, so that no mode takes a class that a device
// outside the card still uses, nor the game port's INF files.
#pragma once

#include <cstddef>

#include "classes/driver_class.h"
#include "system/system_ops.h"

// Room for one key name below Enum: a Windows 9x key name has at most 255 characters.
inline constexpr DWORD kDeviceNameRoom = 256;
// Room for the path of a device key: "Enum" and three names, each after a backslash.
inline constexpr std::size_t kDeviceKeyRoom = sizeof "Enum" + 3 * kDeviceNameRoom;
// The room the run reads a "Driver" value into: a longer value is no driver key name the removal follows.
inline constexpr DWORD kDriverRoom = 20;
// The classes one walk notes at most: an instance of the card and its three companions name up to four. The
// table lives on the stack of a program without stack probes, so it stays well under a page.
inline constexpr std::size_t kClassesNoted = 4;

// A device key Enum\<bus>\<device>\<instance> of the card itself: an instance below Enum\PCI of a device whose
// id holds VEN_13F6&DEV_0111, or a companion instance below Enum\VIRTUAL whose name holds it. What such a key
// names goes with the card; what any other device key names stays. Names compare as the registry compares them.
bool IsCardDeviceKey(const char* bus, const char* device, const char* instance);

// The game port's device folder (*PNPB02F, in any case): the class a game port names keeps its INF files,
// which are Windows' own.
bool IsGamePortDevice(const char* device);

struct ClassUse {
    bool seenAll = false;        // every device key below Enum was read
    bool byOtherDevice = false;  // a device key that is not the card's names the class
    bool byGamePort = false;     // a game port's device key names it, the card's or another's
    // Enum\<bus>\<device>\<instance> of the first device key not the card's that names the class.
    char holder[kDeviceKeyRoom] = {};
};

// Reads the "Driver" value of every device key Enum\<bus>\<device>\<instance> below HKEY_LOCAL_MACHINE, in
// bounded walks on handles of its own, and notes who names `driverKeyName` (compared without regard to case).
// A machine without Enum has no device naming it; a key that cannot be opened, enumerated or read leaves
// `seenAll` false.
void FindClassUse(SystemOps& sys, const char* driverKeyName, ClassUse& use);

// The same walk made once for `count` classes: uses[i] tells who names driverKeyNames[i].
void FindClassUses(SystemOps& sys, const char* const* driverKeyNames, ClassUse* uses, std::size_t count);

// Who names each of a few driver classes, found in one walk over the device keys for all of them.
struct ClassUses {
    std::size_t count = 0;
    bool walked = false;
    char names[kClassesNoted][kDriverRoom] = {};
    ClassUse uses[kClassesNoted];
};

// Adds a class for the walk to note (compared without regard to case); false when it is there already, its
// name does not fit, the table is full or the walk has been made.
bool NoteClass(ClassUses& uses, const char* driverKeyName);

// One walk for every class of the table.
void FindClassUses(SystemOps& sys, ClassUses& uses);

// Fills the table from a walk made for a list of the caller's (FindClassUses on `driverKeyNames`): each class
// of the list that names one driver key and that the table takes (NoteClass), with what uses[i] found. The
// table counts as walked then.
void NoteFoundUses(ClassUses& table, const char* const* driverKeyNames, const ClassUse* uses, std::size_t count);

// What the walk found for a class of the table; null when the table does not hold it or has not been
// walked, and the class needs a walk of its own.
const ClassUse* NotedUse(const ClassUses& uses, const char* driverKeyName);

// A class goes (with its resource entries, and INF files as InfFilesFor says) only when every device key was
// seen and none outside the card names it: deleting a class another device uses would break that device.
bool MayRemoveClass(const ClassUse& use);

// The INF files of a class that goes: removed when `asked` says so and no game port names the class.
InfFiles InfFilesFor(const ClassUse& use, InfFiles asked);
