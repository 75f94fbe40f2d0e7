#include "fat/fat_names.h"

#include <cstring>

#include "common/fold_case.h"
#include "fat/fat_layout.h"

namespace image {

namespace {

using namespace fat;

// Bytes a short name may hold besides letters and digits. Others become '_' (and need a long name);
// bytes past ASCII too, since the volume's short names are in the OEM code page, not Windows-1252.
bool ShortNameByte(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || std::strchr("$%'-_@~`!(){}^#&", c) != nullptr;
}

// A part of the name as a short name holds it: upper case, spaces and periods dropped, other bytes it
// cannot hold as '_'. `lossy` is set when a byte became '_'.
std::string ShortPart(const std::string& text, bool& lossy)
{
    std::string part;
    for (char each : text) {
        unsigned char c = static_cast<unsigned char>(each);
        if (c >= 'a' && c <= 'z')
            c = static_cast<unsigned char>(c - 'a' + 'A');
        if (c == ' ' || c == '.')
            continue;
        if (!ShortNameByte(c)) {
            c = '_';
            lossy = true;
        }
        part += static_cast<char>(c);
    }
    return part;
}

std::string Stored(const std::string& base, const std::string& extension)
{
    std::string stored = (base + "        ").substr(0, 8) + (extension + "   ").substr(0, 3);
    return stored;
}

bool Taken(const std::string& shown, const std::vector<FatEntry>& entries)
{
    for (const FatEntry& entry : entries) {
        if (SameName(entry.shortName, shown))
            return true;
    }
    return false;
}

}  // namespace

bool IsFatName(const std::string& name)
{
    if (name.empty() || name.size() > kLongestName || name == "." || name == ".." || name.back() == ' ' ||
        name.back() == '.')
        return false;
    for (char each : name) {
        if (static_cast<unsigned char>(each) < 0x20 || std::strchr("\\/:*?\"<>|", each) != nullptr)
            return false;
    }
    return true;
}

bool MakeShortName(const std::string& name, const std::vector<FatEntry>& entries, std::string& shortName, bool& exact)
{
    // The extension follows the last period (a name's leading periods do not start one).
    const std::size_t firstKept = name.find_first_not_of('.');
    const std::size_t dot = name.rfind('.');
    const bool hasExtension = dot != std::string::npos && firstKept != std::string::npos && dot > firstKept;
    bool lossy = false;
    const std::string base = ShortPart(name.substr(0, hasExtension ? dot : name.size()), lossy);
    const std::string extension = hasExtension ? ShortPart(name.substr(dot + 1), lossy) : std::string();
    const std::string plain = extension.empty() ? base : base + "." + extension;
    // It fits when nothing was dropped or changed but the letters' case.
    const bool fits = !lossy && !base.empty() && base.size() <= 8 && extension.size() <= 3 && SameName(plain, name);
    exact = fits && plain == name;
    if (fits && !Taken(plain, entries)) {
        shortName = Stored(base, extension);
        return true;
    }
    const std::string shortExtension = extension.substr(0, 3);
    const std::string shownExtension = shortExtension.empty() ? "" : "." + shortExtension;
    exact = false;
    for (unsigned number = 1; number < 1000000; ++number) {
        const std::string tail = "~" + std::to_string(number);
        const std::string withTail = base.substr(0, 8 - tail.size()) + tail;
        if (!Taken(withTail + shownExtension, entries)) {
            shortName = Stored(withTail, shortExtension);
            return true;
        }
    }
    return false;
}

std::vector<std::string> LongNameEntries(const std::string& name, const std::string& shortName)
{
    const unsigned char checksum = ShortNameChecksum(reinterpret_cast<const unsigned char*>(shortName.data()));
    const int parts = static_cast<int>((name.size() + kUnitsPerPart - 1) / kUnitsPerPart);
    std::vector<std::string> entries;
    for (int order = parts; order >= 1; --order) {
        std::string entry(kEntryBytes, '\0');
        auto* e = reinterpret_cast<unsigned char*>(entry.data());
        e[0] = static_cast<unsigned char>(order | (order == parts ? kLastPart : 0));
        e[kAttributes] = kLongNameParts;
        e[kLongChecksum] = checksum;
        for (int i = 0; i < kUnitsPerPart; ++i) {
            // The name's units, then one 0 when there is room, then 0xFFFF to the part's end.
            const std::size_t at = static_cast<std::size_t>((order - 1) * kUnitsPerPart + i);
            const unsigned unit = at < name.size()    ? static_cast<unsigned char>(name[at])
                                  : at == name.size() ? 0
                                                      : 0xFFFF;
            Put16(e + kUnitPlaces[i], unit);
        }
        entries.push_back(entry);
    }
    return entries;
}

}  // namespace image
