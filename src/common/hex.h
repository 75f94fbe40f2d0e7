// Hex digits, one table for every place that writes a value in hex.
#pragma once

enum class HexLetters { Lower, Upper };

// The hex digit of the low four bits of `value`.
constexpr char HexDigit(unsigned value, HexLetters letters = HexLetters::Lower)
{
    return (letters == HexLetters::Upper ? "0123456789ABCDEF" : "0123456789abcdef")[value & 0xFu];
}
