// The last step of every run past the confirmation: the completion box, or the restart box and request.
#pragma once

#include "common/run_state.h"

void CompleteAndRestart(RunState& state, const char* argumentText);
