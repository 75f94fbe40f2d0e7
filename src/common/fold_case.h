// Names as Windows 9x compares them: registry key and value names, and file names on a FAT volume.
#pragma once

#include <string_view>

// Letters compare without regard to case, the accented Windows-1252 ones too; every other byte as it is.
char FoldCase(char c);
bool SameName(std::string_view a, std::string_view b);
