// The walk by rising index over the subkeys of the open enumeration key, as card search and the mixer
// settings walk it.
#pragma once

#include "common/run_state.h"

// Enumerates the enumeration key's subkeys by rising index into the subkey name buffer until `matches`
// accepts one: true then, with that name in the buffer. False when the list ends (ERROR_NO_MORE_ITEMS, a run
// of failing indexes, or kMaxWalkIndex). A failing index is passed over, as is a name too long for the
// buffer.
bool WalkByRisingIndex(RunState& state, bool (*matches)(RunState& state));
