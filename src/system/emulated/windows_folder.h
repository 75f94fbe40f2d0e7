// The machine's Windows directory: Windows paths below C:\WINDOWS map to a host folder, each component
// matched case-insensitively as on FAT. Only regular files are ever removed; nothing outside the folder is
// ever touched (no "." or "..", no other drive, no way out through a link).
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <string_view>

namespace emulated {

inline constexpr char kWindowsDirectory[] = "C:\\WINDOWS";
inline constexpr char kSystemDirectory[] = "C:\\WINDOWS\\SYSTEM";

// The entry of `folder` whose name matches `name` ignoring the case of ASCII letters; an exact match wins,
// then the first in name order, so the choice never depends on the order the host lists a folder.
bool FindEntryIgnoringCase(const std::filesystem::path& folder, std::string_view name, std::filesystem::path& found);

class WindowsFolder {
public:
    // `hostFolder` stands for C:\WINDOWS. In a dry run nothing is removed on disk: removed files are only
    // hidden from the rest of the run.
    WindowsFolder(std::filesystem::path hostFolder, bool dryRun);

    enum class Outcome { Removed, Missing, Refused, Failed };
    // Removes the regular file a Windows path names. Missing: nothing there (or already removed);
    // Refused: a folder, a link, or a path outside the folder; Failed: the host refused the removal.
    Outcome Remove(std::string_view windowsPath);

    // The host path of an existing regular file, or empty.
    std::filesystem::path Find(std::string_view windowsPath) const;

private:
    enum class Lookup { Found, Missing, Refused };
    Lookup Resolve(std::string_view windowsPath, std::filesystem::path& hostPath) const;

    std::filesystem::path host_;
    bool dryRun_;
    std::set<std::string> hidden_;
};

}  // namespace emulated
