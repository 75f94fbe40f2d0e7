// The emulated Windows 9x registry: a tree of keys with their values, in the order the registry holds them.
// Name lookup is case-insensitive and keeps the stored case; enumeration by index is O(1); a deletion is
// seen at once through every open handle, and a handle to a deleted key fails cleanly with
// ERROR_KEY_DELETED. Values hold the bytes a Windows 9x registry file stores: a string written as text has
// no terminator there, data given as bytes is kept as given; a read gives a REG_SZ or REG_EXPAND_SZ without
// a final zero byte its terminator, as Windows 9x reads one.
//
// A registry read from a REGEDIT4 file keeps that file's bytes: the tree knows which sections of the file
// name each key, values are parsed only when first asked for, and the file is saved as its own bytes less
// the sections of the keys a run removed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "system/win_types.h"

namespace emulated {

struct Value {
    std::string name;  // empty for the default value (@)
    DWORD type = REG_SZ;
    std::string data;  // the bytes as stored, Windows-1252 text as it is (a string without its terminator)

    friend bool operator==(const Value&, const Value&) = default;
};

// A REG_SZ or REG_EXPAND_SZ stored without a final zero byte: Windows 9x reads it with one.
bool ReadsWithTerminator(const Value& value);

// A key of the tree. Ids stay valid for the registry's life; a deleted key keeps its id, so that a handle
// to it fails cleanly instead of reaching another key.
using KeyId = std::uint32_t;
inline constexpr KeyId kNoKey = 0xFFFFFFFFu;

class Registry {
public:
    Registry();
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // --- The operations the logic uses, with the Windows result codes. Reading through handles changes
    // nothing of the registry's keys and values, so a const registry can be read as the logic reads it. ---
    LONG OpenKey(HKEY root, const char* path, HKEY* result) const;
    LONG EnumKey(HKEY key, DWORD index, char* name, DWORD capacity) const;
    // `type` may be null. When `data` is null only the size is reported. A string stored without its
    // terminator is read with one (ReadsWithTerminator).
    LONG QueryValue(HKEY key, const char* valueName, DWORD* type, BYTE* data, DWORD* dataSize) const;
    LONG CloseKey(HKEY key) const;
    // Removes the key and its subtree. Returns 0 when it was there, ERROR_FILE_NOT_FOUND when it was not.
    // A root itself is never deleted.
    LONG DeleteKey(HKEY root, const char* path);

    // --- Building and inspecting, for the tool and tests. Changes made here live in memory only: the file
    // a registry was read from changes only by the removal of keys. ---
    // Creates the key (and any missing parents) below a root; kNoKey for an unknown root or an empty name.
    KeyId CreateKey(HKEY root, std::string_view path);
    // Sets a value on an existing key: replaces one of the same name (any case) in place, keeping the stored
    // name, else appends it. False when the key is missing.
    bool SetValue(HKEY root, std::string_view path, Value value);
    KeyId FindKey(HKEY root, std::string_view path) const;
    bool KeyExists(HKEY root, std::string_view path) const { return FindKey(root, path) != kNoKey; }
    const Value* FindValue(HKEY root, std::string_view path, std::string_view name) const;
    // Subkey names of a key in stored order (empty when the key is missing).
    std::vector<std::string> SubkeyNames(HKEY root, std::string_view path) const;
    // Values of a key in stored order (empty when the key is missing).
    std::vector<Value> ValuesOf(HKEY root, std::string_view path) const;

    // HKEY_CURRENT_USER stands for another key, such as HKEY_USERS\.DEFAULT.
    void MapCurrentUser(HKEY root, std::string_view path);
    // The root `alias` stands for `root\path` (made when missing), as HKEY_CLASSES_ROOT stands for
    // HKEY_LOCAL_MACHINE\SOFTWARE\Classes on Windows 9x.
    void MapRoot(HKEY alias, HKEY root, std::string_view path);

    // True once a deletion has removed something.
    bool Modified() const { return modified_; }
    // Number of keys open through OpenKey and not closed yet.
    std::size_t OpenHandles() const;

    // The bytes of the file the registry was read from, less the sections of every key removed since, in
    // order. Empty for a registry not read from a file.
    std::vector<std::string_view> KeptRanges() const;
    // The bytes of the REGEDIT4 file the registry was read from, as they were read.
    std::string_view FileBytes() const;

    struct Impl;

private:
    // The file formats' code reaches the inside through these (registry_tree.h).
    friend Impl& ImplOf(Registry& registry);
    friend const Impl& ImplOf(const Registry& registry);

    std::unique_ptr<Impl> impl_;
    bool modified_ = false;
};

}  // namespace emulated
