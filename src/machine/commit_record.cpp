#include "machine/commit_record.h"

#include "common/hex.h"
#include "common/path_parts.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/digest.h"

namespace emulated {

namespace fs = std::filesystem;

namespace {

constexpr char kHeader[] = "cmpci-uninstall commit 1\n";
// A record names a few registry files and the files of one card: far below this.
constexpr std::uint64_t kMaxRecordSize = std::uint64_t {16} << 20;

// A path as one word of the record: bytes that would end or split the word are written %XX.
std::string Escape(const std::string& text)
{
    std::string word;
    for (const unsigned char c : text) {
        if (c <= 0x20 || c == 0x7F || c == '%') {
            word += '%';
            word += HexDigit(c >> 4, HexLetters::Upper);
            word += HexDigit(c, HexLetters::Upper);
        } else {
            word += static_cast<char>(c);
        }
    }
    return word;
}

bool Unescape(std::string_view word, std::string& text)
{
    text.clear();
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (word[i] != '%') {
            text += word[i];
            continue;
        }
        const int high = i + 2 < word.size() ? HexDigitValue(word[i + 1]) : -1;
        const int low = i + 2 < word.size() ? HexDigitValue(word[i + 2]) : -1;
        if (high < 0 || low < 0)
            return false;
        text += static_cast<char>(high << 4 | low);
        i += 2;
    }
    return !text.empty();
}

// The words of a line, split at single spaces.
std::vector<std::string_view> Words(std::string_view line)
{
    std::vector<std::string_view> words;
    for (std::size_t start = 0;;) {
        const std::size_t end = line.find(' ', start);
        words.push_back(line.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            return words;
        start = end + 1;
    }
}

std::string FolderPart(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string LeafPart(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

// Opens the folder holding `relative` from the folder `root`, never through a link: its descriptor (to be
// closed), or -1 with errno.
int OpenFolderOf(int root, const std::string& relative)
{
    int dir = openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (std::string_view rest = relative; dir >= 0;) {
        const std::size_t slash = rest.find('/');
        if (slash == std::string_view::npos)
            break;
        const std::string part(rest.substr(0, slash));
        const int next = openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int code = errno;
        close(dir);
        errno = code;
        dir = next;
        rest.remove_prefix(slash + 1);
    }
    return dir;
}

std::string Shown(const storage::Folder& folder, const std::string& relative)
{
    return (folder.path() / relative).string();
}

// Renames one staged file into its place and syncs its folder. A staged file already gone counts as put in
// place when `finishing` (its rename was made before the run was cut short; checked beforehand).
bool PutInPlace(const storage::Folder& folder, const CommitRecord::File& file, bool finishing, bool& renamed,
                std::string& error, storage::Syscalls& calls)
{
    renamed = false;
    const int dir = OpenFolderOf(folder.fd(), file.place);
    bool ok = dir >= 0;
    if (ok && calls.RenameAt(dir, LeafPart(file.staged).c_str(), LeafPart(file.place).c_str()) == 0)
        renamed = true;
    else if (ok)
        ok = finishing && errno == ENOENT;
    ok = ok && calls.SyncFolder(dir) == 0;
    const int code = errno;
    if (dir >= 0)
        close(dir);
    if (!ok)
        error = "cannot save " + Shown(folder, file.place) + ": " + std::strerror(code);
    return ok;
}

// Removes one listed file, a regular file only, and syncs its folder: "" when it is gone (or was already),
// else why not.
std::string RemoveListed(const storage::Folder& folder, const std::string& relative, bool& removed,
                         storage::Syscalls& calls)
{
    removed = false;
    const int dir = OpenFolderOf(folder.fd(), relative);
    if (dir < 0)
        return errno == ENOENT ? "" : std::string("its folder cannot be opened: ") + std::strerror(errno);
    const std::string leaf = LeafPart(relative);
    std::string why;
    struct stat status { };
    if (fstatat(dir, leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        why = errno == ENOENT ? "" : std::strerror(errno);
    else if (!S_ISREG(status.st_mode))
        why = "no longer a regular file";
    else if (calls.UnlinkAt(dir, leaf.c_str()) != 0)
        why = std::strerror(errno);
    else {
        // Gone, even if its folder's sync fails: the change has begun.
        removed = true;
        if (calls.SyncFolder(dir) != 0)
            why = std::strerror(errno);
    }
    close(dir);
    return why;
}

// Carries out a written record: the staged files renamed into place, the listed files removed, the record
// removed. `finishing` (a start finishing a run cut short) goes on past a file it cannot remove and says
// so in `error`; a run stops there, leaving the record for the next start. False with `error`.
bool Play(const storage::Folder& folder, const CommitRecord& record, bool finishing, CommitProgress& progress,
          std::string& error, storage::Syscalls& calls)
{
    for (const CommitRecord::File& file : record.files) {
        bool renamed = false;
        const bool placed = PutInPlace(folder, file, finishing, renamed, error, calls);
        if (placed || renamed)
            progress.saved.push_back(Shown(folder, file.place));
        if (!placed)
            return false;
    }
    std::string unremoved;
    for (const std::string& file : record.removals) {
        bool removed = false;
        const std::string why = RemoveListed(folder, file, removed, calls);
        progress.removed += removed ? 1 : 0;
        if (!why.empty() && unremoved.empty())
            unremoved = "cannot remove " + file + ": " + why;
        if (!why.empty() && !finishing) {
            error = unremoved;
            return false;
        }
    }
    if (calls.UnlinkAt(folder.fd(), kCommitRecordName) != 0 || calls.SyncFolder(folder.fd()) != 0) {
        error = "cannot remove " + Shown(folder, kCommitRecordName) + ": " + std::strerror(errno);
        return false;
    }
    error = unremoved;
    return true;
}

// Takes back a record whose change has not begun: the record goes first, then the staged files. False when
// the record cannot go (it then stays, with its staged files, for the next start to finish).
bool Withdraw(const storage::Folder& folder, const CommitRecord& record, storage::Syscalls& calls)
{
    if (calls.UnlinkAt(folder.fd(), kCommitRecordName) != 0 || calls.SyncFolder(folder.fd()) != 0)
        return false;
    for (const CommitRecord::File& file : record.files) {
        const int dir = OpenFolderOf(folder.fd(), file.staged);
        if (dir >= 0) {
            calls.UnlinkAt(dir, LeafPart(file.staged).c_str());
            close(dir);
        }
    }
    return true;
}

// Checks that every staged file the record names is whole (or, gone, already in its place). False with
// `error` naming the first that is not.
bool StagedFilesWhole(const storage::Folder& folder, const CommitRecord& record, std::string& error)
{
    for (const CommitRecord::File& file : record.files) {
        std::string digest;
        std::uint64_t size = 0;
        const int dir = OpenFolderOf(folder.fd(), file.staged);
        const storage::ReadResult read =
            dir < 0 ? storage::ReadResult::Failed
                    : storage::DigestRegularFile(dir, LeafPart(file.staged).c_str(), file.size, digest, size);
        struct stat status { };
        const bool placed = dir >= 0 && fstatat(dir, LeafPart(file.place).c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                            S_ISREG(status.st_mode);
        if (dir >= 0)
            close(dir);
        std::string why;
        if (read == storage::ReadResult::Missing) {
            if (!placed)
                why = "it is missing and so is " + Shown(folder, file.place);
        } else if (read != storage::ReadResult::Done || size != file.size) {
            why = "it is not whole";
        } else if (digest != file.digest) {
            why = "its bytes are not those the record names";
        }
        if (!why.empty()) {
            error = Shown(folder, kCommitRecordName) + " names " + Shown(folder, file.staged) + " but " + why +
                    ": keep both and a copy of the machine folder";
            return false;
        }
    }
    return true;
}

}  // namespace

std::string FormatCommitRecord(const CommitRecord& record)
{
    std::string text = kHeader;
    for (const CommitRecord::File& file : record.files)
        text += "file " + Escape(file.staged) + " " + Escape(file.place) + " " + std::to_string(file.size) + " " +
                file.digest + "\n";
    for (const std::string& removal : record.removals)
        text += "remove " + Escape(removal) + "\n";
    return text + "sum " + storage::Sha256Of(text) + "\n";
}

bool ParseCommitRecord(const std::string& bytes, CommitRecord& record, std::string& error)
{
    record = CommitRecord();
    const std::size_t sum = bytes.size() < 2 ? std::string::npos : bytes.rfind('\n', bytes.size() - 2);
    if (bytes.compare(0, sizeof kHeader - 1, kHeader) != 0 || bytes.back() != '\n' || sum == std::string::npos ||
        bytes.compare(sum + 1, 4, "sum ") != 0 ||
        bytes.substr(sum + 5, bytes.size() - sum - 6) !=
            storage::Sha256Of(std::string_view(bytes).substr(0, sum + 1))) {
        error = "its checksum does not match";
        return false;
    }
    std::string_view lines = std::string_view(bytes).substr(sizeof kHeader - 1, sum + 1 - (sizeof kHeader - 1));
    while (!lines.empty()) {
        const std::size_t end = lines.find('\n');
        const std::vector<std::string_view> words = Words(lines.substr(0, end));
        lines.remove_prefix(end + 1);
        CommitRecord::File file;
        std::string removal;
        if (words.size() == 5 && words[0] == "file" && Unescape(words[1], file.staged) &&
            Unescape(words[2], file.place) && StaysInside(file.staged) && StaysInside(file.place) &&
            FolderPart(file.staged) == FolderPart(file.place) &&
            storage::IsStagedName(LeafPart(file.staged), LeafPart(file.place)) &&
            std::from_chars(words[3].data(), words[3].data() + words[3].size(), file.size).ptr ==
                words[3].data() + words[3].size() &&
            words[4].size() == 64) {
            file.digest = words[4];
            record.files.push_back(std::move(file));
        } else if (words.size() == 2 && words[0] == "remove" && Unescape(words[1], removal) && StaysInside(removal)) {
            record.removals.push_back(std::move(removal));
        } else {
            error = "a line is not one of its lines";
            return false;
        }
    }
    return true;
}

bool CommitMachineChange(const MachineFolder& machine, const Registry& registry,
                         const std::vector<std::string>& removals, CommitProgress& progress, std::string& error,
                         storage::Syscalls& calls)
{
    progress = CommitProgress();
    std::vector<const RegistryFile*> files;
    for (const RegistryFile& file : machine.registryFiles) {
        if (RegistryFileChanged(file, registry))
            files.push_back(&file);
    }
    // One registry file alone is replaced in one rename.
    if (removals.empty() && files.size() <= 1)
        return files.empty() || SaveRegistryFiles(machine, registry, progress.saved, error, calls, &progress.meant);
    const storage::Folder& top = machine.folders[0];
    std::vector<storage::Staged> staged(files.size());
    std::vector<StagedBytes> digests;
    auto dropStaged = [&] {
        for (storage::Staged& each : staged)
            storage::DropStaged(each, calls);
    };
    if (!StageRegistryFiles(machine, registry, files, staged, digests, error, calls))
        return false;
    progress.meant = digests;
    CommitRecord record;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!storage::NameStaged(staged[i], error, calls)) {
            dropStaged();
            return false;
        }
        const fs::path place = files[i]->relative;
        record.files.push_back({(place.parent_path() / staged[i].temporary).generic_string(), place.generic_string(),
                                digests[i].size, digests[i].digest});
    }
    const std::string windows = machine.windowsFolder.filename().string();
    for (const std::string& removal : removals)
        record.removals.push_back(windows + "/" + removal);
    storage::Staged written;
    if (!storage::StageNewFile(top, kCommitRecordName, FormatCommitRecord(record), written, error, calls) ||
        !storage::CommitStaged(written, error, calls)) {
        dropStaged();
        return false;
    }
    // The staged files are the record's now: they go in place, or stay for the next start.
    for (storage::Staged& each : staged)
        each.temporary.clear();
    progress.recorded = true;
    if (Play(top, record, false, progress, error, calls))
        return true;
    if (progress.saved.empty() && progress.removed == 0 && Withdraw(top, record, calls)) {
        progress.recorded = false;
        return false;
    }
    return false;
}

bool FinishCutShortCommit(const storage::Folder& folder, std::string& said, std::string& error,
                          storage::Syscalls& calls)
{
    said.clear();
    std::string bytes;
    const std::string shown = Shown(folder, kCommitRecordName);
    switch (storage::ReadRegularFile(folder.fd(), kCommitRecordName, kMaxRecordSize, bytes)) {
    case storage::ReadResult::Missing: return true;
    case storage::ReadResult::Done: break;
    default: error = shown + ": the record of a run cut short cannot be read"; return false;
    }
    CommitRecord record;
    std::string why;
    if (!ParseCommitRecord(bytes, record, why)) {
        error = shown + ": the record of a run cut short is damaged (" + why +
                "): keep it and a copy of the machine folder";
        return false;
    }
    if (!StagedFilesWhole(folder, record, error))
        return false;
    CommitProgress progress;
    if (!Play(folder, record, true, progress, why, calls)) {
        error = "cannot finish the change of a run cut short, recorded in " + shown + ": " + why;
        return false;
    }
    said = "finished the change of a run cut short, recorded in " + shown + ": " + std::to_string(record.files.size()) +
           " registry " + (record.files.size() == 1 ? "file" : "files") + " in place, " +
           std::to_string(progress.removed) + (progress.removed == 1 ? " file" : " files") + " removed" +
           (why.empty() ? "" : "; " + why);
    return true;
}

}  // namespace emulated
