// Numbers given as text to the offline program and found in the registry, read with std::from_chars: the
// whole text must be the number, and it must not exceed `limit`.
#pragma once

#include <charconv>
#include <cstdint>
#include <string_view>

namespace emulated {

inline bool ParseNumber(std::string_view text, int base, std::uint32_t limit, std::uint32_t& value)
{
    // from_chars takes a sign; a number here never has one.
    if (text.empty() || text.front() == '-' || text.front() == '+')
        return false;
    std::uint32_t parsed = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed, base);
    if (error != std::errc() || end != text.data() + text.size() || parsed > limit)
        return false;
    value = parsed;
    return true;
}

// Decimal, or hexadecimal after 0x or 0X.
inline bool ParseDecimalOrHex(std::string_view text, std::uint32_t limit, std::uint32_t& value)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return ParseNumber(text.substr(2), 16, limit, value);
    return ParseNumber(text, 10, limit, value);
}

}  // namespace emulated
