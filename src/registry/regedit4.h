// REGEDIT4 files, read as regedit imports them and written as regedit writes them: the reader fills a
// Registry that keeps the file's bytes, and the writers give the whole registry, the file less the removed
// keys' sections, and the removal as a file that puts the keys back or deletes them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "registry/registry.h"

namespace emulated {

// A line of a REGEDIT4 file that the reader passed over, as regedit passes over it.
struct SkippedLine {
    unsigned line = 0;
    std::string reason;
};

// Result of reading a REGEDIT4 file. On failure `line` is the 1-based line at fault and nothing is loaded.
struct LoadResult {
    bool ok = false;
    unsigned line = 0;
    std::string message;
    // Lines passed over (the first few of them; `skippedCount` counts them all).
    std::vector<SkippedLine> skipped;
    unsigned skippedCount = 0;
};

// How many skipped lines a LoadResult keeps.
inline constexpr std::size_t kSkippedLinesKept = 20;

// Reads a REGEDIT4 file into an empty registry, as regedit imports it: every line regedit takes is taken,
// lines it passes over are passed over and reported. Only a file whose first line is not a REGEDIT4 header
// is refused. The registry keeps `text` as the file's bytes.
LoadResult LoadRegedit4(std::string text, Registry& registry);

// What a file's first bytes say it is, for the message when it is not a REGEDIT4 file.
std::string DescribeNonRegedit4(std::string_view text);

// Writes the registry in the form regedit writes: CRLF, "REGEDIT4", a blank line before every key line,
// keys depth-first in stored order, an empty line at the end. Every value goes out as the bytes stored: a
// REG_SZ that quotes cannot give back (a CR, LF or zero byte in it) goes out as hex(1), with exactly its
// bytes; a CR or LF in a value name goes out as \r or \n.
std::string SaveRegedit4(const Registry& registry);

// Appends one value line (and its continuation lines) in regedit's form.
void AppendRegedit4Value(std::string& out, const Value& value);

// The edited file: the kept ranges joined.
std::string EditedRegedit4(const Registry& registry);

// Every key DeleteKey removed, with its whole subtree as it was, in regedit's form: importing it puts the
// keys back.
std::string PuttingBackRegedit4(const Registry& registry);

// The same removal as a file for regedit: a "[-KEY]" line for every key DeleteKey removed, which deletes
// the key with its subtree when imported.
std::string DeletingRegedit4(const Registry& registry);

}  // namespace emulated
