#include "image/rollback_journal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include <fcntl.h>
#include <unistd.h>

#include "host/interrupt.h"
#include "host/progress.h"
#include "storage/durable.h"

namespace image {

namespace fs = std::filesystem;

using host::Progress;
using host::StopRequested;

namespace {

// A journal: this line, then for each range its offset and length (8 bytes each, little-endian) and its bytes,
// then the FNV-1a hash of everything before it. A journal whose hash does not match was cut short.
constexpr char kMagic[] = "cmpci-uninstall rollback journal 1\n";

void PutU64(std::string& out, std::uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out += static_cast<char>(value >> (8 * i) & 0xFF);
}

std::uint64_t GetU64(const std::string& in, std::size_t at)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(in[at + static_cast<std::size_t>(i)]);
    return value;
}

std::uint64_t Fnv1a(const char* data, std::size_t size)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (std::size_t i = 0; i < size; ++i)
        hash = (hash ^ static_cast<unsigned char>(data[i])) * 0x100000001b3ULL;
    return hash;
}

// The journal's writes, a megabyte at a time: each shows how far the journal is, and an interrupt fails the
// next one, which leaves no journal behind (a new file half written is removed again).
class JournalWrites final : public storage::Syscalls {
public:
    JournalWrites(const fs::path& journal, std::uint64_t total) : progress_("writing " + journal.string(), total) { }
    ssize_t Write(int fd, const void* data, std::size_t size) override
    {
        std::string ignored;
        if (StopRequested(ignored)) {
            errno = ECANCELED;
            return -1;
        }
        const ssize_t done = storage::Syscalls::Write(fd, data, std::min<std::size_t>(size, kChunk));
        if (done > 0)
            progress_.Update(written_ += static_cast<std::uint64_t>(done));
        return done;
    }

private:
    static constexpr std::size_t kChunk = 1 << 20;
    Progress progress_;
    std::uint64_t written_ = 0;
};

}  // namespace

fs::path RollbackJournalOf(const fs::path& image)
{
    fs::path journal = image;
    journal += ".cmpci-rollback";
    return journal;
}

bool WriteRollbackJournal(const fs::path& journal, const std::vector<DiskChange>& old, std::string& error)
{
    std::string bytes = kMagic;
    for (const DiskChange& range : old) {
        PutU64(bytes, range.offset);
        PutU64(bytes, range.bytes.size());
        bytes += range.bytes;
    }
    PutU64(bytes, Fnv1a(bytes.data(), bytes.size()));
    JournalWrites writes(journal, bytes.size());
    if (!storage::WriteNewFile(journal, bytes, error, writes)) {
        if (!StopRequested(error))
            error = "cannot write the rollback journal " + journal.string() + ": " + error;
        return false;
    }
    return true;
}

JournalFound ReadRollbackJournal(const fs::path& journal, std::vector<DiskChange>& old, std::string& error)
{
    old.clear();
    std::ifstream in(journal, std::ios::binary);
    if (!in) {
        if (errno == ENOENT)
            return JournalFound::None;
        error = "cannot read the rollback journal " + journal.string() + ": " + std::strerror(errno);
        return JournalFound::Torn;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t magic = sizeof kMagic - 1;
    if (bytes.size() < magic + 8 || bytes.compare(0, magic, kMagic) != 0 ||
        GetU64(bytes, bytes.size() - 8) != Fnv1a(bytes.data(), bytes.size() - 8))
        return JournalFound::Torn;
    const std::size_t end = bytes.size() - 8;
    for (std::size_t at = magic; at < end;) {
        if (end - at < 16 || GetU64(bytes, at + 8) > end - at - 16)
            return JournalFound::Torn;
        const std::uint64_t offset = GetU64(bytes, at);
        const std::size_t length = static_cast<std::size_t>(GetU64(bytes, at + 8));
        old.push_back({offset, bytes.substr(at + 16, length)});
        at += 16 + length;
    }
    return JournalFound::Whole;
}

bool RemoveRollbackJournal(const fs::path& journal, std::string& error)
{
    const fs::path folder = journal.has_parent_path() ? journal.parent_path() : fs::path(".");
    if (unlink(journal.c_str()) != 0 && errno != ENOENT) {
        error = "cannot remove the rollback journal " + journal.string() + ": " + std::strerror(errno);
        return false;
    }
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool synced = dir >= 0 && fsync(dir) == 0;
    if (dir >= 0)
        close(dir);
    if (!synced) {
        error = "cannot flush the folder of " + journal.string() + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace image
