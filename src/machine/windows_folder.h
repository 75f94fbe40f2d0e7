// The machine's Windows directory: Windows paths below C:\WINDOWS map to a host folder, each component
// matched case-insensitively as on FAT. Only regular files are ever removed; nothing outside the folder is
// ever touched: no "." or "..", no other drive, and every step is taken from a handle on the folder before
// it without following a link, so that a folder swapped for a link while the run goes on leads nowhere.
//
// A removal is held: the file is gone for the rest of the run at once, and leaves the disk only in the commit
// of the run's whole change (commit_record.h, or an image's), so a run that cannot save removes nothing.
#pragma once

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace emulated {

inline constexpr char kWindowsDirectory[] = "C:\\WINDOWS";
inline constexpr char kSystemDirectory[] = "C:\\WINDOWS\\SYSTEM";

// The entry of `folder` whose name matches `name` ignoring case; an exact match wins, then the first in
// name order, so the choice never depends on the order the host lists a folder.
bool FindEntryIgnoringCase(const std::filesystem::path& folder, std::string_view name, std::filesystem::path& found);
// The same in the folder open on `dir`: `found` receives the entry's name.
bool FindEntryIgnoringCaseAt(int dir, std::string_view name, std::string& found);

// Makes the entry that a path relative to the Windows folder names ("SYSTEM/cmaudio.vxd", as a Windows path
// gives it) present in the host folder before it is looked up, and with `contents` a folder's files too: for a
// host folder standing for another whose entries are made as they are needed (a disk image's Windows folder).
// What cannot be made is not there; the maker keeps the reason for its caller.
using MakePresent = std::function<void(const std::string& relative, bool contents)>;

class WindowsFolder {
public:
    // `hostFolder` stands for C:\WINDOWS. It is opened here, once, without following a link. `present`, when
    // given, makes each path present before it is looked up.
    explicit WindowsFolder(const std::filesystem::path& hostFolder, MakePresent present = {});
    ~WindowsFolder();
    WindowsFolder(const WindowsFolder&) = delete;
    WindowsFolder& operator=(const WindowsFolder&) = delete;

    enum class Outcome {
        Removed,  // a regular file: taken for removal, gone for the rest of the run
        Missing,  // nothing there (or already taken)
        Refused,  // a folder, a link, or a path that would leave the folder
    };
    Outcome Remove(std::string_view windowsPath);

    // The host path of an existing regular file not taken for removal, or empty.
    std::filesystem::path Find(std::string_view windowsPath) const;

    // The files taken for removal, as host paths relative to the folder, in the order they were taken.
    const std::vector<std::string>& Taken() const { return taken_; }
    // How many taken files the commit removed from the disk.
    std::size_t Committed() const { return committed_; }

    // Records that `count` of the taken files left the disk in the commit of the whole change.
    void Committed(std::size_t count)
    {
        committed_ = count;
        taken_.clear();
    }

private:
    // The exact host names of the components of a Windows path, when it names a regular file.
    enum class Lookup { Found, Missing, Refused };
    Lookup Resolve(std::string_view windowsPath, std::string& relative) const;
    std::filesystem::path host_;
    MakePresent present_;
    int root_ = -1;  // handle on the host folder; -1 when it could not be opened
    std::vector<std::string> taken_;
    std::size_t committed_ = 0;
    std::set<std::string> takenSet_;
};

}  // namespace emulated
