// The offline program: runs the uninstaller on an emulated Windows 9x machine (a folder holding WINDOWS/ and
// its registry: registry.reg, or WINDOWS/SYSTEM.DAT and USER.DAT) or a disk image holding one. It parses the
// command line and hands the run to the session.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "host/interrupt.h"
#include "offline/options.h"
#include "offline/session.h"
#include "offline/target.h"
#include "run/command_line.h"

namespace {

using offline::Fail;

// Windows-1252 has no double-byte lead bytes.
bool NoLeadBytes(unsigned char)
{
    return false;
}

// The ARGUMENT words stand behind the program name on a command line, so the same rule cuts them off as on
// Windows. False when the text holds a zero byte.
bool CommandLineOf(const offline::Options& options, std::string& commandLine)
{
    if (options.commandLine) {
        commandLine = *options.commandLine;
    } else {
        commandLine = "cmpci-uninstall";
        for (const std::string& argument : options.arguments)
            commandLine += " " + argument;
    }
    return commandLine.find('\0') == std::string::npos;
}

int HelpOrVersion(const offline::Options& options)
{
    errno = 0;
    const int written =
        options.help ? std::fputs(offline::kUsage, stdout)
                     : std::printf("cmpci-uninstall %s (offline program; cmpci-uninstall.exe of the same version)\n"
                                   "Copyright (c) 2026 The cmpci-uninstall authors\n"
                                   "MIT License: free to use, change and share, without warranty (see LICENSE).\n",
                                   CMPCI_VERSION);
    // The cause of a failed write is known only here: a later flush of a stream in error says nothing.
    if (written < 0 || std::fflush(stdout) != 0)
        return Fail(std::string("cannot write standard output: ") + std::strerror(errno != 0 ? errno : EIO));
    return 0;
}

int RunOffline(int argc, char** argv)
{
    // A file-size limit during the save must be an error the save reports, not the end of the run.
    std::signal(SIGXFSZ, SIG_IGN);
    // A reader of the journal that goes away (--journal - | head) is a failed write, not the end of the run.
    std::signal(SIGPIPE, SIG_IGN);
    host::CatchInterrupts();
    offline::Options options;
    std::string error;
    if (!offline::ParseOptions(argc, argv, options, error))
        return Fail(error + "\n" + "Try cmpci-uninstall --help.");
    if (options.help || options.version)
        return HelpOrVersion(options);
    std::string commandLine;
    if (!CommandLineOf(options, commandLine))
        return Fail("the command line holds a zero byte");
    const char* argumentText = ArgumentText(commandLine.c_str(), NoLeadBytes);

    std::vector<std::string> said;
    std::unique_ptr<offline::Target> target = offline::OpenTarget(options, said, error);
    offline::Say(said, options.quiet, target.get());
    // The rooms below give a refusal's cause; the outcome is said here, once.
    if (!target)
        return Fail(error + (host::InterruptSignal() != 0 ? ": nothing was changed" : "; nothing was changed"));
    if (host::StopRequested(error))
        return Fail(error + ": nothing was changed");
    if (!options.restore.empty() || !options.importFile.empty() || !options.exportFile.empty())
        return offline::RunTransfer(options, *target);

    return offline::RunOnTarget(options, *target, argumentText);
}

}  // namespace

// Memory held back from the start, so that running out of memory ends in a clean message instead of an
// abort: the first allocation that fails gets the larger part back and is tried again; one that fails after
// it makes the failure an exception, with the smaller part left for throwing it.
namespace {

void* gRetryReserve = nullptr;
void* gThrowReserve = nullptr;

void OnOutOfMemory()
{
    if (gRetryReserve != nullptr) {
        std::free(gRetryReserve);
        gRetryReserve = nullptr;
        return;
    }
    std::free(gThrowReserve);
    gThrowReserve = nullptr;
    std::set_new_handler(nullptr);
    throw std::bad_alloc();
}

}  // namespace

int main(int argc, char** argv)
{
    gRetryReserve = std::malloc(512 * 1024);
    gThrowReserve = std::malloc(64 * 1024);
    if (gRetryReserve == nullptr || gThrowReserve == nullptr) {
        std::fputs("cmpci-uninstall: out of memory at the start; nothing was changed\n", stderr);
        return 2;
    }
    std::set_new_handler(OnOutOfMemory);
    // Nothing on disk changes before the run has ended, so running out of memory anywhere changes nothing.
    try {
        const int status = RunOffline(argc, argv);
        // What went to stdout (help, the --check list, the journal or the export) must have reached it: a
        // list lost on a full disk is an error, not a clean result. A journal on stdout reports its own
        // failure, with exit 2.
        errno = 0;
        if (status != 2 && (std::fflush(stdout) != 0 || std::ferror(stdout) != 0))
            return Fail(std::string("cannot write standard output: ") + std::strerror(errno != 0 ? errno : EIO));
        // A run that an interrupt stopped ends by its signal; one that had begun to write its changes when
        // the signal came has finished them, and its summary says what it did.
        if (host::InterruptSignal() != 0 && status == 2)
            host::EndByInterrupt();
        return status;
    } catch (const std::bad_alloc&) {
        return Fail("out of memory; nothing was removed");
    }
}
