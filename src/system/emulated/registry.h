// The emulated Windows 9x registry: a tree of keys with their values, in the order the registry holds them.
// Name lookup is case-insensitive and keeps the stored case; enumeration by index is O(1); a deletion is
// seen at once through every open handle, and a handle to a deleted key fails cleanly with
// ERROR_KEY_DELETED. String data is stored with its terminator, as Windows stores it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "system/win_types.h"

namespace emulated {

// How a value was written in its REGEDIT4 file, so that saving gives it back in the same form.
enum class ValueForm : unsigned char {
    String,    // "name"="text"      (data holds the text and its terminator)
    Dword,     // "name"=dword:...   (data holds 4 little-endian bytes)
    Hex,       // "name"=hex:...     (REG_BINARY)
    HexTyped,  // "name"=hex(N):...  (type N)
};

struct Value {
    std::string name;  // empty for the default value (@)
    DWORD type = REG_SZ;
    std::string data;  // raw bytes, Windows-1252 text as it is
    ValueForm form = ValueForm::String;
};

struct Key;

class Registry {
public:
    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // --- The operations the logic uses, with the Windows result codes. ---
    LONG OpenKey(HKEY root, const char* path, HKEY* result);
    LONG EnumKey(HKEY key, DWORD index, char* name, DWORD capacity);
    // `type` may be null. When `data` is null only the size is reported.
    LONG QueryValue(HKEY key, const char* valueName, DWORD* type, BYTE* data, DWORD* dataSize);
    LONG CloseKey(HKEY key);
    // Removes the key and its subtree. Returns 0 when it was there, ERROR_FILE_NOT_FOUND when it was not.
    // A root itself is never deleted.
    LONG DeleteKey(HKEY root, const char* path);

    // --- Building and inspecting, for the REGEDIT4 reader, the tool and tests. ---
    // Creates the key (and any missing parents) below a root; returns null for an unknown root.
    Key* CreateKey(HKEY root, std::string_view path);
    // Sets a value: replaces one of the same name (case-insensitive) in place, else appends it.
    static void SetValue(Key& key, Value value);
    Key* FindKey(HKEY root, std::string_view path) const;
    bool KeyExists(HKEY root, std::string_view path) const { return FindKey(root, path) != nullptr; }
    const Value* FindValue(HKEY root, std::string_view path, std::string_view name) const;
    // Subkey names of a key in stored order (empty when the key is missing).
    std::vector<std::string> SubkeyNames(HKEY root, std::string_view path) const;
    // Values of a key in stored order (empty when the key is missing).
    std::vector<Value> ValuesOf(HKEY root, std::string_view path) const;

    // HKEY_CURRENT_USER stands for another key, such as HKEY_USERS\.DEFAULT.
    void MapCurrentUser(HKEY root, std::string_view path);

    // True once a deletion has removed something.
    bool Modified() const { return modified_; }
    // Number of keys open through OpenKey and not closed yet.
    std::size_t OpenHandles() const;

    struct Impl;
    Impl& impl() { return *impl_; }
    const Impl& impl() const { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
    bool modified_ = false;
};

// Result of reading a REGEDIT4 file. On failure `line` is the 1-based line at fault and nothing is loaded.
struct LoadResult {
    bool ok = false;
    unsigned line = 0;
    std::string message;
};

// Reads a REGEDIT4 file into an empty registry.
LoadResult LoadRegedit4(std::string_view text, Registry& registry);

// Writes the registry in the form regedit writes: CRLF, "REGEDIT4", a blank line before every key line,
// keys depth-first in stored order, an empty line at the end.
std::string SaveRegedit4(const Registry& registry);

}  // namespace emulated
