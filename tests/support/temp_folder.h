// A folder of a test's own: made by mkdtemp below the system's temporary folder (TMPDIR), removed with all
// it holds when the object goes. Two runs of the suites side by side (two build trees, CI beside a local
// run) never meet in one.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace test_support {

class TempFolder {
public:
    // `prefix` names the folder for whoever finds one left by a killed test.
    explicit TempFolder(const std::string& prefix = "cmpci-test")
    {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()) != nullptr)
            path_ = pattern;
    }
    ~TempFolder()
    {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // Empty when mkdtemp failed: a test checks ok() before it writes.
    bool ok() const { return !path_.empty(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace test_support
