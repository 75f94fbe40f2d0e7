// Locks that keep two runs (or a run and a running virtual machine) off the same machine: an advisory lock
// on the machine folder or the disk image for the whole run, and QEMU's own byte-range locks on an image.
#pragma once

#include <sys/types.h>

#include <string>

namespace storage {

enum class LockKind {
    Shared,     // a run that only reads: others may read too
    Exclusive,  // a run that writes: nobody else
};

// Takes the lock on the open file or folder `fd`, without waiting for a live holder; it lasts while the
// descriptor is open. False when another run holds it: `holder` is then that process's id, or 0 when it
// cannot be known.
bool TryLock(int fd, LockKind kind, pid_t& holder);
// The same for a run on the machine folder or image `shown`: false with a one-line `error` naming the run
// that holds it.
bool LockForRun(int fd, LockKind kind, const std::string& shown, std::string& error);

// Whether some QEMU program (a running virtual machine, qemu-img, qemu-io) has the image open on `fd`: QEMU
// announces that by byte-range locks on the image file, which this tests without taking any.
bool QemuHolds(int fd);

// Whether a QEMU program that has the image open on `fd` keeps a reader from reading it consistently: it
// writes the image, or allows nobody else to read it. A QEMU program that only reads it (qemu-io -r, qemu-img
// info) does neither.
bool QemuKeepsFromReading(int fd);

// Takes the locks QEMU takes when it writes an image and keeps others from writing it, so that a virtual
// machine does not start on a raw image while a run writes it. Never for an image that qemu-io is going to
// write, which would then refuse it.
bool HoldAsQemuWriter(int fd);

}  // namespace storage
