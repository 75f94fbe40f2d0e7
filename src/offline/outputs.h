// The files a run writes besides the machine's own: the journal and an export. Such a file may never be one
// the run reads or writes, and it is written durably: a new file, or a regular file replaced whole at the
// end, never through a link. Standard output ("-"), a FIFO or a device takes the bytes as they come.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "storage/durable.h"

namespace offline {

// False with a one-line `error` when `file` ("-" is standard output) is one of `files` (the same device and
// inode: a link or a second name counts; for a file not there yet, the same name in the same folder) or lies
// inside one of `folders`.
bool OutputIsApart(const std::string& file, const std::vector<std::filesystem::path>& files,
                   const std::vector<std::filesystem::path>& folders, std::string& error);

// An output being written: to a temporary file beside its place until Finish puts it there.
class OutputFile {
public:
    // Its file is written and put in place through `calls`.
    explicit OutputFile(storage::Syscalls& calls = storage::Syscalls::Real()) : calls_(calls) { }
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens `file` for writing. False with a one-line `error`; nothing is made then.
    bool Open(const std::string& file, std::string& error);
    std::FILE* stream() const { return stream_; }
    // Flushes the bytes and puts the file in its place. False with `error`; the old file is then as it was.
    bool Finish(std::string& error);

private:
    storage::Syscalls& calls_;
    std::FILE* stream_ = nullptr;
    std::string file_;
    std::string temporary_;  // empty when writing straight to the stream
};

}  // namespace offline
