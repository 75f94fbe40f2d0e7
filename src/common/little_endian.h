// Little-endian numbers in on-disk structures (the partition table, FAT, the disk formats' headers, Windows
// 9x registry files): read from and written into raw bytes, or into a file's bytes at an offset. A read past
// the end of a text gives 0; the structures' readers check their sizes first and never rely on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace byte_order {

inline unsigned Le16(const unsigned char* p)
{
    return p[0] | p[1] << 8;
}

inline std::uint32_t Le32(const unsigned char* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::uint64_t Le64(const unsigned char* p)
{
    return Le32(p) | static_cast<std::uint64_t>(Le32(p + 4)) << 32;
}

inline void Put16(unsigned char* p, unsigned value)
{
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
}

inline void Put32(unsigned char* p, std::uint32_t value)
{
    Put16(p, value & 0xFFFF);
    Put16(p + 2, value >> 16);
}

inline void Put64(unsigned char* p, std::uint64_t value)
{
    Put32(p, static_cast<std::uint32_t>(value));
    Put32(p + 4, static_cast<std::uint32_t>(value >> 32));
}

inline std::uint16_t Le16(std::string_view text, std::size_t at)
{
    if (text.size() < 2 || at > text.size() - 2)
        return 0;
    return static_cast<std::uint16_t>(Le16(reinterpret_cast<const unsigned char*>(text.data() + at)));
}

inline std::uint32_t Le32(std::string_view text, std::size_t at)
{
    if (text.size() < 4 || at > text.size() - 4)
        return 0;
    return Le32(reinterpret_cast<const unsigned char*>(text.data() + at));
}

inline std::uint64_t Le64(std::string_view text, std::size_t at)
{
    if (text.size() < 8 || at > text.size() - 8)
        return 0;
    return Le64(reinterpret_cast<const unsigned char*>(text.data() + at));
}

inline void Put16(std::string& text, std::size_t at, std::uint16_t value)
{
    Put16(reinterpret_cast<unsigned char*>(text.data() + at), value);
}

inline void Put32(std::string& text, std::size_t at, std::uint32_t value)
{
    Put32(reinterpret_cast<unsigned char*>(text.data() + at), value);
}

inline void Put64(std::string& text, std::size_t at, std::uint64_t value)
{
    Put64(reinterpret_cast<unsigned char*>(text.data() + at), value);
}

}  // namespace byte_order
