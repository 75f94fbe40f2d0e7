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

bool ReadJsonBytes(std::string_view text, std::string& bytes)
{
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"')
            return true;
        if (text.substr(i, 4) == "\\u00" && i + 5 < text.size() && HexDigitValue(text[i + 4]) >= 0 &&
            HexDigitValue(text[i + 5]) >= 0) {
            bytes += static_cast<char>(HexDigitValue(text[i + 4]) << 4 | HexDigitValue(text[i + 5]));
            i += 5;
            continue;
        }
        if (text[i] == '\\' && i + 1 < text.size())
            ++i;
        bytes += text[i];
    }
    return false;
}

}  // namespace emulated
