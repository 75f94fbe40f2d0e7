// The session: one run of the offline program on its target, from opening the machine to the summary, and
// the transfers (--restore, --import, --export) that work on the target without a run.
#pragma once

#include <string>
#include <vector>

#include "offline/options.h"
#include "offline/target.h"

namespace offline {

// Prints `message` as the program's error line; returns the exit status 2.
int Fail(const std::string& message);

// Prints what a step said, each line as the program's, as the target shows it (when there is one); quiet
// keeps only the warnings.
void Say(const std::vector<std::string>& said, bool quiet = false, const Target* target = nullptr);

// A run, --check or --remnants on the target's machine folder, from opening the machine to the summary; the
// exit status.
int RunOnTarget(const Options& options, Target& target, const char* argumentText);

// --restore, --import and --export: each works on the target's machine folder without a run; the exit status.
int RunTransfer(const Options& options, Target& target);

}  // namespace offline
