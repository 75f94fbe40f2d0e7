#include "storage/durable.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/faulty_syscalls.h"
#include "support/read_file.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

using test_support::ReadFile;

// The real calls, each recorded by name, and the call named `failing` failing once with EIO. With
// `noUnnamed`, the file system has no unnamed files, as some have not; with `noLinks`, no hard links either
// (vfat, SMB); with `noRenameNoReplace`, no rename that refuses to replace.
class RecordingSyscalls : public storage::Syscalls {
public:
    std::vector<std::string> calls;
    std::string failing;
    bool noUnnamed = false;
    bool noLinks = false;
    bool noRenameNoReplace = false;

    int OpenAt(int dir, const char* name, int flags) override
    {
        const bool folder = (flags & O_DIRECTORY) != 0;
        return Fails(folder ? "open-folder" : "open") ? -1 : storage::Syscalls::OpenAt(dir, name, flags);
    }
    int MakeTemporaryAt(int dir, char* pattern) override
    {
        return Fails("mkstemp") ? -1 : storage::Syscalls::MakeTemporaryAt(dir, pattern);
    }
    int OpenUnnamedAt(int dir) override
    {
        if (noUnnamed) {
            errno = EOPNOTSUPP;
            return -1;
        }
        return Fails("unnamed") ? -1 : storage::Syscalls::OpenUnnamedAt(dir);
    }
    int LinkAt(int fd, int dir, const char* name) override
    {
        if (noLinks) {
            calls.push_back("link");
            errno = EPERM;
            return -1;
        }
        return Fails("link") ? -1 : storage::Syscalls::LinkAt(fd, dir, name);
    }
    int RenameNoReplace(int dir, const char* from, const char* to) override
    {
        if (noRenameNoReplace) {
            calls.push_back("rename-new");
            errno = EINVAL;
            return -1;
        }
        return Fails("rename-new") ? -1 : storage::Syscalls::RenameNoReplace(dir, from, to);
    }
    ssize_t Write(int fd, const void* data, std::size_t size) override
    {
        return Fails("write") ? -1 : storage::Syscalls::Write(fd, data, size);
    }
    int Fchmod(int fd, mode_t mode) override { return Fails("fchmod") ? -1 : storage::Syscalls::Fchmod(fd, mode); }
    int Futimens(int fd, const timespec times[2]) override
    {
        return Fails("futimens") ? -1 : storage::Syscalls::Futimens(fd, times);
    }
    int Fsync(int fd) override { return Fails("fsync") ? -1 : storage::Syscalls::Fsync(fd); }
    int SyncFolder(int dir) override { return Fails("fsync-folder") ? -1 : storage::Syscalls::SyncFolder(dir); }
    int Close(int fd) override
    {
        const int result = storage::Syscalls::Close(fd);
        return Fails("close") ? -1 : result;
    }
    int RenameAt(int dir, const char* from, const char* to) override
    {
        return Fails("rename") ? -1 : storage::Syscalls::RenameAt(dir, from, to);
    }
    int UnlinkAt(int dir, const char* name) override { return Fails("unlink") ? -1 : storage::Syscalls::UnlinkAt(dir, name); }

private:
    bool Fails(const std::string& call)
    {
        calls.push_back(call);
        if (call != failing)
            return false;
        failing.clear();
        errno = EIO;
        return true;
    }
};

class DurableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp_.ok());
        file_ = folder_ / "registry.reg";
        std::ofstream(file_, std::ios::binary) << "old bytes";
    }

    std::size_t Entries() const { return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder_), {})); }

    test_support::TempFolder temp_ {"cmpci-storage"};
    const fs::path& folder_ = temp_.path();
    fs::path file_;
};

std::size_t Position(const std::vector<std::string>& calls, const std::string& call)
{
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i] == call)
            return i;
    }
    return calls.size();
}

TEST_F(DurableTest, ReplaceSyncsTheBytesBeforeTheRenameAndTheFolderAfter)
{
    for (bool noUnnamed : {false, true}) {
        SCOPED_TRACE(noUnnamed ? "named temporary file" : "unnamed file");
        RecordingSyscalls calls;
        calls.noUnnamed = noUnnamed;
        std::string error;
        fs::permissions(file_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        ASSERT_TRUE(storage::ReplaceFileAtomically(file_, {"new ", "bytes"}, error, calls)) << error;
        EXPECT_EQ(ReadFile(file_), "new bytes");
        EXPECT_EQ(Entries(), 1u);
        // The replaced file's mode is kept.
        EXPECT_EQ(fs::status(file_).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        const std::size_t write = Position(calls.calls, "write");
        const std::size_t fsync = Position(calls.calls, "fsync");
        const std::size_t rename = Position(calls.calls, "rename");
        const std::size_t folder = Position(calls.calls, "fsync-folder");
        ASSERT_LT(rename, calls.calls.size());
        EXPECT_LT(write, fsync);
        EXPECT_LT(fsync, rename);
        EXPECT_LT(rename, folder);
        EXPECT_LT(folder, calls.calls.size());
        std::ofstream(file_, std::ios::binary | std::ios::trunc) << "old bytes";
    }
}

TEST_F(DurableTest, ReplaceThatFailsAnywhereLeavesTheOldFileAndNoTemporary)
{
    const struct {
        bool noUnnamed;
        const char* call;
    } cases[] = {{false, "unnamed"}, {false, "fchmod"}, {false, "write"}, {false, "fsync"}, {false, "link"},
                 {false, "rename"},  {true, "mkstemp"},  {true, "fchmod"}, {true, "write"},   {true, "fsync"},
                 {true, "close"},    {true, "rename"}};
    for (const auto& each : cases) {
        SCOPED_TRACE(std::string(each.call) + (each.noUnnamed ? ", named temporary file" : ", unnamed file"));
        RecordingSyscalls calls;
        calls.noUnnamed = each.noUnnamed;
        calls.failing = each.call;
        std::string error;
        EXPECT_FALSE(storage::ReplaceFileAtomically(file_, {"new bytes"}, error, calls));
        EXPECT_NE(error.find(std::string("cannot save ") + file_.string()), std::string::npos) << error;
        EXPECT_NE(error.find(std::strerror(EIO)), std::string::npos) << error;
        EXPECT_EQ(ReadFile(file_), "old bytes");
        EXPECT_EQ(Entries(), 1u);
    }
}

// While a staged file waits for its commit, its folder holds no name for it: a run killed then leaves
// nothing behind.
TEST_F(DurableTest, AStagedFileHasNoNameUntilItsCommit)
{
    storage::Folder folder;
    std::string error;
    ASSERT_TRUE(storage::Folder::Open(folder_, folder, error)) << error;
    storage::Staged replacement;
    storage::Staged added;
    ASSERT_TRUE(storage::StageReplacement(folder, "registry.reg", {"new bytes"}, replacement, error)) << error;
    ASSERT_TRUE(storage::StageNewFile(folder, "USER.DAT", "user", added, error)) << error;
    EXPECT_EQ(Entries(), 1u);
    ASSERT_TRUE(storage::CommitStaged(replacement, error)) << error;
    ASSERT_TRUE(storage::CommitStaged(added, error)) << error;
    EXPECT_EQ(ReadFile(file_), "new bytes");
    EXPECT_EQ(ReadFile(folder_ / "USER.DAT"), "user");
    EXPECT_EQ(Entries(), 2u);
    // A new file is never put over one that came to its place meanwhile.
    ASSERT_TRUE(storage::StageNewFile(folder, "USER.DAT", "second", added, error)) << error;
    EXPECT_FALSE(storage::CommitStaged(added, error));
    EXPECT_EQ(ReadFile(folder_ / "USER.DAT"), "user");
    EXPECT_EQ(Entries(), 2u);
}

// Without unnamed files and hard links (a vfat stick, an SMB share), a new file is staged under a private
// name and renamed in, never over a file that came to its place: by a rename that refuses to replace, or,
// where that too is refused, a rename once the name is seen free.
TEST_F(DurableTest, ANewFileGoesInPlaceWithoutHardLinks)
{
    for (const bool noRenameNoReplace : {false, true}) {
        SCOPED_TRACE(noRenameNoReplace ? "no rename that refuses to replace" : "a rename that refuses to replace");
        RecordingSyscalls calls;
        calls.noUnnamed = true;
        calls.noLinks = true;
        calls.noRenameNoReplace = noRenameNoReplace;
        storage::Folder folder;
        std::string error;
        ASSERT_TRUE(storage::Folder::Open(folder_, folder, error)) << error;
        storage::Staged added;
        ASSERT_TRUE(storage::StageNewFile(folder, "CMAUDIO.VXD", "vxd", added, error, calls)) << error;
        EXPECT_EQ(Entries(), 2u) << "the stage has a private name";
        ASSERT_TRUE(storage::CommitStaged(added, error, calls)) << error;
        EXPECT_EQ(ReadFile(folder_ / "CMAUDIO.VXD"), "vxd");
        EXPECT_EQ(Entries(), 2u);
        EXPECT_EQ(Position(calls.calls, "link"), calls.calls.size());
        ASSERT_TRUE(storage::StageNewFile(folder, "CMAUDIO.VXD", "second", added, error, calls)) << error;
        EXPECT_FALSE(storage::CommitStaged(added, error, calls));
        EXPECT_NE(error.find(std::strerror(EEXIST)), std::string::npos) << error;
        EXPECT_EQ(ReadFile(folder_ / "CMAUDIO.VXD"), "vxd");
        EXPECT_EQ(Entries(), 2u);
        fs::remove(folder_ / "CMAUDIO.VXD");
    }
}

// A staged file dated before its commit goes in place with that time of last change, whether the file
// system has unnamed files or the stage is a temporary file beside its place.
TEST_F(DurableTest, AStagedFileGoesInPlaceWithTheTimeItWasGiven)
{
    const timespec old = {924906122, 123456789};
    for (const bool noUnnamed : {false, true}) {
        SCOPED_TRACE(noUnnamed ? "a temporary file beside its place" : "an unnamed file");
        RecordingSyscalls calls;
        calls.noUnnamed = noUnnamed;
        storage::Folder folder;
        std::string error;
        ASSERT_TRUE(storage::Folder::Open(folder_, folder, error)) << error;
        storage::Staged replacement;
        storage::Staged added;
        ASSERT_TRUE(storage::StageReplacement(folder, "registry.reg", {"new"}, replacement, error, calls)) << error;
        ASSERT_TRUE(storage::StageNewFile(folder, "CMAUDIO.VXD", "vxd", added, error, calls)) << error;
        ASSERT_TRUE(storage::SetStagedTime(replacement, old, calls));
        ASSERT_TRUE(storage::SetStagedTime(added, old, calls));
        ASSERT_TRUE(storage::CommitStaged(replacement, error, calls)) << error;
        ASSERT_TRUE(storage::CommitStaged(added, error, calls)) << error;
        for (const char* name : {"registry.reg", "CMAUDIO.VXD"}) {
            struct stat status { };
            ASSERT_EQ(stat((folder_ / name).c_str(), &status), 0);
            EXPECT_EQ(status.st_mtim.tv_sec, old.tv_sec) << name;
            EXPECT_EQ(status.st_mtim.tv_nsec, old.tv_nsec) << name;
        }
        EXPECT_EQ(Entries(), 2u);
        fs::remove(folder_ / "CMAUDIO.VXD");
    }
}

// What saves cut short left beside a file goes: its staged names, regular files only (a link named so stays).
TEST_F(DurableTest, RemovesOnlyTheStagedFilesBesideAFile)
{
    for (const char* name : {"registry.reg.tmp-AbC123", "registry.reg.tmp-xyz789", "registry.reg.tmp-AbC12",
                             "USER.DAT.tmp-AbC123"})
        std::ofstream(folder_ / name) << "left";
    fs::create_symlink("registry.reg", folder_ / "registry.reg.tmp-LinkAB");
    storage::Folder folder;
    std::string error;
    ASSERT_TRUE(storage::Folder::Open(folder_, folder, error)) << error;
    storage::RemoveStagedBeside(folder.fd(), "registry.reg");
    std::set<std::string> left;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder_))
        left.insert(entry.path().filename().string());
    EXPECT_EQ(left, (std::set<std::string> {"registry.reg", "registry.reg.tmp-AbC12", "USER.DAT.tmp-AbC123",
                                            "registry.reg.tmp-LinkAB"}));
}

TEST(StagedNameTest, OnlyTheStagedPatternOfThatFile)
{
    const struct {
        const char* entry;
        bool staged;
    } cases[] = {{"SYSTEM.DAT.tmp-AbC123", true}, {"SYSTEM.DAT.tmp-AbC12", false}, {"SYSTEM.DAT.tmp-AbC1234", false},
                 {"SYSTEM.DAT.tmp-AbC-23", false}, {"USER.DAT.tmp-AbC123", false},  {"SYSTEM.DAT", false}};
    for (const auto& each : cases) {
        SCOPED_TRACE(each.entry);
        EXPECT_EQ(storage::IsStagedName(each.entry, "SYSTEM.DAT"), each.staged);
    }
}

TEST_F(DurableTest, ReplaceRefusesALinkAndNewFileNeverOverwrites)
{
    fs::create_symlink(file_, folder_ / "link.reg");
    std::string error;
    EXPECT_FALSE(storage::ReplaceFileAtomically(folder_ / "link.reg", {"new bytes"}, error));
    EXPECT_FALSE(storage::WriteNewFile(file_, "new bytes", error));
    EXPECT_FALSE(storage::WriteNewFile(folder_ / "link.reg", "new bytes", error));
    EXPECT_EQ(ReadFile(file_), "old bytes");
    EXPECT_TRUE(fs::is_symlink(folder_ / "link.reg"));
}

TEST_F(DurableTest, NewFileSyncsBeforeItCountsAndIsRemovedWhenItFails)
{
    RecordingSyscalls calls;
    std::string error;
    ASSERT_TRUE(storage::WriteNewFile(folder_ / "manifest.json", "{}", error, calls)) << error;
    EXPECT_EQ(ReadFile(folder_ / "manifest.json"), "{}");
    EXPECT_LT(Position(calls.calls, "fsync"), Position(calls.calls, "fsync-folder"));
    EXPECT_LT(Position(calls.calls, "fsync-folder"), calls.calls.size());
    for (const char* call : {"write", "fsync", "close"}) {
        SCOPED_TRACE(call);
        RecordingSyscalls failing;
        failing.failing = call;
        EXPECT_FALSE(storage::WriteNewFile(folder_ / "removed.reg", "bytes", error, failing));
        EXPECT_FALSE(fs::exists(folder_ / "removed.reg"));
    }
}

// A durable write whose writes and reads come back short (as a full disk or a signal cuts them): each is
// finished by the calls that follow, never taken as whole. Cut short, each write ends with the file's bytes
// whole; with every call after the cut failing, it says it failed, and a replaced file keeps its old bytes.
TEST_F(DurableTest, AShortWriteOrReadIsFinishedNeverTakenAsWhole)
{
    std::string bytes(70000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>('a' + i % 23);
    const fs::path added = folder_ / "USER.DAT";
    const struct {
        const char* write;
        fs::path file;
        std::function<bool(storage::Syscalls&)> attempt;
    } writes[] = {
        {"a replacement", file_,
         [&](storage::Syscalls& calls) {
             std::string error;
             return storage::ReplaceFileAtomically(file_, {bytes.substr(0, 10), bytes.substr(10)}, error, calls);
         }},
        {"a new file", added,
         [&](storage::Syscalls& calls) {
             std::string error;
             fs::remove(added);
             return storage::WriteNewFile(added, bytes, error, calls);
         }},
        {"a write at an offset, read back", added,
         [&](storage::Syscalls& calls) {
             std::ofstream(added, std::ios::trunc);
             const int fd = open(added.c_str(), O_RDWR | O_CLOEXEC);
             std::string back(bytes.size(), '\0');
             const bool done = storage::WriteAllAt(fd, bytes, 0, calls) &&
                               storage::ReadAllAt(fd, back.data(), back.size(), 0, calls) && back == bytes;
             close(fd);
             return done;
         }},
    };
    for (const auto& each : writes) {
        SCOPED_TRACE(each.write);
        bool done = false;
        const unsigned cuts = SweepShortCalls(
            [&](storage::Syscalls& calls) {
                std::ofstream(file_, std::ios::binary | std::ios::trunc) << "old bytes";
                done = each.attempt(calls);
            },
            [&](bool whole) {
                const std::string now = ReadFile(each.file);
                if (whole || done) {
                    EXPECT_TRUE(done);
                    EXPECT_TRUE(now == bytes) << now.size() << " bytes, not " << bytes.size();
                } else if (each.file == file_) {
                    EXPECT_EQ(now, "old bytes");
                }
            });
        EXPECT_GT(cuts, 0u);
    }
}

}  // namespace
