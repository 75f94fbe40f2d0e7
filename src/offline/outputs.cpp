#include "offline/outputs.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/durable.h"

namespace offline {

namespace fs = std::filesystem;

namespace {

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether two paths, one of them to a file not there yet, name the same place: the same name in the same
// folder (links followed to the folder).
bool SamePlace(const fs::path& a, const fs::path& b)
{
    if (a.filename() != b.filename())
        return false;
    struct stat folderA { };
    struct stat folderB { };
    const fs::path parentA = a.has_parent_path() ? a.parent_path() : fs::path(".");
    const fs::path parentB = b.has_parent_path() ? b.parent_path() : fs::path(".");
    return stat(parentA.c_str(), &folderA) == 0 && stat(parentB.c_str(), &folderB) == 0 && SameFile(folderA, folderB);
}

}  // namespace

bool OutputIsApart(const std::string& file, const std::vector<fs::path>& files, const std::vector<fs::path>& folders,
                   std::string& error)
{
    if (file == "-")
        return true;
    struct stat output { };
    const bool exists = stat(file.c_str(), &output) == 0;
    for (const fs::path& other : files) {
        struct stat status { };
        const bool otherExists = stat(other.c_str(), &status) == 0;
        if ((exists && otherExists && SameFile(status, output)) ||
            ((!exists || !otherExists) && SamePlace(file, other))) {
            error = file + (file == other.string() ? std::string(" is a file") : " is " + other.string() + ",") +
                    " which the run reads or writes: it is refused";
            return false;
        }
    }
    // The folder the output lands in, links followed, and every folder above it.
    std::error_code status;
    fs::path place = fs::absolute(fs::path(file), status).parent_path();
    place = fs::weakly_canonical(place, status);
    if (status)
        return true;
    for (const fs::path& folder : folders) {
        struct stat protectedFolder { };
        if (stat(folder.c_str(), &protectedFolder) != 0)
            continue;
        for (fs::path up = place;; up = up.parent_path()) {
            struct stat here { };
            if (stat(up.c_str(), &here) == 0 && SameFile(here, protectedFolder)) {
                error = file + " lies inside " + folder.string() + ", whose files the run reads or writes: it is refused";
                return false;
            }
            if (up == up.parent_path())
                break;
        }
    }
    return true;
}

OutputFile::~OutputFile()
{
    if (stream_ != nullptr && stream_ != stdout)
        std::fclose(stream_);
    if (!temporary_.empty())
        unlink(temporary_.c_str());
}

bool OutputFile::Open(const std::string& file, std::string& error)
{
    file_ = file;
    if (file == "-") {
        stream_ = stdout;
        return true;
    }
    struct stat status { };
    int fd = -1;
    if (lstat(file.c_str(), &status) == 0 && (S_ISFIFO(status.st_mode) || S_ISCHR(status.st_mode))) {
        // A stream takes the bytes as they come; a FIFO without a reader is refused, not waited for.
        fd = open(file.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    } else {
        // A regular file or none: written beside its place, put there by Finish.
        fd = storage::CreateTemporaryBeside(file, temporary_, error, calls_);
        if (fd < 0)
            return false;
    }
    if (fd < 0 || (stream_ = fdopen(fd, "w")) == nullptr) {
        const int code = errno;
        if (fd >= 0)
            close(fd);
        error = "cannot write " + file + ": " + std::strerror(code);
        return false;
    }
    return true;
}

bool OutputFile::Finish(std::string& error)
{
    if (stream_ == nullptr)
        return true;
    bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
    int code = errno;
    if (stream_ == stdout) {
        stream_ = nullptr;
        if (!ok)
            error = "cannot write to standard output: " + std::string(std::strerror(code != 0 ? code : EIO));
        return ok;
    }
    if (std::fclose(stream_) != 0 && ok) {
        ok = false;
        code = errno;
    }
    stream_ = nullptr;
    if (!ok) {
        error = "cannot write " + file_ + ": " + std::strerror(code != 0 ? code : EIO);
        return false;
    }
    if (temporary_.empty())
        return true;
    const std::string temporary = std::move(temporary_);
    temporary_.clear();
    return storage::PublishTemporary(temporary, file_, error, calls_);
}

}  // namespace offline
