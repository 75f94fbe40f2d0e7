// The rollback journal of a disk image, kept beside it as IMAGE.cmpci-rollback while a run writes into the
// image in place, with the rules of SQLite's hot journal. It names the image it belongs to (its size, its
// format, the volume being changed and a digest of identifying bytes: the disk's first sector and the
// volume's boot sector) and holds, for every range the run is about to change, the old bytes and a digest of
// the new ones, sector by sector (a write cut short by a kill leaves some sectors of a range new and others
// old). It is written and flushed before the first of them changes, and removed once the image holds
// all the changes.
//
// It is written in two steps: its bytes with an empty seal, flushed; then the seal (its whole length and a
// checksum of the whole), flushed with its folder, before the image's first write. A journal without its
// seal was cut short while it was written: the image was not yet touched, and it goes. A sealed journal that
// is shorter or longer than its seal says, or fails its checksum, is damaged: the image may be part way
// through the run's change, so it is never removed and nothing is written until the user acts.
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
    Damaged,  // sealed, or not this program's, yet not whole as sealed: `error` says what is wrong with it
    Refused,  // not a regular file, or unreadable: `error` says so
};

// Reads a journal: `contents` receives it when it is whole. The journals of the previous version, checked
// by a hash of the whole and without a seal, are read too; one whose hash fails is Damaged, as nothing
// tells whether it was cut short while written or damaged after.
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

// How far a change made under the journal got, in the order it goes. The caller words the outcome from it;
// the error of a failed change names only its cause.
enum class ChangeState {
    Untouched,       // nothing of the change is on the disk, and no journal is left
    JournalWritten,  // the journal is on disk and the disk as it was (its old bytes put back, the journal not
                     // removed): the next start plays it back, which changes nothing
    Changing,        // the disk is being written: never where a change ends
    JournalLeft,     // the disk may hold some or all of the change; the journal stays for the next start
    Done,            // the disk holds the whole change, read back; the journal and its record are gone
};

// Writes `changes` (of which `old` holds the bytes now) into the disk in place under the journal `journal`:
// the journal first, then its record, then the changes, flushed, then every changed sector read back through a
// fresh open and `check` made, then the journal and its record go. A failure of the writes puts the old bytes
// back when it can, else leaves the journal for the next start; a read-back that does not match leaves it too.
// `readBack` says what the read-back found. Returns where the change ended: Done, or another state with a
// one-line `error` naming the cause.
ChangeState ChangeUnderJournal(Disk& disk, const std::filesystem::path& journal, const std::vector<DiskChange>& changes,
                               const std::vector<DiskChange>& old, std::string& error,
                               ReadBackResult* readBack = nullptr, const CheckWritten& check = {});

// The record of a journal in the user's state folder, named by `identity` (for an image file, its device and
// inode, as FileIdentity gives them): a journal is then found whatever name its disk is reached by. It
// holds the journal's absolute path and the identity. False with `error` when there is no state folder.
bool JournalRecordPath(const std::string& identity, std::filesystem::path& record, std::string& error);

// The identity of the file open on `fd`: "DEVICE-INODE". Empty when it cannot be read.
std::string FileIdentity(int fd);

// Writes the record of `journal` (the state folder made where missing), replacing one there. False with
// `error`.
bool WriteJournalRecord(const std::filesystem::path& record, const std::string& identity,
                        const std::filesystem::path& journal, std::string& error,
                        storage::Syscalls& calls = storage::Syscalls::Real());

enum class RecordFound {
    None,     // no record
    Journal,  // a record of `identity` naming a file that is there: `journal` receives its path
    Stale,    // a record whose journal is gone, or that is not one of `identity`
};

RecordFound FindJournalByRecord(const std::filesystem::path& record, const std::string& identity,
                                std::filesystem::path& journal);

// Removes the record, if there is one, and flushes its folder. False with `error`.
bool RemoveJournalRecord(const std::filesystem::path& record, std::string& error,
                         storage::Syscalls& calls = storage::Syscalls::Real());

// Plays back the journal of a run cut short, if there is one: the one named `journal`, then the one the
// record of the disk's file names (the image reached by another name since). `said` receives what was done.
// False with a one-line `error` when it cannot, when a journal is damaged, or when the journal does not
// belong to the image or the image changed since; the journal is then kept and nothing is written. A record
// whose journal is gone, or names another image, is removed without a word.
bool PlayBackRollbackJournal(Disk& disk, const std::filesystem::path& journal, const std::string& shown,
                             std::vector<std::string>& said, std::string& error);

}  // namespace image
