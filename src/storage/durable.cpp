#include "storage/durable.h"

#include "storage/digest.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace storage {

namespace fs = std::filesystem;

namespace {

// Repeats `step` (given the bytes done so far, it does the next part and returns how many, or -1 with errno)
// until `size` bytes are done, again after an interrupted or short call. False on an error; an end before
// `size` fails with EIO.
template <class Step>
bool Whole(std::size_t size, Step step)
{
    for (std::size_t done = 0; done < size;) {
        const ssize_t part = step(done);
        if (part < 0 && errno == EINTR)
            continue;
        if (part <= 0) {
            if (part == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(part);
    }
    return true;
}

// The name's last six characters become a fresh name for this attempt.
void FillName(char* pattern, std::size_t length, int attempt)
{
    static unsigned counter = 0;
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned long value = static_cast<unsigned long>(getpid()) * 2654435761ul ^
                          static_cast<unsigned long>(std::time(nullptr)) ^ (++counter * 40503ul) ^
                          (static_cast<unsigned long>(attempt) << 20);
    for (std::size_t i = length - 6; i < length; ++i) {
        pattern[i] = kLetters[value % (sizeof kLetters - 1)];
        value /= sizeof kLetters - 1;
    }
}

}  // namespace

int Syscalls::OpenAt(int dir, const char* name, int flags)
{
    return openat(dir, name, flags, 0644);
}

int Syscalls::MakeTemporaryAt(int dir, char* pattern)
{
    // The name's last six characters become a fresh name that nothing holds: created exclusively, never
    // through a link.
    const std::size_t length = std::strlen(pattern);
    if (length < 6) {
        errno = EINVAL;
        return -1;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        FillName(pattern, length, attempt);
        int fd = openat(dir, pattern, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

int Syscalls::OpenUnnamedAt(int dir)
{
    const int fd = openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    // Kernels and file systems without unnamed files answer in several ways; all mean "not here".
    if (fd < 0 && (errno == EISDIR || errno == EINVAL || errno == ENOENT))
        errno = EOPNOTSUPP;
    return fd;
}

int Syscalls::LinkAt(int fd, int dir, const char* name)
{
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, self.c_str(), dir, name, AT_SYMLINK_FOLLOW);
}

ssize_t Syscalls::Write(int fd, const void* data, std::size_t size)
{
    return write(fd, data, size);
}

ssize_t Syscalls::PRead(int fd, void* into, std::size_t size, std::uint64_t offset)
{
    return pread(fd, into, size, static_cast<off_t>(offset));
}

ssize_t Syscalls::PWrite(int fd, const void* data, std::size_t size, std::uint64_t offset)
{
    return pwrite(fd, data, size, static_cast<off_t>(offset));
}

int Syscalls::Fchmod(int fd, mode_t mode)
{
    return fchmod(fd, mode);
}

int Syscalls::Futimens(int fd, const timespec times[2])
{
    return futimens(fd, times);
}

int Syscalls::Fsync(int fd)
{
    return fsync(fd);
}

int Syscalls::SyncFolder(int dir)
{
    return fsync(dir);
}

int Syscalls::Close(int fd)
{
    return close(fd);
}

int Syscalls::RenameAt(int dir, const char* from, const char* to)
{
    return renameat(dir, from, dir, to);
}

int Syscalls::RenameNoReplace(int dir, const char* from, const char* to)
{
    return renameat2(dir, from, dir, to, RENAME_NOREPLACE);
}

int Syscalls::UnlinkAt(int dir, const char* name)
{
    return unlinkat(dir, name, 0);
}

Syscalls& Syscalls::Real()
{
    static Syscalls real;
    return real;
}

Folder::~Folder()
{
    if (fd_ >= 0)
        close(fd_);
}

Folder::Folder(Folder&& other) noexcept : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) { }

Folder& Folder::operator=(Folder&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
    }
    return *this;
}

bool Folder::Open(const fs::path& path, Folder& folder, std::string& error)
{
    folder = Folder();
    folder.fd_ = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    folder.path_ = path;
    if (folder.fd_ >= 0)
        return true;
    error = "cannot open the folder " + path.string() + ": " +
            (errno == ELOOP || errno == ENOTDIR ? "it is not a folder (a link is refused)" : std::strerror(errno));
    return false;
}

bool Folder::OpenChild(const std::string& name, Folder& child, std::string& error) const
{
    child = Folder();
    child.fd_ = openat(fd_, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    child.path_ = path_ / name;
    if (child.fd_ >= 0)
        return true;
    error = "cannot open the folder " + child.path_.string() + ": " +
            (errno == ELOOP || errno == ENOTDIR ? "it is not a folder (a link is refused)" : std::strerror(errno));
    return false;
}

namespace {

fs::path FolderOf(const fs::path& file)
{
    return file.parent_path().empty() ? fs::path(".") : file.parent_path();
}

// A file's folder opened through the calls, for the path-based functions.
class OpenedFolder {
public:
    OpenedFolder(const fs::path& file, Syscalls& calls)
        : calls_(calls), fd_(calls.OpenAt(AT_FDCWD, FolderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
    }
    ~OpenedFolder()
    {
        if (fd_ >= 0)
            calls_.Close(fd_);
    }
    OpenedFolder(const OpenedFolder&) = delete;
    OpenedFolder& operator=(const OpenedFolder&) = delete;
    int fd() const { return fd_; }

private:
    Syscalls& calls_;
    int fd_;
};

// A new or renamed entry is durable once its folder is. A folder that cannot be synced leaves the file
// written all the same: there is nothing left to undo.
void SyncFolder(int dir, Syscalls& calls)
{
    calls.SyncFolder(dir);
}

bool SaveFailure(const fs::path& file, const char* what, int code, std::string& error)
{
    error = "cannot save " + file.string() + ": " + what + ": " + std::strerror(code);
    return false;
}

// Fsyncs and closes a file whose bytes were written (`written`); 0, or the errno of the first failure.
int SyncAndClose(int fd, bool written, Syscalls& calls)
{
    int code = written ? 0 : (errno != 0 ? errno : EIO);
    if (code == 0 && calls.Fsync(fd) != 0)
        code = errno;
    if (calls.Close(fd) != 0 && code == 0)
        code = errno;
    return code;
}

// Creates the file that holds a staged file's bytes in `dir`: unnamed where the file system allows, else a
// temporary file beside the place. Its descriptor, or -1 with errno.
int CreateStaging(int dir, Staged& staged, Syscalls& calls)
{
    const int fd = calls.OpenUnnamedAt(dir);
    if (fd >= 0 || errno != EOPNOTSUPP) {
        staged.unnamed = fd;
        return fd;
    }
    staged.temporary = staged.name + ".tmp-XXXXXX";
    const int named = calls.MakeTemporaryAt(dir, staged.temporary.data());
    if (named < 0)
        staged.temporary.clear();
    return named;
}

// Removes what holds a staged file's bytes.
void DropStaging(int dir, Staged& staged, Syscalls& calls)
{
    if (staged.unnamed >= 0)
        calls.Close(staged.unnamed);
    if (!staged.temporary.empty())
        calls.UnlinkAt(dir, staged.temporary.c_str());
    staged.unnamed = -1;
    staged.temporary.clear();
}

// Writes `pieces` with `mode` into the staging file `fd` and syncs them; an unnamed file stays open for its
// commit. 0, or the errno of the first failure (the staging file is then gone).
int FillStaging(int dir, int fd, mode_t mode, const std::vector<std::string_view>& pieces, Staged& staged,
                Syscalls& calls)
{
    bool ok = calls.Fchmod(fd, mode) == 0;
    for (std::string_view piece : pieces)
        ok = ok && WriteAll(fd, piece, calls);
    // The bytes reach the disk before any name can point at them.
    int code = ok ? 0 : (errno != 0 ? errno : EIO);
    if (code == 0 && calls.Fsync(fd) != 0)
        code = errno;
    if (staged.unnamed < 0 && calls.Close(fd) != 0 && code == 0)
        code = errno;
    if (code != 0)
        DropStaging(dir, staged, calls);
    return code;
}

bool Stage(int dir, const fs::path& shown, const std::vector<std::string_view>& pieces, Staged& staged,
           std::string& error, Syscalls& calls)
{
    struct stat original { };
    if (fstatat(dir, staged.name.c_str(), &original, AT_SYMLINK_NOFOLLOW) != 0)
        return SaveFailure(shown, "cannot read its mode", errno, error);
    if (!S_ISREG(original.st_mode)) {
        error = "cannot save " + shown.string() + ": it is not a regular file";
        return false;
    }
    const int fd = CreateStaging(dir, staged, calls);
    if (fd < 0)
        return SaveFailure(shown, "cannot create a temporary file beside it", errno, error);
    // Keep the owner when allowed to (as root); otherwise the file stays the user's own.
    if (original.st_uid != geteuid() || original.st_gid != getegid())
        (void)!fchown(fd, original.st_uid, original.st_gid);
    const int code = FillStaging(dir, fd, original.st_mode & 07777, pieces, staged, calls);
    return code == 0 || SaveFailure(shown, "cannot write it", code, error);
}

// Names the unnamed staged file beside its place, for the rename over the file.
bool NameStaging(int dir, Staged& staged, Syscalls& calls)
{
    std::string name = staged.name + ".tmp-XXXXXX";
    for (int attempt = 0; attempt < 100; ++attempt) {
        FillName(name.data(), name.size(), attempt);
        if (calls.LinkAt(staged.unnamed, dir, name.c_str()) == 0) {
            staged.temporary = name;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// Renames the temporary file `from` to the new file `to`, never over a file: a rename that refuses to
// replace, or, where the file system has none, a plain rename once `to` is seen free. False with errno
// (EEXIST when a file came to its place).
bool RenameToNew(int dir, const char* from, const char* to, Syscalls& calls)
{
    if (calls.RenameNoReplace(dir, from, to) == 0)
        return true;
    if (errno != EINVAL)
        return false;
    struct stat status { };
    if (fstatat(dir, to, &status, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    return errno == ENOENT && calls.RenameAt(dir, from, to) == 0;
}

// Puts a staged file in place: a replacement is renamed over the file; a new file is linked in (renamed in
// from a temporary file), which fails when a file came to its place since.
bool Commit(int dir, const fs::path& shown, Staged& staged, std::string& error, Syscalls& calls)
{
    bool placed = false;
    if (staged.unnamed >= 0 && !staged.replaces)
        placed = calls.LinkAt(staged.unnamed, dir, staged.name.c_str()) == 0;
    else if (staged.unnamed < 0 || NameStaging(dir, staged, calls))
        placed = staged.replaces ? calls.RenameAt(dir, staged.temporary.c_str(), staged.name.c_str()) == 0
                                 : RenameToNew(dir, staged.temporary.c_str(), staged.name.c_str(), calls);
    const int code = errno;
    if (placed)
        staged.temporary.clear();
    DropStaging(dir, staged, calls);
    if (!placed)
        return SaveFailure(shown, "cannot write it", code, error);
    SyncFolder(dir, calls);
    return true;
}

bool WriteNew(int dir, const fs::path& shown, const std::string& name, const FillFile& fill, std::string& error,
              Syscalls& calls)
{
    int fd = calls.OpenAt(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot write " + shown.string() + ": " + std::strerror(errno);
        return false;
    }
    std::string why;
    errno = 0;
    const bool filled = fill(fd, why);
    const int code = SyncAndClose(fd, filled, calls);
    if (code != 0) {
        calls.UnlinkAt(dir, name.c_str());
        error = why.empty() ? "cannot write " + shown.string() + ": " + std::strerror(code) : why;
        return false;
    }
    SyncFolder(dir, calls);
    return true;
}

}  // namespace

bool WriteAllAt(int fd, std::string_view bytes, std::uint64_t offset, Syscalls& calls)
{
    return Whole(bytes.size(), [&](std::size_t done) {
        return calls.PWrite(fd, bytes.data() + done, bytes.size() - done, offset + done);
    });
}

bool ReadAllAt(int fd, void* into, std::size_t size, std::uint64_t offset, Syscalls& calls)
{
    auto* out = static_cast<unsigned char*>(into);
    return Whole(size, [&](std::size_t done) { return calls.PRead(fd, out + done, size - done, offset + done); });
}

bool SyncFolderOf(const fs::path& file, Syscalls& calls)
{
    OpenedFolder folder(file, calls);
    if (folder.fd() < 0)
        return false;
    return calls.SyncFolder(folder.fd()) == 0;
}

bool RemoveDurably(const fs::path& file, const std::string& what, std::string& error, Syscalls& calls)
{
    if (calls.UnlinkAt(AT_FDCWD, file.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove " + what + " " + file.string() + ": " + std::strerror(errno);
        return false;
    }
    if (!SyncFolderOf(file, calls)) {
        error = "cannot flush the folder of " + file.string() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool WriteAll(int fd, std::string_view bytes, Syscalls& calls)
{
    return Whole(bytes.size(), [&](std::size_t done) { return calls.Write(fd, bytes.data() + done, bytes.size() - done); });
}

bool StageReplacement(const Folder& folder, const std::string& name, const std::vector<std::string_view>& pieces,
                      Staged& staged, std::string& error, Syscalls& calls)
{
    staged = Staged();
    staged.folder = &folder;
    staged.name = name;
    return Stage(folder.fd(), folder.path() / name, pieces, staged, error, calls);
}

bool StageNewFile(const Folder& folder, const std::string& name, std::string_view bytes, Staged& staged,
                  std::string& error, Syscalls& calls)
{
    staged = Staged();
    staged.folder = &folder;
    staged.name = name;
    staged.replaces = false;
    const int fd = CreateStaging(folder.fd(), staged, calls);
    if (fd < 0)
        return SaveFailure(folder.path() / name, "cannot create a temporary file beside it", errno, error);
    const int code = FillStaging(folder.fd(), fd, 0644, {bytes}, staged, calls);
    return code == 0 || SaveFailure(folder.path() / name, "cannot write it", code, error);
}

bool CommitStaged(Staged& staged, std::string& error, Syscalls& calls)
{
    return Commit(staged.folder->fd(), staged.folder->path() / staged.name, staged, error, calls);
}

void DropStaged(Staged& staged, Syscalls& calls)
{
    if (staged.folder != nullptr)
        DropStaging(staged.folder->fd(), staged, calls);
}

bool NameStaged(Staged& staged, std::string& error, Syscalls& calls)
{
    const int dir = staged.folder->fd();
    bool named = staged.unnamed < 0 || NameStaging(dir, staged, calls);
    if (named && staged.unnamed >= 0) {
        named = calls.Close(staged.unnamed) == 0;
        staged.unnamed = -1;
    }
    named = named && calls.SyncFolder(dir) == 0;
    if (named)
        return true;
    const int code = errno;
    DropStaging(dir, staged, calls);
    return SaveFailure(staged.folder->path() / staged.name, "cannot write it", code, error);
}

bool SetStagedTime(const Staged& staged, const timespec& modified, Syscalls& calls)
{
    const timespec times[2] = {{0, UTIME_OMIT}, modified};
    if (staged.unnamed >= 0)
        return calls.Futimens(staged.unnamed, times) == 0;
    const int fd = calls.OpenAt(staged.folder->fd(), staged.temporary.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool set = calls.Futimens(fd, times) == 0;
    const int code = errno;
    calls.Close(fd);
    errno = code;
    return set;
}

void RemoveStagedBeside(int dir, const std::string& name, Syscalls& calls)
{
    const int listed = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* entries = listed < 0 ? nullptr : fdopendir(listed);
    if (entries == nullptr) {
        if (listed >= 0)
            close(listed);
        return;
    }
    std::vector<std::string> stale;
    while (const dirent* entry = readdir(entries)) {
        struct stat status { };
        if (IsStagedName(entry->d_name, name) && fstatat(dir, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(status.st_mode) && status.st_uid == geteuid())
            stale.emplace_back(entry->d_name);
    }
    closedir(entries);
    for (const std::string& each : stale)
        calls.UnlinkAt(dir, each.c_str());
}

bool IsStagedName(const std::string& entry, const std::string& name)
{
    const std::string prefix = name + ".tmp-";
    return entry.size() == prefix.size() + 6 && entry.compare(0, prefix.size(), prefix) == 0 &&
           entry.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", prefix.size()) ==
               std::string::npos;
}

bool ReplaceFileAt(const Folder& folder, const std::string& name, const std::vector<std::string_view>& pieces,
                   std::string& error, Syscalls& calls)
{
    Staged staged;
    return StageReplacement(folder, name, pieces, staged, error, calls) && CommitStaged(staged, error, calls);
}

bool WriteNewFile(const fs::path& file, std::string_view bytes, std::string& error, Syscalls& calls)
{
    return WriteNewFileFrom(file, [&](int fd, std::string&) { return WriteAll(fd, bytes, calls); }, error, calls);
}

bool WriteNewFileAt(const Folder& folder, const std::string& name, std::string_view bytes, std::string& error,
                    Syscalls& calls)
{
    const FillFile fill = [&](int fd, std::string&) { return WriteAll(fd, bytes, calls); };
    return WriteNew(folder.fd(), folder.path() / name, name, fill, error, calls);
}

bool WriteNewFileFrom(const fs::path& file, const FillFile& fill, std::string& error, Syscalls& calls)
{
    OpenedFolder folder(file, calls);
    if (folder.fd() < 0) {
        error = "cannot write " + file.string() + ": " + std::strerror(errno);
        return false;
    }
    return WriteNew(folder.fd(), file, file.filename().string(), fill, error, calls);
}

bool ReplaceFileAtomically(const fs::path& file, const std::vector<std::string_view>& pieces, std::string& error,
                           Syscalls& calls)
{
    OpenedFolder folder(file, calls);
    if (folder.fd() < 0)
        return SaveFailure(file, "cannot open its folder", errno, error);
    Staged staged;
    staged.name = file.filename().string();
    return Stage(folder.fd(), file, pieces, staged, error, calls) && Commit(folder.fd(), file, staged, error, calls);
}

bool WriteFile(const fs::path& file, std::string_view bytes, std::string& error, Syscalls& calls)
{
    struct stat status { };
    if (lstat(file.c_str(), &status) != 0) {
        if (errno == ENOENT)
            return WriteNewFile(file, bytes, error, calls);
        error = "cannot write " + file.string() + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error = "cannot write " + file.string() + ": it is not a regular file (a link, a folder or a device is "
                                                  "never written over)";
        return false;
    }
    return ReplaceFileAtomically(file, {bytes}, error, calls);
}

int CreateTemporaryBeside(const fs::path& file, std::string& temporary, std::string& error, Syscalls& calls)
{
    struct stat original { };
    if (lstat(file.c_str(), &original) != 0) {
        if (errno != ENOENT)
            return SaveFailure(file, "cannot read its mode", errno, error), -1;
        // No file yet: the new one gets a new file's mode, and is the user's own.
        const mode_t mask = umask(0);
        umask(mask);
        original.st_mode = S_IFREG | (0666 & ~mask);
        original.st_uid = geteuid();
        original.st_gid = getegid();
    }
    if (!S_ISREG(original.st_mode)) {
        error = "cannot save " + file.string() + ": it is not a regular file";
        return -1;
    }
    OpenedFolder folder(file, calls);
    std::string name = file.filename().string() + ".tmp-XXXXXX";
    int fd = folder.fd() < 0 ? -1 : calls.MakeTemporaryAt(folder.fd(), name.data());
    if (fd < 0)
        return SaveFailure(file, "cannot create a temporary file beside it", errno, error), -1;
    temporary = (FolderOf(file) / name).string();
    if (calls.Fchmod(fd, original.st_mode & 07777) != 0) {
        const int code = errno;
        calls.Close(fd);
        calls.UnlinkAt(AT_FDCWD, temporary.c_str());
        return SaveFailure(file, "cannot set its mode", code, error), -1;
    }
    if (original.st_uid != geteuid() || original.st_gid != getegid())
        (void)!fchown(fd, original.st_uid, original.st_gid);
    return fd;
}

bool PublishTemporary(const std::string& temporary, const fs::path& file, std::string& error, Syscalls& calls)
{
    int fd = calls.OpenAt(AT_FDCWD, temporary.c_str(), O_RDWR | O_CLOEXEC);
    bool ok = fd >= 0 && calls.Fsync(fd) == 0;
    int code = errno;
    if (fd >= 0 && calls.Close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (ok && calls.RenameAt(AT_FDCWD, temporary.c_str(), file.c_str()) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        calls.UnlinkAt(AT_FDCWD, temporary.c_str());
        return SaveFailure(file, "cannot write it", code, error);
    }
    OpenedFolder folder(file, calls);
    if (folder.fd() >= 0)
        SyncFolder(folder.fd(), calls);
    return true;
}

namespace {

// Opens the regular file `name` in `dir` for reading, never through a link, checked before it is opened (so
// that nothing can block) and again after (it may have been swapped since); `size` receives its size. Done
// with `fd` open, else why not, with errno set.
ReadResult OpenRegular(int dir, const char* name, std::uint64_t limit, int& fd, std::uint64_t& size)
{
    struct stat status { };
    if (fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    if (S_ISLNK(status.st_mode))
        return ReadResult::Link;
    if (!S_ISREG(status.st_mode))
        return ReadResult::NotRegular;
    fd = openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP ? ReadResult::Link : ReadResult::Failed;
    ReadResult result = ReadResult::Done;
    if (fstat(fd, &status) != 0)
        result = ReadResult::Failed;
    else if (!S_ISREG(status.st_mode))
        result = ReadResult::NotRegular;
    else if (static_cast<std::uint64_t>(status.st_size) > limit)
        result = ReadResult::TooLarge;
    size = static_cast<std::uint64_t>(status.st_size);
    if (result != ReadResult::Done) {
        const int code = errno;
        close(fd);
        fd = -1;
        errno = code;
    }
    return result;
}

// Closes `fd`, keeping errno as it was.
void CloseKeepingErrno(int fd)
{
    const int code = errno;
    close(fd);
    errno = code;
}

}  // namespace

ReadResult ReadRegularFile(int dir, const char* name, std::uint64_t limit, std::string& bytes)
{
    int fd = -1;
    std::uint64_t size = 0;
    ReadResult result = OpenRegular(dir, name, limit, fd, size);
    if (result != ReadResult::Done)
        return result;
    bytes.resize(static_cast<std::size_t>(size));
    if (!Whole(bytes.size(), [&](std::size_t done) { return read(fd, bytes.data() + done, bytes.size() - done); }))
        result = ReadResult::Failed;
    CloseKeepingErrno(fd);
    return result;
}

void DropCachedPages(int dir, const char* name)
{
    const int fd = openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        close(fd);
    }
}

ReadResult DigestRegularFile(int dir, const char* name, std::uint64_t limit, std::string& digest, std::uint64_t& size)
{
    int fd = -1;
    ReadResult result = OpenRegular(dir, name, limit, fd, size);
    if (result != ReadResult::Done)
        return result;
    Sha256 sum;
    std::string piece(std::size_t {1} << 20, '\0');
    std::uint64_t read = 0;
    ssize_t got = 0;
    while ((got = ::read(fd, piece.data(), piece.size())) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            result = ReadResult::Failed;
            break;
        }
        sum.Add({piece.data(), static_cast<std::size_t>(got)});
        read += static_cast<std::uint64_t>(got);
    }
    size = read;
    digest = sum.Hex();
    CloseKeepingErrno(fd);
    return result;
}

}  // namespace storage
