#include "image/rollback_journal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/little_endian.h"
#include "host/interrupt.h"
#include "host/progress.h"
#include "storage/digest.h"
#include "storage/state_folder.h"

namespace image {

namespace fs = std::filesystem;

using host::Progress;
using host::StopRequested;

namespace {

// A journal: this line; its seal (the journal's whole length, 8 bytes, then the SHA-256 of every byte but
// the checksum's own 32); the image's size, volume start and length, format (its length, then its text) and
// digest (64 hex digits); the number of ranges; for each range its offset and length, the digests of its new
// sectors and its old bytes. Numbers are 8 bytes, little-endian. The seal is all zero until the rest is
// flushed.
constexpr char kMagic[] = "cmpci-uninstall rollback journal 3\n";
constexpr std::size_t kSealAt = sizeof kMagic - 1;
constexpr std::size_t kChecksum = 32;
constexpr std::size_t kHeader = kSealAt + 8 + kChecksum;
// The previous version's: the same first line but for its number, no seal, and after the ranges the FNV-1a
// hash of everything before it.
constexpr char kOldMagic[] = "cmpci-uninstall rollback journal 2\n";
static_assert(sizeof kOldMagic == sizeof kMagic);
constexpr std::size_t kDigest = 64;
// A journal holds the old bytes of what a run changes: registry files, folders, FATs.
constexpr std::uint64_t kMaxJournal = std::uint64_t {1} << 32;
// A record holds a path and two numbers.
constexpr std::uint64_t kMaxRecord = 64 * 1024;
constexpr char kRecordMagic[] = "cmpci-uninstall rollback record 1\n";

void PutU64(std::string& out, std::uint64_t value)
{
    const std::size_t at = out.size();
    out.resize(at + 8);
    byte_order::Put64(out, at, value);
}

std::uint64_t Fnv1a(const char* data, std::size_t size)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (std::size_t i = 0; i < size; ++i)
        hash = (hash ^ static_cast<unsigned char>(data[i])) * 0x100000001b3ULL;
    return hash;
}

// Reads a journal's fields in turn; any read past its end leaves it failed.
class Fields {
public:
    Fields(const std::string& bytes, std::size_t from, std::size_t end) : bytes_(bytes), at_(from), end_(end) { }
    std::uint64_t U64()
    {
        if (end_ - at_ < 8) {
            failed_ = true;
            return 0;
        }
        const std::uint64_t value = byte_order::Le64(bytes_, at_);
        at_ += 8;
        return value;
    }
    std::string Text(std::uint64_t length)
    {
        if (end_ - at_ < length) {
            failed_ = true;
            return {};
        }
        std::string text = bytes_.substr(at_, static_cast<std::size_t>(length));
        at_ += static_cast<std::size_t>(length);
        return text;
    }
    bool failed() const { return failed_; }
    bool whole() const { return !failed_ && at_ == end_; }

private:
    const std::string& bytes_;
    std::size_t at_;
    std::size_t end_;
    bool failed_ = false;
};

// The journal's fields between `from` and `end`; false unless they fill it exactly.
bool Parse(const std::string& bytes, std::size_t from, std::size_t end, RollbackJournal& contents)
{
    Fields fields(bytes, from, end);
    JournalIdentity& image = contents.image;
    image.size = fields.U64();
    image.volumeStart = fields.U64();
    image.volumeLength = fields.U64();
    image.format = fields.Text(std::min<std::uint64_t>(fields.U64(), 64));
    image.digest = fields.Text(kDigest);
    const std::uint64_t count = fields.U64();
    for (std::uint64_t i = 0; i < count && !fields.failed(); ++i) {
        JournalRange range;
        range.offset = fields.U64();
        const std::uint64_t length = fields.U64();
        range.newDigests = fields.Text((length + kSector - 1) / kSector * kSectorDigest);
        range.old = fields.Text(length);
        contents.ranges.push_back(std::move(range));
    }
    return fields.whole() && contents.ranges.size() == count;
}

JournalFound Damaged(const std::string& why, std::string& error)
{
    error = why;
    return JournalFound::Damaged;
}

// The checksum of a journal's bytes sealed with `length` (its 8 bytes): of all of them but the checksum's own.
std::string Checksum(std::string_view bytes, std::string_view length)
{
    storage::Sha256 sum;
    sum.Add(bytes.substr(0, kSealAt));
    sum.Add(length);
    sum.Add(bytes.substr(kHeader));
    return sum.Bytes();
}

std::uint64_t U64At(const std::string& bytes, std::size_t at)
{
    return Fields(bytes, at, at + 8).U64();
}

// A journal of the previous version, which a hash of the whole checks: one that fails it may have been cut
// short while written or damaged since, and is kept either way.
JournalFound ReadOld(const std::string& bytes, RollbackJournal& contents, std::string& error)
{
    std::string sum;
    if (bytes.size() >= sizeof kOldMagic - 1 + 8)
        PutU64(sum, Fnv1a(bytes.data(), bytes.size() - 8));
    if (sum.empty() || bytes.compare(bytes.size() - 8, 8, sum) != 0)
        return Damaged("it was written by an older version of this program and fails its check; that version "
                       "cannot tell a journal cut short while written from one damaged since",
                       error);
    if (!Parse(bytes, sizeof kOldMagic - 1, bytes.size() - 8, contents))
        return Damaged("it passes its check, yet is not laid out as a journal", error);
    return JournalFound::Whole;
}

// The journal's writes, through the disk's calls, a megabyte at a time: each shows how far the journal is,
// and an interrupt fails the next one, which leaves no journal behind (a new file half written is removed).
class JournalWrites final : public storage::ForwardingSyscalls {
public:
    JournalWrites(storage::Syscalls& calls, const fs::path& journal, std::uint64_t total)
        : ForwardingSyscalls(calls), progress_("writing " + journal.string(), total)
    {
    }
    ssize_t Write(int fd, const void* data, std::size_t size) override
    {
        std::string ignored;
        if (StopRequested(ignored)) {
            errno = ECANCELED;
            return -1;
        }
        const ssize_t done = ForwardingSyscalls::Write(fd, data, std::min<std::size_t>(size, kChunk));
        if (done > 0)
            progress_.Update(written_ += static_cast<std::uint64_t>(done));
        return done;
    }

private:
    static constexpr std::size_t kChunk = 1 << 20;
    Progress progress_;
    std::uint64_t written_ = 0;
};

// What a start says when it removes the journal of a run cut short before the image took any of its changes.
std::string RemovedUntouched(const fs::path& journal)
{
    return "removed " + journal.string() + ", left by a run cut short before it changed the image";
}

// The journal for `changes`, of which `old` holds the bytes now.
bool JournalFor(const Disk& disk, const std::vector<DiskChange>& changes, const std::vector<DiskChange>& old,
                RollbackJournal& contents)
{
    for (std::size_t i = 0; i < old.size(); ++i)
        contents.ranges.push_back({old[i].offset, old[i].bytes, SectorDigests(changes[i].bytes)});
    return IdentityOf(disk, disk.boundStart(), disk.boundLength(), contents.ranges, contents.image);
}

// Whether the image is the one the journal names: its size, format and first sectors.
bool NamesThisImage(const Disk& disk, const RollbackJournal& contents)
{
    JournalIdentity now;
    return IdentityOf(disk, contents.image.volumeStart, contents.image.volumeLength, contents.ranges, now) &&
           now == contents.image;
}

// What a journal that names another image says, for the message.
std::string OtherImage(const JournalIdentity& image)
{
    return "it names another image (" + image.format + ", " + std::to_string(image.size) +
           " bytes) or this one's first sectors changed";
}

// Where the image the journal names stands against it: empty when every sector of every range holds its old
// or its new bytes (`touched` then tells whether any holds new ones), else what does not fit, for the message.
std::string Misfit(const Disk& disk, const RollbackJournal& contents, bool& touched)
{
    touched = false;
    for (const JournalRange& range : contents.ranges) {
        std::string bytes(range.old.size(), '\0');
        if (range.offset < contents.image.volumeStart ||
            range.offset + bytes.size() > contents.image.volumeStart + contents.image.volumeLength ||
            !disk.Read(range.offset, bytes.data(), bytes.size()))
            return "bytes " + std::to_string(range.offset) + " on cannot be read";
        if (bytes == range.old)
            continue;
        const std::string digests = SectorDigests(bytes);
        for (std::size_t sector = 0; sector * kSector < bytes.size(); ++sector) {
            const std::size_t at = sector * kSector;
            if (bytes.compare(at, kSector, range.old, at, kSector) == 0)
                continue;
            if (digests.compare(sector * kSectorDigest, kSectorDigest, range.newDigests, sector * kSectorDigest,
                            kSectorDigest) != 0)
                return "the sector at byte " + std::to_string(range.offset + at) +
                       " is neither as that run found it nor as it wrote it";
            touched = true;
        }
    }
    return {};
}

}  // namespace

std::string SectorDigests(std::string_view bytes)
{
    std::string digests;
    for (std::size_t at = 0; at < bytes.size(); at += kSector) {
        storage::Sha256 sector;
        sector.Add(bytes.substr(at, kSector));
        digests += sector.Bytes().substr(0, kSectorDigest);
    }
    return digests;
}

fs::path RollbackJournalOf(const fs::path& image)
{
    fs::path journal = image;
    journal += ".cmpci-rollback";
    return journal;
}

namespace {

// The /dev/disk/by-id name that leads to `device`, the first in order where there are several; empty when
// none does.
std::string StableDeviceName(const fs::path& device)
{
    std::error_code status;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator("/dev/disk/by-id", status)) {
        std::error_code resolved;
        if (fs::canonical(entry.path(), resolved) == device && !resolved)
            names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names.empty() ? std::string() : names.front();
}

}  // namespace

bool DeviceJournalOf(const Disk& disk, fs::path& journal, std::string& error)
{
    fs::path state;
    if (!storage::StateFolderPath(state, error)) {
        error += ", and a device's rollback journal is kept there";
        return false;
    }
    std::string name = StableDeviceName(disk.files().front());
    if (name.empty()) {
        std::string first(kSector, '\0');
        if (!disk.Read(0, first.data(), first.size())) {
            error = "cannot read the first sector of " + disk.files().front().string();
            return false;
        }
        name = "disk-" + std::to_string(disk.size()) + "-" + storage::Sha256Of(first).substr(0, 32);
    }
    journal = state / ("device-" + name + ".cmpci-rollback");
    return true;
}

bool IdentityOf(const Disk& disk, std::uint64_t volumeStart, std::uint64_t volumeLength,
                const std::vector<JournalRange>& ranges, JournalIdentity& identity)
{
    identity = {disk.size(), disk.format(), volumeStart, volumeLength, {}};
    std::vector<std::uint64_t> sectors {0};
    if (volumeStart != 0)
        sectors.push_back(volumeStart);
    std::string bytes;
    for (std::uint64_t sector : sectors) {
        std::string read(kSector, '\0');
        if (sector + read.size() > disk.size() || !disk.Read(sector, read.data(), read.size()))
            return false;
        // A byte a range holds is the journal's business, not the image's identity.
        for (const JournalRange& range : ranges) {
            for (std::uint64_t at = std::max(range.offset, sector);
                 at < std::min(range.offset + range.old.size(), sector + read.size()); ++at)
                read[static_cast<std::size_t>(at - sector)] = '\0';
        }
        bytes += read;
    }
    identity.digest = storage::Sha256Of(bytes);
    return true;
}

bool WriteRollbackJournal(const fs::path& journal, const RollbackJournal& contents, std::string& error,
                          storage::Syscalls& calls)
{
    std::string bytes = kMagic;
    bytes.append(kHeader - kSealAt, '\0');
    PutU64(bytes, contents.image.size);
    PutU64(bytes, contents.image.volumeStart);
    PutU64(bytes, contents.image.volumeLength);
    PutU64(bytes, contents.image.format.size());
    bytes += contents.image.format;
    bytes += contents.image.digest;
    PutU64(bytes, contents.ranges.size());
    for (const JournalRange& range : contents.ranges) {
        PutU64(bytes, range.offset);
        PutU64(bytes, range.old.size());
        bytes += range.newDigests;
        bytes += range.old;
    }
    std::string seal;
    PutU64(seal, bytes.size());
    seal += Checksum(bytes, seal);
    JournalWrites writes(calls, journal, bytes.size());
    // The seal goes in only once the rest is on disk; WriteNewFileFrom then flushes it and the folder.
    const auto fill = [&](int fd, std::string&) {
        return storage::WriteAll(fd, bytes, writes) && writes.Fsync(fd) == 0 &&
               storage::WriteAllAt(fd, seal, kSealAt, writes);
    };
    if (!storage::WriteNewFileFrom(journal, fill, error, writes)) {
        if (!StopRequested(error))
            error = "cannot write the rollback journal " + journal.string() + ": " + error;
        return false;
    }
    return true;
}

JournalFound ReadRollbackJournal(const fs::path& journal, RollbackJournal& contents, std::string& error)
{
    contents = {};
    std::string bytes;
    switch (storage::ReadRegularFile(AT_FDCWD, journal.c_str(), kMaxJournal, bytes)) {
    case storage::ReadResult::Missing:
        return JournalFound::None;
    case storage::ReadResult::Done:
        break;
    case storage::ReadResult::Link:
    case storage::ReadResult::NotRegular:
        error = journal.string() + " is not a regular file (a folder, a link or a device), so not a rollback "
                                   "journal of this program: move it away and run again";
        return JournalFound::Refused;
    case storage::ReadResult::TooLarge:
    case storage::ReadResult::Failed:
        error = "cannot read the rollback journal " + journal.string() + ": " +
                std::strerror(errno != 0 ? errno : EFBIG);
        return JournalFound::Refused;
    }
    // Cut short within its first line, it is still ours.
    if (bytes.size() < kSealAt && (std::string_view(kMagic).substr(0, bytes.size()) == bytes ||
                                   std::string_view(kOldMagic).substr(0, bytes.size()) == bytes))
        return JournalFound::Torn;
    if (bytes.compare(0, kSealAt, kOldMagic) == 0)
        return ReadOld(bytes, contents, error);
    // Not ours from its first line: nothing says it is not a journal of ours damaged, so it is kept.
    if (bytes.compare(0, kSealAt, kMagic) != 0)
        return Damaged("it does not begin as a rollback journal of this program", error);
    const std::string_view seal = std::string_view(bytes).substr(kSealAt, kHeader - kSealAt);
    if (seal.find_first_not_of('\0') == std::string_view::npos)
        return JournalFound::Torn;
    if (bytes.size() < kHeader)
        return Damaged("it is cut short within its seal: it holds " + std::to_string(bytes.size()) + " bytes", error);
    const std::uint64_t length = U64At(bytes, kSealAt);
    if (length != bytes.size())
        return Damaged("it holds " + std::to_string(bytes.size()) + " bytes, and was sealed with " +
                           std::to_string(length) + (length > bytes.size() ? ": a copy cut short" : ""),
                       error);
    if (bytes.compare(kSealAt + 8, kChecksum, Checksum(bytes, std::string_view(bytes).substr(kSealAt, 8))) != 0)
        return Damaged("its bytes fail the checksum it was sealed with", error);
    // Whole, yet not laid out as this version lays a journal out: never guessed at, never removed.
    if (!Parse(bytes, kHeader, bytes.size(), contents))
        return Damaged("it passes its checksum, yet is not laid out as a journal", error);
    return JournalFound::Whole;
}

bool RemoveRollbackJournal(const fs::path& journal, std::string& error, storage::Syscalls& calls)
{
    return storage::RemoveDurably(journal, "the rollback journal", error, calls);
}

std::string FileIdentity(int fd)
{
    struct stat status { };
    if (fstat(fd, &status) != 0)
        return {};
    return std::to_string(status.st_dev) + "-" + std::to_string(status.st_ino);
}

bool JournalRecordPath(const std::string& identity, fs::path& record, std::string& error)
{
    fs::path folder;
    if (!storage::StateFolderPath(folder, error))
        return false;
    record = folder / ("rollback-" + identity);
    return true;
}

bool WriteJournalRecord(const fs::path& record, const std::string& identity, const fs::path& journal,
                        std::string& error, storage::Syscalls& calls)
{
    std::error_code failed;
    const fs::path absolute = fs::absolute(journal, failed);
    if (failed) {
        error = "cannot record the rollback journal " + journal.string() + ": " + failed.message();
        return false;
    }
    const std::string bytes = kRecordMagic + ("disk " + identity + "\njournal " + absolute.string());
    fs::path folder;
    storage::Folder opened;
    if (!storage::MakeStateFolder(folder, error) || !storage::Folder::Open(record.parent_path(), opened, error)) {
        error = "cannot record the rollback journal in the state folder: " + error;
        return false;
    }
    // What a run killed while it replaced this record left beside it.
    storage::RemoveStagedBeside(opened.fd(), record.filename().string(), calls);
    if (!storage::WriteFile(record, bytes, error, calls)) {
        error = "cannot record the rollback journal in the state folder: " + error;
        return false;
    }
    return true;
}

RecordFound FindJournalByRecord(const fs::path& record, const std::string& identity, fs::path& journal)
{
    std::string bytes;
    switch (storage::ReadRegularFile(AT_FDCWD, record.c_str(), kMaxRecord, bytes)) {
    case storage::ReadResult::Missing: return RecordFound::None;
    case storage::ReadResult::Done: break;
    default: return RecordFound::Stale;
    }
    const std::string head = std::string(kRecordMagic) + "disk " + identity + "\njournal /";
    if (bytes.compare(0, head.size(), head) != 0 || bytes.find('\0') != std::string::npos)
        return RecordFound::Stale;
    journal = bytes.substr(head.size() - 1);
    struct stat status { };
    return lstat(journal.c_str(), &status) == 0 ? RecordFound::Journal : RecordFound::Stale;
}

bool RemoveJournalRecord(const fs::path& record, std::string& error, storage::Syscalls& calls)
{
    return storage::RemoveDurably(record, "the record of a rollback journal", error, calls);
}

namespace {

// Whether the journal's name is still there.
bool Present(const fs::path& journal)
{
    struct stat status { };
    return lstat(journal.c_str(), &status) == 0 || errno != ENOENT;
}

// Removes the journal, then its record. False while the journal is still there, with `error` saying why; a
// record that could not be removed names a journal that is gone, which the next start removes.
bool RemoveJournalAndRecord(Disk& disk, const fs::path& journal, const fs::path& record, std::string& error)
{
    if (!RemoveRollbackJournal(journal, error, disk.calls()) && Present(journal))
        return false;
    std::string ignored;
    RemoveJournalRecord(record, ignored, disk.calls());
    return true;
}

// Whether the journal just written reads back whole from its medium, its cached pages dropped first where
// the system lets it. False with `error` saying what is wrong with it.
bool ReadsBackWhole(const fs::path& journal, std::string& error)
{
    storage::DropCachedPages(AT_FDCWD, journal.c_str());
    RollbackJournal back;
    std::string why;
    if (ReadRollbackJournal(journal, back, why) == JournalFound::Whole)
        return true;
    error = "the rollback journal " + journal.string() + ", read back, is not what was written" +
            (why.empty() ? std::string() : ": " + why);
    return false;
}

// Writes the journal and its record before the first new byte goes into the disk, so that the old bytes are
// on disk, and found whatever name the image is reached by. False with `error` naming the cause; then no
// journal is left.
bool JournalBeforeChange(Disk& disk, const fs::path& journal, const std::vector<DiskChange>& changes,
                         const std::vector<DiskChange>& old, fs::path& record, std::string& error)
{
    RollbackJournal contents;
    if (!JournalFor(disk, changes, old, contents)) {
        error = "cannot read the image's first sectors";
        return false;
    }
    // A device's journal goes into the state folder, made on its first use.
    fs::path state;
    if (disk.device() && !storage::MakeStateFolder(state, error))
        return false;
    const std::string identity = FileIdentity(disk.fd());
    if (identity.empty() || !JournalRecordPath(identity, record, error)) {
        error = "cannot record the rollback journal: " +
                (identity.empty() ? std::string(std::strerror(errno)) : error);
        return false;
    }
    if (!WriteRollbackJournal(journal, contents, error, disk.calls()))
        return false;
    // Read back before the image is touched: a journal the medium did not keep whole could not put it back.
    if (!ReadsBackWhole(journal, error) || !WriteJournalRecord(record, identity, journal, error, disk.calls())) {
        std::string ignored;
        RemoveRollbackJournal(journal, ignored, disk.calls());
        return false;
    }
    return true;
}

}  // namespace

ChangeState ChangeUnderJournal(Disk& disk, const fs::path& journal, const std::vector<DiskChange>& changes,
                               const std::vector<DiskChange>& old, std::string& error, ReadBackResult* readBack,
                               const CheckWritten& check)
{
    fs::path record;
    if (!JournalBeforeChange(disk, journal, changes, old, record, error))
        return ChangeState::Untouched;
    if (!disk.Write(changes, error)) {
        // The old bytes go back at once when they can; else the journal puts them back at the next start.
        std::string undo;
        if (!disk.Write(old, undo))
            return ChangeState::JournalLeft;
        return RemoveJournalAndRecord(disk, journal, record, undo) ? ChangeState::Untouched
                                                                    : ChangeState::JournalWritten;
    }
    // Written and flushed; the journal stays until the image is seen to hold it all.
    ReadBackResult result;
    for (const DiskChange& change : changes)
        result.sectors += (change.bytes.size() + kSector - 1) / kSector;
    Disk fresh(disk.calls());
    result.done = true;
    result.matched = disk.ReadBack(changes, fresh, error) && (!check || check(fresh, result, error));
    if (!result.matched)
        result.mismatch = error;
    if (readBack != nullptr)
        *readBack = result;
    if (!result.matched)
        return ChangeState::JournalLeft;
    // A journal removed whose folder could not be flushed leaves the change standing: should a power cut
    // bring the journal back, the next start plays it back and the image is as it was before the run, whole
    // either way.
    return RemoveJournalAndRecord(disk, journal, record, error) ? ChangeState::Done : ChangeState::JournalLeft;
}

namespace {

std::string DamagedJournal(const fs::path& journal, const std::string& shown, const std::string& why)
{
    return "the rollback journal " + journal.string() + " of a run on " + shown + " cut short is damaged (" + why +
           "): it was not played back and is kept. The image may be part way through "
           "that run's change: keep the journal and a copy of the image as they are, and do not start the "
           "virtual machine on it";
}

enum class Played { Done, NotItsImage, Failed };

// Plays back one journal found by name or by record; a journal found by record that names another image
// (its file's inode taken by another since) is NotItsImage and left alone.
Played PlayBack(Disk& disk, const fs::path& journal, bool byRecord, const std::string& shown,
                std::vector<std::string>& said, std::string& error)
{
    RollbackJournal contents;
    switch (ReadRollbackJournal(journal, contents, error)) {
    case JournalFound::None:
        return Played::Done;
    case JournalFound::Refused:
        return Played::Failed;
    case JournalFound::Damaged:
        error = DamagedJournal(journal, shown, error);
        return Played::Failed;
    case JournalFound::Torn:
        // Written only part way: the run that wrote it had not yet touched the image.
        if (!RemoveRollbackJournal(journal, error, disk.calls()))
            return Played::Failed;
        said.push_back(RemovedUntouched(journal));
        return Played::Done;
    case JournalFound::Whole:
        break;
    }
    const bool itsImage = NamesThisImage(disk, contents);
    if (byRecord && !itsImage)
        return Played::NotItsImage;
    bool touched = false;
    const std::string misfit = itsImage ? Misfit(disk, contents, touched) : OtherImage(contents.image);
    if (!misfit.empty()) {
        error = shown + " changed since the run cut short that left " + journal.string() + " (" + misfit +
                "): the journal was not played back and is kept. If the image was used since (its virtual "
                "machine started, ScanDisk ran), its changes stand: remove the journal and run again";
        return Played::Failed;
    }
    std::vector<DiskChange> back;
    for (const JournalRange& range : contents.ranges)
        back.push_back({range.offset, range.old});
    disk.Bound(contents.image.volumeStart, contents.image.volumeLength);
    if ((touched && !disk.Write(back, error)) || !RemoveRollbackJournal(journal, error, disk.calls())) {
        error = "cannot play back the rollback journal " + journal.string() + ": " + error;
        return Played::Failed;
    }
    said.push_back(touched ? "played back the rollback journal " + journal.string() + " of a run cut short: " + shown +
                                 " is as it was before that run"
                           : RemovedUntouched(journal));
    return Played::Done;
}

}  // namespace

bool PlayBackRollbackJournal(Disk& disk, const fs::path& journal, const std::string& shown,
                             std::vector<std::string>& said, std::string& error)
{
    if (PlayBack(disk, journal, false, shown, said, error) == Played::Failed)
        return false;
    // The image may have been reached by another name (a hard link, a move) when its run was cut short.
    const std::string identity = FileIdentity(disk.fd());
    fs::path record;
    fs::path named;
    std::string ignored;
    if (identity.empty() || !JournalRecordPath(identity, record, ignored))
        return true;
    switch (FindJournalByRecord(record, identity, named)) {
    case RecordFound::None:
        return true;
    case RecordFound::Journal:
        switch (PlayBack(disk, named, true, shown, said, error)) {
        case Played::Failed: return false;
        case Played::Done:
        case Played::NotItsImage: break;
        }
        break;
    case RecordFound::Stale:
        break;
    }
    RemoveJournalRecord(record, ignored, disk.calls());
    return true;
}

}  // namespace image
