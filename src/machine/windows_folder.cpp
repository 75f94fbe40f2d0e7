#include "machine/windows_folder.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/path_parts.h"
#include "registry/names.h"

namespace emulated {

namespace {

// Splits what follows C:\WINDOWS into components; false for anything that could leave the folder or that
// names no single entry: another drive, an empty, "." or ".." component, a host separator.
bool SplitBelowWindows(std::string_view path, std::vector<std::string_view>& components)
{
    std::string_view prefix = kWindowsDirectory;
    if (path.size() < prefix.size() || !SameName(path.substr(0, prefix.size()), prefix))
        return false;
    path.remove_prefix(prefix.size());
    if (path.empty())
        return true;
    if (path.front() != '\\')
        return false;
    path.remove_prefix(1);
    // Every part must name one entry: an empty part, "." or "..", or one that a host path would read
    // otherwise, names none.
    PathParts parts(path);
    for (std::string_view part; parts.Next(part);) {
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string_view::npos ||
            part.find(':') != std::string_view::npos)
            return false;
        components.push_back(part);
    }
    return true;
}

// Opens a folder below `dir` without following a link; -1 when it is not a folder.
int OpenFolderAt(int dir, const char* name)
{
    return openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

}  // namespace

bool FindEntryIgnoringCaseAt(int dir, std::string_view name, std::string& found)
{
    // A handle of its own for the listing, so that `dir` stays as it is.
    int listing = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0)
        return false;
    DIR* entries = fdopendir(listing);
    if (entries == nullptr) {
        close(listing);
        return false;
    }
    std::string best;
    while (const dirent* entry = readdir(entries)) {
        std::string_view candidate = entry->d_name;
        if (candidate == name) {
            best = candidate;
            break;
        }
        if (SameName(candidate, name) && (best.empty() || candidate < best))
            best = candidate;
    }
    closedir(entries);
    if (best.empty())
        return false;
    found = best;
    return true;
}

bool FindEntryIgnoringCase(const std::filesystem::path& folder, std::string_view name, std::filesystem::path& found)
{
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    std::string entry;
    bool ok = FindEntryIgnoringCaseAt(dir, name, entry);
    close(dir);
    if (ok)
        found = folder / entry;
    return ok;
}

WindowsFolder::WindowsFolder(const std::filesystem::path& hostFolder, MakePresent present)
    : host_(hostFolder), present_(std::move(present)),
      root_(open(hostFolder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC))
{
}

WindowsFolder::~WindowsFolder()
{
    if (root_ >= 0)
        close(root_);
}

WindowsFolder::Lookup WindowsFolder::Resolve(std::string_view windowsPath, std::string& relative) const
{
    std::vector<std::string_view> components;
    if (!SplitBelowWindows(windowsPath, components) || components.empty())
        return Lookup::Refused;
    if (root_ < 0)
        return Lookup::Missing;
    if (present_) {
        std::string joined;
        for (std::string_view component : components)
            joined.append(joined.empty() ? "" : "/").append(component);
        present_(joined, false);
    }
    Lookup result = Lookup::Missing;
    int dir = dup(root_);
    relative.clear();
    for (std::size_t i = 0; dir >= 0 && i < components.size(); ++i) {
        std::string name;
        if (!FindEntryIgnoringCaseAt(dir, components[i], name))
            break;
        struct stat status { };
        if (fstatat(dir, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            break;
        relative += name;
        if (S_ISLNK(status.st_mode)) {
            result = Lookup::Refused;
            break;
        }
        if (i + 1 == components.size()) {
            if (S_ISREG(status.st_mode))
                result = takenSet_.count(relative) != 0 ? Lookup::Missing : Lookup::Found;
            else if (S_ISDIR(status.st_mode))
                result = Lookup::Refused;
            break;
        }
        relative += '/';
        int next = OpenFolderAt(dir, name.c_str());
        close(dir);
        dir = next;
    }
    if (dir >= 0)
        close(dir);
    return result;
}

WindowsFolder::Outcome WindowsFolder::Remove(std::string_view windowsPath)
{
    std::string relative;
    switch (Resolve(windowsPath, relative)) {
    case Lookup::Missing: return Outcome::Missing;
    case Lookup::Refused: return Outcome::Refused;
    case Lookup::Found: break;
    }
    taken_.push_back(relative);
    takenSet_.insert(relative);
    return Outcome::Removed;
}

std::filesystem::path WindowsFolder::Find(std::string_view windowsPath) const
{
    std::string relative;
    return Resolve(windowsPath, relative) == Lookup::Found ? host_ / relative : std::filesystem::path();
}

}  // namespace emulated
