// The rollback journal of an image changed in place, on a raw disk file made here: written whole and sealed,
// seen torn while unsealed and damaged once sealed, refused when it is no regular file, found by the image's
// identity under another name, played back only onto the image it names and only where every sector holds
// what the cut-short run found or what it wrote; and a fault sweep over every system call of a change and of
// a playback, each ending, after the next start, with the image old or new byte for byte.
#include "image/rollback_journal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <string>

#include <sys/stat.h>

#include "storage/digest.h"

#include "support/faulty_syscalls.h"
#include "support/read_file.h"
#include "support/recording_syscalls.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kVolume = 4096;       // the volume's first byte
constexpr std::uint64_t kVolumeBytes = 96 * 1024;

// The journal's layout: its first line, then the seal (the length, 8 bytes little-endian, and a SHA-256 of
// all bytes but its own), then the body.
constexpr char kFirstLine[] = "cmpci-uninstall rollback journal 3\n";
constexpr std::size_t kSealAt = sizeof kFirstLine - 1;
constexpr std::size_t kBody = kSealAt + 8 + 32;

std::uint64_t LittleEndianAt(const std::string& bytes, std::size_t at)
{
    std::uint64_t value = 0;
    for (std::size_t i = 8; i > 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + i - 1]);
    return value;
}

class RollbackJournalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder_.ok());
        // The journals' records go into a state folder of the test's own.
        setenv("XDG_STATE_HOME", (folder_.path() / "state").c_str(), 1);
        image_ = folder_.path() / "disk.img";
        journal_ = image::RollbackJournalOf(image_);
        std::mt19937 random(22);
        old_.resize(kVolume + kVolumeBytes + 4096);
        for (char& byte : old_)
            byte = static_cast<char>(random() & 0x7F);
        old_.replace(0, 8, std::string(8, '\0'));
        // The change: a sector of the FAT, two sectors of a folder, and a file's clusters across 3 sectors.
        Use({{kVolume + 512, std::string(512, 'F')},
             {kVolume + 8192, std::string(1024, 'D')},
             {kVolume + 40960, std::string(1536, 'C')}});
    }
    // Makes `changes` the change, with the image as it was before it.
    void Use(std::vector<image::DiskChange> changes)
    {
        changes_ = std::move(changes);
        oldRanges_.clear();
        new_ = old_;
        for (const image::DiskChange& change : changes_) {
            oldRanges_.push_back({change.offset, old_.substr(change.offset, change.bytes.size())});
            new_.replace(change.offset, change.bytes.size(), change.bytes);
        }
        Put(old_);
    }
    void Put(const std::string& bytes) const { std::ofstream(image_, std::ios::binary | std::ios::trunc) << bytes; }
    std::string Now() const { return test_support::ReadFile(image_); }
    std::string JournalBytes() const { return test_support::ReadFile(journal_); }
    void PutJournal(const std::string& bytes) const
    {
        std::ofstream(journal_, std::ios::binary | std::ios::trunc) << bytes;
    }
    // The record of the image's journal in the state folder.
    fs::path Record() const
    {
        struct stat status { };
        EXPECT_EQ(stat(image_.c_str(), &status), 0);
        return folder_.path() / "state" / "cmpci-uninstall" /
               ("rollback-" + std::to_string(status.st_dev) + "-" + std::to_string(status.st_ino));
    }

    // The change made in place under the journal, through `calls`: where it ended.
    image::ChangeState Change(storage::Syscalls& calls, std::string& error) const
    {
        image::Disk disk(calls);
        if (!disk.Open(image_, "disk.img", error))
            return image::ChangeState::Untouched;
        disk.Bound(kVolume, kVolumeBytes);
        return image::ChangeUnderJournal(disk, journal_, changes_, oldRanges_, error);
    }
    // The next start: the journal played back, if there is one, through `calls`.
    bool Start(storage::Syscalls& calls, std::vector<std::string>& said, std::string& error) const
    {
        image::Disk disk(calls);
        return disk.Open(image_, "disk.img", error) &&
               image::PlayBackRollbackJournal(disk, journal_, "disk.img", said, error);
    }
    // A run killed at its call `call`: as a run whose every call from then on fails.
    void Killed(unsigned call) const
    {
        FaultySyscalls kill(call, FaultySyscalls::kForever);
        std::string error;
        Change(kill, error);
    }
    // A run killed at the first of its calls that leaves the image part way through its change, its journal
    // beside it.
    void KillPartWay() const
    {
        for (unsigned call = 1;; ++call) {
            ASSERT_LT(call, 100u) << "no kill left the image part way";
            Put(old_);
            fs::remove(journal_);
            Killed(call);
            if (fs::exists(journal_) && Now() != old_)
                return;
        }
    }

    test_support::TempFolder folder_ {"journal-test"};
    fs::path image_;
    fs::path journal_;
    std::string old_;
    std::string new_;
    std::vector<image::DiskChange> changes_;
    std::vector<image::DiskChange> oldRanges_;
};

TEST_F(RollbackJournalTest, AWholeJournalKeepsItsImageAndEveryRangeExactly)
{
    EXPECT_EQ(journal_.filename(), "disk.img.cmpci-rollback");
    image::RollbackJournal read;
    std::string error;
    EXPECT_EQ(image::ReadRollbackJournal(journal_, read, error), image::JournalFound::None);
    EXPECT_EQ(error, "");
    const image::RollbackJournal written {
        {1 << 20, "qcow2", 1024, 2048, std::string(64, 'a')},
        {{512, std::string(512, '\x11'), std::string(16, 'n')},
         {0x1'0000'0200ULL, std::string("\0\x01\xFF", 3), std::string(16, 'm')},
         {7, std::string(), std::string()}}};
    ASSERT_TRUE(image::WriteRollbackJournal(journal_, written, error)) << error;
    ASSERT_EQ(image::ReadRollbackJournal(journal_, read, error), image::JournalFound::Whole) << error;
    EXPECT_EQ(read.image, written.image);
    ASSERT_EQ(read.ranges.size(), written.ranges.size());
    for (std::size_t i = 0; i < written.ranges.size(); ++i) {
        EXPECT_EQ(read.ranges[i].offset, written.ranges[i].offset) << i;
        EXPECT_EQ(read.ranges[i].old, written.ranges[i].old) << i;
        EXPECT_EQ(read.ranges[i].newDigests, written.ranges[i].newDigests) << i;
    }
    // Written exclusively: a journal already there is never overwritten.
    EXPECT_FALSE(image::WriteRollbackJournal(journal_, {}, error));
    ASSERT_TRUE(image::RemoveRollbackJournal(journal_, error)) << error;
    EXPECT_FALSE(fs::exists(journal_));
}

// A journal cut short at any byte or with any byte changed: torn while its seal is all zero (cut short while
// written, before the image was touched), damaged once sealed (it was whole when the image writes began).
TEST_F(RollbackJournalTest, AJournalIsTornUntilSealedAndDamagedAfter)
{
    std::string error;
    ASSERT_TRUE(image::WriteRollbackJournal(
        journal_, {{1 << 20, "raw", 0, 1 << 20, std::string(64, 'd')}, {{1024, "old bytes", std::string(16, 'n')}}},
        error));
    const std::string sealed = JournalBytes();
    ASSERT_EQ(sealed.compare(0, kSealAt, kFirstLine), 0);
    ASSERT_EQ(LittleEndianAt(sealed, kSealAt), sealed.size());
    ASSERT_NE(sealed.size() % 256, 0u) << "the length's first byte must not be zero for the cuts below";
    storage::Sha256 checksum;
    checksum.Add(sealed.substr(0, kSealAt + 8) + sealed.substr(kBody));
    ASSERT_EQ(sealed.substr(kSealAt + 8, 32), checksum.Bytes());
    std::string unsealed = sealed;
    unsealed.replace(kSealAt, kBody - kSealAt, kBody - kSealAt, '\0');
    const auto found = [&](const std::string& bytes) {
        PutJournal(bytes);
        image::RollbackJournal read;
        return image::ReadRollbackJournal(journal_, read, error);
    };
    using image::JournalFound;
    for (std::size_t cut = 0; cut <= sealed.size(); ++cut) {
        // Sealed, cut within the seal's first byte or before, it shows no seal.
        const JournalFound expected =
            cut == sealed.size() ? JournalFound::Whole : cut <= kSealAt ? JournalFound::Torn : JournalFound::Damaged;
        EXPECT_EQ(found(sealed.substr(0, cut)), expected) << "sealed, cut at " << cut;
        EXPECT_EQ(found(unsealed.substr(0, cut)), JournalFound::Torn) << "unsealed, cut at " << cut;
    }
    EXPECT_EQ(found(sealed + '\0'), JournalFound::Damaged) << "longer than sealed";
    const struct {
        const char* region;
        std::size_t from, to;
        JournalFound sealed, unsealed;
    } regions[] = {
        {"first line", 0, kSealAt, JournalFound::Damaged, JournalFound::Damaged},
        {"seal's length", kSealAt, kSealAt + 8, JournalFound::Damaged, JournalFound::Damaged},
        {"seal's checksum", kSealAt + 8, kBody, JournalFound::Damaged, JournalFound::Damaged},
        {"image's identity", kBody, kBody + 32 + 3 + 64, JournalFound::Damaged, JournalFound::Torn},
        {"ranges", kBody + 32 + 3 + 64, sealed.size(), JournalFound::Damaged, JournalFound::Torn},
    };
    for (const auto& each : regions) {
        for (std::size_t at = each.from; at < each.to; ++at) {
            for (const bool isSealed : {true, false}) {
                std::string changed = isSealed ? sealed : unsealed;
                changed[at] = static_cast<char>(changed[at] ^ 0x08);
                EXPECT_EQ(found(changed), isSealed ? each.sealed : each.unsealed)
                    << each.region << ", bit flipped at " << at << (isSealed ? ", sealed" : ", unsealed");
            }
        }
    }
    EXPECT_TRUE(fs::exists(journal_));
}

// A journal of the previous version (its first line numbered 2, no seal, the FNV-1a hash of all before it
// last) is still read; one that fails its hash is damaged, as nothing tells torn from damaged there.
TEST_F(RollbackJournalTest, APreviousVersionsJournalIsReadAndNeverTakenForTorn)
{
    const auto u64 = [](std::uint64_t value) {
        std::string bytes;
        for (int i = 0; i < 8; ++i)
            bytes += static_cast<char>(value >> (8 * i) & 0xFF);
        return bytes;
    };
    std::string old = "cmpci-uninstall rollback journal 2\n" + u64(1 << 20) + u64(0) + u64(1 << 20) + u64(3) + "raw" +
                      std::string(64, 'd') + u64(1) + u64(1024) + u64(9) + std::string(16, 'n') + "old bytes";
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char byte : old)
        hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3ULL;
    old += u64(hash);
    std::string error;
    image::RollbackJournal read;
    PutJournal(old);
    ASSERT_EQ(image::ReadRollbackJournal(journal_, read, error), image::JournalFound::Whole) << error;
    ASSERT_EQ(read.ranges.size(), 1u);
    EXPECT_EQ(read.ranges[0].offset, 1024u);
    EXPECT_EQ(read.ranges[0].old, "old bytes");
    EXPECT_EQ(read.image.format, "raw");
    for (const std::string& damaged : {old.substr(0, old.size() - 1), old.substr(0, 60)}) {
        PutJournal(damaged);
        EXPECT_EQ(image::ReadRollbackJournal(journal_, read, error), image::JournalFound::Damaged) << damaged.size();
    }
}

// A run killed once the image took some of its changes, its journal then damaged (a bit flipped, its last
// byte cut): the next start refuses in one line naming it, keeps it and writes nothing; the whole journal
// put back is played back.
TEST_F(RollbackJournalTest, ADamagedJournalIsKeptAndNothingIsWritten)
{
    ASSERT_NO_FATAL_FAILURE(KillPartWay());
    const std::string killed = Now();
    const std::string whole = JournalBytes();
    std::string flipped = whole;
    flipped[whole.size() / 2] ^= 0x01;
    for (const std::string& damaged : {flipped, whole.substr(0, whole.size() - 1)}) {
        PutJournal(damaged);
        std::vector<std::string> said;
        std::string error;
        EXPECT_FALSE(Start(storage::Syscalls::Real(), said, error));
        EXPECT_EQ(error.rfind("the rollback journal " + journal_.string() + " of a run on disk.img cut short is "
                              "damaged (",
                              0),
                  0u)
            << error;
        EXPECT_NE(error.find("keep the journal and a copy of the image"), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
        EXPECT_TRUE(said.empty());
        EXPECT_EQ(JournalBytes(), damaged);
        EXPECT_EQ(Now(), killed);
        EXPECT_TRUE(fs::exists(Record()));
    }
    PutJournal(whole);
    std::vector<std::string> said;
    std::string error;
    EXPECT_TRUE(Start(storage::Syscalls::Real(), said, error)) << error;
    EXPECT_EQ(Now(), old_);
    EXPECT_FALSE(fs::exists(journal_));
    EXPECT_FALSE(fs::exists(Record()));
}

// A run through one name of the image cut short, the next start through another (a hard link, the image
// moved): the record by the image's identity finds the journal, which is played back, and goes with it.
TEST_F(RollbackJournalTest, AJournalIsFoundByTheImagesIdentityUnderAnotherName)
{
    ASSERT_NO_FATAL_FAILURE(KillPartWay());
    const fs::path link = folder_.path() / "hard.img";
    fs::create_hard_link(image_, link);
    image::Disk disk(storage::Syscalls::Real());
    std::vector<std::string> said;
    std::string error;
    ASSERT_TRUE(disk.Open(link, "hard.img", error)) << error;
    ASSERT_TRUE(image::PlayBackRollbackJournal(disk, image::RollbackJournalOf(link), "hard.img", said, error)) << error;
    EXPECT_EQ(Now(), old_);
    EXPECT_FALSE(fs::exists(journal_));
    EXPECT_FALSE(fs::exists(Record()));
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], "played back the rollback journal " + journal_.string() +
                           " of a run cut short: hard.img is as it was before that run");
}

// The record of a journal: written, found by its identity only, stale once its journal is gone, removed.
TEST_F(RollbackJournalTest, AJournalRecordNamesItsJournalForItsIdentityOnly)
{
    fs::path record;
    std::string error;
    ASSERT_TRUE(image::JournalRecordPath("7-42", record, error)) << error;
    EXPECT_EQ(record, folder_.path() / "state" / "cmpci-uninstall" / "rollback-7-42");
    fs::path found;
    EXPECT_EQ(image::FindJournalByRecord(record, "7-42", found), image::RecordFound::None);
    const fs::path journal = folder_.path() / "a name\nwith a line end.cmpci-rollback";
    std::ofstream(journal) << "x";
    ASSERT_TRUE(image::WriteJournalRecord(record, "7-42", journal, error)) << error;
    EXPECT_EQ(image::FindJournalByRecord(record, "7-42", found), image::RecordFound::Journal);
    EXPECT_EQ(found, journal);
    EXPECT_EQ(image::FindJournalByRecord(record, "7-4", found), image::RecordFound::Stale);
    ASSERT_TRUE(image::WriteJournalRecord(record, "7-42", journal, error)) << "replaced: " << error;
    fs::remove(journal);
    EXPECT_EQ(image::FindJournalByRecord(record, "7-42", found), image::RecordFound::Stale);
    std::ofstream(record, std::ios::trunc) << "not a record";
    EXPECT_EQ(image::FindJournalByRecord(record, "7-42", found), image::RecordFound::Stale);
    ASSERT_TRUE(image::RemoveJournalRecord(record, error)) << error;
    EXPECT_FALSE(fs::exists(record));
    EXPECT_TRUE(image::RemoveJournalRecord(record, error)) << "a record already gone: " << error;
}

// Whatever stands in the journal's place that is not a regular file is refused at once in one line, and
// left there: no hang on a FIFO, no crash on a folder.
TEST_F(RollbackJournalTest, AJournalThatIsNoRegularFileIsRefusedInOneLine)
{
    for (const char* kind : {"folder", "fifo", "link"}) {
        SCOPED_TRACE(kind);
        fs::remove_all(journal_);
        const std::string what(kind);
        if (what == "folder")
            fs::create_directory(journal_);
        else if (what == "fifo")
            ASSERT_EQ(mkfifo(journal_.c_str(), 0600), 0);
        else
            fs::create_symlink("disk.img", journal_);
        std::vector<std::string> said;
        std::string error;
        EXPECT_FALSE(Start(storage::Syscalls::Real(), said, error));
        EXPECT_EQ(error, journal_.string() + " is not a regular file (a folder, a link or a device), so not a rollback "
                                             "journal of this program: move it away and run again");
        EXPECT_TRUE(fs::exists(fs::symlink_status(journal_)));
        EXPECT_EQ(Now(), old_);
    }
}

// A run killed after the journal and two of its three ranges: what the next start does with it depends on
// what the image holds now.
TEST_F(RollbackJournalTest, PlaysBackOnlyOntoTheImageAsTheCutShortRunLeftIt)
{
    unsigned calls = 0;
    {
        FaultySyscalls counting;
        std::string error;
        ASSERT_EQ(Change(counting, error), image::ChangeState::Done) << error;
        calls = counting.calls();
    }
    // The last call that leaves the journal whole and the first range written, found by trying.
    std::string partly;
    unsigned kill = 0;
    for (unsigned call = 1; call <= calls && partly.empty(); ++call) {
        Put(old_);
        fs::remove(journal_);
        Killed(call);
        const std::string now = Now();
        if (fs::exists(journal_) && now != old_ && now != new_) {
            partly = now;
            kill = call;
        }
    }
    ASSERT_FALSE(partly.empty()) << "no kill left the image part way";
    const struct {
        const char* label;
        std::uint64_t at;  // a byte changed after the kill, or none
        bool playedBack;
        const char* words;
    } cases[] = {
        {"as the run left it", UINT64_MAX, true, ""},
        {"a sector of a range changed since", kVolume + 8192 + 700, false, "neither as that run found it nor as it wrote"},
        {"the first sector changed since", 3, false, "names another image"},
        {"the volume's boot sector changed since", kVolume + 11, false, "names another image"},
        {"a byte outside the ranges", kVolume + 20000, true, ""},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.label);
        Put(old_);
        fs::remove(journal_);
        Killed(kill);
        std::string now = Now();
        if (each.at != UINT64_MAX)
            now[static_cast<std::size_t>(each.at)] ^= 0x55;
        Put(now);
        std::vector<std::string> said;
        std::string error;
        EXPECT_EQ(Start(storage::Syscalls::Real(), said, error), each.playedBack) << error;
        if (each.playedBack) {
            // The ranges go back; a change elsewhere stays.
            std::string expected = old_;
            if (each.at != UINT64_MAX)
                expected[static_cast<std::size_t>(each.at)] = now[static_cast<std::size_t>(each.at)];
            EXPECT_EQ(Now(), expected);
            EXPECT_FALSE(fs::exists(journal_));
        } else {
            EXPECT_NE(error.find(each.words), std::string::npos) << error;
            EXPECT_NE(error.find("the journal was not played back and is kept"), std::string::npos) << error;
            EXPECT_EQ(Now(), now) << "written although refused";
            EXPECT_TRUE(fs::exists(journal_));
        }
    }
}

// The journal of another image of the same size and format, put beside this one, is never played back.
TEST_F(RollbackJournalTest, AnotherImagesJournalIsNotPlayedBack)
{
    std::string other = old_;
    other[kVolume + 39] ^= 0x01;  // another volume serial number
    for (unsigned call = 1; !fs::exists(journal_) || Now() == other; ++call) {
        ASSERT_LT(call, 100u) << "no kill left the other image's journal";
        Put(other);
        fs::remove(journal_);
        Killed(call);
    }
    Put(old_);
    std::vector<std::string> said;
    std::string error;
    EXPECT_FALSE(Start(storage::Syscalls::Real(), said, error));
    EXPECT_NE(error.find("names another image"), std::string::npos) << error;
    EXPECT_EQ(Now(), old_);
    EXPECT_TRUE(fs::exists(journal_));
}

// What makes the change durable, in its order: the journal's bytes and its name synced before the image
// takes a byte; the image synced before the journal goes; the journal's removal synced in its folder.
TEST_F(RollbackJournalTest, EachStepIsOnDiskBeforeTheNext)
{
    RecordingSyscalls calls;
    std::string error;
    ASSERT_EQ(Change(calls, error), image::ChangeState::Done) << error;
    EXPECT_EQ(Now(), new_);
    // The journal's bytes, flushed; its seal, flushed with its name; its record, flushed with its name; the
    // image.
    const std::size_t bodySynced = calls.First("fsync");
    const std::size_t seal = calls.First("pwrite");
    const std::size_t sealSynced = calls.First("fsync", seal);
    const std::size_t journalNamed = calls.First("sync-folder", sealSynced);
    const std::size_t recorded = calls.First("write", journalNamed);
    const std::size_t recordNamed = calls.First("sync-folder", recorded);
    const std::size_t imageWritten = calls.First("pwrite", recordNamed);
    const std::size_t imageSynced = calls.First("fsync", calls.Last("pwrite"));
    const std::size_t removed = calls.First("unlink", imageSynced);
    const std::size_t removalSynced = calls.First("sync-folder", removed);
    const std::size_t recordRemoved = calls.First("unlink", removalSynced);
    ASSERT_LT(calls.First("sync-folder", recordRemoved), calls.kinds.size()) << "the record's removal is not synced";
    EXPECT_LT(calls.First("write"), bodySynced);
    EXPECT_LT(bodySynced, seal);
    EXPECT_LT(seal, sealSynced);
    EXPECT_LT(sealSynced, journalNamed);
    EXPECT_LT(recordNamed, imageWritten);
    EXPECT_EQ(calls.First("pwrite", seal + 1), imageWritten) << "the image written before the record";
    EXPECT_LT(calls.Last("pwrite"), imageSynced);
    EXPECT_LT(imageSynced, removed);
    // Read back after the flush, before the journal goes.
    EXPECT_LT(imageSynced, calls.First("pread", imageSynced));
    EXPECT_LT(calls.Last("pread"), removed);
    EXPECT_FALSE(fs::exists(Record()));
}

// A disk that does not give back what was written (a card or reader that loses writes, a read that fails):
// the image's second opening, the read-back's, reads the first change's last sector otherwise or not at all.
class LyingReadBack final : public storage::Syscalls {
public:
    LyingReadBack(const fs::path& image, std::uint64_t sector, bool fails)
        : image_(image), sector_(sector), fails_(fails)
    {
    }
    int OpenAt(int dir, const char* name, int flags) override
    {
        const int fd = Syscalls::OpenAt(dir, name, flags);
        if (fd >= 0 && name == image_.string() && ++opened_ == 2)
            fresh_ = fd;
        return fd;
    }
    ssize_t PRead(int fd, void* into, std::size_t size, std::uint64_t offset) override
    {
        const ssize_t done = Syscalls::PRead(fd, into, size, offset);
        if (fd != fresh_ || done <= 0 || offset > sector_ || offset + static_cast<std::uint64_t>(done) <= sector_)
            return done;
        if (fails_) {
            errno = EIO;
            return -1;
        }
        static_cast<char*>(into)[sector_ - offset] ^= 1;
        return done;
    }

private:
    fs::path image_;
    std::uint64_t sector_;
    bool fails_;
    int opened_ = 0;
    int fresh_ = -1;
};

// The change is read back before its journal goes: a sector read back otherwise than written, or not read
// at all, fails the change and keeps the journal, and the next start puts the image back as it was.
TEST_F(RollbackJournalTest, AReadBackThatDoesNotMatchKeepsTheJournalForTheNextStart)
{
    const std::uint64_t sector = kVolume + 8192 + 512;
    for (bool fails : {false, true}) {
        Put(old_);
        LyingReadBack calls(image_, sector, fails);
        image::Disk disk(calls);
        std::string error;
        ASSERT_TRUE(disk.Open(image_, "disk.img", error)) << error;
        disk.Bound(kVolume, kVolumeBytes);
        image::ReadBackResult readBack;
        EXPECT_EQ(image::ChangeUnderJournal(disk, journal_, changes_, oldRanges_, error, &readBack),
                  image::ChangeState::JournalLeft);
        EXPECT_NE(error.find(fails ? "cannot read back bytes " + std::to_string(kVolume + 8192)
                                   : "the sector at byte " + std::to_string(sector) + " differs"),
                  std::string::npos)
            << error;
        EXPECT_TRUE(readBack.done);
        EXPECT_FALSE(readBack.matched);
        EXPECT_EQ(readBack.sectors, 6u);
        EXPECT_EQ(Now(), new_);
        ASSERT_TRUE(fs::exists(journal_));
        std::vector<std::string> said;
        EXPECT_TRUE(Start(storage::Syscalls::Real(), said, error)) << error;
        EXPECT_EQ(Now(), old_);
        EXPECT_FALSE(fs::exists(journal_));
    }
}

// Every call of a change failing once or from then on (a run killed there): the image and the journal are
// where the change says it ended; then the next start leaves the image as it was or as the whole
// change leaves it, byte for byte, and no journal.
TEST_F(RollbackJournalTest, EveryFailingCallOfAChangeEndsWhereItSaysAndOldOrNewAfterTheNextStart)
{
    using image::ChangeState;
    ChangeState ended = ChangeState::Changing;
    std::set<ChangeState> seen;
    SweepSyscalls(
        [&](storage::Syscalls& calls) {
            Put(old_);
            fs::remove(journal_);
            std::string error;
            ended = Change(calls, error);
        },
        [&](bool killed) {
            seen.insert(ended);
            const bool journal = fs::exists(journal_);
            switch (ended) {
            // Calls failing from then on may keep a journal from going; it is the next start's to remove.
            case ChangeState::Untouched: EXPECT_TRUE(Now() == old_ && (killed || !journal)); break;
            case ChangeState::JournalWritten: EXPECT_TRUE(Now() == old_ && journal); break;
            case ChangeState::JournalLeft: EXPECT_TRUE(journal); break;
            case ChangeState::Done: EXPECT_TRUE(Now() == new_ && !journal); break;
            case ChangeState::Changing: ADD_FAILURE() << "a change ended while changing"; break;
            }
            std::vector<std::string> said;
            std::string error;
            EXPECT_TRUE(Start(storage::Syscalls::Real(), said, error)) << error;
            const std::string now = Now();
            EXPECT_TRUE(now == old_ || now == new_) << "neither old nor new";
            if (ended == ChangeState::Done) {
                EXPECT_EQ(now, new_);
            }
            EXPECT_FALSE(fs::exists(journal_));
            EXPECT_FALSE(fs::exists(Record()));
        });
    EXPECT_TRUE(seen.count(ChangeState::Untouched) != 0 && seen.count(ChangeState::JournalLeft) != 0) << seen.size();
}

// A write or read cut short is finished, never taken as whole: with transfers cut short and no call failing,
// the change is made whole. The journal spans pages, so that its own writes are cut too; one taken as whole
// would fail its read-back before the image is touched.
TEST_F(RollbackJournalTest, ShortWritesAndReadsAreFinished)
{
    Use({{kVolume + 512, std::string(512, 'F')}, {kVolume + 40960, std::string(9216, 'C')}});
    image::ChangeState ended = image::ChangeState::Changing;
    std::string error;
    const unsigned cuts = SweepShortCalls(
        [&](storage::Syscalls& calls) {
            Put(old_);
            fs::remove(journal_);
            error.clear();
            ended = Change(calls, error);
        },
        [&](bool whole) {
            if (whole) {
                EXPECT_EQ(ended, image::ChangeState::Done) << error;
                EXPECT_EQ(Now(), new_);
            }
        });
    EXPECT_GT(cuts, 0u);
}

// A run killed at each of its calls, then a playback with each of its calls failing once or from then on,
// then a clean start: the image is as it was before the run, or (when the run had finished) as it left it.
TEST_F(RollbackJournalTest, EveryFailingCallOfAPlaybackLeavesItToTheNextStart)
{
    FaultySyscalls counting;
    std::string error;
    ASSERT_EQ(Change(counting, error), image::ChangeState::Done) << error;
    unsigned playbacks = 0;
    for (unsigned call = 1; call <= counting.calls(); ++call) {
        SCOPED_TRACE("run killed at call " + std::to_string(call));
        Put(old_);
        fs::remove(journal_);
        Killed(call);
        if (!fs::exists(journal_))
            continue;
        const std::string killed = Now();
        const std::string journal = JournalBytes();
        ++playbacks;
        SweepSyscalls(
            [&](storage::Syscalls& calls) {
                // The image and the journal as the killed run left them, for each attempt.
                Put(killed);
                fs::remove(journal_);
                PutJournal(journal);
                std::vector<std::string> said;
                std::string ignored;
                Start(calls, said, ignored);
            },
            [&](bool) {
                std::vector<std::string> said;
                std::string failed;
                EXPECT_TRUE(Start(storage::Syscalls::Real(), said, failed)) << failed;
                EXPECT_EQ(Now(), old_);
                EXPECT_FALSE(fs::exists(journal_));
            });
    }
    EXPECT_GT(playbacks, 2u);
}

}  // namespace
