// Removes one driver class: its INF files, its multimedia resource entries and its class key.
#pragma once

#include "common/run_state.h"

// `driverKeyName` is a "Driver" value such as MEDIA\0001; a non-zero `removeInfFiles` also deletes the INF
// files. Always returns 1.
int RemoveDriverClass(RunState& state, const char* driverKeyName, int removeInfFiles);
