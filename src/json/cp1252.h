// Windows-1252 to UTF-8, for display, the journal and the manifest only: the machine's texts stay
// Windows-1252 bytes. It stands in the JSON room, whose string literals need it (JSON is UTF-8), below the
// terminal boxes and the backup that use it too; its namespace is that of the emulated machine whose texts
// it converts.
#pragma once

#include <string>
#include <string_view>

namespace emulated {

std::string Cp1252ToUtf8(std::string_view text);

// Appends a code point below U+10000 as UTF-8.
void AppendUtf8(std::string& out, char32_t code);

}  // namespace emulated
