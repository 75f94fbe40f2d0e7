// The helper programs an image run starts (qemu-img, qemu-io): as subprocesses, without a shell,
// without standard input and without a controlling terminal, so that none of them can ask a question that
// nobody sees.
#pragma once

#include <string>
#include <vector>

namespace host {

struct Tool {
    std::string out;
    std::string err;
    int status = -1;
};

// Runs `words` (the program, then its arguments) in a session of its own with standard input from
// /dev/null and its output captured in `tool`. True when it ran and exited 0. A program that cannot be
// started leaves `tool.err` naming it and `package`, the package that has it. The descriptors `passed` stay
// open in the program under their numbers, for it to reach as /proc/self/fd/N; no other of ours does.
bool RunTool(const std::vector<std::string>& words, Tool& tool, const std::string& package,
             const std::vector<int>& passed = {});

// Whether RunTool would find the program `name`: an executable regular file in a folder of PATH (or at
// `name`, when it holds a '/').
bool OnPath(const std::string& name);

// The first line of a tool's complaint, for a message.
std::string Complaint(const Tool& tool);

}  // namespace host
