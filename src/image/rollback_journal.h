// The rollback journal of a disk image, kept beside it as IMAGE.cmpci-rollback while a run writes into the
// image in place, with the rules of SQLite's hot journal. It names the image it belongs to (its size, its
// format, the volume being changed and a digest of identifying bytes: the disk's first sector and the
// volume's boot sector) and holds, for every range the run is about to change, the old bytes and a digest of
// the new ones, sector by sector (a write cut short by a kill leaves some sectors of a range new and others
// old). It is written and flushed before the first of them changes, and removed once the image holds
// all the changes.
//
// A journal found later belongs to a run that was cut short. It is played back only when it belongs to this
// image and every range holds either its old bytes or its new ones; played back, it puts the image back as
// it was before that run. Otherwise the image changed since (the virtual machine ran, ScanDisk repaired the
// volume, another image's journal was put beside it): nothing is written and the journal is kept.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "image/disk.h"
#include "storage/durable.h"

namespace image {

// What a journal says of the image it belongs to.
struct JournalIdentity {
    std::uint64_t size = 0;
    std::string format;
    std::uint64_t volumeStart = 0;
    std::uint64_t volumeLength = 0;
    std::string digest;  // SHA-256 of the identifying bytes, hex
    bool operator==(const JournalIdentity&) const = default;
};

// One range of the image: its offset, its bytes before the run, and for each of its 512-byte sectors (the
// last one possibly shorter) the first kSectorDigest bytes of the SHA-256 of its bytes after.
struct JournalRange {
    std::uint64_t offset = 0;
    std::string old;
    std::string newDigests;
};

inline constexpr std::size_t kSectorDigest = 16;

// The sector digests of `bytes`, as a range's newDigests holds them.
std::string SectorDigests(std::string_view bytes);

struct RollbackJournal {
    JournalIdentity image;
    std::vector<JournalRange> ranges;
};

// The journal's place: beside the image file, its name and ".cmpci-rollback".
std::filesystem::path RollbackJournalOf(const std::filesystem::path& image);
// The journal's place for a block device, where nothing is written: the user's state folder
// (storage/state_folder.h), under the device's stable name: its /dev/disk/by-id name where it has one, else
// its size and a digest of its first sector (the MBR, or a bare volume's boot sector, which no run changes).
// False with a one-line `error` when there is no state folder or the first sector cannot be read.
bool DeviceJournalOf(const Disk& disk, std::filesystem::path& journal, std::string& error);

// The identity of `disk` with its volume at `volumeStart` (of `volumeLength` bytes), the bytes of `ranges`
// left out of the digest: they are the journal's business. False when the disk cannot be read.
bool IdentityOf(const Disk& disk, std::uint64_t volumeStart, std::uint64_t volumeLength,
                const std::vector<JournalRange>& ranges, JournalIdentity& identity);

// Writes the journal, exclusively, and flushes it and its folder. False with `error`.
bool WriteRollbackJournal(const std::filesystem::path& journal, const RollbackJournal& contents, std::string& error,
                          storage::Syscalls& calls = storage::Syscalls::Real());

enum class JournalFound {
    None,     // no journal
    Torn,     // a journal cut short while it was written: the image was not yet touched
    Whole,    // a whole journal
    Refused,  // not a journal this program can play back (a folder, a FIFO, another file): `error` says so
};

// Reads a journal: `contents` receives it when it is whole.
JournalFound ReadRollbackJournal(const std::filesystem::path& journal, RollbackJournal& contents, std::string& error);

// Removes the journal and flushes its folder: the run's changes then stand.
bool RemoveRollbackJournal(const std::filesystem::path& journal, std::string& error,
                           storage::Syscalls& calls = storage::Syscalls::Real());

// What reading a change back found.
struct ReadBackResult {
    bool done = false;     // the change was written, then read back
    bool matched = false;  // all of it as meant
    std::uint64_t sectors = 0;
    unsigned files = 0;          // files read again through the FAT reader
    unsigned registryFiles = 0;  // of them, registry files checked as such
    std::string mismatch;        // what did not match
};

// A check of the written disk beyond its sectors, on the disk opened afresh (Disk::ReadBack): false with a
// one-line `error`.
using CheckWritten = std::function<bool(Disk& fresh, ReadBackResult& result, std::string& error)>;

// Writes `changes` (of which `old` holds the bytes now) into the disk in place under the journal `journal`:
// the journal first, then the changes, flushed, then every changed sector read back through a fresh open and
// `check` made, then the journal goes. A failure of the writes puts the old bytes back when it can, else
// leaves the journal for the next start; a read-back that does not match leaves it too. `readBack` says what
// the read-back found. False with a one-line `error`.
bool ChangeUnderJournal(Disk& disk, const std::filesystem::path& journal, const std::vector<DiskChange>& changes,
                        const std::vector<DiskChange>& old, std::string& error, ReadBackResult* readBack = nullptr,
                        const CheckWritten& check = {});

// Plays back the journal of a run cut short, if there is one: `said` receives what was done. False with a
// one-line `error` when it cannot, or when the journal does not belong to the image or the image changed
// since; the journal is then kept and nothing is written.
bool PlayBackRollbackJournal(Disk& disk, const std::filesystem::path& journal, const std::string& shown,
                             std::vector<std::string>& said, std::string& error);

}  // namespace image
