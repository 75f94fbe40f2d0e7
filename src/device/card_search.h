// Finds the card's device key below "Enum\PCI" by its PCI identifier.
#pragma once

#include "common/run_state.h"

// Sets state.cardFound, the card device key text and, in state.subkeyName, the device id.
void SearchCard(RunState& state);
