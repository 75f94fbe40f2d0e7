// The fault sweep for durable writes: the real system calls of storage::Syscalls, counted from 1, of which
// `count` calls from call `first` on fail (1: "fail call N once"; kForever: "from call N on", which leaves the
// disk as a process killed at call N leaves it). A failing call does nothing and fails with the error the
// real call gives most often there: ENOSPC for a write, EIO for the others. A close that fails has still
// released its descriptor, as on Linux.
// A write or read may instead be cut short, as a full disk or a signal cuts it: at a page's end (Linux copies
// a page at once), about half way, and says so; the caller must do the rest or fail. One within a page is
// not cut.
#pragma once

#include <cerrno>
#include <climits>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <unistd.h>

#include "storage/durable.h"

class FaultySyscalls : public storage::Syscalls {
public:
    static constexpr unsigned kForever = UINT_MAX;

    // What the calls from `first` on do: fail; or, for writes and reads, come back short (Short), and with
    // ShortThenFail every call after the one cut short fails, as when a run is killed just after it.
    enum class Fault { Fail, Short, ShortThenFail };

    FaultySyscalls() = default;
    FaultySyscalls(unsigned first, unsigned count, Fault fault = Fault::Fail)
        : first_(first), count_(count), fault_(fault)
    {
    }

    // The calls made so far, and the numbers of those that wrote or read bytes (Write, PWrite, PRead).
    unsigned calls() const { return calls_; }
    // The file system has neither unnamed files nor hard links, as vfat and SMB have not: O_TMPFILE is
    // refused with EOPNOTSUPP and linkat with EPERM (each still a call that can fail first).
    bool noLinks = false;
    const std::vector<unsigned>& transfers() const { return transfers_; }
    // The writes and reads cut short so far.
    unsigned cuts() const { return cuts_; }

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
        return Fails(ENOSPC) ? -1 : Syscalls::Write(fd, data, Part(size, Position(fd)));
    }
    ssize_t PRead(int fd, void* into, std::size_t size, std::uint64_t offset) override
    {
        return Fails(EIO) ? -1 : Syscalls::PRead(fd, into, Part(size, offset), offset);
    }
    ssize_t PWrite(int fd, const void* data, std::size_t size, std::uint64_t offset) override
    {
        return Fails(ENOSPC) ? -1 : Syscalls::PWrite(fd, data, Part(size, offset), offset);
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
    bool Within() const { return first_ != 0 && calls_ >= first_ && calls_ - first_ < count_; }
    bool Fails(int code)
    {
        ++calls_;
        const bool fails = Within() && (fault_ == Fault::Fail || (fault_ == Fault::ShortThenFail && calls_ > first_));
        if (fails)
            errno = code;
        return fails;
    }
    // Where the next write() on `fd` lands.
    static std::uint64_t Position(int fd)
    {
        const off_t at = lseek(fd, 0, SEEK_CUR);
        return at < 0 ? 0 : static_cast<std::uint64_t>(at);
    }
    // The bytes the write or read now made does of `size` from byte `offset` of the file.
    std::size_t Part(std::size_t size, std::uint64_t offset)
    {
        constexpr std::uint64_t kPage = 4096;
        transfers_.push_back(calls_);
        const bool cut = fault_ != Fault::Fail && Within() && (fault_ == Fault::Short || calls_ == first_);
        const std::uint64_t end = (offset + size / 2) / kPage * kPage;
        if (!cut || end <= offset)
            return size;
        ++cuts_;
        return static_cast<std::size_t>(end - offset);
    }

    unsigned first_ = 0;
    unsigned count_ = 0;
    Fault fault_ = Fault::Fail;
    unsigned calls_ = 0;
    unsigned cuts_ = 0;
    std::vector<unsigned> transfers_;
};

// Runs `attempt` with each write or read of its clean run, in turn, cut short: once, from then on, and once
// with every later call failing; `check` after each, told whether the attempt must have done all it was
// asked (a short call is no failure) or, as a run killed at the cut, may have failed. Returns the number of
// calls cut short.
inline unsigned SweepShortCalls(const std::function<void(storage::Syscalls& calls)>& attempt,
                                const std::function<void(bool whole)>& check)
{
    using Fault = FaultySyscalls::Fault;
    FaultySyscalls clean;
    attempt(clean);
    EXPECT_FALSE(clean.transfers().empty()) << "nothing written or read";
    unsigned cuts = 0;
    for (unsigned call : clean.transfers()) {
        const struct {
            unsigned count;
            Fault fault;
            const char* says;
        } runs[] = {{1, Fault::Short, " is short once"},
                    {FaultySyscalls::kForever, Fault::Short, " and every later write or read are short"},
                    {FaultySyscalls::kForever, Fault::ShortThenFail, " is short, then every call fails"}};
        for (const auto& run : runs) {
            SCOPED_TRACE("call " + std::to_string(call) + run.says);
            FaultySyscalls faulty(call, run.count, run.fault);
            attempt(faulty);
            check(run.fault == Fault::Short);
            cuts += faulty.cuts();
        }
    }
    return cuts;
}

// Runs `attempt` once cleanly to count its calls, then with each of them failing once and from then on,
// then with each write and read cut short (SweepShortCalls); `check` after each faulted attempt (with the
// rule in the trace), told whether the calls failed from then on, as a killed run's. `attempt` starts from the
// same state each time; with `noLinks`, on a file system without unnamed files and hard links. Returns the
// number of calls of the clean attempt.
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
    SweepShortCalls(attempt, [&](bool whole) { check(!whole); });
    return calls;
}
