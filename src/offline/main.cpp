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
#include "offline/transfer.h"
#include "run/run.h"
#include "machine/machine.h"

namespace {

int Fail(const std::string& message)
{
    std::fprintf(stderr, "cmpci-uninstall: %s\n", message.c_str());
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

// Keeps what the run is about to remove in `backup` (--backup, or a dated folder in the machine folder), when
// it removes anything. False with `error` when it cannot: then nothing is changed.
bool KeepBackup(const offline::Options& options, const emulated::MachineFolder& machine,
                const emulated::Registry& registry, const emulated::EmulatedMachine& system,
                offline::ImageMachine* image, std::filesystem::path& backup, std::string& error)
{
    if (!offline::BackupNeeded(registry, system.RemovedFiles()))
        return true;
    // An image's backup goes beside the image: its machine folder is a temporary one.
    const std::filesystem::path base =
        image ? std::filesystem::path(options.image).parent_path() : std::filesystem::path(options.machine);
    backup = options.backup.empty() ? offline::DefaultBackupFolder(base.empty() ? "." : base)
                                    : std::filesystem::path(options.backup);
    if (image && !image->Fetch(system.RemovedFiles(), error))
        return false;
    offline::RunChanges removed {options.machine, &machine, &registry, system.RemovedFiles(), {}, {}};
    if (image)
        removed.shownMachine = options.image;
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
    if (options.help) {
        std::fputs(offline::kUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("cmpci-uninstall %s (offline program; cmpci-uninstall.exe of the same version)\n", CMPCI_VERSION);
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
    const char* argumentText = ArgumentText(commandLine.c_str(), NoLeadBytes);

    // A disk image is worked on through a machine folder standing for it.
    std::unique_ptr<offline::ImageMachine> image;
    if (!options.image.empty()) {
        image = std::make_unique<offline::ImageMachine>();
        std::vector<std::string> said;
        const bool opened = image->Open({options.image, options.partition, options.windows}, options.user, said, error);
        for (const std::string& line : said)
            std::fprintf(stderr, "cmpci-uninstall: %s\n", line.c_str());
        if (!opened)
            return Fail(error);
        options.machine = image->machine().string();
        // An image its owner may not write is left alone, as Windows leaves a read-only file.
        struct stat imageStatus { };
        const bool writes =
            !options.restore.empty() || (options.exportFile.empty() && !options.dryRun && !options.check);
        if (writes && stat(options.image.c_str(), &imageStatus) == 0 && (imageStatus.st_mode & S_IWUSR) == 0)
            return Fail(options.image + " is read-only: nothing was changed");
    }

    if (!options.restore.empty() || !options.importFile.empty() || !options.exportFile.empty()) {
        std::vector<std::string> said;
        bool done = false;
        if (!options.restore.empty()) {
            std::vector<std::string> written;
            done = (!image || image->FetchMachineFiles(offline::BackupMachineFiles(options.restore), error)) &&
                   offline::RestoreBackup(options.restore, options.machine, said, error, &written) &&
                   (!image || image->Commit(written, {}, error));
        } else if (!options.importFile.empty())
            done = offline::ImportRegistry(options.importFile, options.machine, said, error);
        else
            done = offline::ExportRegistry(options.machine, options.user, options.exportFile, said, error);
        for (const std::string& line : said)
            std::fprintf(stderr, "cmpci-uninstall: %s\n", line.c_str());
        return done ? 0 : Fail(error);
    }

    emulated::Registry registry;
    emulated::MachineFolder machine;
    if (!emulated::OpenMachine(options.machine, options.user, registry, machine, error))
        return Fail(error);
    const bool changes = !options.dryRun && !options.check;
    // A registry file its owner may not write is left alone, as Windows leaves a read-only file.
    for (const emulated::RegistryFile& file : machine.registryFiles) {
        struct stat registryStatus { };
        if (changes && stat(file.path.c_str(), &registryStatus) == 0 && (registryStatus.st_mode & S_IWUSR) == 0)
            return Fail(file.path.string() +
                        " is read-only: nothing was changed (use --dry-run to see what a run would remove)");
    }
    // A script that forgot --answer must not have its input taken for an answer (or its end for a Yes).
    if (!options.check && argumentText[0] == '\0' && options.answer == offline::Answer::Ask &&
        isatty(STDIN_FILENO) == 0) {
        return Fail("standard input is not a terminal: give --answer yes or --answer no to answer the "
                    "confirmation box; nothing was changed");
    }
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
    emulated::EmulatedMachine system(registry, machine.windowsFolder, MachineOptionsFor(options, changes), journal);
    if (options.check)
        return RunCheck(registry, system, journal, journalOut);

    RunState state(system);
    RunUninstaller(state, argumentText);
    if (state.restartFailure[0] != '\0')
        std::fprintf(stderr, "cmpci-uninstall: %s\n", state.restartFailure);

    // Nothing on disk has changed yet. A journal that could not be written whole stops the run here, so that
    // no change goes unrecorded; then the backup is kept, the registry file saved, and last the files go.
    if (journal.writeError() != 0) {
        CloseJournal(journal, journalOut, error);
        return Fail(error + "; nothing was removed");
    }
    emulated::Journal::Summary summary;
    summary.cardFound = state.cardFound;
    summary.declined = system.declined();
    summary.dryRun = options.dryRun;
    const std::vector<offline::Leftover> left = offline::FindLeftovers(registry, system.folder());
    summary.left = left.size();
    std::filesystem::path backup;
    if (changes && !options.noBackup && !KeepBackup(options, machine, registry, system, image.get(), backup, error)) {
        CloseJournal(journal, journalOut, error);
        return Fail(error);
    }
    // A run stopped after its backup with nothing changed: the journal ends, and a backup made in the default
    // place goes again.
    auto abandon = [&](const std::string& message) {
        journal.End(summary);
        CloseJournal(journal, journalOut, error);
        std::error_code ignored;
        if (!backup.empty() && options.backup.empty())
            std::filesystem::remove_all(backup, ignored);
        return Fail(message);
    };
    std::vector<std::string> saved;
    if (changes && registry.Modified() && !emulated::SaveRegistryFiles(machine, registry, saved, error)) {
        if (saved.empty() || image)
            return abandon(error + "; nothing was removed: the registry and every file are as they were");
        journal.End(summary);
        CloseJournal(journal, journalOut, error);
        std::string savedList;
        for (const std::string& file : saved)
            savedList += (savedList.empty() ? "" : ", ") + file;
        return Fail(error + "; " + savedList + " saved already, no other file was removed; --restore " +
                    backup.string() + " puts it back");
    }
    std::string commitError;
    const std::vector<std::string> removedFiles = system.RemovedFiles();
    bool committed = system.CommitFiles(commitError);
    // An image takes the saved registry files and the removals in one step, at the very end.
    if (committed && image && changes) {
        std::vector<std::string> written;
        for (const std::string& file : saved)
            written.push_back(std::filesystem::path(file).lexically_relative(options.machine).generic_string());
        if (!image->Commit(written, removedFiles, commitError))
            return abandon(commitError + ": nothing was removed from it");
    }
    // The summary counts what reached the disk (or, in a dry run, what would have).
    summary.saved = changes && registry.Modified();
    summary.keysRemoved = journal.keysRemoved();
    summary.filesRemoved = journal.filesRemoved();
    journal.End(summary);
    std::string journalError;
    const bool journalClosed = CloseJournal(journal, journalOut, journalError);
    if (!committed)
        return Fail(commitError +
                    "; the registry file was saved without the removed keys, and the other files were removed");
    if (!journalClosed)
        return Fail(journalError + "; the removal itself was made");
    PrintSummary(summary, left, backup, system.restartRequested());
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
