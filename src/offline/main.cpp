// The offline program: runs the uninstaller on an emulated Windows 9x machine (a folder holding WINDOWS/ and
// its registry: registry.reg, or WINDOWS/SYSTEM.DAT and USER.DAT), answering its boxes on the terminal or by
// option, and journaling every change.

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "run/command_line.h"
#include "offline/backup.h"
#include "offline/check.h"
#include "offline/image.h"
#include "offline/options.h"
#include "offline/target.h"
#include "offline/transfer.h"
#include "run/run.h"
#include "machine/machine.h"

namespace {

int Fail(const std::string& message)
{
    std::fprintf(stderr, "cmpci-uninstall: %s\n", offline::ShownInMessages(message).c_str());
    return 2;
}

// Ends the journal: its last lines reach the file or stdout, or `error` says why not.
bool CloseJournal(const emulated::Journal& journal, std::FILE* out, std::string& error)
{
    int failure = journal.writeError();
    if (out != nullptr && out != stdout && std::fclose(out) != 0 && failure == 0)
        failure = errno != 0 ? errno : EIO;
    if (out == stdout && std::fflush(stdout) != 0 && failure == 0)
        failure = errno != 0 ? errno : EIO;
    if (failure == 0)
        return true;
    error = std::string("cannot write the journal: ") + std::strerror(failure);
    return false;
}

// Windows-1252 has no double-byte lead bytes.
bool NoLeadBytes(unsigned char)
{
    return false;
}

emulated::MachineOptions MachineOptionsFor(const offline::Options& options, bool changes)
{
    emulated::MachineOptions machine;
    machine.dryRun = !changes;
    machine.language = options.language;
    machine.refuseRestart = options.refuseRestart;
    switch (options.answer) {
    case offline::Answer::Ask: machine.answers.preset = emulated::BoxPreset::Ask; break;
    case offline::Answer::Yes: machine.answers.preset = emulated::BoxPreset::Yes; break;
    case offline::Answer::No: machine.answers.preset = emulated::BoxPreset::No; break;
    case offline::Answer::Unshown: machine.answers.preset = emulated::BoxPreset::Unshown; break;
    }
    machine.answers.input = stdin;
    machine.answers.inputIsTerminal = isatty(STDIN_FILENO) != 0;
    machine.answers.display = stderr;
    return machine;
}

// --check: lists what of the card is on the machine, on stdout and in the journal; 1 when something is.
int RunCheck(const emulated::Registry& registry, const emulated::EmulatedMachine& system, emulated::Journal& journal,
             std::FILE* journalOut)
{
    std::vector<offline::Leftover> left = offline::FindLeftovers(registry, system.folder());
    for (const offline::Leftover& item : left) {
        journal.Left(item.kind, item.where);
        if (journalOut != stdout)
            std::printf("%s %s\n", item.kind, item.where.c_str());
    }
    std::string error;
    if (!CloseJournal(journal, journalOut, error))
        return Fail(error);
    std::fprintf(stderr, "cmpci-uninstall: %s\n", offline::DescribeLeftovers(left).c_str());
    return left.empty() ? 0 : 1;
}

// Keeps what the run is about to remove in `backup` (--backup, or a dated folder in the machine folder, or
// beside an image), when it removes anything. False with `error` when it cannot: then nothing is changed.
bool KeepBackup(const offline::Options& options, offline::Target& target, const emulated::MachineFolder& machine,
                const emulated::Registry& registry, const emulated::EmulatedMachine& system,
                std::filesystem::path& backup, std::string& error)
{
    if (!offline::BackupNeeded(registry, system.RemovedFiles()))
        return true;
    backup = options.backup.empty() ? offline::DefaultBackupFolder(target.backupBase())
                                    : std::filesystem::path(options.backup);
    if (!target.Fetch(system.RemovedFiles(), error))
        return false;
    offline::RunChanges removed {target.folder(), &machine, &registry, system.RemovedFiles(), {}, target.shown()};
    for (const std::string& file : removed.removedFiles) {
        std::string windowsPath = std::string(emulated::kWindowsDirectory) + "\\" + file;
        std::replace(windowsPath.begin(), windowsPath.end(), '/', '\\');
        removed.removedWindowsPaths.push_back(windowsPath);
    }
    return offline::WriteBackup(backup, removed, error);
}

void PrintSummary(const emulated::Journal::Summary& summary, const std::vector<offline::Leftover>& left,
                  const std::filesystem::path& backup, bool restartRequested)
{
    if (summary.declined) {
        std::fputs("cmpci-uninstall: answered No: nothing was removed\n", stderr);
    } else if (!summary.cardFound) {
        std::fputs("cmpci-uninstall: the card was not found: nothing was removed\n", stderr);
    } else {
        std::fprintf(stderr, "cmpci-uninstall: removed %u registry %s and %u %s%s\n", summary.keysRemoved,
                     summary.keysRemoved == 1 ? "key" : "keys", summary.filesRemoved,
                     summary.filesRemoved == 1 ? "file" : "files",
                     summary.dryRun ? " (dry run: nothing on disk changed)" : "");
    }
    std::fprintf(stderr, "cmpci-uninstall: %s\n", offline::DescribeLeftovers(left).c_str());
    if (!backup.empty())
        std::fprintf(stderr, "cmpci-uninstall: backup in %s (--restore puts everything back)\n", backup.c_str());
    if (restartRequested)
        std::fputs("cmpci-uninstall: restart requested (recorded, not performed on this host)\n", stderr);
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

void Say(const std::vector<std::string>& said)
{
    for (const std::string& line : said)
        std::fprintf(stderr, "cmpci-uninstall: %s\n", offline::ShownInMessages(line).c_str());
}

// --restore, --import and --export: each works on the target's machine folder without a run.
int RunTransfer(const offline::Options& options, offline::Target& target)
{
    std::vector<std::string> said;
    std::string error;
    const std::filesystem::path machine = target.folder();
    bool done = false;
    if (!options.restore.empty()) {
        std::vector<std::string> written;
        done = target.FetchMachineFiles(offline::BackupMachineFiles(options.restore), error) &&
               offline::RestoreBackup(options.restore, machine, said, error, &written) &&
               target.Commit(written, {}, error);
    } else if (!options.importFile.empty()) {
        done = offline::ImportRegistry(options.importFile, machine, said, error);
    } else {
        done = offline::ExportRegistry(machine, options.user, options.exportFile, said, error);
    }
    Say(said);
    return done ? 0 : Fail(error);
}

// Refuses a run that cannot go well before anything is shown: a registry file its owner may not write (as
// Windows leaves a read-only file), or a confirmation box whose answer would be taken from a script's input.
bool RunAllowed(const offline::Options& options, const emulated::MachineFolder& machine, const char* argumentText,
                std::string& error)
{
    for (const emulated::RegistryFile& file : machine.registryFiles) {
        struct stat status { };
        if (offline::WritesTarget(options) && stat(file.path.c_str(), &status) == 0 && (status.st_mode & S_IWUSR) == 0) {
            error = file.path.string() + " is read-only: nothing was changed (use --dry-run to see what a run would remove)";
            return false;
        }
    }
    if (!options.check && argumentText[0] == '\0' && options.answer == offline::Answer::Ask &&
        isatty(STDIN_FILENO) == 0) {
        error = "standard input is not a terminal: give --answer yes or --answer no to answer the confirmation box; "
                "nothing was changed";
        return false;
    }
    return true;
}

// The end of a run after the logic: its journal ends exactly once, whichever way the run goes.
struct RunEnd {
    emulated::Journal& journal;
    std::FILE* journalOut;
    emulated::Journal::Summary summary;
    bool ended = false;

    // Ends the journal; false with `error` when its last lines did not reach their place.
    bool End(std::string& error)
    {
        if (!ended)
            journal.End(summary);
        ended = true;
        return CloseJournal(journal, journalOut, error);
    }
    // Stops the run with `message`, the journal ended.
    int Stop(const std::string& message)
    {
        std::string ignored;
        End(ignored);
        return Fail(message);
    }
};

// The files saved, relative to the machine folder.
std::vector<std::string> RelativeTo(const std::vector<std::string>& files, const std::filesystem::path& folder)
{
    std::vector<std::string> relative;
    for (const std::string& file : files)
        relative.push_back(std::filesystem::path(file).lexically_relative(folder).generic_string());
    return relative;
}

// After the logic, nothing on disk has changed yet. The backup is kept, the registry files saved, the files
// removed, and the target takes the changes; the journal ends once, with what reached the disk.
int SaveRun(const offline::Options& options, offline::Target& target, const emulated::MachineFolder& machine,
            const emulated::Registry& registry, emulated::EmulatedMachine& system, RunEnd& end,
            std::filesystem::path& backup)
{
    const bool changes = !options.dryRun;
    std::string error;
    if (changes && !options.noBackup && !KeepBackup(options, target, machine, registry, system, backup, error)) {
        std::string ignored;
        CloseJournal(end.journal, end.journalOut, ignored);
        return Fail(error);
    }
    // A run stopped after its backup with nothing changed: a backup made in the default place goes again.
    auto abandon = [&](const std::string& message) {
        std::error_code ignored;
        if (!backup.empty() && options.backup.empty())
            std::filesystem::remove_all(backup, ignored);
        return end.Stop(message);
    };
    std::vector<std::string> saved;
    if (changes && registry.Modified() && !emulated::SaveRegistryFiles(machine, registry, saved, error)) {
        if (saved.empty() || target.stagesChanges())
            return abandon(error + "; nothing was removed: the registry and every file are as they were");
        std::string savedList;
        for (const std::string& file : saved)
            savedList += (savedList.empty() ? "" : ", ") + file;
        return end.Stop(error + "; " + savedList + " saved already, no other file was removed; --restore " +
                        backup.string() + " puts it back");
    }
    const std::vector<std::string> removedFiles = system.RemovedFiles();
    const bool committed = system.CommitFiles(error);
    if (committed && changes && !target.Commit(RelativeTo(saved, target.folder()), removedFiles, error))
        return abandon(error + ": nothing was removed from it");
    // The summary counts what reached the disk (or, in a dry run, what would have).
    end.summary.saved = changes && registry.Modified();
    end.summary.keysRemoved = end.journal.keysRemoved();
    end.summary.filesRemoved = end.journal.filesRemoved();
    if (!committed)
        return end.Stop(error + "; the registry file was saved without the removed keys, and the other files were "
                                "removed");
    if (!end.End(error))
        return Fail(error + "; the removal itself was made");
    return 0;
}

int RunOffline(int argc, char** argv)
{
    // A file-size limit during the save must be an error the save reports, not the end of the run.
    std::signal(SIGXFSZ, SIG_IGN);
    // A reader of the journal that goes away (--journal - | head) is a failed write, not the end of the run.
    std::signal(SIGPIPE, SIG_IGN);
    offline::Options options;
    std::string error;
    if (!offline::ParseOptions(argc, argv, options, error))
        return Fail(error + "\n" + "Try cmpci-uninstall --help.");
    if (options.help || options.version) {
        if (options.help)
            std::fputs(offline::kUsage, stdout);
        else
            std::printf("cmpci-uninstall %s (offline program; cmpci-uninstall.exe of the same version)\n", CMPCI_VERSION);
        return 0;
    }
    std::string commandLine;
    if (!CommandLineOf(options, commandLine))
        return Fail("the command line holds a zero byte");
    const char* argumentText = ArgumentText(commandLine.c_str(), NoLeadBytes);

    std::vector<std::string> said;
    std::unique_ptr<offline::Target> target = offline::OpenTarget(options, said, error);
    Say(said);
    if (!target)
        return Fail(error);
    if (!options.restore.empty() || !options.importFile.empty() || !options.exportFile.empty())
        return RunTransfer(options, *target);

    emulated::Registry registry;
    emulated::MachineFolder machine;
    if (!emulated::OpenMachine(target->folder(), options.user, registry, machine, error) ||
        !RunAllowed(options, machine, argumentText, error))
        return Fail(error);
    for (const std::string& warning : machine.warnings)
        std::fprintf(stderr, "cmpci-uninstall: warning: %s\n", offline::ShownInMessages(warning).c_str());

    std::FILE* journalOut = nullptr;
    if (options.journal == "-") {
        journalOut = stdout;
    } else if (!options.journal.empty()) {
        journalOut = std::fopen(options.journal.c_str(), "w");
        if (journalOut == nullptr)
            return Fail("cannot write the journal " + options.journal + ": " + std::strerror(errno));
    }
    emulated::Journal journal(journalOut);
    const bool changes = !options.dryRun && !options.check;
    emulated::EmulatedMachine system(registry, machine.windowsFolder, MachineOptionsFor(options, changes), journal);
    if (options.check)
        return RunCheck(registry, system, journal, journalOut);

    RunState state(system);
    RunUninstaller(state, argumentText);
    if (state.restartFailure[0] != '\0')
        std::fprintf(stderr, "cmpci-uninstall: %s\n", state.restartFailure);
    // A journal that could not be written whole stops the run here, so that no change goes unrecorded.
    if (journal.writeError() != 0) {
        CloseJournal(journal, journalOut, error);
        return Fail(error + "; nothing was removed");
    }
    RunEnd end {journal, journalOut, {}};
    end.summary.cardFound = state.cardFound;
    end.summary.declined = system.declined();
    end.summary.dryRun = options.dryRun;
    const std::vector<offline::Leftover> left = offline::FindLeftovers(registry, system.folder());
    end.summary.left = left.size();
    std::filesystem::path backup;
    if (int status = SaveRun(options, *target, machine, registry, system, end, backup); status != 0)
        return status;
    PrintSummary(end.summary, left, backup, system.restartRequested());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    // Nothing on disk changes before the run has ended, so running out of memory anywhere changes nothing.
    try {
        return RunOffline(argc, argv);
    } catch (const std::bad_alloc&) {
        return Fail("out of memory; nothing was removed");
    }
}
