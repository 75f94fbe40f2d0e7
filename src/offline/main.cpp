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
#include "offline/interrupt.h"
#include "offline/options.h"
#include "offline/outputs.h"
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
bool CloseJournal(const emulated::Journal& journal, offline::OutputFile& out, std::string& error)
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
    // Quiet: no box is drawn, and none waits for input; RunAllowed has made sure a Yes/No box has its answer.
    machine.answers.input = options.quiet ? nullptr : stdin;
    machine.answers.inputIsTerminal = isatty(STDIN_FILENO) != 0;
    machine.answers.display = options.quiet ? nullptr : stderr;
    return machine;
}

// What is left once a plain run, silent and in memory, has gone over the machine. It changes `registry` in
// memory, so the caller must not save it afterwards.
std::vector<offline::Leftover> LeftAfterRun(emulated::Registry& registry, const std::filesystem::path& windowsFolder)
{
    emulated::Journal unwritten;
    emulated::MachineOptions machine;
    machine.dryRun = true;
    machine.answers.preset = emulated::BoxPreset::Yes;
    emulated::EmulatedMachine system(registry, windowsFolder, machine, unwritten);
    RunState state(system);
    RunUninstaller(state, "silent");
    return offline::FindLeftovers(registry, system.folder());
}

// --check: lists what of the card is on the machine, each with what removes it, on stdout and in the
// journal; 1 when something is. The registry is changed in memory to tell a run's items from --remnants'.
int RunCheck(emulated::Registry& registry, const emulated::EmulatedMachine& system,
             const std::filesystem::path& windowsFolder, bool quiet, emulated::Journal& journal, offline::OutputFile& journalOut)
{
    std::vector<offline::Leftover> left = offline::FindLeftovers(registry, system.folder());
    offline::MarkRemovers(left, LeftAfterRun(registry, windowsFolder));
    emulated::Journal::Summary summary;
    for (const offline::Leftover& item : left) {
        const char* remover = offline::RemoverName(item.remover);
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
        std::fprintf(stderr, "cmpci-uninstall: %s\n", offline::DescribeLeftovers(left).c_str());
    return summary.exitStatus;
}

// --remnants: removes what --check finds of the card once its device key is gone, through the machine, so
// that the journal, the backup and the save go as after a run. False with `error` while a device key is
// there: a plain run removes the card then, and what hangs on it.
// `left` is what --check finds on the machine now.
bool RemoveRemnants(const std::vector<offline::Leftover>& left, emulated::EmulatedMachine& system, std::string& error)
{
    for (const offline::Leftover& item : left) {
        if (std::strcmp(item.kind, "device-key") == 0) {
            error = "the card's device key " + item.where +
                    " is on the machine: run without --remnants to remove the card; nothing was changed";
            return false;
        }
    }
    for (const offline::Leftover& item : left) {
        if (item.root != nullptr)
            system.RegDeleteKeyA(item.root, item.path.c_str());
        else
            system.RemoveFile(item.where.c_str());
    }
    return true;
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

void PrintSummary(const emulated::Journal::Summary& summary, bool remnants, const std::vector<offline::Leftover>& left,
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

// Prints what a step said, each line as the program's; quiet keeps only the warnings.
void Say(const std::vector<std::string>& said, bool quiet = false)
{
    for (const std::string& line : said) {
        if (!quiet || line.find("warning: ") != std::string::npos)
            std::fprintf(stderr, "cmpci-uninstall: %s\n", offline::ShownInMessages(line).c_str());
    }
}

// The files a run reads or writes outside its machine folder's tree too: the image, every registry file.
std::vector<std::filesystem::path> ReadOrWritten(const offline::Options& options, const emulated::MachineFolder& machine)
{
    std::vector<std::filesystem::path> files;
    if (!options.image.empty())
        files.emplace_back(options.image);
    for (const emulated::RegistryFile& file : machine.registryFiles)
        files.push_back(file.path);
    return files;
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
               !offline::StopRequested(error) && offline::RestoreBackup(options.restore, machine, said, error, &written) &&
               target.Commit(written, {}, error);
    } else if (!options.importFile.empty()) {
        done = offline::ImportRegistry(options.importFile, machine, said, error);
    } else {
        // An export never lands on a file the run reads.
        done = offline::OutputIsApart(options.exportFile, ReadOrWritten(options, {}), {machine}, error) &&
               offline::ExportRegistry(machine, options.user, options.exportFile, said, error);
    }
    Say(said, options.quiet);
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
    const bool confirms = !options.check && !options.remnants && argumentText[0] == '\0';
    if (confirms && options.answer == offline::Answer::Ask && options.quiet) {
        error = "--quiet draws no confirmation box: give --answer yes or --answer no; nothing was changed";
        return false;
    }
    if (confirms && options.answer == offline::Answer::Ask && isatty(STDIN_FILENO) == 0) {
        error = "standard input is not a terminal: give --answer yes or --answer no to answer the confirmation box; "
                "nothing was changed";
        return false;
    }
    return true;
}

// The end of a run after the logic: its journal ends exactly once, whichever way the run goes.
struct RunEnd {
    emulated::Journal& journal;
    offline::OutputFile& journalOut;
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
int SaveRun(const offline::Options& options, offline::Target& target, const emulated::MachineFolder& machine,
            const emulated::Registry& registry, emulated::EmulatedMachine& system, RunEnd& end,
            std::filesystem::path& backup, std::vector<offline::Leftover>& left)
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
    if (offline::StopRequested(error))
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
    left = offline::FindLeftovers(registry, system.folder());
    end.summary.left = left.size();
    if (!committed)
        return end.Stop(error + "; the registry file was saved without the removed keys, and the other files were "
                                "removed");
    if (!end.End(error))
        return Fail(error + "; the removal itself was made");
    return 0;
}

int HelpOrVersion(const offline::Options& options)
{
    if (options.help)
        std::fputs(offline::kUsage, stdout);
    else
        std::printf("cmpci-uninstall %s (offline program; cmpci-uninstall.exe of the same version)\n"
                    "Copyright (c) 2026 The cmpci-uninstall authors\n"
                    "MIT License: free to use, change and share, without warranty (see LICENSE).\n",
                    CMPCI_VERSION);
    return 0;
}

// The journal's first record: the program, the target and the mode.
void BeginJournal(const offline::Options& options, emulated::Journal& journal)
{
    std::error_code ignored;
    const bool onImage = !options.image.empty();
    const std::string targetPath =
        std::filesystem::absolute(onImage ? options.image : options.machine, ignored).string();
    journal.Begin({CMPCI_VERSION, onImage ? "image" : "machine", targetPath,
                   options.check ? "check" : options.remnants ? "remnants" : "run", options.dryRun});
}

// A run, --check or --remnants on the target's machine folder, from opening the machine to the summary.
int RunOnTarget(const offline::Options& options, offline::Target& target, const char* argumentText)
{
    std::string error;
    emulated::Registry registry;
    emulated::MachineFolder machine;
    if (!emulated::OpenMachine(target.folder(), options.user, registry, machine, error) ||
        !RunAllowed(options, machine, argumentText, error))
        return Fail(error);
    for (const std::string& warning : machine.warnings)
        std::fprintf(stderr, "cmpci-uninstall: %s\n", offline::ShownInMessages(warning).c_str());

    // The journal never lands on a file the run reads or writes; it is written beside its place and put
    // there at the end.
    offline::OutputFile journalOut;
    if (!options.journal.empty() &&
        (!offline::OutputIsApart(options.journal, ReadOrWritten(options, machine), {target.folder()}, error) ||
         !journalOut.Open(options.journal, error)))
        return Fail(error);
    emulated::Journal journal(journalOut.stream());
    BeginJournal(options, journal);
    const bool changes = !options.dryRun && !options.check;
    emulated::EmulatedMachine system(registry, machine.windowsFolder, MachineOptionsFor(options, changes), journal);
    if (options.check)
        return RunCheck(registry, system, machine.windowsFolder, options.quiet, journal, journalOut);

    RunState state(system);
    // Until a change reaches the disk, the journal's summary says that nothing did and all of this is left.
    const std::vector<offline::Leftover> found = offline::FindLeftovers(registry, system.folder());
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
    if (offline::StopRequested(error)) {
        end.summary.left = leftBefore;
        return end.Stop(error + ": nothing was changed");
    }
    end.summary.cardFound = state.cardFound;
    end.summary.declined = system.declined();
    end.summary.dryRun = options.dryRun;
    end.summary.left = leftBefore;
    std::vector<offline::Leftover> left;
    std::filesystem::path backup;
    if (int status = SaveRun(options, target, machine, registry, system, end, backup, left); status != 0)
        return status;
    if (!options.quiet)
        PrintSummary(end.summary, options.remnants, left, backup, system.restartRequested());
    return 0;
}

int RunOffline(int argc, char** argv)
{
    // A file-size limit during the save must be an error the save reports, not the end of the run.
    std::signal(SIGXFSZ, SIG_IGN);
    // A reader of the journal that goes away (--journal - | head) is a failed write, not the end of the run.
    std::signal(SIGPIPE, SIG_IGN);
    offline::CatchInterrupts();
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
    Say(said);
    if (!target)
        return Fail(offline::InterruptSignal() != 0 ? error + ": nothing was changed" : error);
    if (offline::StopRequested(error))
        return Fail(error + ": nothing was changed");
    if (!options.restore.empty() || !options.importFile.empty() || !options.exportFile.empty())
        return RunTransfer(options, *target);

    return RunOnTarget(options, *target, argumentText);
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
        if (offline::InterruptSignal() != 0 && status == 2)
            offline::EndByInterrupt();
        return status;
    } catch (const std::bad_alloc&) {
        return Fail("out of memory; nothing was removed");
    }
}
