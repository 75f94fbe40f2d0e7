// The real calls of storage::Syscalls, the kind of each recorded in order ("write", "pwrite", "pread", "fsync",
// "sync-folder", "rename", "unlink"), for tests of what reaches the disk before what.
#pragma once

#include <string>
#include <vector>

#include "storage/durable.h"

class RecordingSyscalls : public storage::Syscalls {
public:
    std::vector<std::string> kinds;

    ssize_t Write(int fd, const void* data, std::size_t size) override
    {
        kinds.push_back("write");
        return Syscalls::Write(fd, data, size);
    }
    ssize_t PWrite(int fd, const void* data, std::size_t size, std::uint64_t offset) override
    {
        kinds.push_back("pwrite");
        return Syscalls::PWrite(fd, data, size, offset);
    }
    ssize_t PRead(int fd, void* into, std::size_t size, std::uint64_t offset) override
    {
        kinds.push_back("pread");
        return Syscalls::PRead(fd, into, size, offset);
    }
    int Fsync(int fd) override
    {
        kinds.push_back("fsync");
        return Syscalls::Fsync(fd);
    }
    int SyncFolder(int dir) override
    {
        kinds.push_back("sync-folder");
        return Syscalls::SyncFolder(dir);
    }
    int RenameAt(int dir, const char* from, const char* to) override
    {
        kinds.push_back("rename");
        return Syscalls::RenameAt(dir, from, to);
    }
    int UnlinkAt(int dir, const char* name) override
    {
        kinds.push_back("unlink");
        return Syscalls::UnlinkAt(dir, name);
    }

    // The position of the first call of `kind` from `from` on, or of the last; kinds.size() when none.
    std::size_t First(const std::string& kind, std::size_t from = 0) const
    {
        for (std::size_t i = from; i < kinds.size(); ++i) {
            if (kinds[i] == kind)
                return i;
        }
        return kinds.size();
    }
    std::size_t Last(const std::string& kind) const
    {
        for (std::size_t i = kinds.size(); i > 0; --i) {
            if (kinds[i - 1] == kind)
                return i - 1;
        }
        return kinds.size();
    }
};
