#include "storage/durable.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace storage {

namespace fs = std::filesystem;

int Syscalls::Open(const char* path, int flags)
{
    return open(path, flags, 0644);
}

int Syscalls::MakeTemporary(char* pattern)
{
    return mkstemp(pattern);
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

int Syscalls::Rename(const char* from, const char* to)
{
    return std::rename(from, to);
}

int Syscalls::Unlink(const char* path)
{
    return unlink(path);
}

Syscalls& Syscalls::Real()
{
    static Syscalls real;
    return real;
}

namespace {

fs::path FolderOf(const fs::path& file)
{
    return file.parent_path().empty() ? fs::path(".") : file.parent_path();
}

// A new or renamed entry is durable once its folder is. A folder that cannot be synced leaves the file
// written all the same: there is nothing left to undo.
void SyncFolder(const fs::path& file, Syscalls& calls)
{
    int dir = calls.Open(FolderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        calls.Fsync(dir);
        calls.Close(dir);
    }
}

bool SaveFailure(const fs::path& file, const char* what, int code, std::string& error)
{
    error = "cannot save " + file.string() + ": " + what + ": " + std::strerror(code);
    return false;
}

// The end of every replacement: the temporary file's bytes reach the disk before its name replaces the
// file's, so that no crash can leave a name pointing at bytes never written.
bool SyncAndRename(int fd, const std::string& temporary, const fs::path& file, std::string& error, Syscalls& calls)
{
    bool ok = calls.Fsync(fd) == 0;
    int code = errno;
    if (calls.Close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (ok && calls.Rename(temporary.c_str(), file.c_str()) != 0) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        calls.Unlink(temporary.c_str());
        return SaveFailure(file, "cannot write it", code, error);
    }
    SyncFolder(file, calls);
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

bool WriteNewFile(const fs::path& file, std::string_view bytes, std::string& error, Syscalls& calls)
{
    int fd = calls.Open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC);
    bool ok = fd >= 0 && WriteAll(fd, bytes, calls) && calls.Fsync(fd) == 0;
    int code = errno;
    if (fd >= 0 && calls.Close(fd) != 0 && ok) {
        ok = false;
        code = errno;
    }
    if (!ok) {
        error = "cannot write " + file.string() + ": " + std::strerror(code);
        if (fd >= 0)
            calls.Unlink(file.c_str());
        return false;
    }
    SyncFolder(file, calls);
    return true;
}

int CreateTemporaryBeside(const fs::path& file, std::string& temporary, std::string& error, Syscalls& calls)
{
    struct stat original { };
    if (lstat(file.c_str(), &original) != 0)
        return SaveFailure(file, "cannot read its mode", errno, error), -1;
    if (!S_ISREG(original.st_mode)) {
        error = "cannot save " + file.string() + ": it is not a regular file";
        return -1;
    }
    // A fresh name that nothing else can hold: the file is created exclusively, never through a link.
    temporary = (FolderOf(file) / (file.filename().string() + ".tmp-XXXXXX")).string();
    int fd = calls.MakeTemporary(temporary.data());
    if (fd < 0)
        return SaveFailure(file, "cannot create a temporary file beside it", errno, error), -1;
    if (fchmod(fd, original.st_mode & 07777) != 0) {
        const int code = errno;
        calls.Close(fd);
        calls.Unlink(temporary.c_str());
        return SaveFailure(file, "cannot set its mode", code, error), -1;
    }
    // Keep the owner when allowed to (as root); otherwise the file stays the user's own.
    if (original.st_uid != geteuid() || original.st_gid != getegid())
        (void)!fchown(fd, original.st_uid, original.st_gid);
    return fd;
}

bool ReplaceFileAtomically(const fs::path& file, const std::vector<std::string_view>& pieces, std::string& error,
                           Syscalls& calls)
{
    std::string temporary;
    int fd = CreateTemporaryBeside(file, temporary, error, calls);
    if (fd < 0)
        return false;
    for (std::string_view piece : pieces) {
        if (!WriteAll(fd, piece, calls)) {
            const int code = errno;
            calls.Close(fd);
            calls.Unlink(temporary.c_str());
            return SaveFailure(file, "cannot write it", code, error);
        }
    }
    return SyncAndRename(fd, temporary, file, error, calls);
}

bool PublishTemporary(const std::string& temporary, const fs::path& file, std::string& error, Syscalls& calls)
{
    int fd = calls.Open(temporary.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int code = errno;
        calls.Unlink(temporary.c_str());
        return SaveFailure(file, "cannot write it", code, error);
    }
    return SyncAndRename(fd, temporary, file, error, calls);
}

}  // namespace storage
