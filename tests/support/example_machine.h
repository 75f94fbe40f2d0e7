// The bundled example machine for the host tests: private copies to run on, and the shared list of what a
// run removes (tests/data/example_machine_removed.txt).
#pragma once

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "support/temp_folder.h"

namespace example {

namespace fs = std::filesystem;

inline fs::path Source()
{
    return fs::path(CMPCI_SOURCE_DIR) / "examples" / "machine";
}

// What a run removes, in run order: keys as ROOT\path, files relative to the machine folder.
struct Removed {
    std::vector<std::string> keys;
    std::vector<std::string> files;
};

inline Removed ReadRemoved()
{
    Removed removed;
    std::ifstream in(fs::path(CMPCI_SOURCE_DIR) / "tests" / "data" / "example_machine_removed.txt");
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        (line.rfind("HKEY_", 0) == 0 ? removed.keys : removed.files).push_back(line);
    }
    return removed;
}

// Relative paths of every regular file below `folder`.
inline std::set<std::string> FilesBelow(const fs::path& folder)
{
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file())
            files.insert(entry.path().lexically_relative(folder).generic_string());
    }
    return files;
}

// A copy of the example machine, NAME in a temporary folder of its own, removed with this object.
class Copy {
public:
    explicit Copy(const std::string& name) : folder_("cmpci-example"), path_(folder_.path() / name) { Reset(); }
    Copy(const Copy&) = delete;
    Copy& operator=(const Copy&) = delete;

    const fs::path& path() const { return path_; }

    // A new copy, replacing this one.
    void Reset()
    {
        fs::remove_all(path_);
        fs::copy(Source(), path_, fs::copy_options::recursive);
    }
    // Puts back the files a run removed; the registry file is left as it is.
    void RestoreFiles() { fs::copy(Source(), path_, fs::copy_options::recursive | fs::copy_options::skip_existing); }

private:
    test_support::TempFolder folder_;
    fs::path path_;
};

}  // namespace example
