// The run sequence: messages, confirmation, removal, completion and restart, in that order.
#pragma once

#include "common/run_state.h"

// Carries out one whole run for `argumentText`. The caller ends the process with exit code 0 afterwards,
// whatever happened.
void RunUninstaller(RunState& state, const char* argumentText);
