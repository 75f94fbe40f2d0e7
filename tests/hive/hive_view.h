// The canonical dump of a registry tree that libcreg_view.py prints for libcreg's reading of a Windows 9x
// registry file, here of the project's own reading of it, so that the two compare line by line:
//
//   K <TAB> path                                    one line per key below the root
//   V <TAB> path <TAB> name <TAB> type <TAB> data   one line per value (the root's own with an empty path)
//
// sorted by bytes. Names print as Windows-1252 bytes: printable ASCII as it is (but the backslash), a byte
// Windows-1252 leaves undefined as \x?? (libcreg cannot tell those apart), any other as \xNN. Data is every
// byte the value holds, as the file stores it.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "registry/registry.h"

namespace hive_view {

inline std::string Escape(std::string_view name)
{
    std::string out;
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D) {
            out += "\\x??";
        } else if (c >= 0x20 && c <= 0x7E && c != '\\') {
            out += ch;
        } else {
            char buffer[5];
            std::snprintf(buffer, sizeof buffer, "\\x%02x", c);
            out += buffer;
        }
    }
    return out;
}

inline std::string Hex(std::string_view data)
{
    std::string out;
    for (const char ch : data) {
        char buffer[3];
        std::snprintf(buffer, sizeof buffer, "%02x", static_cast<unsigned char>(ch));
        out += buffer;
    }
    return out;
}

// The dump of every key below `root` (a root key or a key path below it).
inline std::string Dump(const emulated::Registry& registry, HKEY root, const std::string& base = "")
{
    std::vector<std::string> lines;
    // Each pending item: the key's path below `root`, and the same as printed.
    std::vector<std::pair<std::string, std::string>> pending {{base, ""}};
    while (!pending.empty()) {
        auto [path, shown] = std::move(pending.back());
        pending.pop_back();
        if (!shown.empty())
            lines.push_back("K\t" + shown);
        for (const emulated::Value& value : registry.ValuesOf(root, path)) {
            lines.push_back("V\t" + shown + '\t' + Escape(value.name) + '\t' + std::to_string(value.type) + '\t' +
                            Hex(value.data));
        }
        for (const std::string& name : registry.SubkeyNames(root, path))
            pending.emplace_back(path.empty() ? name : path + '\\' + name,
                                 shown.empty() ? Escape(name) : shown + '\\' + Escape(name));
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& line : lines)
        out += line + '\n';
    return out;
}

}  // namespace hive_view
