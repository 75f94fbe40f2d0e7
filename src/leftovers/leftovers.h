// Removes what the installation left besides the device instances: the card device key, the uninstall
// entry, the mixer settings for the card and the driver files.
#pragma once

#include "common/run_state.h"

enum class Folder { System, Windows };

// The driver files, in the order of removal; each name brings its own backslash.
struct DriverFile {
    Folder folder;
    const char* name;
};

inline constexpr DriverFile kDriverFiles[] = {
    {Folder::System, "\\cmaudio.vxd"},  {Folder::System, "\\cmpci95.drv"}, {Folder::System, "\\cmpcifm.drv"},
    {Folder::System, "\\cmmpupci.drv"}, {Folder::System, "\\cmswmpu.vxd"}, {Folder::System, "\\cmmpu.exe"},
    {Folder::System, "\\smidi32.dll"},  {Folder::System, "\\A3D.DLL"},     {Folder::System, "\\C3D.DLL"},
    {Folder::Windows, "\\Cldrune.exe"},
};

// `cardDeviceKey` is "Enum\PCI\<device id>", as card search found it.
void RemoveLeftovers(RunState& state, const char* cardDeviceKey);
