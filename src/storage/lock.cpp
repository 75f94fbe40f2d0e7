#include "storage/lock.h"

#include <cstdio>
#include <cstring>

#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace storage {

namespace {

// QEMU's lock bytes on an image file: 100 + n says "I use permission n", 200 + n "nobody else may use
// permission n". Permission 0 is a consistent read, 1 a write.
constexpr off_t kQemuUses = 100;
constexpr off_t kQemuUnshares = 200;
constexpr off_t kQemuLockBytes = 200;

// The process holding a whole-file lock on the file `fd` names, from /proc/locks; 0 when not found there.
pid_t FlockHolder(int fd)
{
    struct stat status { };
    if (fstat(fd, &status) != 0)
        return 0;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(status.st_dev), minor(status.st_dev),
                  static_cast<unsigned long long>(status.st_ino));
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (locks == nullptr)
        return 0;
    pid_t holder = 0;
    char line[256];
    while (holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
        char kind[16];
        char device[64];
        long pid = 0;
        // "1: FLOCK  ADVISORY  WRITE 4242 fe:00:1234 0 EOF"; a waiting lock's line has "->" and no match.
        if (std::sscanf(line, "%*d: %15s %*s %*s %ld %63s", kind, &pid, device) == 3 &&
            std::strcmp(kind, "FLOCK") == 0 && std::strcmp(device, wanted) == 0 && pid > 0)
            holder = static_cast<pid_t>(pid);
    }
    std::fclose(locks);
    return holder;
}

bool TakeRead(int fd, off_t byte)
{
    struct flock lock { };
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

}  // namespace

bool TryLock(int fd, LockKind kind, pid_t& holder)
{
    // A run killed a moment ago may still hold its lock while the system closes its files (a helper it was
    // starting holds them until that starts): a lock without a live holder is tried again for a second.
    for (int tries = 0; tries < 20; ++tries) {
        holder = 0;
        if (flock(fd, (kind == LockKind::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0)
            return true;
        holder = FlockHolder(fd);
        if (holder != 0 && kill(holder, 0) == 0)
            return false;
        usleep(50 * 1000);
    }
    holder = 0;
    return false;
}

bool LockForRun(int fd, LockKind kind, const std::string& shown, std::string& error)
{
    pid_t holder = 0;
    if (TryLock(fd, kind, holder))
        return true;
    error = shown + " is in use by another run of cmpci-uninstall" +
            (holder != 0 ? " (process " + std::to_string(holder) + ")" : std::string());
    return false;
}

bool QemuHolds(int fd)
{
    struct flock lock { };
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = kQemuUses;
    lock.l_len = kQemuLockBytes;
    return fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
}

bool QemuKeepsFromReading(int fd)
{
    // Any lock on "uses permission 1" (a writer) or "nobody else may use permission 0" (consistent reads).
    for (const off_t byte : {kQemuUses + 1, kQemuUnshares + 0}) {
        struct flock lock { };
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = byte;
        lock.l_len = 1;
        if (fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK)
            return true;
    }
    return false;
}

bool HoldAsQemuWriter(int fd)
{
    return TakeRead(fd, kQemuUses + 0) && TakeRead(fd, kQemuUses + 1) && TakeRead(fd, kQemuUnshares + 1);
}

}  // namespace storage
