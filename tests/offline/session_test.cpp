// The session: a run's change reaches the disk before anything says it is complete, and how far it got is
// what the journal's summary and the backup's fate follow.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "offline/options.h"
#include "offline/session.h"
#include "offline/target.h"
#include "storage/durable.h"
#include "support/read_file.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

using test_support::ReadFile;

// The real calls, but every rename fails with EIO: no file can be put in place.
class NoRename : public storage::Syscalls {
public:
    int RenameAt(int, const char*, const char*) override
    {
        errno = EIO;
        return -1;
    }
};

// The real calls; at each rename (a registry file put in place) it reads what the journal, written beside
// its place in `folder` until the run ends, holds by then.
class JournalAtRename : public storage::Syscalls {
public:
    explicit JournalAtRename(fs::path folder) : folder_(std::move(folder)) { }
    int RenameAt(int dir, const char* from, const char* to) override
    {
        for (const fs::directory_entry& entry : fs::directory_iterator(folder_)) {
            if (entry.path().filename().string().rfind("run.journal", 0) == 0)
                seen_ += ReadFile(entry.path());
        }
        return storage::Syscalls::RenameAt(dir, from, to);
    }
    const std::string& seen() const { return seen_; }

private:
    fs::path folder_;
    std::string seen_;
};

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        temp_.emplace("cmpci-session");
        ASSERT_TRUE(temp_->ok());
        root_ = temp_->path();
        machine_ = root_ / "machine";
        fs::copy(fs::path(CMPCI_SOURCE_DIR) / "examples" / "machine", machine_, fs::copy_options::recursive);
        original_ = ReadFile(machine_ / "registry.reg");
        options_.machine = machine_.string();
        options_.answer = offline::Answer::Yes;
        options_.quiet = true;
        options_.journal = (root_ / "run.journal").string();
    }
    // A test calls TearDown and SetUp again to start a case on a fresh machine in a new folder.
    void TearDown() override { temp_.reset(); }

    int Run(storage::Syscalls& calls)
    {
        std::unique_ptr<offline::Target> target = offline::UnlockedFolderTarget(machine_, calls);
        return offline::RunOnTarget(options_, *target, "");
    }
    std::string Journal() const { return ReadFile(root_ / "run.journal"); }
    bool AnyBackupIn(const fs::path& folder) const
    {
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            if (entry.path().filename().string().rfind("cmpci-backup-", 0) == 0)
                return true;
        }
        return false;
    }

    std::optional<test_support::TempFolder> temp_;
    fs::path root_;
    fs::path machine_;
    std::string original_;
    offline::Options options_;
};

TEST_F(SessionTest, TheCompletionBoxComesOnlyAfterTheChangeIsOnDisk)
{
    JournalAtRename calls(root_);
    ASSERT_EQ(Run(calls), 0);
    // When the registry file was put in place the removal was journaled, but no completion box yet.
    EXPECT_NE(calls.seen().find("\"op\":\"delete-key\""), std::string::npos) << calls.seen();
    EXPECT_EQ(calls.seen().find("Uninstall complete."), std::string::npos) << calls.seen();
    const std::string journal = Journal();
    EXPECT_NE(journal.find("Uninstall complete."), std::string::npos) << journal;
    EXPECT_NE(journal.find("\"stage\":\"committed\""), std::string::npos) << journal;
    EXPECT_NE(ReadFile(machine_ / "registry.reg"), original_);
}

TEST_F(SessionTest, AFailedSaveShowsNoCompletionBoxAndSaysHowFarItGot)
{
    struct Case {
        const char* name;
        bool namedBackup;
        const char* stage;  // in the journal's summary
    };
    const Case cases[] = {
        // The default backup goes again when nothing changed: nothing of the run is on the disk.
        {"default backup", false, "not-changed"},
        // A backup the user named stays, and the summary says so.
        {"named backup", true, "backup-kept"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        options_.backup = c.namedBackup ? (root_ / "kept").string() : std::string();
        NoRename calls;
        EXPECT_EQ(Run(calls), 2);
        const std::string journal = Journal();
        EXPECT_EQ(journal.find("Uninstall complete."), std::string::npos) << journal;
        EXPECT_NE(journal.find(std::string("\"stage\":\"") + c.stage + "\""), std::string::npos) << journal;
        EXPECT_EQ(ReadFile(machine_ / "registry.reg"), original_);
        EXPECT_TRUE(fs::exists(machine_ / "WINDOWS" / "SYSTEM" / "CMAUDIO.VXD"));
        EXPECT_EQ(AnyBackupIn(machine_), false);
        EXPECT_EQ(fs::exists(root_ / "kept" / "manifest.json"), c.namedBackup);
    }
}

// A medium that takes a large write and keeps other bytes (a cheap memory card's): the save goes through,
// and reading the registry file back shows it, so the run fails and points at the backup.
TEST_F(SessionTest, ARegistryFileNotReadBackAsWrittenFailsTheRun)
{
    struct DroppingWrites : storage::Syscalls {
        ssize_t Write(int fd, const void* data, std::size_t size) override
        {
            if (size < 4096)
                return storage::Syscalls::Write(fd, data, size);
            std::string kept(static_cast<const char*>(data), size);
            kept[size / 2] ^= 0x20;
            return storage::Syscalls::Write(fd, kept.data(), size);
        }
    } calls;
    options_.quiet = false;
    for (bool lying : {false, true}) {
        SCOPED_TRACE(lying ? "dropping writes" : "sound");
        TearDown();
        SetUp();
        options_.backup = (root_ / "kept").string();
        EXPECT_EQ(lying ? Run(calls) : Run(storage::Syscalls::Real()), lying ? 2 : 0);
        const std::string journal = Journal();
        EXPECT_NE(journal.find(lying ? "{\"op\":\"verified\",\"matched\":false,\"sectors\":0,\"files\":0"
                                     : "{\"op\":\"verified\",\"matched\":true,\"sectors\":0,\"files\":1"),
                  std::string::npos)
            << journal;
        EXPECT_NE(journal.find("\"stage\":\"committed\",\"exitStatus\":" + std::string(lying ? "2" : "0")),
                  std::string::npos)
            << journal;
    }
}

// A commit cut short after its record is on the disk (a driver file that cannot be removed) is finished by
// the next run, and the failed run says so, and nothing after it.
TEST_F(SessionTest, ACommitLeftRecordedSaysTheNextRunFinishesIt)
{
    struct KeepsTheDriver : storage::Syscalls {
        int UnlinkAt(int dir, const char* name) override
        {
            if (std::string(name).find("CMAUDIO.VXD") != std::string::npos) {
                errno = EIO;
                return -1;
            }
            return storage::Syscalls::UnlinkAt(dir, name);
        }
    } calls;
    testing::internal::CaptureStderr();
    EXPECT_EQ(Run(calls), 2);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("; the change is recorded in " + (machine_ / "cmpci-uninstall.commit").string() +
                        ", and the next run on this machine finishes it\n"),
              std::string::npos)
        << said;
    EXPECT_TRUE(fs::exists(machine_ / "cmpci-uninstall.commit"));
    // The next run takes the machine as a run does, finishing what is recorded first.
    std::vector<std::string> finished;
    std::string error;
    const std::unique_ptr<offline::Target> next = offline::OpenTarget(options_, finished, error);
    ASSERT_TRUE(next) << error;
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0].rfind("finished the change of a run cut short", 0), 0u) << finished[0];
    EXPECT_FALSE(fs::exists(machine_ / "cmpci-uninstall.commit"));
    EXPECT_FALSE(fs::exists(machine_ / "WINDOWS" / "SYSTEM" / "CMAUDIO.VXD"));
}

}  // namespace
