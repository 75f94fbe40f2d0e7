#include "image/rollback_journal.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

class RollbackJournalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "journal-test.XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        journal_ = image::RollbackJournalOf(folder_ / "disk.img");
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::string Bytes() const
    {
        std::ifstream in(journal_, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    void Put(const std::string& bytes) const { std::ofstream(journal_, std::ios::binary | std::ios::trunc) << bytes; }

    fs::path folder_;
    fs::path journal_;
};

TEST_F(RollbackJournalTest, AWholeJournalGivesBackEveryRangeExactly)
{
    EXPECT_EQ(journal_.filename(), "disk.img.cmpci-rollback");
    std::vector<image::DiskChange> none;
    std::string error;
    EXPECT_EQ(image::ReadRollbackJournal(journal_, none, error), image::JournalFound::None);
    EXPECT_EQ(error, "");

    const std::vector<image::DiskChange> old {
        {512, std::string(512, '\x11')}, {0x1'0000'0200ULL, std::string("\0\x01\xFF", 3)}, {7, std::string()}};
    ASSERT_TRUE(image::WriteRollbackJournal(journal_, old, error)) << error;
    std::vector<image::DiskChange> read;
    ASSERT_EQ(image::ReadRollbackJournal(journal_, read, error), image::JournalFound::Whole) << error;
    ASSERT_EQ(read.size(), old.size());
    for (std::size_t i = 0; i < old.size(); ++i) {
        EXPECT_EQ(read[i].offset, old[i].offset) << i;
        EXPECT_EQ(read[i].bytes, old[i].bytes) << i;
    }
    // Written exclusively: a journal already there is never overwritten.
    EXPECT_FALSE(image::WriteRollbackJournal(journal_, {}, error));
    ASSERT_TRUE(image::RemoveRollbackJournal(journal_, error)) << error;
    EXPECT_FALSE(fs::exists(journal_));
}

// A journal cut short at any byte, or with any byte changed, is torn: the run that wrote it had not yet
// touched the image, and its ranges must not go into it.
TEST_F(RollbackJournalTest, AJournalCutAtAnyByteOrChangedIsTorn)
{
    std::string error;
    ASSERT_TRUE(image::WriteRollbackJournal(journal_, {{1024, "old bytes"}, {4096, std::string(40, 'x')}}, error));
    const std::string whole = Bytes();
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        Put(whole.substr(0, cut));
        std::vector<image::DiskChange> read;
        EXPECT_EQ(image::ReadRollbackJournal(journal_, read, error), image::JournalFound::Torn) << "cut at " << cut;
        EXPECT_TRUE(read.empty()) << "cut at " << cut;
    }
    for (std::size_t at = 0; at < whole.size(); at += 7) {
        std::string changed = whole;
        changed[at] = static_cast<char>(changed[at] ^ 0x20);
        Put(changed);
        std::vector<image::DiskChange> read;
        EXPECT_EQ(image::ReadRollbackJournal(journal_, read, error), image::JournalFound::Torn) << "changed at " << at;
    }
}

}  // namespace
