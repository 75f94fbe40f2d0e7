// JSON as the program writes it, in the journal's records and the backup's manifest: string literals of
// Windows-1252 texts and of host bytes. JSON is read with nlohmann-json (backup/manifest.cpp, image/disk.cpp).
#pragma once

#include <string>
#include <string_view>

namespace emulated {

// A JSON string literal of host bytes, kept as they are but for what JSON escapes: the quote, the
// backslash, and every control character U+0000 to U+001F as \u00XX.
std::string JsonBytes(std::string_view bytes);

// A JSON string literal of a Windows-1252 text, converted to UTF-8.
std::string JsonString(std::string_view cp1252);

}  // namespace emulated
