// Starts a program with an exact command line, which the Wine and Windows shells would otherwise rebuild
// from an argument vector, waits for it and ends with its exit code.
// usage: CMPCI_COMMAND_LINE='<whole command line>' launch.exe <program path>
#include <windows.h>

#include <cstdio>

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
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 103;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    std::printf("exit code %lu\n", code);
    return static_cast<int>(code);
}
