#include "storage/state_folder.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace storage {

namespace {

constexpr char kProgramFolder[] = "cmpci-uninstall";

// An environment variable that names an absolute path; the XDG rules ignore a relative one.
bool AbsoluteFromEnvironment(const char* name, std::filesystem::path& path)
{
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/')
        return false;
    path = value;
    return true;
}

}  // namespace

bool StateFolderPath(std::filesystem::path& folder, std::string& error)
{
    std::filesystem::path base;
    if (AbsoluteFromEnvironment("XDG_STATE_HOME", base)) {
        folder = base / kProgramFolder;
        return true;
    }
    if (AbsoluteFromEnvironment("HOME", base)) {
        folder = base / ".local" / "state" / kProgramFolder;
        return true;
    }
    error = "no state folder: neither XDG_STATE_HOME nor HOME names an absolute folder";
    return false;
}

bool MakeStateFolder(std::filesystem::path& folder, std::string& error)
{
    if (!StateFolderPath(folder, error))
        return false;
    std::error_code ec;
    std::filesystem::create_directories(folder.parent_path(), ec);
    if (ec) {
        error = "cannot make the state folder " + folder.parent_path().string() + ": " + ec.message();
        return false;
    }
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot make the state folder " + folder.string() + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "the state folder " + folder.string() + " is not a folder";
        return false;
    }
    return true;
}

}  // namespace storage
