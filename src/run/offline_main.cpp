// The offline program: runs the uninstaller on an emulated Windows 9x machine (a folder holding
// registry.reg and WINDOWS/), answering its boxes on the terminal or by option, and journaling every change.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "run/command_line.h"
#include "run/run.h"
#include "system/emulated/machine.h"
#include "system/emulated/numbers.h"

namespace {

constexpr char kUsage[] =
    "usage: cmpci-uninstall --machine DIR [--answer yes|no] [--lang ID] [--journal FILE] [--dry-run]\n"
    "                       [--refuse-restart CODE] [--command-line TEXT] [--] [ARGUMENT...]\n"
    "\n"
    "Removes the C-Media PCI sound card's driver installation (PCI VEN_13F6&DEV_0111) from an emulated\n"
    "Windows 9x machine: DIR holds registry.reg (a REGEDIT4 file) and WINDOWS/ (the Windows directory).\n"
    "\n"
    "The argument text decides the mode, as on Windows:\n"
    "  (none)       interactive: asks for confirmation, then reports completion\n"
    "  reboot       restart: no questions, then announces and requests a restart (never performed here)\n"
    "  anything else  silent: no box at all\n"
    "\n"
    "options:\n"
    "  --machine DIR          the machine folder (required)\n"
    "  --answer yes|no        answer the confirmation box without asking\n"
    "  --lang ID              the user's language identifier, decimal or 0x-hex (default: the user's\n"
    "                         Control Panel\\International Locale, else 1033)\n"
    "  --journal FILE         write every deletion, box and restart request as JSON Lines (- = stdout)\n"
    "  --dry-run              run in full in memory; nothing on disk changes\n"
    "  --refuse-restart CODE  the restart request fails with this error code\n"
    "  --command-line TEXT    the whole Windows command line, program name included, instead of ARGUMENTs\n"
    "  --help                 this text\n"
    "\n"
    "Exit code 0 for every run carried out (as the Windows program); 2 when the tool itself cannot run.\n";

struct Options {
    std::string machine;
    int answer = 0;
    std::optional<LANGID> language;
    std::string journal;
    bool dryRun = false;
    std::optional<DWORD> refuseRestart;
    std::optional<std::string> commandLine;
    std::vector<std::string> arguments;
    bool help = false;
};

int Fail(const std::string& message)
{
    std::fprintf(stderr, "cmpci-uninstall: %s\n", message.c_str());
    return 2;
}

// Options may come anywhere before "--"; every other word is an ARGUMENT.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error)
{
    bool onlyArguments = false;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (onlyArguments || word.size() < 2 || word[0] != '-' || word[1] != '-') {
            if (!onlyArguments && word.size() >= 2 && word[0] == '-') {
                error = "unknown option " + word + " (put ARGUMENTs that begin with - after --)";
                return false;
            }
            options.arguments.push_back(word);
            continue;
        }
        if (word == "--") {
            onlyArguments = true;
            continue;
        }
        std::string name = word;
        std::optional<std::string> inlineValue;
        if (std::size_t equals = word.find('='); equals != std::string::npos) {
            name = word.substr(0, equals);
            inlineValue = word.substr(equals + 1);
        }
        auto flag = [&](bool& target) {
            if (inlineValue) {
                error = name + " takes no value";
                return false;
            }
            target = true;
            return true;
        };
        auto value = [&](std::string& target) {
            if (inlineValue) {
                target = *inlineValue;
                return true;
            }
            if (i + 1 >= argc) {
                error = name + " needs a value";
                return false;
            }
            target = argv[++i];
            return true;
        };
        std::string text;
        std::uint32_t number = 0;
        if (name == "--help") {
            if (!flag(options.help))
                return false;
        } else if (name == "--dry-run") {
            if (!flag(options.dryRun))
                return false;
        } else if (name == "--machine") {
            if (!value(options.machine))
                return false;
        } else if (name == "--journal") {
            if (!value(options.journal))
                return false;
        } else if (name == "--command-line") {
            if (!value(text))
                return false;
            options.commandLine = text;
        } else if (name == "--answer") {
            if (!value(text))
                return false;
            if (text == "yes") {
                options.answer = IDYES;
            } else if (text == "no") {
                options.answer = IDNO;
            } else {
                error = "--answer takes yes or no, not " + text;
                return false;
            }
        } else if (name == "--lang") {
            if (!value(text))
                return false;
            if (!emulated::ParseDecimalOrHex(text, 0xFFFF, number)) {
                error = "--lang takes a language identifier from 0 to 65535 (decimal or 0x-hex), not " + text;
                return false;
            }
            options.language = static_cast<LANGID>(number);
        } else if (name == "--refuse-restart") {
            if (!value(text))
                return false;
            if (!emulated::ParseDecimalOrHex(text, 0xFFFFFFFFu, number)) {
                error = "--refuse-restart takes an error code (decimal or 0x-hex), not " + text;
                return false;
            }
            options.refuseRestart = static_cast<DWORD>(number);
        } else {
            error = "unknown option " + word;
            return false;
        }
    }
    if (options.help)
        return true;
    if (options.machine.empty()) {
        error = "--machine DIR is required";
        return false;
    }
    if (options.commandLine && !options.arguments.empty()) {
        error = "give either --command-line or ARGUMENTs, not both";
        return false;
    }
    return true;
}

// Windows-1252 has no double-byte lead bytes.
bool NoLeadBytes(unsigned char)
{
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    // A file-size limit during the save must be an error the save reports, not the end of the run.
    std::signal(SIGXFSZ, SIG_IGN);
    // A reader of the journal that goes away (--journal - | head) is a failed write, not the end of the run.
    std::signal(SIGPIPE, SIG_IGN);
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error))
        return Fail(error + "\n" + "Try cmpci-uninstall --help.");
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }

    // The ARGUMENT words stand behind the program name on a command line, so the same rule cuts them off as
    // on Windows.
    std::string commandLine;
    if (options.commandLine) {
        commandLine = *options.commandLine;
    } else {
        commandLine = "cmpci-uninstall";
        for (const std::string& argument : options.arguments)
            commandLine += " " + argument;
    }
    if (commandLine.find('\0') != std::string::npos)
        return Fail("the command line holds a zero byte");

    emulated::Registry registry;
    emulated::MachineFolder machine;
    if (!emulated::OpenMachine(options.machine, registry, machine, error))
        return Fail(error);
    // A registry file its owner may not write is left alone, as Windows leaves a read-only file.
    struct stat registryStatus {};
    if (!options.dryRun && stat(machine.registryFile.c_str(), &registryStatus) == 0 && (registryStatus.st_mode & S_IWUSR) == 0)
        return Fail(machine.registryFile.string() + " is read-only: nothing was changed (use --dry-run to see what a run would remove)");
    for (const std::string& warning : machine.warnings)
        std::fprintf(stderr, "cmpci-uninstall: warning: %s\n", warning.c_str());

    std::FILE* journalOut = nullptr;
    if (options.journal == "-") {
        journalOut = stdout;
    } else if (!options.journal.empty()) {
        journalOut = std::fopen(options.journal.c_str(), "w");
        if (journalOut == nullptr)
            return Fail("cannot write the journal " + options.journal + ": " + std::strerror(errno));
    }

    emulated::Journal journal(journalOut);
    emulated::MachineOptions machineOptions;
    machineOptions.dryRun = options.dryRun;
    machineOptions.language = options.language;
    machineOptions.refuseRestart = options.refuseRestart;
    machineOptions.answers.preset = options.answer;
    machineOptions.answers.input = stdin;
    machineOptions.answers.inputIsTerminal = isatty(STDIN_FILENO) != 0;
    machineOptions.answers.display = stderr;
    emulated::EmulatedMachine system(registry, machine.windowsFolder, machineOptions, journal);

    RunState state(system);
    RunUninstaller(state, ArgumentText(commandLine.c_str(), NoLeadBytes));

    if (state.restartFailure[0] != '\0')
        std::fprintf(stderr, "%s\n", state.restartFailure);

    // Nothing on disk has changed yet: the registry file is saved first, then the removed files go. A
    // journal that could not be written whole stops the run here, so that no change goes unrecorded.
    int journalError = journal.writeError();
    if (journalOut != nullptr && journalOut != stdout && std::fclose(journalOut) != 0 && journalError == 0)
        journalError = errno;
    if (journalOut == stdout && std::fflush(stdout) != 0 && journalError == 0)
        journalError = errno;
    if (journalError != 0) {
        return Fail("cannot write the journal " + options.journal + ": " + std::strerror(journalError) +
                    "; nothing was removed");
    }
    if (!options.dryRun && registry.Modified() && !emulated::SaveRegistryFile(machine.registryFile, registry, error))
        return Fail(error + "; nothing was removed: the registry file and every file are as they were");
    if (!system.CommitFiles(error)) {
        return Fail(error + "; the registry file was saved without the removed keys, and the other files were "
                            "removed");
    }
    std::fprintf(stderr, "removed %u registry %s and %u %s%s\n", journal.keysRemoved(),
                 journal.keysRemoved() == 1 ? "key" : "keys", journal.filesRemoved(),
                 journal.filesRemoved() == 1 ? "file" : "files", options.dryRun ? " (dry run: nothing on disk changed)" : "");
    if (system.restartRequested())
        std::fputs("restart requested (recorded, not performed on this host)\n", stderr);
    return 0;
}
