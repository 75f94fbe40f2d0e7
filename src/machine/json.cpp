#include "machine/json.h"

#include "common/hex.h"
#include "registry/cp1252.h"

namespace emulated {

std::string JsonBytes(std::string_view bytes)
{
    std::string out = "\"";
    for (char c : bytes) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += HexDigit(byte >> 4);
            out += HexDigit(byte);
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::string JsonString(std::string_view cp1252)
{
    return JsonBytes(Cp1252ToUtf8(cp1252));
}

}  // namespace emulated
