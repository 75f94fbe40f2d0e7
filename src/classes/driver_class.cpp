#include "classes/driver_class.h"

#include "classes/class_use.h"
#include "common/open_key.h"
#include "common/path_parts.h"
#include "common/registry_paths.h"
#include "common/text.h"

namespace {

constexpr char kInfPathValue[] = "InfPath";
constexpr char kSubClassesValue[] = "SubClasses";
constexpr char kDriversKey[] = "\\Drivers";

// Room for a value read and for the first subkey name; both hold 19 characters and their terminator.
constexpr DWORD kValueRoom = 20;
constexpr UINT kInfPathRoom = 260;

// True when the driver key name names one driver's key: a class name and an instance below it, separated
// by backslashes, no component empty, "." or "..". An empty name, a leading, trailing or doubled backslash
// could make the class key path name the class key itself, a provider that resolved dot components could
// climb above it, and a bare class name such as MEDIA would take every driver of that class with it; no real
// driver key name has any of these, so such a call removes nothing.
}  // namespace

bool NamesOneDriverKey(const char* driverKeyName)
{
    // Driver key names are short; the bound keeps the length walk a plain loop in the Windows program.
    PathParts parts(std::string_view(driverKeyName, BoundedLength(driverKeyName, 0xFFFF)));
    std::size_t count = 0;
    for (std::string_view part; parts.Next(part); ++count) {
        const bool dots = part.size() <= 2 && part[0] == '.' && (part.size() == 1 || part[1] == '.');
        if (part.empty() || dots)
            return false;
    }
    return count >= 2;
}

// The InfPath text comes from the registry and becomes part of a file path: only a plain file name keeps
// the deletion inside the INF folders.
bool IsPlainFileName(const char* name)
{
    if (name[0] == '\0' || SameText(name, ".") || SameText(name, ".."))
        return false;
    return !ContainsAnyOf(name, "\\/:");
}

namespace {

// A value read gives text only when it succeeded and its terminator lies within the bytes read.
bool ReadText(RunState& state, char (&text)[kValueRoom])
{
    state.dataSize = kValueRoom;
    // The read would fail on a key that did not open.
    if (!OpenForReading(state.sys, HKEY_LOCAL_MACHINE, state.keyPath, state.workingKey))
        return false;
    LONG result = state.sys.RegQueryValueExA(state.workingKey, state.valueName, nullptr, nullptr,
                                             reinterpret_cast<BYTE*>(text), &state.dataSize);
    state.sys.RegCloseKey(state.workingKey);
    state.workingKey = nullptr;
    return result == ERROR_SUCCESS && ReadAsText(text, state.dataSize, kValueRoom);
}

// Deletes <Windows directory><folder><InfPath>. A failing directory query or a path longer than its
// buffer deletes nothing.
void RemoveInfFile(RunState& state, const char* folder, const char* infPath)
{
    char path[kInfPathRoom] = {};
    UINT length = state.sys.GetWindowsDirectoryA(path, kInfPathRoom);
    if (length == 0 || length >= kInfPathRoom)
        return;
    if (AppendText(path, folder) && AppendText(path, infPath))
        state.sys.RemoveFile(path);
}

// Enumerates the first subkey of the class key's Drivers key for one media type into `firstSubkey`. A
// failed open or enumeration leaves the field as an earlier step of the same call left it.
bool EnumerateFirstSubkey(RunState& state, char (&firstSubkey)[kValueRoom])
{
    if (!OpenForReading(state.sys, HKEY_LOCAL_MACHINE, state.keyPath, state.workingKey))
        return false;
    // Enumerated into a field of its own, so that a failing call cannot spoil the name of an earlier step.
    char name[kValueRoom] = {};
    LONG result = state.sys.RegEnumKeyA(state.workingKey, 0, name, kValueRoom);
    state.sys.RegCloseKey(state.workingKey);
    state.workingKey = nullptr;
    if (result != ERROR_SUCCESS || !HoldsTerminator(name, kValueRoom))
        return false;
    CopyText(firstSubkey, name);
    return true;
}

// The five media type steps. A step whose key yields no name uses the name an earlier step of this call
// enumerated; before any step has one, nothing is deleted, since no other name belongs to this driver.
void RemoveResourceEntries(RunState& state, const char* driverKeyName, const char* subClasses, const char* tag)
{
    char firstSubkey[kValueRoom] = {};
    bool haveName = false;
    for (const MediaType& type : kMediaTypes) {
        if (!ContainsText(subClasses, type.word))
            continue;
        if (JoinText(state.keyPath, kClassKeyPrefix, driverKeyName, kDriversKey, type.driversChild) &&
            EnumerateFirstSubkey(state, firstSubkey))
            haveName = true;
        if (!haveName)
            continue;
        // An entry path that does not fit is not deleted.
        if (JoinText(state.keyPath, type.entryPrefix, firstSubkey, tag))
            state.sys.RegDeleteKeyA(HKEY_LOCAL_MACHINE, state.keyPath);
    }
}

}  // namespace

// "<", the characters at positions 6 to 9 of the driver key name, ">". A shorter name gives "<" and those
// of the four that exist, without ">"; nothing past its terminator is read.
void MakeInstanceTag(const char* driverKeyName, char (&tag)[7])
{
    std::size_t length = BoundedLength(driverKeyName, 10);
    std::size_t used = 0;
    tag[used++] = '<';
    for (std::size_t position = 6; position < length; ++position)
        tag[used++] = driverKeyName[position];
    if (length == 10)
        tag[used++] = '>';
    tag[used] = '\0';
}

namespace {

// False only when opening the class key named by the key path buffer says that it is not there; any other
// failure leaves the question to the reads and the walk, which keep the class when they cannot tell.
bool ClassKeyMayBeThere(RunState& state)
{
    HKEY key = nullptr;
    const LONG result = state.sys.RegOpenKeyExA(HKEY_LOCAL_MACHINE, state.keyPath, 0, KEY_READ, &key);
    if (result == ERROR_SUCCESS)
        state.sys.RegCloseKey(key);
    return result != ERROR_FILE_NOT_FOUND;
}

}  // namespace

void RemoveDriverClass(RunState& state, const char* driverKeyName, InfFiles infFiles)
{
    if (!NamesOneDriverKey(driverKeyName) || !JoinText(state.keyPath, kClassKeyPrefix, driverKeyName))
        return;
    // A class key that is not there (gone with an earlier instance that named the same class) holds nothing
    // another device could need: only its deletion by name is left, without the walk over every device key,
    // which for many instances naming one class would cost the square of their number.
    if (!ClassKeyMayBeThere(state)) {
        state.sys.RegDeleteKeyA(HKEY_LOCAL_MACHINE, state.keyPath);
        return;
    }
    // A class that another device still names stays whole, with its INF files and resource entries; the
    // game port's class keeps its INF files whoever names it.
    const ClassUse* noted = state.classUses != nullptr ? NotedUse(*state.classUses, driverKeyName) : nullptr;
    ClassUse walked;
    if (noted == nullptr)
        FindClassUse(state.sys, driverKeyName, walked);
    const ClassUse& use = noted != nullptr ? *noted : walked;
    if (!MayRemoveClass(use))
        return;
    infFiles = InfFilesFor(use, infFiles);

    char tag[7];
    MakeInstanceTag(driverKeyName, tag);

    char infPath[kValueRoom] = {};
    CopyText(state.valueName, kInfPathValue);
    bool infPathRead = ReadText(state, infPath);

    // Only a name read from this class key's "InfPath" value is deleted, and only inside the INF folders.
    if (infFiles == InfFiles::Remove && infPathRead && IsPlainFileName(infPath)) {
        RemoveInfFile(state, kInfFolder, infPath);
        RemoveInfFile(state, kInfOtherFolder, infPath);
    }

    // The key path buffer still holds the class key path.
    char subClasses[kValueRoom] = {};
    CopyText(state.valueName, kSubClassesValue);
    if (AppendText(state.keyPath, kDriversKey) && ReadText(state, subClasses))
        RemoveResourceEntries(state, driverKeyName, subClasses, tag);

    // The class key goes with everything below it, also when SubClasses could not be read.
    if (JoinText(state.keyPath, kClassKeyPrefix, driverKeyName))
        state.sys.RegDeleteKeyA(HKEY_LOCAL_MACHINE, state.keyPath);
}
