// Removes every device instance of the card with its companion virtual devices and their driver classes.
#pragma once

#include "common/run_state.h"

// Leaves state.enumKey open on the card device key (or unopened) for leftover removal.
void RemoveInstances(RunState& state);
