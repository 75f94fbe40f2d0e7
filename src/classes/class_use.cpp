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

// The room the run reads a "Driver" value into: a longer value is no driver key name the removal follows.
constexpr DWORD kDriverRoom = 20;

// The walk's state: the class asked about, what is found, and the names of the device key at hand.
struct Walk {
    SystemOps& sys;
    const char* driverKeyName;
    ClassUse& use;
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

void NoteUser(Walk& walk)
{
    if (IsGamePortDevice(walk.device))
        walk.use.byGamePort = true;
    if (IsCardDeviceKey(walk.bus, walk.device, walk.instance) || walk.use.byOtherDevice)
        return;
    walk.use.byOtherDevice = true;
    // The holder is named in messages only: a path that does not fit leaves it empty.
    JoinText(walk.use.holder, kEnum, kBackslash, walk.bus, kBackslash, walk.device, kBackslash, walk.instance);
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
    if (ReadAsText(driver, size, kDriverRoom) && SameTextAnyCase(driver, walk.driverKeyName))
        NoteUser(walk);
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

void FindClassUse(SystemOps& sys, const char* driverKeyName, ClassUse& use)
{
    use = {};
    Walk walk {sys, driverKeyName, use};
    HKEY enumKey = nullptr;
    const LONG opened = sys.RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEnum, 0, KEY_READ, &enumKey);
    if (opened != ERROR_SUCCESS) {
        use.seenAll = opened == ERROR_FILE_NOT_FOUND;
        return;
    }
    use.seenAll = EachSubkey(walk, enumKey, walk.bus, VisitBus);
    sys.RegCloseKey(enumKey);
}

bool MayRemoveClass(const ClassUse& use)
{
    return use.seenAll && !use.byOtherDevice;
}

InfFiles InfFilesFor(const ClassUse& use, InfFiles asked)
{
    return asked == InfFiles::Remove && !use.byGamePort ? InfFiles::Remove : InfFiles::Keep;
}
