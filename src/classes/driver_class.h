// Removes one driver class: its INF files, its multimedia resource entries and its class key.
#pragma once

#include "common/run_state.h"

// One media type a driver may list in its "SubClasses" value, in the order the types are handled.
struct MediaType {
    const char* word;          // searched in the SubClasses text
    const char* driversChild;  // appended to the class key's "Drivers" path
    const char* entryPrefix;   // the resource entry: this, the first subkey name, the instance tag
};

inline constexpr MediaType kMediaTypes[] = {
    {"wave", "\\wave", "System\\CurrentControlSet\\Control\\MediaResources\\wave\\"},
    {"midi", "\\midi", "System\\CurrentControlSet\\Control\\MediaResources\\midi\\"},
    {"mixer", "\\mixer", "System\\CurrentControlSet\\Control\\MediaResources\\mixer\\"},
    {"aux", "\\aux", "System\\CurrentControlSet\\Control\\MediaResources\\aux\\"},
    {"joystick", "\\joystick", "System\\CurrentControlSet\\Control\\MediaResources\\joystick\\"},
};

inline constexpr char kInfFolder[] = "\\inf\\";
inline constexpr char kInfOtherFolder[] = "\\inf\\other\\";

// The instance tag of a driver key name: "<", its characters at positions 6 to 9, ">" (<0001> for
// MEDIA\0001). A shorter name gives "<" and those of the four that exist, without ">".
void MakeInstanceTag(const char* driverKeyName, char (&tag)[7]);

// The card's footprint as the removal sees it; --check asks the same questions.
// True when a "Driver" value names one driver's key: a class and an instance below it, no component empty,
// "." or "..". Any other name removes nothing.
bool NamesOneDriverKey(const char* driverKeyName);
// True when an "InfPath" value is a plain file name, so that its INF files lie inside the INF folders. Any
// other name removes no INF file.
bool IsPlainFileName(const char* name);

// Whether a driver class goes with the INF files its "InfPath" value names.
enum class InfFiles { Keep, Remove };

// `driverKeyName` is a "Driver" value such as MEDIA\0001.
void RemoveDriverClass(RunState& state, const char* driverKeyName, InfFiles infFiles);
