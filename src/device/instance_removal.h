// Removes every device instance of the card with its companion virtual devices and their driver classes.
#pragma once

#include "classes/driver_class.h"
#include "common/run_state.h"

// `cardDeviceKey` is "Enum\PCI\<device id>", as card search found it. Leaves state.enumKey open on that key
// (or unopened) for leftover removal.
// Each class removed is asked about through state.classUses when it holds the class, else in a walk of its own.
void RemoveInstances(RunState& state, const char* cardDeviceKey, const char* deviceId);

// The same, with the classes that the card's instances and companions name found first and the device keys
// walked once for all of them, unless state.classUses holds such a table already (a caller that walked).
void RemoveCardInstances(RunState& state, const char* cardDeviceKey, const char* deviceId);

// Whether the removal takes the INF files of the driver class that a companion device below Enum\VIRTUAL
// names, by the companion's folder name there (in any case, as the registry finds it): the game port's class
// keeps them. A folder that is no companion's gives InfFiles::Remove.
InfFiles CompanionInfFiles(const char* companionFolder);
