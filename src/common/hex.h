// Hex digits, one table for every place that writes a value in hex, and one reader of a digit.
#pragma once

#include <string_view>

enum class HexLetters { Lower, Upper };

// The hex digit of the low four bits of `value`.
constexpr char HexDigit(unsigned value, HexLetters letters = HexLetters::Lower)
{
    return (letters == HexLetters::Upper ? "0123456789ABCDEF" : "0123456789abcdef")[value & 0xFu];
}

// The value of a hex digit of either case, or -1 for any other character.
constexpr int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Appends `bytes` to `out` in lower-case hex, two digits a byte. `out` is any text that takes a character by
// +=: it alone decides whether that allocates.
template <class Text> void AppendHex(Text& out, std::string_view bytes)
{
    for (char byte : bytes) {
        out += HexDigit(static_cast<unsigned char>(byte) >> 4);
        out += HexDigit(static_cast<unsigned char>(byte));
    }
}
