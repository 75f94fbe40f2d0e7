// Removes one driver class: its INF files, its multimedia resource entries and its class key.
#pragma once

#include "common/run_state.h"

// Whether a driver class goes with the INF files its "InfPath" value names.
enum class InfFiles { Keep, Remove };

// `driverKeyName` is a "Driver" value such as MEDIA\0001.
void RemoveDriverClass(RunState& state, const char* driverKeyName, InfFiles infFiles);
