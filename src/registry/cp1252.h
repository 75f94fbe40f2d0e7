// Windows-1252 to UTF-8, for display and the journal only: the machine's texts stay Windows-1252 bytes.
#pragma once

#include <string>
#include <string_view>

namespace emulated {

std::string Cp1252ToUtf8(std::string_view text);

}  // namespace emulated
