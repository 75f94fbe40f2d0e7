#include "classes/class_use.h"

#include "card/card.h"
#include "common/open_key.h"
#include "common/registry_paths.h"
#include "common/text.h"
#include "common/walk_limits.h"

namespace {

constexpr char kPciBus[] = "PCI";
constexpr char kVirtualBus[] = "VIRTUAL";
constexpr char kGamePortDevice[] = "*PNPB02F";

// The walk's state: the classes asked about, what is found for each, and the names of the device key at hand.
struct Walk {
    SystemOps& sys;
    const char* const* driverKeyNames;
    ClassUse* uses;
    std::size_t count;
    char bus[kDeviceNameRoom] = {};
    char device[kDeviceNameRoom] = {};
    char instance[kDeviceNameRoom] = {};
};

// Looks at one opened key of a level; false when the walk can no longer see every device key.
using Visit = bool (*)(Walk& walk, HKEY key);

// Opens every subkey of `parent` in turn, its name in `name`, and hands it to `visit`. False when an
// enumeration, an open or a visit fails, or the index bound is reached: the walk cannot tell what it missed.
bool EachSubkey(Walk& walk, HKEY parent, char (&name)[kDeviceNameRoom], Visit visit)
{
    for (DWORD index = 0; index < kMaxWalkIndex; ++index) {
        const LONG result = walk.sys.RegEnumKeyA(parent, index, name, kDeviceNameRoom);
        if (result == ERROR_NO_MORE_ITEMS)
            return true;
        if (result != ERROR_SUCCESS || !HoldsTerminator(name, kDeviceNameRoom))
            return false;
        HKEY child = nullptr;
        if (!OpenForReading(walk.sys, parent, name, child))
            return false;
        const bool seen = visit(walk, child);
        walk.sys.RegCloseKey(child);
        if (!seen)
            return false;
    }
    return false;
}

void NoteUser(const Walk& walk, ClassUse& use)
{
    if (IsGamePortDevice(walk.device))
        use.byGamePort = true;
    if (IsCardDeviceKey(walk.bus, walk.device, walk.instance) || use.byOtherDevice)
        return;
    use.byOtherDevice = true;
    // The holder is named in messages only: a path that does not fit leaves it empty.
    JoinText(use.holder, kEnum, kBackslash, walk.bus, kBackslash, walk.device, kBackslash, walk.instance);
}

bool VisitInstance(Walk& walk, HKEY key)
{
    char driver[kDriverRoom] = {};
    DWORD size = kDriverRoom;
    const LONG read = walk.sys.RegQueryValueExA(key, kDriverValue, nullptr, nullptr,
                                                reinterpret_cast<BYTE*>(driver), &size);
    // No "Driver" value, or one too long to be a driver key name: this device names no class of the card.
    if (read == ERROR_FILE_NOT_FOUND || read == ERROR_MORE_DATA)
        return true;
    if (read != ERROR_SUCCESS)
        return false;
    if (!ReadAsText(driver, size, kDriverRoom))
        return true;
    for (std::size_t i = 0; i < walk.count; ++i) {
        if (SameTextAnyCase(driver, walk.driverKeyNames[i]))
            NoteUser(walk, walk.uses[i]);
    }
    return true;
}

bool VisitDevice(Walk& walk, HKEY key)
{
    return EachSubkey(walk, key, walk.instance, VisitInstance);
}

bool VisitBus(Walk& walk, HKEY key)
{
    return EachSubkey(walk, key, walk.device, VisitDevice);
}

}  // namespace

bool IsCardDeviceKey(const char* bus, const char* device, const char* instance)
{
    return (SameTextAnyCase(bus, kPciBus) && ContainsText(device, kCardPciId)) ||
           (SameTextAnyCase(bus, kVirtualBus) && ContainsText(instance, kCardPciId));
}

bool IsGamePortDevice(const char* device)
{
    return SameTextAnyCase(device, kGamePortDevice);
}

void FindClassUses(SystemOps& sys, const char* const* driverKeyNames, ClassUse* uses, std::size_t count)
{
    if (count == 0)
        return;
    for (std::size_t i = 0; i < count; ++i)
        uses[i] = {};
    Walk walk {sys, driverKeyNames, uses, count};
    HKEY enumKey = nullptr;
    const LONG opened = sys.RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEnum, 0, KEY_READ, &enumKey);
    bool seenAll = opened == ERROR_FILE_NOT_FOUND;
    if (opened == ERROR_SUCCESS) {
        seenAll = EachSubkey(walk, enumKey, walk.bus, VisitBus);
        sys.RegCloseKey(enumKey);
    }
    for (std::size_t i = 0; i < count; ++i)
        uses[i].seenAll = seenAll;
}

namespace {

// The position of a class in the table, or its count when the table does not hold it.
std::size_t PositionOf(const ClassUses& uses, const char* driverKeyName)
{
    std::size_t i = 0;
    while (i < uses.count && !SameTextAnyCase(uses.names[i], driverKeyName))
        ++i;
    return i;
}

}  // namespace

void FindClassUse(SystemOps& sys, const char* driverKeyName, ClassUse& use)
{
    FindClassUses(sys, &driverKeyName, &use, 1);
}

bool NoteClass(ClassUses& uses, const char* driverKeyName)
{
    if (uses.walked || uses.count == kClassesNoted || PositionOf(uses, driverKeyName) < uses.count)
        return false;
    if (BoundedLength(driverKeyName, kDriverRoom) == kDriverRoom)
        return false;
    CopyText(uses.names[uses.count++], driverKeyName);
    return true;
}

void FindClassUses(SystemOps& sys, ClassUses& uses)
{
    const char* names[kClassesNoted] = {};
    for (std::size_t i = 0; i < uses.count; ++i)
        names[i] = uses.names[i];
    FindClassUses(sys, names, uses.uses, uses.count);
    uses.walked = true;
}

void NoteFoundUses(ClassUses& table, const char* const* driverKeyNames, const ClassUse* uses, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (NamesOneDriverKey(driverKeyNames[i]) && NoteClass(table, driverKeyNames[i]))
            table.uses[table.count - 1] = uses[i];
    }
    table.walked = true;
}

const ClassUse* NotedUse(const ClassUses& uses, const char* driverKeyName)
{
    const std::size_t i = PositionOf(uses, driverKeyName);
    return uses.walked && i < uses.count ? &uses.uses[i] : nullptr;
}

bool MayRemoveClass(const ClassUse& use)
{
    return use.seenAll && !use.byOtherDevice;
}

InfFiles InfFilesFor(const ClassUse& use, InfFiles asked)
{
    return asked == InfFiles::Remove && !use.byGamePort ? InfFiles::Remove : InfFiles::Keep;
}
