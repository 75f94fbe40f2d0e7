#include "host/tool.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace host {

namespace {

// Reads the tool's standard output and error into `tool` until both end, and closes them.
void ReadOutputs(int out, int err, Tool& tool)
{
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    std::string* sinks[2] = {&tool.out, &tool.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[8192];
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            } else {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            }
        }
    }
    for (pollfd& fd : fds) {
        if (fd.fd >= 0)
            close(fd.fd);
    }
}

// The tool's environment: the user's, in the C locale, so that what the program reads of a tool's output
// reads the same on every host.
std::vector<std::string> ToolEnvironment()
{
    std::vector<std::string> environment {"LC_ALL=C"};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view variable(*entry);
        if (variable.rfind("LC_ALL=", 0) != 0)
            environment.emplace_back(variable);
    }
    return environment;
}

}  // namespace

bool RunTool(const std::vector<std::string>& words, Tool& tool, const std::string& package, const std::vector<int>& passed)
{
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        return false;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    // A descriptor duplicated onto itself loses its close-on-exec flag in the child alone.
    for (int fd : passed)
        posix_spawn_file_actions_adddup2(&actions, fd, fd);
    // A session of its own has no controlling terminal: a tool that would ask on /dev/tty cannot open it,
    // so it never waits for an answer that nobody sees.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    std::vector<char*> argv;
    for (const std::string& word : words)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> environment = ToolEnvironment();
    std::vector<char*> envp;
    for (std::string& variable : environment)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    pid_t child = -1;
    const int spawned = posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(outPipe[1]);
    close(errPipe[1]);
    if (spawned != 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        tool.err = words[0] + ": " + std::strerror(spawned) + " (install " + package + ")";
        return false;
    }
    ReadOutputs(outPipe[0], errPipe[0], tool);
    while (waitpid(child, &tool.status, 0) < 0 && errno == EINTR) { }
    return WIFEXITED(tool.status) && WEXITSTATUS(tool.status) == 0;
}

bool OnPath(const std::string& name)
{
    const auto runnable = [](const std::string& path) {
        struct stat status { };
        return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(path.c_str(), X_OK) == 0;
    };
    if (name.find('/') != std::string::npos)
        return runnable(name);
    // posix_spawnp's own search: each folder of PATH in turn, an empty one the current folder; without a
    // PATH, the C library's default.
    const char* path = std::getenv("PATH");
    const std::string folders = path != nullptr ? path : "/bin:/usr/bin";
    for (std::size_t start = 0; start <= folders.size();) {
        const std::size_t colon = std::min(folders.find(':', start), folders.size());
        const std::string folder = folders.substr(start, colon - start);
        if (runnable((folder.empty() ? std::string(".") : folder) + "/" + name))
            return true;
        start = colon + 1;
    }
    return false;
}

std::string Complaint(const Tool& tool)
{
    std::string line = tool.err.substr(0, tool.err.find('\n'));
    return line.empty() ? "it failed" : line;
}

}  // namespace host
