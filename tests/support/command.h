// Runs a shell command for a test and takes what it prints on standard output.
#pragma once

#include <stdio.h>

#include <string>

namespace test_support {

// The command's standard output; `status` gets pclose's status, or -1 when the command could not start.
inline std::string CommandOutput(const std::string& command, int& status)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        status = -1;
        return out;
    }
    char buffer[4096];
    for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, got);
    status = pclose(pipe);
    return out;
}

}  // namespace test_support
