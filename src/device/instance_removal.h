// Removes every device instance of the card with its companion virtual devices and their driver classes.
#pragma once

#include "common/run_state.h"

// `cardDeviceKey` is "Enum\PCI\<device id>", as card search found it. Leaves state.enumKey open on that key
// (or unopened) for leftover removal.
void RemoveInstances(RunState& state, const char* cardDeviceKey, const char* deviceId);
