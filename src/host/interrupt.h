// Interrupts: SIGINT, SIGTERM and SIGHUP end a run only where it can stop cleanly. The handlers only note the
// signal; the run looks at it at its check points (before anything is written for keeps, between the steps
// of reading an image, while the rollback journal is written) and then stops the way a failure stops:
// temporary files and folders go, a default backup of a run that changed nothing goes, and the target is as
// it was. Once the changes are going into the target, the run finishes them first.
#pragma once

#include <string>

namespace host {

// Installs the handlers, for each signal that is not ignored from the start. Reads are interrupted rather than restarted, and from the interrupt on standard
// input reads as empty, so that a box waiting for an answer ends at once (the end of input: No).
void CatchInterrupts();

// The signal that asked the run to stop, or 0.
int InterruptSignal();

// True when a signal asked the run to stop; `error` then says which ("interrupted by SIGINT").
bool StopRequested(std::string& error);

// Ends the process by the signal that interrupted it, with its default action, as a shell expects of a
// program stopped by one (exit status 128 + the signal's number).
[[noreturn]] void EndByInterrupt();

}  // namespace host
