// How far a long step is, for a user at a terminal: once a step has taken about a second, one line on
// standard error says what it does and how far it is, rewritten in place with '\r', and erased when the step
// ends. Nothing at all when standard error is not a terminal, so that scripts and logs see no such line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace host {

class Progress {
public:
    // Milliseconds from any fixed start.
    using Clock = std::uint64_t (*)();

    // A step that does `what` ("reading C:\WINDOWS of disk.img"), of `total` bytes (shown as MB and a
    // percentage), or of things counted in `unit`s ("files", total 0: not known beforehand).
    Progress(std::string what, std::uint64_t total, const char* unit = nullptr);
    // The same on `terminal` (null: not a terminal), timed by `clock`.
    Progress(std::string what, std::uint64_t total, const char* unit, std::FILE* terminal, Clock clock);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // `done` of the total so far; the line is drawn at most every tenth of a second.
    void Update(std::uint64_t done);
    // Erases the line, when one was drawn.
    void Done();

private:
    std::string what_;
    std::uint64_t total_;
    const char* unit_;
    std::FILE* terminal_;
    Clock clock_;
    std::uint64_t start_;
    std::uint64_t drawnAt_ = 0;
    std::size_t width_ = 0;  // of the line drawn; 0: none
};

}  // namespace host
