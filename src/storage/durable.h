// Durable files: every file the offline program writes for keeps goes through here. A file is either created
// exclusively (never over an existing one, never through a link) or replaced whole by a temporary file beside
// it and a rename, only ever over a regular file; either way its bytes are fsynced before it counts as
// written, and its folder after, so that a crash leaves the old file or the new one, never half of one.
//
// Files are reached from a folder held open (`Folder`): a run opens its folders once, at its start, and every
// later write goes through those handles (openat, renameat), so that a folder swapped for a link during the
// run leads nowhere.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace storage {

// The system calls durable writing makes, one member each, with the calls' own results (-1 and errno on
// failure). The real ones by default; a test passes its own to record their order or to fail one.
class Syscalls {
public:
    virtual ~Syscalls() = default;
    // openat(): `name` in the folder `dir` (AT_FDCWD for a path) with `flags` (mode 0644 when creating).
    virtual int OpenAt(int dir, const char* name, int flags);
    // Creates a fresh file exclusively in `dir` from `pattern` (ending in XXXXXX), writing its name there.
    virtual int MakeTemporaryAt(int dir, char* pattern);
    // Creates a file without a name in the folder `dir` (O_TMPFILE, mode 0600): it goes with its last
    // descriptor unless LinkAt names it. -1 with EOPNOTSUPP where the file system has no such files.
    virtual int OpenUnnamedAt(int dir);
    // Gives the unnamed file `fd` the name `name` in `dir`; fails with EEXIST when the name is taken.
    virtual int LinkAt(int fd, int dir, const char* name);
    virtual ssize_t Write(int fd, const void* data, std::size_t size);
    // pread() and pwrite(): `size` bytes at byte `offset` of the file.
    virtual ssize_t PRead(int fd, void* into, std::size_t size, std::uint64_t offset);
    virtual ssize_t PWrite(int fd, const void* data, std::size_t size, std::uint64_t offset);
    virtual int Fchmod(int fd, mode_t mode);
    // futimens(): the file's times of last access and last change (UTIME_OMIT leaves one as it is).
    virtual int Futimens(int fd, const timespec times[2]);
    virtual int Fsync(int fd);
    // fsync() of a folder: the names made, renamed or removed in it reach the disk.
    virtual int SyncFolder(int dir);
    virtual int Close(int fd);
    virtual int RenameAt(int dir, const char* from, const char* to);
    // renameat2() with RENAME_NOREPLACE: fails with EEXIST when `to` is taken, with EINVAL where the file
    // system cannot make that promise.
    virtual int RenameNoReplace(int dir, const char* from, const char* to);
    virtual int UnlinkAt(int dir, const char* name);

    // The operating system's own calls.
    static Syscalls& Real();
};

// Every call passed on to the calls it wraps: a base for calls that change only some of them and leave the
// rest to the wrapped ones (a test's that fail one, say).
class ForwardingSyscalls : public Syscalls {
public:
    explicit ForwardingSyscalls(Syscalls& calls) : calls_(calls) { }
    int OpenAt(int dir, const char* name, int flags) override { return calls_.OpenAt(dir, name, flags); }
    int MakeTemporaryAt(int dir, char* pattern) override { return calls_.MakeTemporaryAt(dir, pattern); }
    int OpenUnnamedAt(int dir) override { return calls_.OpenUnnamedAt(dir); }
    int LinkAt(int fd, int dir, const char* name) override { return calls_.LinkAt(fd, dir, name); }
    ssize_t Write(int fd, const void* data, std::size_t size) override { return calls_.Write(fd, data, size); }
    ssize_t PRead(int fd, void* into, std::size_t size, std::uint64_t offset) override
    {
        return calls_.PRead(fd, into, size, offset);
    }
    ssize_t PWrite(int fd, const void* data, std::size_t size, std::uint64_t offset) override
    {
        return calls_.PWrite(fd, data, size, offset);
    }
    int Fchmod(int fd, mode_t mode) override { return calls_.Fchmod(fd, mode); }
    int Futimens(int fd, const timespec times[2]) override { return calls_.Futimens(fd, times); }
    int Fsync(int fd) override { return calls_.Fsync(fd); }
    int SyncFolder(int dir) override { return calls_.SyncFolder(dir); }
    int Close(int fd) override { return calls_.Close(fd); }
    int RenameAt(int dir, const char* from, const char* to) override { return calls_.RenameAt(dir, from, to); }
    int RenameNoReplace(int dir, const char* from, const char* to) override
    {
        return calls_.RenameNoReplace(dir, from, to);
    }
    int UnlinkAt(int dir, const char* name) override { return calls_.UnlinkAt(dir, name); }

private:
    Syscalls& calls_;
};

// A folder held open: the handle it was opened with stays its identity for the run, whatever its path
// comes to name. Move-only; closes its handle when it goes.
class Folder {
public:
    Folder() = default;
    ~Folder();
    Folder(Folder&& other) noexcept;
    Folder& operator=(Folder&& other) noexcept;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    // Opens `path`, as the user named it, as a folder. False with a one-line `error`.
    static bool Open(const std::filesystem::path& path, Folder& folder, std::string& error);
    // Opens the folder `name` inside this one, never through a link.
    bool OpenChild(const std::string& name, Folder& child, std::string& error) const;

    int fd() const { return fd_; }
    bool open() const { return fd_ >= 0; }
    // The path it was opened by, for messages only.
    const std::filesystem::path& path() const { return path_; }

private:
    int fd_ = -1;
    std::filesystem::path path_;
};

// Writes all of `bytes` to `fd`, again after an interrupted or short write. False on an error (errno says).
bool WriteAll(int fd, std::string_view bytes, Syscalls& calls = Syscalls::Real());
// The same at byte `offset` of the file, and its reading counterpart (a file ending early fails with EIO).
bool WriteAllAt(int fd, std::string_view bytes, std::uint64_t offset, Syscalls& calls = Syscalls::Real());
bool ReadAllAt(int fd, void* into, std::size_t size, std::uint64_t offset, Syscalls& calls = Syscalls::Real());

// Opens the folder of `file` and fsyncs it: a name made or removed there reaches the disk. False with errno.
bool SyncFolderOf(const std::filesystem::path& file, Syscalls& calls = Syscalls::Real());
// Removes `file` (gone already is removed) and fsyncs its folder, so that the removal reaches the disk. False
// with a one-line `error` naming it as `what` ("the rollback journal").
bool RemoveDurably(const std::filesystem::path& file, const std::string& what, std::string& error,
                   Syscalls& calls = Syscalls::Real());

// A file made ready: a file without a name in the folder of its place (or, where the file system has none,
// a temporary file beside its place) holds the new bytes, fsynced. Commit puts it in place; Drop removes it.
// A new file's temporary file goes in place by a rename that never replaces, so no hard link is needed (a
// vfat stick or an SMB share has none): where the file system refuses that rename too, by a plain rename
// once the name is seen free, which the caller's lock on the folder keeps free.
// Several files are saved all or nothing by staging them all first. A run killed meanwhile leaves nothing:
// an unnamed file goes with the process.
struct Staged {
    const Folder* folder = nullptr;
    std::string name;       // the file's name in the folder
    std::string temporary;  // the temporary file's name in the folder, when it has one
    int unnamed = -1;       // the unnamed file, open until Commit or Drop
    bool replaces = true;   // over the regular file there; else a new file, never over one that came since
};

// Whether `entry` is the name of a temporary file staged beside `name`: `name`.tmp-XXXXXX.
bool IsStagedName(const std::string& entry, const std::string& name);

// Stages the replacement of the existing regular file `name` in `folder` by `pieces` joined, with its mode
// and owner. False with a one-line `error`; then nothing is left behind.
bool StageReplacement(const Folder& folder, const std::string& name, const std::vector<std::string_view>& pieces,
                      Staged& staged, std::string& error, Syscalls& calls = Syscalls::Real());
// Stages a new file `name` in `folder` (mode 0644), which must still be missing when it is committed.
bool StageNewFile(const Folder& folder, const std::string& name, std::string_view bytes, Staged& staged,
                  std::string& error, Syscalls& calls = Syscalls::Real());
// Puts the staged file in place (over the file, or as a new file), then fsyncs the folder. False with `error`
// (the staged file is then removed and the place is as it was).
bool CommitStaged(Staged& staged, std::string& error, Syscalls& calls = Syscalls::Real());
void DropStaged(Staged& staged, Syscalls& calls = Syscalls::Real());
// Gives an unnamed staged file its temporary name beside its place (a staged file with a name keeps it), then
// fsyncs the folder: for a commit record that names the staged file, which must then outlive the process.
// False with a one-line `error`; the staged file is then dropped.
bool NameStaged(Staged& staged, std::string& error, Syscalls& calls = Syscalls::Real());
// Gives the staged file its time of last change, which goes in place with it. False with errno.
bool SetStagedTime(const Staged& staged, const timespec& modified, Syscalls& calls = Syscalls::Real());
// Removes what saves of `name` in the folder `dir` left when they were cut short (a killed run's): the
// regular files of this user that a stage names beside it.
void RemoveStagedBeside(int dir, const std::string& name, Syscalls& calls = Syscalls::Real());

// Replaces the existing regular file `name` in `folder` with `pieces` joined: staged, then committed.
bool ReplaceFileAt(const Folder& folder, const std::string& name, const std::vector<std::string_view>& pieces,
                   std::string& error, Syscalls& calls = Syscalls::Real());

// The same by path: the file's folder is opened for the one call.
bool WriteNewFile(const std::filesystem::path& file, std::string_view bytes, std::string& error,
                  Syscalls& calls = Syscalls::Real());
// The same in a folder held open: `name` must not exist there.
bool WriteNewFileAt(const Folder& folder, const std::string& name, std::string_view bytes, std::string& error,
                    Syscalls& calls = Syscalls::Real());
// Writes a file's bytes into the file open on `fd`, piece by piece (so that a large file is never whole in
// memory). False on an error, with errno set, or with `why` saying it when the error is not the file's.
using FillFile = std::function<bool(int fd, std::string& why)>;
// Creates `file`, which must not exist, with what `fill` writes; as WriteNewFile otherwise.
bool WriteNewFileFrom(const std::filesystem::path& file, const FillFile& fill, std::string& error,
                      Syscalls& calls = Syscalls::Real());
bool ReplaceFileAtomically(const std::filesystem::path& file, const std::vector<std::string_view>& pieces,
                           std::string& error, Syscalls& calls = Syscalls::Real());
// Writes `file` whole: a new file when there is none, else a replacement of the regular file there. A link,
// a folder or any other kind of file is refused.
bool WriteFile(const std::filesystem::path& file, std::string_view bytes, std::string& error,
               Syscalls& calls = Syscalls::Real());

// A temporary file beside `file`, created exclusively, with `file`'s mode and owner (a new file's mode when
// there is none), for a caller that fills it by other means and then calls PublishTemporary. Its
// descriptor, or -1 with `error` set; a link, a folder or any other kind of file is refused.
int CreateTemporaryBeside(const std::filesystem::path& file, std::string& temporary, std::string& error,
                          Syscalls& calls = Syscalls::Real());

// Puts a filled temporary file in the place of `file`: fsync of the temporary file, rename, fsync of the
// folder. False with `error` (the temporary file is then removed and `file` is as it was).
bool PublishTemporary(const std::string& temporary, const std::filesystem::path& file, std::string& error,
                      Syscalls& calls = Syscalls::Real());

// What reading a whole file found.
enum class ReadResult { Done, Missing, Link, NotRegular, TooLarge, Failed };

// Reads the regular file `name` in the folder `dir` (AT_FDCWD for a path) whole, at most `limit` bytes: never
// through a link, and anything but a regular file is refused without being opened, so nothing can block.
// On Failed, errno says why (EIO when the file shrank while being read).
ReadResult ReadRegularFile(int dir, const char* name, std::uint64_t limit, std::string& bytes);

// Drops the cached pages of the file `name` in `dir` where the system lets it, so that a read that follows
// reads what the medium holds. Nothing when it cannot be opened.
void DropCachedPages(int dir, const char* name);

// The SHA-256 (in hex) and the size of the regular file `name` in `dir`, read in pieces as ReadRegularFile
// reads a file whole (never through a link, at most `limit` bytes). On Failed, errno says why.
ReadResult DigestRegularFile(int dir, const char* name, std::uint64_t limit, std::string& digest, std::uint64_t& size);

}  // namespace storage
