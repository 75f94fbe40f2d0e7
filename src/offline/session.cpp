#include "offline/session.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include <unistd.h>

#include "backup/backup.h"
#include "registry_backups/registry_backups.h"
#include "backup/restore.h"
#include "classes/class_use.h"
#include "host/interrupt.h"
#include "host/progress.h"
#include "machine/machine.h"
#include "machine/machine_folder.h"
#include "offline/check.h"
#include "offline/outputs.h"
#include "offline/transfer.h"
#include "run/run.h"

namespace offline {

namespace fs = std::filesystem;

using host::StopRequested;

int Fail(const std::string& message)
{
    std::fprintf(stderr, "cmpci-uninstall: %s\n", message.c_str());
    return 2;
}

void Say(const std::vector<std::string>& said, bool quiet, const Target* target)
{
    for (const std::string& line : said) {
        if (!quiet || line.find("warning: ") != std::string::npos)
            std::fprintf(stderr, "cmpci-uninstall: %s\n", (target != nullptr ? target->Shown(line) : line).c_str());
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

emulated::MachineOptions MachineOptionsFor(const Options& options, bool changes, Target& target)
{
    emulated::MachineOptions machine;
    machine.dryRun = !changes;
    machine.present = target.Present();
    machine.language = options.language;
    machine.refuseRestart = options.refuseRestart;
    machine.holdClosingBoxes = true;
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
std::vector<Leftover> LeftAfterRun(emulated::Registry& registry, const std::filesystem::path& windowsFolder,
                                   Target& target)
{
    emulated::Journal unwritten;
    emulated::MachineOptions machine;
    machine.dryRun = true;
    machine.present = target.Present();
    machine.answers.preset = emulated::BoxPreset::Yes;
    emulated::EmulatedMachine system(registry, windowsFolder, machine, unwritten);
    RunState state(system);
    RunUninstaller(state, "silent");
    return FindLeftovers(registry, system.folder());
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

// Whether the backup can go where the run keeps it: a --backup folder that is there must be empty and
// writable, one that is not must be makeable (its nearest folder that is there writable); the dated folder
// goes into the target's backup base. False with a one-line `error`.
bool BackupPlaceReady(const Options& options, const Target& target, std::string& error)
{
    if (options.noBackup || options.dryRun)
        return true;
    if (options.backup.empty())
        return MayWrite(target.backupBase(), error);
    std::error_code status;
    const fs::path folder(options.backup);
    if (fs::exists(folder, status)) {
        if (!fs::is_directory(folder, status) || !fs::is_empty(folder, status)) {
            error = "the backup folder " + options.backup + " exists and is not " +
                    (fs::is_directory(folder, status) ? "empty" : "a folder") + " (--backup takes a new or empty folder)";
            return false;
        }
        return MayWrite(folder, error);
    }
    fs::path above = fs::absolute(folder, status).parent_path();
    while (!above.empty() && !fs::exists(above, status) && above != above.parent_path())
        above = above.parent_path();
    if (!fs::is_directory(above, status)) {
        error = "cannot make the backup folder " + options.backup + ": " + above.string() + " is not a folder";
        return false;
    }
    if (!MayWrite(above, error)) {
        error = "cannot make the backup folder " + options.backup + ": " + error;
        return false;
    }
    return true;
}

// Refuses a run that cannot go well before anything is shown: a registry file or a folder it saves into
// that this user may not write (a read-only file among them, as Windows leaves it alone), or a confirmation
// box whose answer would be taken from a script's input.
bool RunAllowed(const Options& options, const emulated::MachineFolder& machine, const char* argumentText,
                std::string& error)
{
    if (WritesTarget(options)) {
        // A registry file is replaced through a new file beside it.
        for (const emulated::RegistryFile& file : machine.registryFiles) {
            if (!MayWrite(file.path, error) || !MayWrite(file.path.parent_path(), error)) {
                error += ": nothing was changed (use --dry-run to see what a run would remove)";
                return false;
            }
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

// --remnants: removes what --check finds of the card once its device key is gone, through the machine, so
// that the journal, the backup and the save go as after a run. False with `error` while a device key is
// there: a plain run removes the card then, and what hangs on it.
// `left` is what --check finds on the machine now.
bool RemoveRemnants(const std::vector<Leftover>& left, emulated::EmulatedMachine& system, std::string& error)
{
    for (const Leftover& item : left) {
        if (item.kind == LeftoverKind::DeviceKey) {
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

// Whether the lines printed on stdout reached it: `printed` is false when a printf already failed (errno
// says why). False with `error` naming the cause: a list lost is not a result.
bool ReachedStdout(bool printed, int& error)
{
    if (printed) {
        errno = 0;
        printed = std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    }
    error = printed ? 0 : errno != 0 ? errno : EIO;
    return printed;
}

// The text after a failed change's message when the image's rollback journal is left to put it back.
std::string LeftToJournal(const fs::path& journal)
{
    return "; the rollback journal " + journal.string() +
           " is kept: the next run on the image plays it back and puts the image back as it was";
}

// The text after a failed save's message, from how far the change got on the target's disk.
std::string AfterFailure(Stage reached, const fs::path& backup, const Target& target)
{
    // A machine folder's change left recorded is finished by the next run, whatever the stage.
    if (const fs::path record = target.commitRecord(); !record.empty())
        return "; the change is recorded in " + record.string() + ", and the next run on this machine finishes it";
    switch (reached) {
    case Stage::NotChanged:
    case Stage::BackupKept:
        return "; nothing was removed: the registry and every file are as they were";
    case Stage::JournalLeft:
        return LeftToJournal(target.rollbackJournal());
    case Stage::RegistrySaved:
        return "; no other file was removed" + (backup.empty() ? std::string() : "; --restore " + backup.string() +
                                                                                     " puts it back");
    case Stage::FilesRemoved:
        return "; the registry file was saved without the removed keys, and the other files were removed";
    case Stage::Committed:
        // Saved, yet not read back as written: the backup puts the machine back as it was.
        return backup.empty() ? std::string() : "; --restore " + backup.string() + " puts the machine back as it was";
    }
    return {};
}

// The summary's line of what was read back from `shown`.
std::string ReadBackLine(const image::ReadBackResult& read, const fs::path& shown)
{
    if (read.sectors == 0)
        return "read back from " + shown.string() + ": the " + std::to_string(read.files) +
               " registry files are as written";
    return "read back from " + shown.string() + ": the " + std::to_string(read.sectors) + " changed sectors and " +
           std::to_string(read.files) + " files are as written";
}

// Windows path of a file the run removed, from its host path relative to the Windows folder.
std::string WindowsPathOf(const std::string& file)
{
    std::string windowsPath = std::string(emulated::kWindowsDirectory) + "\\" + file;
    std::replace(windowsPath.begin(), windowsPath.end(), '/', '\\');
    return windowsPath;
}

// One run, --check or --remnants on a target: the machine opened, the removal made in memory, then kept in
// a backup, saved into the target, and summed up. How far the change got is `reached_`; the journal ends
// exactly once, whichever way the run goes.
class Session {
public:
    Session(const Options& options, Target& target) : options_(options), target_(target) { }

    int Run(const char* argumentText);

private:
    int Fail(const std::string& message) const { return offline::Fail(target_.Shown(message)); }
    bool Open(const char* argumentText, std::string& error);
    int Check();
    int Remove(const char* argumentText);
    int Keep();
    bool KeepBackup(std::string& error);
    int Save();
    void Sum();
    bool End(std::string& error);
    int Stop(const std::string& message);
    bool List();
    int ListFailed() const
    {
        return Fail(std::string("cannot write the list to standard output: ") + std::strerror(listError_));
    }
    void ReadBackups();
    void ListBackups();
    void PrintSummary() const;
    void JournalReadBack();

    const Options& options_;
    Target& target_;
    emulated::Registry registry_;
    emulated::MachineFolder machine_;
    OutputFile journalOut_;
    std::optional<emulated::Journal> journal_;
    std::optional<emulated::EmulatedMachine> system_;
    emulated::Journal::Summary summary_;
    bool ended_ = false;
    Stage reached_ = Stage::NotChanged;
    fs::path backup_;
    int listError_ = 0;  // errno of a list that did not reach stdout
    std::string restartFailure_;  // "Can't reboot: N" when the restart request failed
    std::vector<Leftover> found_;  // what of the card was on the machine before the run
    std::vector<Leftover> left_;   // what is left after it (in a dry run: would be)
    std::vector<Leftover> kept_;   // what of the card's classes stayed because another device uses it
    std::vector<backup::RegistryBackup> backups_;  // the registry backups Windows keeps on the machine
};

// Opens the machine, refuses a run that cannot go well, and starts the journal, which never lands on a file
// the run reads or writes: it is written beside its place and put there at the end.
bool Session::Open(const char* argumentText, std::string& error)
{
    if (!emulated::OpenMachine(target_.folder(), options_.user, registry_, machine_, error)) {
        error += "; nothing was changed";
        return false;
    }
    if (!RunAllowed(options_, machine_, argumentText, error))
        return false;
    for (const std::string& warning : machine_.warnings)
        std::fprintf(stderr, "cmpci-uninstall: %s\n", target_.Shown(warning).c_str());
    // A run that holds the machine alone clears what a killed run's save left.
    if (WritesTarget(options_))
        emulated::RemoveStaleSaves(machine_);
    if (!OpenOutputs(options_, target_, machine_, journalOut_, error))
        return false;
    // The backup's place, once it is known not to be a file the run reads or writes, still before the question.
    if (WritesTarget(options_) && !BackupPlaceReady(options_, target_, error)) {
        error += "; nothing was changed";
        return false;
    }
    journal_.emplace(journalOut_.stream());
    BeginJournal(options_, *journal_);
    const bool changes = !options_.dryRun && !options_.check;
    system_.emplace(registry_, machine_.windowsFolder, MachineOptionsFor(options_, changes, target_), *journal_);
    return true;
}

int Session::Run(const char* argumentText)
{
    std::string error;
    if (!Open(argumentText, error))
        return Fail(error);
    if (options_.check)
        return Check();
    return Remove(argumentText);
}

// --check: lists what of the card is on the machine, each with what removes it, on stdout and in the
// journal; 1 when something is. The registry is changed in memory to tell a run's items from --remnants'.
int Session::Check()
{
    std::vector<Leftover> kept;
    std::vector<Leftover> left = FindLeftovers(registry_, system_->folder(), &kept);
    MarkRemovers(left, LeftAfterRun(registry_, machine_.windowsFolder, target_));
    std::string error;
    if (!target_.Whole(error))
        return Stop(error);
    for (const Leftover& item : left) {
        const char* remover = RemoverName(item.remover);
        journal_->Left(KindName(item.kind), item.where, remover + (remover[0] == '-' ? 2 : 0));
        if (journalOut_.stream() != stdout)
            std::printf("%s %s [%s]\n", KindName(item.kind), item.where.c_str(), remover);
        summary_.cardFound = summary_.cardFound || item.kind == LeftoverKind::DeviceKey;
    }
    JournalKept(kept, *journal_);
    if (journalOut_.stream() != stdout)
        ListKept(kept, stdout, "");
    summary_.left = left.size();
    summary_.exitStatus = left.empty() ? 0 : 1;
    // The backups are listed after the live machine and never count in the exit status: a script that reads it
    // learns about this machine as before.
    ReadBackups();
    ListBackups();
    if (journalOut_.stream() != stdout && !ReachedStdout(true, listError_))
        summary_.exitStatus = 2;
    if (!End(error))
        return Fail(error);
    if (listError_ != 0)
        return ListFailed();
    if (!options_.quiet) {
        std::fprintf(stderr, "cmpci-uninstall: %s\n", DescribeLeftovers(left, true).c_str());
        if (const std::string restore = backup::DescribeBackupsHoldingCard(backups_, DriverFilesThere(left));
            !restore.empty())
            std::fprintf(stderr, "cmpci-uninstall: %s\n", restore.c_str());
    }
    return summary_.exitStatus;
}

// The removal, in memory: the run's logic, or --remnants' list. Nothing on disk has changed yet.
int Session::Remove(const char* argumentText)
{
    std::string error;
    RunState state(*system_);
    std::vector<Leftover> toKeep;
    // The run asks the walk made here who names the card's classes, on the registry it is about to change.
    ClassUses uses;
    found_ = FindLeftovers(registry_, system_->folder(), &toKeep, &uses);
    state.classUses = &uses;
    // Until a change reaches the disk, the journal's summary says that nothing did and all of this is left.
    summary_.left = found_.size();
    if (options_.remnants) {
        if (!RemoveRemnants(found_, *system_, error))
            return Stop(error);
    } else {
        RunUninstaller(state, argumentText);
    }
    // What another device still uses stayed: the journal says so after the removals.
    if (options_.remnants || state.cardFound)
        kept_ = StillThere(toKeep, registry_, system_->folder());
    JournalKept(kept_, *journal_);
    // Said after the restart box, which is held until the change is saved, as the journal orders them.
    restartFailure_ = state.restartFailure;
    // A journal that could not be written whole stops the run here, so that no change goes unrecorded.
    if (journal_->writeError() != 0) {
        CloseJournal(*journal_, journalOut_, error);
        return Fail(error + "; nothing was removed");
    }
    if (StopRequested(error))
        return Stop(error + ": nothing was changed");
    summary_.cardFound = state.cardFound;
    summary_.declined = system_->declined();
    summary_.dryRun = options_.dryRun;
    // Read before the change goes into the target, for the summary alone.
    if (!options_.quiet && !summary_.declined)
        ReadBackups();
    return Keep();
}

// Keeps what the run is about to remove in a backup (--backup, or a dated folder in the machine folder, or
// beside an image), when it removes anything. False with `error` when it cannot: then nothing is changed.
bool Session::KeepBackup(std::string& error)
{
    const std::vector<std::string>& removedFiles = system_->RemovedFiles();
    if (!backup::BackupNeeded(registry_, removedFiles))
        return true;
    // Copied in pieces: a removed file of any size.
    if (!target_.Whole(error) || !target_.Fetch(removedFiles, UINT64_MAX, error))
        return false;
    backup_ = options_.backup.empty() ? backup::MakeDefaultBackupFolder(target_.backupBase(), error)
                                      : fs::path(options_.backup);
    if (backup_.empty())
        return false;
    // The dated folder this run made goes again when no backup is kept in it, whichever way out (running out
    // of memory among them): WriteBackup leaves it empty.
    struct Unkept {
        fs::path& folder;
        bool dated;
        bool kept = false;
        ~Unkept()
        {
            std::error_code ignored;
            if (!kept && dated)
                fs::remove(folder, ignored);
            if (!kept)
                folder.clear();
        }
    } unkept {backup_, options_.backup.empty()};
    // A large removed file takes a while to digest and copy: a progress line says how far it is.
    std::optional<host::Progress> progress;
    const auto copied = [&](std::uint64_t done, std::uint64_t total) {
        if (!progress)
            progress.emplace("copying the removed files into " + target_.Shown(backup_.string()), total);
        progress->Update(done);
    };
    backup::RunChanges removed {target_.folder(), &machine_, &registry_, removedFiles, {}, target_.shown(),
                               [this](const std::string& file) { return target_.StampOf(file); }, copied,
                               target_.Marks()};
    for (const std::string& file : removedFiles)
        removed.removedWindowsPaths.push_back(WindowsPathOf(file));
    if (!backup::WriteBackup(backup_, removed, error))
        return false;
    unkept.kept = true;
    reached_ = Stage::BackupKept;
    return true;
}

// The backup, then the save; a dry run goes straight to its summary.
int Session::Keep()
{
    std::string error;
    if (options_.dryRun)
        return Save();
    if (!options_.noBackup && !KeepBackup(error))
        return Stop(error + "; nothing was removed");
    // The last point where an interrupt stops a run with nothing changed (an image's run is stopped up to
    // the writing of its rollback journal).
    if (StopRequested(error))
        return Stop(error + ": nothing was changed");
    return Save();
}

// The change goes into the target; then the held boxes are shown and the journal ends with what reached
// the disk (or, in a dry run, what would have).
int Session::Save()
{
    std::string error;
    const bool saved = options_.dryRun || target_.Save(machine_, registry_, *system_, reached_, error);
    JournalReadBack();
    Sum();
    if (!saved)
        return Stop(error + AfterFailure(reached_, backup_, target_));
    system_->ShowHeldBoxes();
    if (!restartFailure_.empty())
        std::fprintf(stderr, "cmpci-uninstall: %s\n", restartFailure_.c_str());
    if (options_.dryRun && !List())
        summary_.exitStatus = 2;
    if (!End(error))
        return Fail(error + "; the removal itself was made");
    if (listError_ != 0)
        return ListFailed();
    if (!options_.quiet)
        PrintSummary();
    return 0;
}

// The summary's counts: what reached the disk (in a dry run, what would have) and what is left there.
void Session::Sum()
{
    const bool done = options_.dryRun || reached_ >= Stage::FilesRemoved;
    summary_.saved = !options_.dryRun && registry_.Modified() && reached_ >= Stage::RegistrySaved;
    summary_.keysRemoved = options_.dryRun || reached_ >= Stage::RegistrySaved ? journal_->keysRemoved() : 0;
    summary_.filesRemoved = options_.dryRun ? journal_->filesRemoved()
                            : done          ? static_cast<unsigned>(system_->folder().Committed())
                                            : 0;
    left_ = done ? FindLeftovers(registry_, system_->folder()) : found_;
    summary_.left = left_.size();
}

bool Session::End(std::string& error)
{
    if (!ended_) {
        summary_.stage = StageName(reached_);
        std::error_code ignored;
        if (!backup_.empty() && reached_ != Stage::NotChanged)
            summary_.backup = fs::absolute(backup_, ignored).lexically_normal().string();
        journal_->End(summary_);
    }
    ended_ = true;
    return CloseJournal(*journal_, journalOut_, error);
}

// Stops the run with `message`, the journal ended; a backup made in the default place for a run that then
// changed nothing goes again.
int Session::Stop(const std::string& message)
{
    if (reached_ == Stage::BackupKept && options_.backup.empty()) {
        std::error_code ignored;
        fs::remove_all(backup_, ignored);
        reached_ = Stage::NotChanged;
    }
    summary_.exitStatus = 2;
    std::string ignored;
    End(ignored);
    return Fail(message);
}

// A dry run's list on stdout, as --check's: each key and file that a run would remove, then what of the
// card a run would leave. False, with `listError_` naming the cause, when it did not reach stdout.
bool Session::List()
{
    if (journalOut_.stream() == stdout)
        return true;
    errno = 0;
    bool listed = true;
    for (const emulated::EmulatedMachine::Removal& removal : system_->removals())
        listed = listed && std::printf("would remove %s %s\n", removal.file ? "file" : "key", removal.where.c_str()) >= 0;
    for (const Leftover& item : left_)
        listed = listed && std::printf("would keep %s %s\n", KindName(item.kind), item.where.c_str()) >= 0;
    for (const Leftover& item : kept_)
        listed = listed && std::printf("would keep %s\n", DescribeKept(item).c_str()) >= 0;
    return ReachedStdout(listed, listError_);
}

// Reads the registry backups Windows keeps on the target, each examined with the rules of the live machine
// (its registry only: a backup holds no driver file); a backup that cannot be read is said in one line.
void Session::ReadBackups()
{
    const backup::BackupPlaces places {target_.folder(), machine_.windowsFolder,
                                       [this](const std::vector<std::string>& files, std::uint64_t limit,
                                              std::string& error) { return target_.Fetch(files, limit, error); },
                                       target_.Present(),
                                       [this](const std::string& file) { return target_.StampOf(file); }};
    std::vector<std::string> notes;
    backups_ = backup::ReadRegistryBackups(
        places,
        [](const emulated::Registry& registry, backup::RegistryBackup& found) {
            const emulated::WindowsFolder noFiles {fs::path()};
            for (const Leftover& item : FindLeftovers(registry, noFiles)) {
                found.deviceKey = found.deviceKey || item.kind == LeftoverKind::DeviceKey;
                ++found.items;
            }
        },
        notes);
    for (backup::RegistryBackup& found : backups_) {
        // The journal too names an image's files as the image and the path in it.
        found.damage = target_.Shown(found.damage);
        if (!found.damage.empty())
            notes.push_back("warning: the registry backup " + found.where + " is not checked: " + found.damage);
    }
    Say(notes, options_.quiet, &target_);
}

// --check's list of the registry backups: a journal record for each, and a line on stdout for each that holds
// something of the card.
void Session::ListBackups()
{
    for (const backup::RegistryBackup& found : backups_) {
        journal_->RegistryBackup(found.where, found.date, found.damage, found.deviceKey, found.items);
        if (found.items != 0 && journalOut_.stream() != stdout)
            std::printf("registry-backup %s [%s]\n", found.where.c_str(), backup::DescribeBackup(found).c_str());
    }
}

// What reading back the change saved found, in the journal.
void Session::JournalReadBack()
{
    const image::ReadBackResult* read = target_.readBack();
    if (read == nullptr)
        return;
    const std::string mismatch = target_.Shown(read->mismatch);
    journal_->Verified({read->matched, read->sectors, read->files, read->registryFiles, mismatch});
}

void Session::PrintSummary() const
{
    const char* remove = options_.dryRun ? "would remove" : "removed";
    if (summary_.declined) {
        std::fprintf(stderr, "cmpci-uninstall: answered No: nothing %s removed\n", options_.dryRun ? "would be" : "was");
    } else if (!summary_.cardFound && !options_.remnants) {
        std::fprintf(stderr, "cmpci-uninstall: the card was not found: nothing %s removed%s\n",
                     options_.dryRun ? "would be" : "was",
                     left_.empty() ? "" : "; --remnants removes what is left of it");
    } else {
        std::fprintf(stderr, "cmpci-uninstall: %s %u registry %s and %u %s%s\n", remove, summary_.keysRemoved,
                     summary_.keysRemoved == 1 ? "key" : "keys", summary_.filesRemoved,
                     summary_.filesRemoved == 1 ? "file" : "files",
                     options_.dryRun ? " (dry run: nothing on disk changed)" : "");
    }
    std::fprintf(stderr, "cmpci-uninstall: %s\n",
                 (options_.dryRun ? DescribeLeftoversAfterDryRun(left_) : DescribeLeftovers(left_, false)).c_str());
    // After a No (or a run that found no card) the card's files are still there, as before any removal.
    if (const std::string restore = backup::DescribeBackupsHoldingCard(backups_, DriverFilesThere(left_));
        !restore.empty())
        std::fprintf(stderr, "cmpci-uninstall: %s\n", restore.c_str());
    if (!backup_.empty())
        std::fprintf(stderr, "cmpci-uninstall: backup in %s (--restore puts everything back)\n", backup_.c_str());
    if (const image::ReadBackResult* read = target_.readBack(); read != nullptr)
        std::fprintf(stderr, "cmpci-uninstall: %s\n", ReadBackLine(*read, target_.shown()).c_str());
    if (system_->restartRequested())
        std::fputs("cmpci-uninstall: restart requested (recorded, not performed on this host)\n", stderr);
    ListKept(kept_, stderr, "cmpci-uninstall: ");
}

}  // namespace

namespace {

// The words after a failed restore, from where it ended.
std::string AfterRestore(const backup::Restored& restored)
{
    switch (restored.end) {
    case backup::RestoreEnd::NothingRestored: return "; nothing was restored";
    case backup::RestoreEnd::TakenBack: return "; what was restored before it was taken back: nothing was restored";
    case backup::RestoreEnd::PartlyRestored:
        return "; " + restored.kept.front() +
               (restored.kept.size() > 1 ? " and " + std::to_string(restored.kept.size() - 1) + " more files"
                                         : std::string()) +
               " could not be taken back: the machine is partly restored, and this --restore run again finishes it";
    case backup::RestoreEnd::Restored: break;
    }
    return {};
}

// Carries what a restore put back into the target, the outcome of a failure worded from how far it got.
bool Committed(Target& target, const std::vector<storage::StampedFile>& written, std::string& error)
{
    Stage reached = Stage::NotChanged;
    if (target.Commit(written, reached, error))
        return true;
    error += reached == Stage::JournalLeft ? LeftToJournal(target.rollbackJournal()) : "; the image is as it was";
    return false;
}

}  // namespace

int RunTransfer(const Options& options, Target& target)
{
    std::vector<std::string> said;
    std::string error;
    const fs::path machine = target.folder();
    bool done = false;
    if (!options.restore.empty()) {
        backup::Restored restored;
        std::error_code ignored;
        // A name alone is looked up where a run puts its backup too: beside the image, in the machine folder.
        fs::path backup = options.restore;
        const fs::path beside = target.backupBase() / backup;
        if (!fs::is_directory(backup, ignored) && backup.is_relative() && fs::is_directory(beside, ignored))
            backup = beside;
        const auto full = [&](const fs::path& path) { return fs::absolute(path, ignored).lexically_normal().string(); };
        if (!fs::is_directory(backup, ignored))
            return Fail("no backup folder " + options.restore +
                        (backup.is_relative() ? ", nor " + full(beside) : std::string()) +
                        " (--restore takes the folder a run's summary named, such as " +
                        full(target.backupBase() / "cmpci-backup-YYYYMMDD-HHMMSS") + ")");
        done = target.FetchMachineFiles(backup::BackupMachineFiles(backup), error) &&
               !StopRequested(error) &&
               backup::RestoreBackup(backup, {machine, target.shown(), target.Marks()}, restored, error) &&
               Committed(target, restored.written, error);
        if (!done)
            error += AfterRestore(restored);
        said = std::move(restored.said);
        if (const image::ReadBackResult* read = target.readBack(); done && read != nullptr)
            said.push_back(ReadBackLine(*read, target.shown()));
    } else if (!options.importFile.empty()) {
        done = ImportRegistry(options.importFile, machine, said, error);
    } else {
        // An export never lands on a file the run reads.
        done = OutputIsApart(options.exportFile, ReadOrWritten(options, target, {}), {machine}, error) &&
               ExportRegistry(machine, options.user, options.exportFile, said, error);
    }
    Say(said, options.quiet, &target);
    return done ? 0 : Fail(target.Shown(error));
}


int RunOnTarget(const Options& options, Target& target, const char* argumentText)
{
    Session session(options, target);
    return session.Run(argumentText);
}

}  // namespace offline
