// The bundled example machine for the host tests: private copies to run on.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

namespace example {

namespace fs = std::filesystem;

inline fs::path Source()
{
    return fs::path(CMPCI_SOURCE_DIR) / "examples" / "machine";
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

// A copy of the example machine in the temporary folder, removed with this object. The process id in its
// name keeps runs of the suite from different build trees apart.
class Copy {
public:
    explicit Copy(const std::string& name)
        : path_(fs::temp_directory_path() / ("cmpci-example-" + std::to_string(::getpid()) + "-" + name))
    {
        Reset();
    }
    ~Copy() { fs::remove_all(path_); }
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
    fs::path path_;
};

}  // namespace example
