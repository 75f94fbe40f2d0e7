// The Windows entry. The program has no window and no message loop: it cuts the argument text from the
// command line, makes one run, and ends the process with exit code 0 whatever happened.
//
// It is linked without the C run-time start-up code (whose objects need a Pentium Pro), so this function is
// the image's entry point: there are no static constructors, and nothing of the C run-time is set up beyond
// what msvcrt.dll does for itself when it is loaded.
#include <windows.h>

#include "common/run_state.h"
#include "run/command_line.h"
#include "run/run.h"
#include "system/win32/win32_system.h"

namespace {

bool IsLeadByte(unsigned char byte)
{
    return ::IsDBCSLeadByte(byte) != FALSE;
}

}  // namespace

// Called only through a pure virtual slot during construction or destruction, which never happens; ending
// the run the normal way is the safest answer if it ever does.
extern "C" void __cxa_pure_virtual()
{
    ::ExitProcess(0);
}

extern "C" __attribute__((force_align_arg_pointer)) void __stdcall CmpciEntry()
{
    Win32System system;
    RunState state(system);
    RunUninstaller(state, ArgumentText(::GetCommandLineA(), IsLeadByte));
    ::ExitProcess(0);
}
