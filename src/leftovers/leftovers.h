// Removes what the installation left besides the device instances: the card device key, the uninstall
// entry, the mixer settings for the card and the driver files.
#pragma once

#include "common/run_state.h"

// `cardDeviceKey` is "Enum\PCI\<device id>", as card search found it.
void RemoveLeftovers(RunState& state, const char* cardDeviceKey);
