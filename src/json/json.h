// JSON in one place. Written: the string literals of the journal's records and the backup's manifest, of
// host bytes and of Windows-1252 texts. Read: the manifest and qemu-img's descriptions and maps, parsed by
// Debian's nlohmann-json without exceptions. Only json.cpp includes the library: the readers see values
// through getters that check a value's type before they take it, so no reader can call one of the library's
// members that throws, and no other room compiles its header.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace json {

// A JSON string literal of host bytes, kept as they are but for what JSON escapes: the quote, the
// backslash, and every control character U+0000 to U+001F as \u00XX.
std::string Bytes(std::string_view bytes);

// A JSON string literal of a Windows-1252 text, converted to UTF-8.
std::string Windows1252(std::string_view cp1252);

// A JSON string literal of host bytes of any kind (a file name, a machine's texts), which must come back as
// they were. JSON holds Unicode only: a byte that is not part of valid UTF-8, or is part of one of
// U+F780..U+F7FF, is written as the private-use character U+F700 + byte.
std::string HostBytes(std::string_view bytes);

// The bytes HostBytes wrote, from the UTF-8 text a reader gives for its literal.
std::string HostBytesFromText(const std::string& text);

// One value of a parsed document, or none (a member that is not there, a document that did not parse). A
// getter answers false, or nothing, for none and for a value of another type. It stays valid as long as its
// document.
class Value {
public:
    bool Exists() const { return node_ != nullptr; }
    bool IsObject() const;
    bool IsArray() const;
    // The member `key` of an object; none when this is no object or has no such member.
    Value Member(const char* key) const;
    // A string's UTF-8 text.
    bool Text(std::string& value) const;
    // A whole number from 0 up; a negative or fractional number is of another type.
    bool Number(std::uint64_t& value) const;
    // The literal true.
    bool IsTrue() const;
    // An array's elements in order; none for any other value.
    std::vector<Value> Elements() const;
    // An object's members, in the order of their names; none for any other value.
    std::vector<std::pair<std::string, Value>> Members() const;
    // The value as compact JSON text, for a message.
    std::string Dump() const;

private:
    friend class Document;
    explicit Value(const void* node) : node_(node) { }
    const void* node_ = nullptr;  // the library's value, which this header does not name
};

// A parsed JSON text, owning its values.
class Document {
public:
    Document();
    ~Document();
    // The top value; none before a parse succeeded.
    Value Root() const;

private:
    friend bool Parse(std::string_view text, Document& document, std::string& error);
    struct Tree;
    std::unique_ptr<Tree> tree_;
};

// Parses a whole JSON text (RFC 8259: UTF-8, nothing after the value, no comments). False with a one-line
// `error`, and the document left empty, when it is not JSON or is cut short.
bool Parse(std::string_view text, Document& document, std::string& error);

}  // namespace json
