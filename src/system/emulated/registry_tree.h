// The inside of the emulated registry: key nodes, the root table and the handle table. Shared by the registry
// operations and the REGEDIT4 reader/writer; nothing outside src/system/emulated needs it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "system/emulated/registry.h"

namespace emulated {

// Below this many entries a linear scan is cheaper than a hash index; from it on a key keeps an index by
// folded name so that wide keys stay fast to search.
inline constexpr std::size_t kIndexThreshold = 16;

struct Key {
    std::string name;  // as stored; the name of the root for a root node
    Key* parent = nullptr;
    std::vector<Key*> subkeys;  // in stored order; EnumKey indexes it directly
    std::vector<Value> values;  // in stored order
    std::unordered_map<std::string, Key*> subkeyIndex;        // folded name -> subkey, once the key is wide
    std::unordered_map<std::string, std::size_t> valueIndex;  // folded name -> position, once it has many
    bool deleted = false;  // removed from the tree; the node lives on so that stale handles fail cleanly
};

enum RootIndex : int {
    kClassesRoot,
    kCurrentUser,
    kLocalMachine,
    kUsers,
    kCurrentConfig,
    kDynData,
    kRootCount,
};

// The predefined root with that handle, or -1.
int RootIndexOf(HKEY root);
// The root with that name (any letter case), or -1.
int RootIndexByName(std::string_view name);
const char* RootName(int index);

// Name comparison of the registry: ASCII letters without regard to case, every other byte as it is.
bool SameName(std::string_view a, std::string_view b);
std::string FoldName(std::string_view name);

Key* FindSubkey(const Key& key, std::string_view name);
Value* FindValueIn(Key& key, std::string_view name);
const Value* FindValueIn(const Key& key, std::string_view name);

struct Registry::Impl {
    Impl();

    // Every node ever made, deleted ones included, so that a handle never points at freed memory.
    std::vector<std::unique_ptr<Key>> arena;
    Key* roots[kRootCount] = {};
    Key* currentUser = nullptr;  // the key HKEY_CURRENT_USER stands for, when mapped
    // Roots in the order the file first named them, then roots created later; only these are saved.
    std::vector<int> rootOrder;
    bool rootLine[kRootCount] = {};  // the file gave the root a line of its own
    std::unordered_map<std::uintptr_t, Key*> handles;
    std::uintptr_t nextHandle = 1;

    Key* NewKey(std::string_view name, Key* parent);
    Key* AddSubkey(Key& parent, std::string_view name);
    // The key a handle stands for; null with *error set (ERROR_INVALID_HANDLE, ERROR_KEY_DELETED) when none.
    Key* Resolve(HKEY key, LONG* error) const;
    // Follows a backslash-separated path from `base`; an empty path is `base` itself. An empty component or
    // a missing key gives null, unless `create` is set, in which case missing keys are made.
    Key* Walk(Key* base, std::string_view path, bool create);
    // Remembers that a root is in use, for the order in which roots are saved.
    void NoteRoot(int index);
    // The root index of the tree that holds `key`, or -1.
    int RootOf(const Key* key) const;
};

// Unlinks `child` from its parent and marks it and everything below it deleted.
void DetachSubtree(Key& child);

}  // namespace emulated
