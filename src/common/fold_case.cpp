#include "common/fold_case.h"

namespace {

constexpr char FoldByte(unsigned byte)
{
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 0xC0 && byte <= 0xDE && byte != 0xD7))
        return static_cast<char>(byte + 0x20);
    if (byte == 0x8A || byte == 0x8C || byte == 0x8E)
        return static_cast<char>(byte + 0x10);
    if (byte == 0x9F)
        return static_cast<char>(0xFF);
    return static_cast<char>(byte);
}

// One table lookup a byte: names are folded on every registry lookup and every file name match.
struct FoldTable {
    char folded[256];
    constexpr FoldTable() : folded()
    {
        for (unsigned byte = 0; byte < 256; ++byte)
            folded[byte] = FoldByte(byte);
    }
};
constexpr FoldTable kFold;

}  // namespace

char FoldCase(char c)
{
    return kFold.folded[static_cast<unsigned char>(c)];
}

bool SameName(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldCase(a[i]) != FoldCase(b[i]))
            return false;
    }
    return true;
}
