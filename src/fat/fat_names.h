// The names of a file made anew on a FAT volume, as Windows 9x makes them: the short name (8.3, upper case,
// a numeric tail "~1" when the name does not fit or would clash), and the long-name entries that carry the
// name as it is.
#pragma once

#include <string>
#include <vector>

#include "fat/fat.h"

namespace image {

// Whether `name` can name a file on FAT: 1 to 255 characters, none of \ / : * ? " < > | nor a control
// character, not ending in a space or a period.
bool IsFatName(const std::string& name);

// The short name (11 bytes as stored, "NAME    EXT") for `name` in a folder holding `entries`. `exact`:
// the short name says `name` as it is, so no long name is needed. False when every numeric tail is taken.
bool MakeShortName(const std::string& name, const std::vector<FatEntry>& entries, std::string& shortName, bool& exact);

// The long-name entries (32 bytes each) that carry `name` for the short entry named `shortName`, in folder
// order: the last part first. Windows-1252 characters are stored as the UTF-16 units of the same value,
// as the reader takes them back.
std::vector<std::string> LongNameEntries(const std::string& name, const std::string& shortName);

}  // namespace image
