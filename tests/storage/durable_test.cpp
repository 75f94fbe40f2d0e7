#include "storage/durable.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>

namespace fs = std::filesystem;

namespace {

// The real calls, each recorded by name ("fsync-folder" for a folder's), and the call named `failing`
// failing once with EIO.
class RecordingSyscalls : public storage::Syscalls {
public:
    std::vector<std::string> calls;
    std::string failing;

    int OpenAt(int dir, const char* name, int flags) override
    {
        const bool folder = (flags & O_DIRECTORY) != 0;
        if (Fails(folder ? "open-folder" : "open"))
            return -1;
        int fd = storage::Syscalls::OpenAt(dir, name, flags);
        if (folder && fd >= 0)
            folders_.insert(fd);
        return fd;
    }
    int MakeTemporaryAt(int dir, char* pattern) override
    {
        return Fails("mkstemp") ? -1 : storage::Syscalls::MakeTemporaryAt(dir, pattern);
    }
    ssize_t Write(int fd, const void* data, std::size_t size) override
    {
        return Fails("write") ? -1 : storage::Syscalls::Write(fd, data, size);
    }
    int Fsync(int fd) override { return Fails(folders_.count(fd) ? "fsync-folder" : "fsync") ? -1 : storage::Syscalls::Fsync(fd); }
    int Close(int fd) override
    {
        folders_.erase(fd);
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
    std::set<int> folders_;
};

class DurableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "cmpci-storage-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        file_ = folder_ / "registry.reg";
        std::ofstream(file_, std::ios::binary) << "old bytes";
    }
    void TearDown() override { fs::remove_all(folder_); }

    static std::string Read(const fs::path& file)
    {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::size_t Entries() const { return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder_), {})); }

    fs::path folder_;
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
    RecordingSyscalls calls;
    std::string error;
    ASSERT_TRUE(storage::ReplaceFileAtomically(file_, {"new ", "bytes"}, error, calls)) << error;
    EXPECT_EQ(Read(file_), "new bytes");
    EXPECT_EQ(Entries(), 1u);
    const std::size_t write = Position(calls.calls, "write");
    const std::size_t fsync = Position(calls.calls, "fsync");
    const std::size_t rename = Position(calls.calls, "rename");
    const std::size_t folder = Position(calls.calls, "fsync-folder");
    ASSERT_LT(rename, calls.calls.size());
    EXPECT_LT(write, fsync);
    EXPECT_LT(fsync, rename);
    EXPECT_LT(rename, folder);
    EXPECT_LT(folder, calls.calls.size());
}

TEST_F(DurableTest, ReplaceThatFailsAnywhereLeavesTheOldFileAndNoTemporary)
{
    for (const char* call : {"mkstemp", "write", "fsync", "close", "rename"}) {
        SCOPED_TRACE(call);
        RecordingSyscalls calls;
        calls.failing = call;
        std::string error;
        EXPECT_FALSE(storage::ReplaceFileAtomically(file_, {"new bytes"}, error, calls));
        EXPECT_NE(error.find(std::string("cannot save ") + file_.string()), std::string::npos) << error;
        EXPECT_NE(error.find(std::strerror(EIO)), std::string::npos) << error;
        EXPECT_EQ(Read(file_), "old bytes");
        EXPECT_EQ(Entries(), 1u);
    }
}

TEST_F(DurableTest, ReplaceRefusesALinkAndNewFileNeverOverwrites)
{
    fs::create_symlink(file_, folder_ / "link.reg");
    std::string error;
    EXPECT_FALSE(storage::ReplaceFileAtomically(folder_ / "link.reg", {"new bytes"}, error));
    EXPECT_FALSE(storage::WriteNewFile(file_, "new bytes", error));
    EXPECT_FALSE(storage::WriteNewFile(folder_ / "link.reg", "new bytes", error));
    EXPECT_EQ(Read(file_), "old bytes");
    EXPECT_TRUE(fs::is_symlink(folder_ / "link.reg"));
}

TEST_F(DurableTest, NewFileSyncsBeforeItCountsAndIsRemovedWhenItFails)
{
    RecordingSyscalls calls;
    std::string error;
    ASSERT_TRUE(storage::WriteNewFile(folder_ / "manifest.json", "{}", error, calls)) << error;
    EXPECT_EQ(Read(folder_ / "manifest.json"), "{}");
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

}  // namespace
