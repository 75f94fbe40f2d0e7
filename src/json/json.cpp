#include "json/json.h"

#include <nlohmann/json.hpp>

#include "common/hex.h"
#include "json/cp1252.h"

namespace json {

using Library = nlohmann::json;

struct Document::Tree {
    Library top;
};

namespace {

// The library's value behind a Value, whose header names no type of the library.
const Library& Node(const void* node)
{
    return *static_cast<const Library*>(node);
}

// The length of the valid UTF-8 sequence `bytes` starts with; 0 when it does not start with one, or with one of
// U+F780..U+F7FF, which stand for single bytes in HostBytes' text and so are written byte by byte themselves.
std::size_t Utf8Length(std::string_view bytes)
{
    const auto lead = static_cast<unsigned char>(bytes[0]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                               : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
    if (length == 0 || bytes.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(bytes[i]) & 0xC0) != 0x80)
            return 0;
    }
    const auto second = static_cast<unsigned char>(bytes.size() > 1 ? bytes[1] : 0);
    // Overlong forms, UTF-16 surrogates and code points past U+10FFFF are not UTF-8.
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) || (lead == 0xF0 && second < 0x90) ||
        (lead == 0xF4 && second >= 0x90))
        return 0;
    if (lead == 0xEF && (second & 0xFE) == 0x9E)
        return 0;
    return length;
}

}  // namespace

std::string Bytes(std::string_view bytes)
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

std::string Windows1252(std::string_view cp1252)
{
    return Bytes(emulated::Cp1252ToUtf8(cp1252));
}

std::string HostBytes(std::string_view bytes)
{
    std::string text;
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t length = Utf8Length(bytes.substr(i));
        if (length != 0) {
            text.append(bytes.substr(i, length));
            i += length;
            continue;
        }
        emulated::AppendUtf8(text, 0xF700u + static_cast<unsigned char>(bytes[i++]));
    }
    return Bytes(text);
}

std::string HostBytesFromText(const std::string& text)
{
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead == 0xEF && i + 2 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xFE) == 0x9E) {
            const unsigned code = 0xF000u | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6 |
                                  (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
            if (code >= 0xF780u) {
                bytes += static_cast<char>(code - 0xF700u);
                i += 2;
                continue;
            }
        }
        bytes += text[i];
    }
    return bytes;
}

bool Value::IsObject() const
{
    return Exists() && Node(node_).is_object();
}

bool Value::IsArray() const
{
    return Exists() && Node(node_).is_array();
}

Value Value::Member(const char* key) const
{
    if (!IsObject())
        return Value(nullptr);
    const auto found = Node(node_).find(key);
    return Value(found == Node(node_).end() ? nullptr : &*found);
}

bool Value::Text(std::string& value) const
{
    if (!Exists() || !Node(node_).is_string())
        return false;
    value = Node(node_).get_ref<const std::string&>();
    return true;
}

bool Value::Number(std::uint64_t& value) const
{
    if (!Exists() || !Node(node_).is_number_unsigned())
        return false;
    value = Node(node_).get<std::uint64_t>();
    return true;
}

bool Value::IsTrue() const
{
    return Exists() && Node(node_).is_boolean() && Node(node_).get<bool>();
}

std::vector<Value> Value::Elements() const
{
    std::vector<Value> elements;
    if (IsArray()) {
        for (const Library& element : Node(node_))
            elements.push_back(Value(&element));
    }
    return elements;
}

std::vector<std::pair<std::string, Value>> Value::Members() const
{
    std::vector<std::pair<std::string, Value>> members;
    if (IsObject()) {
        for (const auto& [name, member] : Node(node_).items())
            members.emplace_back(name, Value(&member));
    }
    return members;
}

std::string Value::Dump() const
{
    // A parsed string is valid UTF-8, so that dump, which throws on anything else, cannot throw here.
    return Exists() ? Node(node_).dump() : std::string();
}

Document::Document() = default;
Document::~Document() = default;

Value Document::Root() const
{
    return Value(tree_ ? &tree_->top : nullptr);
}

bool Parse(std::string_view text, Document& document, std::string& error)
{
    document.tree_.reset();
    // Parsed without exceptions: a text that is not JSON, one cut short among them, comes back discarded.
    auto tree = std::make_unique<Document::Tree>();
    tree->top = Library::parse(text, nullptr, false);
    if (tree->top.is_discarded()) {
        error = "not JSON, or cut short";
        return false;
    }
    document.tree_ = std::move(tree);
    return true;
}

}  // namespace json
