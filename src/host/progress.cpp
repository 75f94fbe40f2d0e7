#include "host/progress.h"

#include <ctime>

#include <unistd.h>

namespace host {

namespace {

constexpr std::uint64_t kShowAfterMs = 1000;
constexpr std::uint64_t kRedrawMs = 100;

std::uint64_t MonotonicMs()
{
    timespec now { };
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

std::FILE* TerminalStderr()
{
    return isatty(STDERR_FILENO) != 0 ? stderr : nullptr;
}

}  // namespace

Progress::Progress(std::string what, std::uint64_t total, const char* unit)
    : Progress(std::move(what), total, unit, TerminalStderr(), MonotonicMs)
{
}

Progress::Progress(std::string what, std::uint64_t total, const char* unit, std::FILE* terminal, Clock clock)
    : what_(std::move(what)), total_(total), unit_(unit), terminal_(terminal), clock_(clock),
      start_(terminal != nullptr ? clock() : 0)
{
}

Progress::~Progress()
{
    Done();
}

void Progress::Update(std::uint64_t done)
{
    if (terminal_ == nullptr)
        return;
    const std::uint64_t now = clock_();
    if (now - start_ < kShowAfterMs || (width_ != 0 && now - drawnAt_ < kRedrawMs))
        return;
    drawnAt_ = now;
    char figures[96];
    if (unit_ != nullptr)
        std::snprintf(figures, sizeof figures, "%llu %s", static_cast<unsigned long long>(done), unit_);
    else
        std::snprintf(figures, sizeof figures, "%.1f of %.1f MB (%llu%%)", static_cast<double>(done) / 1048576.0,
                      static_cast<double>(total_) / 1048576.0,
                      static_cast<unsigned long long>(total_ == 0 ? 100 : done * 100 / total_));
    const std::string line = "cmpci-uninstall: " + what_ + ": " + figures;
    // A shorter line than the last one drawn clears the rest of it.
    const std::size_t pad = width_ > line.size() ? width_ - line.size() : 0;
    std::fprintf(terminal_, "\r%s%*s", line.c_str(), static_cast<int>(pad), "");
    std::fflush(terminal_);
    if (line.size() > width_)
        width_ = line.size();
}

void Progress::Done()
{
    if (width_ == 0)
        return;
    std::fprintf(terminal_, "\r%*s\r", static_cast<int>(width_), "");
    std::fflush(terminal_);
    width_ = 0;
}

}  // namespace host
