#include "storage/durable.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace storage {

namespace fs = std::filesystem;

int Syscalls::OpenAt(int dir, const char* name, int flags)
{
    return openat(dir, name, flags, 0644);
}

int Syscalls::MakeTemporaryAt(int dir, char* pattern)
{
    // The name's last six characters become a fresh name that nothing holds: created exclusively, never
    // through a link.
    static unsigned counter = 0;
    const std::size_t length = std::strlen(pattern);
    if (length < 6) {
        errno = EINVAL;
        return -1;
    }
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned long value = static_cast<unsigned long>(getpid()) * 2654435761ul ^
                              static_cast<unsigned long>(std::time(nullptr)) ^ (++counter * 40503ul) ^
                              (static_cast<unsigned long>(attempt) << 20);
        for (std::size_t i = length - 6; i < length; ++i) {
            pattern[i] = kLetters[value % (sizeof kLetters - 1)];
            value /= sizeof kLetters - 1;
        }
        int fd = openat(dir, pattern, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

ssize_t Syscalls::Write(int fd, const void* data, std::size_t size)
{
    return write(fd, data, size);
}

int Syscalls::Fsync(int fd)
{
    return fsync(fd);
}

int Syscalls::Close(int fd)
{
    return close(fd);
}

int Syscalls::RenameAt(int dir, const char* from, const char* to)
{
    return renameat(dir, from, dir, to);
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
    calls.Fsync(dir);
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

bool Stage(int dir, const fs::path& shown, const std::string& name, const std::vector<std::string_view>& pieces,
           std::string& temporary, std::string& error, Syscalls& calls)
{
    struct stat original { };
    if (fstatat(dir, name.c_str(), &original, AT_SYMLINK_NOFOLLOW) != 0)
        return SaveFailure(shown, "cannot read its mode", errno, error);
    if (!S_ISREG(original.st_mode)) {
        error = "cannot save " + shown.string() + ": it is not a regular file";
        return false;
    }
    temporary = name + ".tmp-XXXXXX";
    int fd = calls.MakeTemporaryAt(dir, temporary.data());
    if (fd < 0)
        return SaveFailure(shown, "cannot create a temporary file beside it", errno, error);
    bool ok = fchmod(fd, original.st_mode & 07777) == 0;
    // Keep the owner when allowed to (as root); otherwise the file stays the user's own.
    if (ok && (original.st_uid != geteuid() || original.st_gid != getegid()))
        (void)!fchown(fd, original.st_uid, original.st_gid);
    for (std::string_view piece : pieces)
        ok = ok && WriteAll(fd, piece, calls);
    // The bytes reach the disk before any name can point at them.
    const int code = SyncAndClose(fd, ok, calls);
    if (code != 0) {
        calls.UnlinkAt(dir, temporary.c_str());
        return SaveFailure(shown, "cannot write it", code, error);
    }
    return true;
}

bool Commit(int dir, const fs::path& shown, const std::string& name, const std::string& temporary, std::string& error,
            Syscalls& calls, bool replaces = true)
{
    // A new file is linked in, which fails when a file came to its place since; the temporary name then goes.
    const bool placed = replaces ? calls.RenameAt(dir, temporary.c_str(), name.c_str()) == 0
                                 : linkat(dir, temporary.c_str(), dir, name.c_str(), 0) == 0;
    if (placed && !replaces)
        calls.UnlinkAt(dir, temporary.c_str());
    if (!placed) {
        const int code = errno;
        calls.UnlinkAt(dir, temporary.c_str());
        return SaveFailure(shown, "cannot write it", code, error);
    }
    SyncFolder(dir, calls);
    return true;
}

bool WriteNew(int dir, const fs::path& shown, const std::string& name, std::string_view bytes, std::string& error,
              Syscalls& calls)
{
    int fd = calls.OpenAt(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot write " + shown.string() + ": " + std::strerror(errno);
        return false;
    }
    const int code = SyncAndClose(fd, WriteAll(fd, bytes, calls), calls);
    if (code != 0) {
        calls.UnlinkAt(dir, name.c_str());
        error = "cannot write " + shown.string() + ": " + std::strerror(code);
        return false;
    }
    SyncFolder(dir, calls);
    return true;
}

}  // namespace

bool WriteAll(int fd, std::string_view bytes, Syscalls& calls)
{
    while (!bytes.empty()) {
        ssize_t done = calls.Write(fd, bytes.data(), bytes.size());
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            if (done == 0)
                errno = EIO;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(done));
    }
    return true;
}

bool StageReplacement(const Folder& folder, const std::string& name, const std::vector<std::string_view>& pieces,
                      Staged& staged, std::string& error, Syscalls& calls)
{
    staged = {&folder, name, {}};
    return Stage(folder.fd(), folder.path() / name, name, pieces, staged.temporary, error, calls);
}

bool StageNewFile(const Folder& folder, const std::string& name, std::string_view bytes, Staged& staged,
                  std::string& error, Syscalls& calls)
{
    staged = {&folder, name, name + ".tmp-XXXXXX", false};
    int fd = calls.MakeTemporaryAt(folder.fd(), staged.temporary.data());
    if (fd < 0) {
        staged.temporary.clear();
        return SaveFailure(folder.path() / name, "cannot create a temporary file beside it", errno, error);
    }
    const int code = SyncAndClose(fd, fchmod(fd, 0644) == 0 && WriteAll(fd, bytes, calls), calls);
    if (code != 0) {
        DropStaged(staged, calls);
        staged.temporary.clear();
        return SaveFailure(folder.path() / name, "cannot write it", code, error);
    }
    return true;
}

bool CommitStaged(const Staged& staged, std::string& error, Syscalls& calls)
{
    return Commit(staged.folder->fd(), staged.folder->path() / staged.name, staged.name, staged.temporary, error,
                  calls, staged.replaces);
}

void DropStaged(const Staged& staged, Syscalls& calls)
{
    if (staged.folder != nullptr && !staged.temporary.empty())
        calls.UnlinkAt(staged.folder->fd(), staged.temporary.c_str());
}

bool ReplaceFileAt(const Folder& folder, const std::string& name, const std::vector<std::string_view>& pieces,
                   std::string& error, Syscalls& calls)
{
    Staged staged;
    return StageReplacement(folder, name, pieces, staged, error, calls) && CommitStaged(staged, error, calls);
}

bool WriteNewFileAt(const Folder& folder, const std::string& name, std::string_view bytes, std::string& error,
                    Syscalls& calls)
{
    return WriteNew(folder.fd(), folder.path() / name, name, bytes, error, calls);
}

bool WriteNewFile(const fs::path& file, std::string_view bytes, std::string& error, Syscalls& calls)
{
    OpenedFolder folder(file, calls);
    if (folder.fd() < 0) {
        error = "cannot write " + file.string() + ": " + std::strerror(errno);
        return false;
    }
    return WriteNew(folder.fd(), file, file.filename().string(), bytes, error, calls);
}

bool ReplaceFileAtomically(const fs::path& file, const std::vector<std::string_view>& pieces, std::string& error,
                           Syscalls& calls)
{
    OpenedFolder folder(file, calls);
    if (folder.fd() < 0)
        return SaveFailure(file, "cannot open its folder", errno, error);
    std::string temporary;
    const std::string name = file.filename().string();
    return Stage(folder.fd(), file, name, pieces, temporary, error, calls) &&
           Commit(folder.fd(), file, name, temporary, error, calls);
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
    if (fchmod(fd, original.st_mode & 07777) != 0) {
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

ReadResult ReadRegularFile(int dir, const char* name, std::uint64_t limit, std::string& bytes)
{
    struct stat status { };
    if (fstatat(dir, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? ReadResult::Missing : ReadResult::Failed;
    if (S_ISLNK(status.st_mode))
        return ReadResult::Link;
    if (!S_ISREG(status.st_mode))
        return ReadResult::NotRegular;
    // Checked again on the file opened: it may have been swapped since.
    const int fd = openat(dir, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP ? ReadResult::Link : ReadResult::Failed;
    ReadResult result = ReadResult::Done;
    if (fstat(fd, &status) != 0)
        result = ReadResult::Failed;
    else if (!S_ISREG(status.st_mode))
        result = ReadResult::NotRegular;
    else if (static_cast<std::uint64_t>(status.st_size) > limit)
        result = ReadResult::TooLarge;
    if (result == ReadResult::Done) {
        bytes.resize(static_cast<std::size_t>(status.st_size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                if (got == 0)
                    errno = EIO;
                result = ReadResult::Failed;
                break;
            }
            done += static_cast<std::size_t>(got);
        }
    }
    const int code = errno;
    close(fd);
    errno = code;
    return result;
}

}  // namespace storage
