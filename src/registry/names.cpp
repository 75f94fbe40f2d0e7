#include "registry/names.h"

namespace emulated {

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

const RootKey kRootKeys[kRootCount] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT", "HKCR"},     {HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "HKCU"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "HKLM"},   {HKEY_USERS, "HKEY_USERS", "HKU"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG", "HKCC"}, {HKEY_DYN_DATA, "HKEY_DYN_DATA", "HKDD"},
};

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

int RootIndexOf(HKEY root)
{
    for (int i = 0; i < kRootCount; ++i) {
        if (kRootKeys[i].handle == root)
            return i;
    }
    return -1;
}

int RootIndexByName(std::string_view path)
{
    for (int i = 0; i < kRootCount; ++i) {
        std::string_view name = kRootKeys[i].name;
        if (path.size() >= name.size() && SameName(path.substr(0, name.size()), name) &&
            (path.size() == name.size() || path[name.size()] == '\\'))
            return i;
    }
    return -1;
}

const char* RootName(HKEY root)
{
    int index = RootIndexOf(root);
    return index < 0 ? "(handle)" : kRootKeys[index].name;
}

const char* ShortRootName(HKEY root)
{
    int index = RootIndexOf(root);
    return index < 0 ? "(handle)" : kRootKeys[index].shortName;
}

}  // namespace emulated
