// The one way a backslash-separated path is cut into its parts: registry key paths, driver key names,
// Windows file paths. Every part comes out as it stands, the empty ones too ("a\\\\b" gives "a", "", "b"; a
// trailing backslash gives a last empty part; an empty path gives none): what an empty part means is the
// caller's to say. No allocation and no run-time library call, so the Windows program uses it too.
#pragma once

#include <cstddef>
#include <string_view>

class PathParts {
public:
    explicit PathParts(std::string_view path) : path_(path), done_(path.empty()) { }

    // The next part; false once every part was given.
    bool Next(std::string_view& part)
    {
        if (done_)
            return false;
        std::size_t end = 0;
        while (end < path_.size() && path_[end] != '\\')
            ++end;
        part = std::string_view(path_.data(), end);
        if (end == path_.size())
            done_ = true;
        else
            path_ = std::string_view(path_.data() + end + 1, path_.size() - end - 1);
        return true;
    }

    // The path not given yet (empty once the last part was).
    std::string_view rest() const { return done_ ? std::string_view() : path_; }

private:
    std::string_view path_;
    bool done_;
};

// Whether a '/'-separated path stays inside the folder it is relative to: not empty, not absolute, and no
// part empty, "." or "..". For the paths a backup's manifest and a commit record name.
constexpr bool StaysInside(std::string_view path)
{
    if (path.empty() || path.front() == '/')
        return false;
    for (;;) {
        const std::size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        if (part.empty() || part == "." || part == "..")
            return false;
        if (slash == std::string_view::npos)
            return true;
        path.remove_prefix(slash + 1);
    }
}
