#include "offline/session.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

#include "backup/backup.h"
#include "backup/restore.h"
#include "host/interrupt.h"
#include "machine/machine.h"
#include "offline/check.h"
#include "offline/outputs.h"
#include "offline/transfer.h"
#include "run/run.h"

namespace offline {

using host::StopRequested;

int Fail(const std::string& message)
{
    std::fprintf(stderr, "cmpci-uninstall: %s\n", ShownInMessages(message).c_str());
    return 2;
}

void Say(const std::vector<std::string>& said, bool quiet)
{
    for (const std::string& line : said) {
        if (!quiet || line.find("warning: ") != std::string::npos)
            std::fprintf(stderr, "cmpci-uninstall: %s\n", ShownInMessages(line).c_str());
    }
}

namespace {

// Ends the journal: its last lines reach the file or stdout, or `error` says why not.
bool CloseJournal(const emulated::Journal& journal, OutputFile& out, std::string& error)
{
    const int failure = journal.writeError();
    std::string finishError;
    const bool finished = out.Finish(finishError);
    if (failure != 0) {
        error = std::string("cannot write the journal: ") + std::strerror(failure);
        return false;
    }
    if (!finished)
        error = "cannot write the journal: " + finishError;
    return finished;
}

emulated::MachineOptions MachineOptionsFor(const Options& options, bool changes)
{
    emulated::MachineOptions machine;
    machine.dryRun = !changes;
    machine.language = options.language;
    machine.refuseRestart = options.refuseRestart;
    switch (options.answer) {
    case Answer::Ask: machine.answers.preset = emulated::BoxPreset::Ask; break;
    case Answer::Yes: machine.answers.preset = emulated::BoxPreset::Yes; break;
    case Answer::No: machine.answers.preset = emulated::BoxPreset::No; break;
    case Answer::Unshown: machine.answers.preset = emulated::BoxPreset::Unshown; break;
    }
    // Quiet: no box is drawn, and none waits for input; RunAllowed has made sure a Yes/No box has its answer.
    machine.answers.input = options.quiet ? nullptr : stdin;
    machine.answers.inputIsTerminal = isatty(STDIN_FILENO) != 0;
    machine.answers.display = options.quiet ? nullptr : stderr;
    return machine;
}

// What is left once a plain run, silent and in memory, has gone over the machine. It changes `registry` in
// memory, so the caller must not save it afterwards.
std::vector<Leftover> LeftAfterRun(emulated::Registry& registry, const std::filesystem::path& windowsFolder)
{
    emulated::Journal unwritten;
    emulated::MachineOptions machine;
    machine.dryRun = true;
    machine.answers.preset = emulated::BoxPreset::Yes;
    emulated::EmulatedMachine system(registry, windowsFolder, machine, unwritten);
    RunState state(system);
    RunUninstaller(state, "silent");
    return FindLeftovers(registry, system.folder());
}

// --check: lists what of the card is on the machine, each with what removes it, on stdout and in the
// journal; 1 when something is. The registry is changed in memory to tell a run's items from --remnants'.
int RunCheck(emulated::Registry& registry, const emulated::EmulatedMachine& system,
             const std::filesystem::path& windowsFolder, bool quiet, emulated::Journal& journal, OutputFile& journalOut)
{
    std::vector<Leftover> left = FindLeftovers(registry, system.folder());
    MarkRemovers(left, LeftAfterRun(registry, windowsFolder));
    emulated::Journal::Summary summary;
    for (const Leftover& item : left) {
        const char* remover = RemoverName(item.remover);
        journal.Left(item.kind, item.where, remover + (remover[0] == '-' ? 2 : 0));
        if (journalOut.stream() != stdout)
            std::printf("%s %s [%s]\n", item.kind, item.where.c_str(), remover);
        summary.cardFound = summary.cardFound || std::strcmp(item.kind, "device-key") == 0;
    }
    summary.left = left.size();
    summary.exitStatus = left.empty() ? 0 : 1;
    // The list must have reached stdout: a list lost is not a result.
    errno = 0;
    const bool listed = journalOut.stream() == stdout || (std::fflush(stdout) == 0 && std::ferror(stdout) == 0);
    const int listError = errno != 0 ? errno : EIO;
    if (!listed)
        summary.exitStatus = 2;
    journal.End(summary);
    std::string error;
    if (!CloseJournal(journal, journalOut, error))
        return Fail(error);
    if (!listed)
        return Fail(std::string("cannot write the list to standard output: ") + std::strerror(listError));
    if (!quiet)
        std::fprintf(stderr, "cmpci-uninstall: %s\n", DescribeLeftovers(left).c_str());
    return summary.exitStatus;
}

// --remnants: removes what --check finds of the card once its device key is gone, through the machine, so
// that the journal, the backup and the save go as after a run. False with `error` while a device key is
// there: a plain run removes the card then, and what hangs on it.
// `left` is what --check finds on the machine now.
bool RemoveRemnants(const std::vector<Leftover>& left, emulated::EmulatedMachine& system, std::string& error)
{
    for (const Leftover& item : left) {
        if (std::strcmp(item.kind, "device-key") == 0) {
            error = "the card's device key " + item.where +
                    " is on the machine: run without --remnants to remove the card; nothing was changed";
            return false;
        }
    }
    for (const Leftover& item : left) {
        if (item.root != nullptr)
            system.RegDeleteKeyA(item.root, item.path.c_str());
        else
            system.RemoveFile(item.where.c_str());
    }
    return true;
}

// Keeps what the run is about to remove in `backup` (--backup, or a dated folder in the machine folder, or
// beside an image), when it removes anything. False with `error` when it cannot: then nothing is changed.
bool KeepBackup(const Options& options, Target& target, const emulated::MachineFolder& machine,
                const emulated::Registry& registry, const emulated::EmulatedMachine& system,
                std::filesystem::path& backup, std::string& error)
{
    if (!backup::BackupNeeded(registry, system.RemovedFiles()))
        return true;
    backup = options.backup.empty() ? backup::DefaultBackupFolder(target.backupBase())
                                    : std::filesystem::path(options.backup);
    if (!target.Fetch(system.RemovedFiles(), error))
        return false;
    backup::RunChanges removed {target.folder(), &machine, &registry, system.RemovedFiles(), {}, target.shown()};
    for (const std::string& file : removed.removedFiles) {
        std::string windowsPath = std::string(emulated::kWindowsDirectory) + "\\" + file;
        std::replace(windowsPath.begin(), windowsPath.end(), '/', '\\');
        removed.removedWindowsPaths.push_back(windowsPath);
    }
    return backup::WriteBackup(backup, removed, error);
}

void PrintSummary(const emulated::Journal::Summary& summary, bool remnants, const std::vector<Leftover>& left,
                  const std::filesystem::path& backup, bool restartRequested)
{
    if (summary.declined) {
        std::fputs("cmpci-uninstall: answered No: nothing was removed\n", stderr);
    } else if (!summary.cardFound && !remnants) {
        std::fputs("cmpci-uninstall: the card was not found: nothing was removed\n", stderr);
    } else {
        std::fprintf(stderr, "cmpci-uninstall: removed %u registry %s and %u %s%s\n", summary.keysRemoved,
                     summary.keysRemoved == 1 ? "key" : "keys", summary.filesRemoved,
                     summary.filesRemoved == 1 ? "file" : "files",
                     summary.dryRun ? " (dry run: nothing on disk changed)" : "");
    }
    std::fprintf(stderr, "cmpci-uninstall: %s\n", DescribeLeftovers(left).c_str());
    if (!backup.empty())
        std::fprintf(stderr, "cmpci-uninstall: backup in %s (--restore puts everything back)\n", backup.c_str());
    if (restartRequested)
        std::fputs("cmpci-uninstall: restart requested (recorded, not performed on this host)\n", stderr);
}

// The files a run reads or writes outside its machine folder's tree too: the image as named, every file of
// its backing chain and its rollback journal's place, every registry file.
std::vector<std::filesystem::path> ReadOrWritten(const Options& options, const Target& target,
                                                 const emulated::MachineFolder& machine)
{
    std::vector<std::filesystem::path> files = target.files();
    if (!options.image.empty())
        files.emplace_back(options.image);
    for (const emulated::RegistryFile& file : machine.registryFiles)
        files.push_back(file.path);
    return files;
}

// Refuses a run that cannot go well before anything is shown: a registry file its owner may not write (as
// Windows leaves a read-only file), or a confirmation box whose answer would be taken from a script's input.
bool RunAllowed(const Options& options, const emulated::MachineFolder& machine, const char* argumentText,
                std::string& error)
{
    for (const emulated::RegistryFile& file : machine.registryFiles) {
        struct stat status { };
        if (WritesTarget(options) && stat(file.path.c_str(), &status) == 0 && (status.st_mode & S_IWUSR) == 0) {
            error = file.path.string() + " is read-only: nothing was changed (use --dry-run to see what a run would remove)";
            return false;
        }
    }
    const bool confirms = !options.check && !options.remnants && argumentText[0] == '\0';
    if (confirms && options.answer == Answer::Ask && options.quiet) {
        error = "--quiet draws no confirmation box: give --answer yes or --answer no; nothing was changed";
        return false;
    }
    if (confirms && options.answer == Answer::Ask && isatty(STDIN_FILENO) == 0) {
        error = "standard input is not a terminal: give --answer yes or --answer no to answer the confirmation box; "
                "nothing was changed";
        return false;
    }
    return true;
}

// The end of a run after the logic: its journal ends exactly once, whichever way the run goes.
struct RunEnd {
    emulated::Journal& journal;
    OutputFile& journalOut;
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
        summary.exitStatus = 2;
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
int SaveRun(const Options& options, Target& target, const emulated::MachineFolder& machine,
            const emulated::Registry& registry, emulated::EmulatedMachine& system, RunEnd& end,
            std::filesystem::path& backup, std::vector<Leftover>& left)
{
    const bool changes = !options.dryRun;
    std::string error;
    // A run stopped after its backup with nothing changed: a backup made in the default place goes again.
    auto abandon = [&](const std::string& message) {
        std::error_code ignored;
        if (!backup.empty() && options.backup.empty())
            std::filesystem::remove_all(backup, ignored);
        return end.Stop(message);
    };
    if (changes && !options.noBackup && !KeepBackup(options, target, machine, registry, system, backup, error))
        return abandon(error);
    // The last point where an interrupt stops a machine folder's run with nothing changed; an image's run
    // is stopped up to the writing of its rollback journal.
    if (StopRequested(error))
        return abandon(error + ": nothing was changed");
    std::vector<std::string> saved;
    if (changes && registry.Modified() && !emulated::SaveRegistryFiles(machine, registry, saved, error)) {
        // The registry files are saved all or nothing: only a file that could not be put back holds new bytes.
        if (saved.empty() || target.stagesChanges())
            return abandon(error + "; nothing was removed: the registry and every file are as they were");
        return end.Stop(error + "; no other file was removed" +
                        (backup.empty() ? std::string("") : "; --restore " + backup.string() + " puts it back"));
    }
    const std::vector<std::string> removedFiles = system.RemovedFiles();
    const bool committed = system.CommitFiles(error);
    if (committed && changes && !target.Commit(RelativeTo(saved, target.folder()), removedFiles, error))
        return abandon(error + ": nothing was removed from it");
    // The summary counts what reached the disk (or, in a dry run, what would have), and what is left there.
    end.summary.saved = changes && registry.Modified();
    end.summary.keysRemoved = end.journal.keysRemoved();
    end.summary.filesRemoved =
        changes ? static_cast<unsigned>(system.folder().Committed()) : end.journal.filesRemoved();
    left = FindLeftovers(registry, system.folder());
    end.summary.left = left.size();
    if (!committed)
        return end.Stop(error + "; the registry file was saved without the removed keys, and the other files were "
                                "removed");
    if (!end.End(error))
        return Fail(error + "; the removal itself was made");
    return 0;
}

// The journal's first record: the program, the target and the mode.
void BeginJournal(const Options& options, emulated::Journal& journal)
{
    std::error_code ignored;
    const bool onImage = !options.image.empty();
    const std::string targetPath =
        std::filesystem::absolute(onImage ? options.image : options.machine, ignored).string();
    journal.Begin({CMPCI_VERSION, onImage ? "image" : "machine", targetPath,
                   options.check ? "check" : options.remnants ? "remnants" : "run", options.dryRun});
}

}  // namespace

int RunTransfer(const Options& options, Target& target)
{
    std::vector<std::string> said;
    std::string error;
    const std::filesystem::path machine = target.folder();
    bool done = false;
    if (!options.restore.empty()) {
        std::vector<std::string> written;
        done = target.FetchMachineFiles(backup::BackupMachineFiles(options.restore), error) &&
               !StopRequested(error) && backup::RestoreBackup(options.restore, machine, said, error, &written) &&
               target.Commit(written, {}, error);
    } else if (!options.importFile.empty()) {
        done = ImportRegistry(options.importFile, machine, said, error);
    } else {
        // An export never lands on a file the run reads.
        done = OutputIsApart(options.exportFile, ReadOrWritten(options, target, {}), {machine}, error) &&
               ExportRegistry(machine, options.user, options.exportFile, said, error);
    }
    Say(said, options.quiet);
    return done ? 0 : Fail(error);
}

namespace {

// Opens the journal and checks the backup's place: neither lands on a file the run reads or writes. The
// journal is written beside its place and put there at the end; a backup folder may lie in the machine
// folder.
bool OpenOutputs(const Options& options, const Target& target, const emulated::MachineFolder& machine,
                 OutputFile& journalOut, std::string& error)
{
    const std::vector<std::filesystem::path> files = ReadOrWritten(options, target, machine);
    return (options.journal.empty() || (OutputIsApart(options.journal, files, {target.folder()}, error) &&
                                        journalOut.Open(options.journal, error))) &&
           (options.backup.empty() || OutputIsApart(options.backup, files, {}, error));
}

}  // namespace

int RunOnTarget(const Options& options, Target& target, const char* argumentText)
{
    std::string error;
    emulated::Registry registry;
    emulated::MachineFolder machine;
    if (!emulated::OpenMachine(target.folder(), options.user, registry, machine, error) ||
        !RunAllowed(options, machine, argumentText, error))
        return Fail(error);
    for (const std::string& warning : machine.warnings)
        std::fprintf(stderr, "cmpci-uninstall: %s\n", ShownInMessages(warning).c_str());
    // A run that holds the machine alone clears what a killed run's save left.
    if (WritesTarget(options))
        emulated::RemoveStaleSaves(machine);

    OutputFile journalOut;
    if (!OpenOutputs(options, target, machine, journalOut, error))
        return Fail(error);
    emulated::Journal journal(journalOut.stream());
    BeginJournal(options, journal);
    const bool changes = !options.dryRun && !options.check;
    emulated::EmulatedMachine system(registry, machine.windowsFolder, MachineOptionsFor(options, changes), journal);
    if (options.check)
        return RunCheck(registry, system, machine.windowsFolder, options.quiet, journal, journalOut);

    RunState state(system);
    // Until a change reaches the disk, the journal's summary says that nothing did and all of this is left.
    const std::vector<Leftover> found = FindLeftovers(registry, system.folder());
    const std::size_t leftBefore = found.size();
    if (options.remnants) {
        if (!RemoveRemnants(found, system, error)) {
            RunEnd refused {journal, journalOut, {}};
            refused.summary.left = leftBefore;
            return refused.Stop(error);
        }
    } else {
        RunUninstaller(state, argumentText);
    }
    if (state.restartFailure[0] != '\0')
        std::fprintf(stderr, "cmpci-uninstall: %s\n", state.restartFailure);
    // A journal that could not be written whole stops the run here, so that no change goes unrecorded.
    if (journal.writeError() != 0) {
        CloseJournal(journal, journalOut, error);
        return Fail(error + "; nothing was removed");
    }
    RunEnd end {journal, journalOut, {}};
    if (StopRequested(error)) {
        end.summary.left = leftBefore;
        return end.Stop(error + ": nothing was changed");
    }
    end.summary.cardFound = state.cardFound;
    end.summary.declined = system.declined();
    end.summary.dryRun = options.dryRun;
    end.summary.left = leftBefore;
    std::vector<Leftover> left;
    std::filesystem::path backup;
    if (int status = SaveRun(options, target, machine, registry, system, end, backup, left); status != 0)
        return status;
    if (!options.quiet)
        PrintSummary(end.summary, options.remnants, left, backup, system.restartRequested());
    return 0;
}

}  // namespace offline
