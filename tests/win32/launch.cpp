// Starts a program with an exact command line, which the Wine and Windows shells would otherwise rebuild
// from an argument vector, waits for it and ends with its exit code. A program that has not ended after
// kWaitMilliseconds is ended, and the launcher says so and returns 104.
// usage: CMPCI_COMMAND_LINE='<whole command line>' launch.exe <program path>
#include <windows.h>

#include <cstdio>

namespace {

// Far beyond a run on a busy machine; a program still running then waits for an answer nobody gives.
constexpr DWORD kWaitMilliseconds = 150000;

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: CMPCI_COMMAND_LINE=<command line> launch <program>\n");
        return 100;
    }
    static char commandLine[32768];
    DWORD length = ::GetEnvironmentVariableA("CMPCI_COMMAND_LINE", commandLine, sizeof commandLine);
    if (length >= sizeof commandLine) {
        std::fprintf(stderr, "CMPCI_COMMAND_LINE is too long\n");
        return 101;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!::CreateProcessA(argv[1], commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "cannot start %s: error %lu\n", argv[1], ::GetLastError());
        return 102;
    }
    bool ended = ::WaitForSingleObject(process.hProcess, kWaitMilliseconds) == WAIT_OBJECT_0;
    if (!ended) {
        ::TerminateProcess(process.hProcess, 104);
        ::WaitForSingleObject(process.hProcess, 10000);
    }
    DWORD code = 103;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    if (!ended) {
        std::printf("exit code 104: %s did not end within %lu s\n", argv[1], kWaitMilliseconds / 1000);
        return 104;
    }
    std::printf("exit code %lu\n", code);
    return static_cast<int>(code);
}
