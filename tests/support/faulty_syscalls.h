// The fault sweep for durable writes: the real system calls of storage::Syscalls, counted from 1, of which
// `count` calls from call `first` on fail (1: "fail call N once"; kForever: "from call N on", which leaves the
// disk as a process killed at call N leaves it). A failing call does nothing and fails with the error the
// real call gives most often there: ENOSPC for a write, EIO for the others. A close that fails has still
// released its descriptor, as on Linux.
#pragma once

#include <cerrno>
#include <climits>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "storage/durable.h"

class FaultySyscalls : public storage::Syscalls {
public:
    static constexpr unsigned kForever = UINT_MAX;

    FaultySyscalls() = default;
    FaultySyscalls(unsigned first, unsigned count) : first_(first), count_(count) { }

    // The calls made so far.
    unsigned calls() const { return calls_; }
    // The file system has neither unnamed files nor hard links, as vfat and SMB have not: O_TMPFILE is
    // refused with EOPNOTSUPP and linkat with EPERM (each still a call that can fail first).
    bool noLinks = false;

    int OpenAt(int dir, const char* name, int flags) override
    {
        return Fails(EIO) ? -1 : Syscalls::OpenAt(dir, name, flags);
    }
    int MakeTemporaryAt(int dir, char* pattern) override
    {
        return Fails(EIO) ? -1 : Syscalls::MakeTemporaryAt(dir, pattern);
    }
    int OpenUnnamedAt(int dir) override
    {
        return Fails(EIO) || (noLinks && Refused(EOPNOTSUPP)) ? -1 : Syscalls::OpenUnnamedAt(dir);
    }
    int LinkAt(int fd, int dir, const char* name) override
    {
        return Fails(EIO) || (noLinks && Refused(EPERM)) ? -1 : Syscalls::LinkAt(fd, dir, name);
    }
    ssize_t Write(int fd, const void* data, std::size_t size) override
    {
        return Fails(ENOSPC) ? -1 : Syscalls::Write(fd, data, size);
    }
    ssize_t PRead(int fd, void* into, std::size_t size, std::uint64_t offset) override
    {
        return Fails(EIO) ? -1 : Syscalls::PRead(fd, into, size, offset);
    }
    ssize_t PWrite(int fd, const void* data, std::size_t size, std::uint64_t offset) override
    {
        return Fails(ENOSPC) ? -1 : Syscalls::PWrite(fd, data, size, offset);
    }
    int Fchmod(int fd, mode_t mode) override { return Fails(EIO) ? -1 : Syscalls::Fchmod(fd, mode); }
    int Futimens(int fd, const timespec times[2]) override
    {
        return Fails(EIO) ? -1 : Syscalls::Futimens(fd, times);
    }
    int Fsync(int fd) override { return Fails(EIO) ? -1 : Syscalls::Fsync(fd); }
    int SyncFolder(int dir) override { return Fails(EIO) ? -1 : Syscalls::SyncFolder(dir); }
    int Close(int fd) override
    {
        const int result = Syscalls::Close(fd);
        return Fails(EIO) ? -1 : result;
    }
    int RenameAt(int dir, const char* from, const char* to) override
    {
        return Fails(EIO) ? -1 : Syscalls::RenameAt(dir, from, to);
    }
    int RenameNoReplace(int dir, const char* from, const char* to) override
    {
        return Fails(EIO) ? -1 : Syscalls::RenameNoReplace(dir, from, to);
    }
    int UnlinkAt(int dir, const char* name) override { return Fails(EIO) ? -1 : Syscalls::UnlinkAt(dir, name); }

private:
    static bool Refused(int code)
    {
        errno = code;
        return true;
    }
    bool Fails(int code)
    {
        ++calls_;
        if (calls_ < first_ || first_ == 0 || calls_ - first_ >= count_)
            return false;
        errno = code;
        return true;
    }

    unsigned first_ = 0;
    unsigned count_ = 0;
    unsigned calls_ = 0;
};

// Runs `attempt` once cleanly to count its calls, then with each of them failing once and from then on,
// `check` after each faulted attempt (with the rule in the trace). `attempt` starts from the same state each
// time; with `noLinks`, on a file system without unnamed files and hard links. Returns the number of calls
// of the clean attempt.
inline unsigned SweepSyscalls(const std::function<void(storage::Syscalls& calls)>& attempt,
                              const std::function<void(bool kill)>& check, bool noLinks = false)
{
    FaultySyscalls clean;
    clean.noLinks = noLinks;
    attempt(clean);
    const unsigned calls = clean.calls();
    EXPECT_GT(calls, 0u);
    for (unsigned call = 1; call <= calls; ++call) {
        for (unsigned count : {1u, FaultySyscalls::kForever}) {
            SCOPED_TRACE("call " + std::to_string(call) + (count == 1 ? " fails once" : " on fail"));
            FaultySyscalls faulty(call, count);
            faulty.noLinks = noLinks;
            attempt(faulty);
            check(count != 1);
        }
    }
    return calls;
}
