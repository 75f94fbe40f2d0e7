#include "system/emulated/windows_folder.h"

#include "system/emulated/names.h"

#include <system_error>
#include <utility>
#include <vector>

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
    while (true) {
        std::size_t end = path.find('\\');
        std::string_view part = path.substr(0, end);
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string_view::npos ||
            part.find(':') != std::string_view::npos)
            return false;
        components.push_back(part);
        if (end == std::string_view::npos)
            return true;
        path.remove_prefix(end + 1);
    }
}

}  // namespace

bool FindEntryIgnoringCase(const std::filesystem::path& folder, std::string_view name, std::filesystem::path& found)
{
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    if (error)
        return false;
    std::string best;
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error)
            return false;
        std::string entry = it->path().filename().string();
        if (entry == name) {
            best = entry;
            break;
        }
        if (SameName(entry, name) && (best.empty() || entry < best))
            best = entry;
    }
    if (best.empty())
        return false;
    found = folder / best;
    return true;
}

WindowsFolder::WindowsFolder(std::filesystem::path hostFolder, bool dryRun)
    : host_(std::move(hostFolder)), dryRun_(dryRun)
{
}

WindowsFolder::Lookup WindowsFolder::Resolve(std::string_view windowsPath, std::filesystem::path& hostPath) const
{
    std::vector<std::string_view> components;
    if (!SplitBelowWindows(windowsPath, components) || components.empty())
        return Lookup::Refused;
    std::error_code error;
    std::filesystem::path current = host_;
    if (std::filesystem::symlink_status(current, error).type() != std::filesystem::file_type::directory)
        return Lookup::Missing;
    for (std::size_t i = 0; i < components.size(); ++i) {
        std::filesystem::path next;
        if (!FindEntryIgnoringCase(current, components[i], next))
            return Lookup::Missing;
        auto type = std::filesystem::symlink_status(next, error).type();
        bool last = i + 1 == components.size();
        if (type == std::filesystem::file_type::symlink)
            return Lookup::Refused;
        if (!last && type != std::filesystem::file_type::directory)
            return Lookup::Missing;
        if (last && type != std::filesystem::file_type::regular)
            return type == std::filesystem::file_type::directory ? Lookup::Refused : Lookup::Missing;
        current = next;
    }
    if (hidden_.count(current.string()) != 0)
        return Lookup::Missing;
    hostPath = current;
    return Lookup::Found;
}

WindowsFolder::Outcome WindowsFolder::Remove(std::string_view windowsPath)
{
    std::filesystem::path hostPath;
    switch (Resolve(windowsPath, hostPath)) {
    case Lookup::Missing:
        return Outcome::Missing;
    case Lookup::Refused:
        return Outcome::Refused;
    case Lookup::Found:
        break;
    }
    if (dryRun_) {
        hidden_.insert(hostPath.string());
        return Outcome::Removed;
    }
    std::error_code error;
    if (!std::filesystem::remove(hostPath, error) || error)
        return Outcome::Failed;
    return Outcome::Removed;
}

std::filesystem::path WindowsFolder::Find(std::string_view windowsPath) const
{
    std::filesystem::path hostPath;
    return Resolve(windowsPath, hostPath) == Lookup::Found ? hostPath : std::filesystem::path();
}

}  // namespace emulated
