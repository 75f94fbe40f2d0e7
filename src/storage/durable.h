// Durable files: every file the offline program writes for keeps goes through here. A file is either created
// exclusively (never over an existing one, never through a link) or replaced whole by a temporary file beside
// it and a rename; either way its bytes are fsynced before it counts as written, and its folder after, so
// that a crash leaves the old file or the new one, never half of one.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace storage {

// The system calls durable writing makes, one member each, with the calls' own results (-1 and errno on
// failure). The real ones by default; a test passes its own to record their order or to fail one.
class Syscalls {
public:
    virtual ~Syscalls() = default;
    // Opens `path` with `flags` (mode 0644 when creating); a descriptor or -1.
    virtual int Open(const char* path, int flags);
    // mkstemp(): creates a fresh file exclusively from `pattern`, writing its name there.
    virtual int MakeTemporary(char* pattern);
    virtual ssize_t Write(int fd, const void* data, std::size_t size);
    virtual int Fsync(int fd);
    virtual int Close(int fd);
    virtual int Rename(const char* from, const char* to);
    virtual int Unlink(const char* path);

    // The operating system's own calls.
    static Syscalls& Real();
};

// Writes all of `bytes` to `fd`, again after an interrupted or short write. False on an error (errno says).
bool WriteAll(int fd, std::string_view bytes, Syscalls& calls = Syscalls::Real());

// Creates `file`, which must not exist, with `bytes`: never over an existing file, never through a link;
// fsync, then fsync of its folder. False with a one-line `error`; a file half written is removed again.
bool WriteNewFile(const std::filesystem::path& file, std::string_view bytes, std::string& error,
                  Syscalls& calls = Syscalls::Real());

// Replaces the existing regular file `file` with `pieces` joined: a temporary file created exclusively beside it
// with its mode and owner, written, fsynced, renamed over it, then fsync of the folder. False with a one-line
// `error`; the file is then as it was and the temporary file is gone.
bool ReplaceFileAtomically(const std::filesystem::path& file, const std::vector<std::string_view>& pieces,
                           std::string& error, Syscalls& calls = Syscalls::Real());

// A temporary file beside `file`, created exclusively, with `file`'s mode and owner, for a caller that fills
// it by other means and then calls PublishTemporary. Its descriptor, or -1 with `error` set.
int CreateTemporaryBeside(const std::filesystem::path& file, std::string& temporary, std::string& error,
                          Syscalls& calls = Syscalls::Real());

// Puts a filled temporary file in the place of `file`: fsync of the temporary file, rename, fsync of the
// folder. False with `error` (the temporary file is then removed and `file` is as it was).
bool PublishTemporary(const std::string& temporary, const std::filesystem::path& file, std::string& error,
                      Syscalls& calls = Syscalls::Real());

}  // namespace storage
