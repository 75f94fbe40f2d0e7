// The inside of the emulated registry: key nodes, the name index, the sections of the file each key comes
// from, and the handle table. Shared by the registry operations and the REGEDIT4 reader and writer; nothing
// outside src/registry needs it.
//
// Nodes are small and flat so that a registry of a million keys costs less memory than its file: a name is
// a view into the file's text, subkeys are a run of ids in one shared array, and a key's values are parsed
// from its sections only when first asked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "registry/hive_file.h"
#include "registry/names.h"
#include "registry/registry.h"

namespace emulated {

// Positions in kRootKeys.
enum RootIndex : int {
    kClassesRoot,
    kCurrentUser,
    kLocalMachine,
    kUsers,
    kCurrentConfig,
    kDynData,
};

inline constexpr std::uint32_t kNoSection = 0xFFFFFFFFu;

struct KeyNode {
    std::string_view name;  // as stored: a view into the file's text, or into the registry's own names
    KeyId parent = kNoKey;
    std::uint32_t childBegin = 0;  // subkeys: children[childBegin .. childBegin + childCount), stored order
    std::uint32_t childCount = 0;
    std::uint32_t childCapacity = 0;
    // Where the key's values come from in its file, by format (common initial sequence: both read alike).
    union Source {
        struct {
            std::uint32_t first;  // a REGEDIT4 key's sections in file order, linked through Section::next
            std::uint32_t last;
        } sections;
        struct {
            std::uint32_t entry;   // a binary file's key: the offset of its key entry in the file's key tree
            std::uint32_t record;  // and the file offset of its key record, kNoSection when it has none
        } hive;
    } source = {{kNoSection, kNoSection}};
    std::uint32_t nameHash = 0;
    bool deleted : 1 = false;       // out of the tree; the node stays so that stale handles fail cleanly
    bool removedByRun : 1 = false;  // deleted after loading: its sections leave the file on save
    bool valuesParsed : 1 = false;  // `values` holds its values
    // A key of a binary registry file whose subkeys are not read yet: they are made when first asked for.
    bool childrenPending : 1 = false;
    // 1 + the position in Impl::hives of the binary registry file the key comes from, 0 for none (`source`
    // then holds its sections).
    std::uint8_t hive = 0;
};

// A stretch of the file from one key line up to the next: the key line, then the lines that belong to it.
struct Section {
    std::uint32_t begin = 0;  // offset of the key line in the file's text
    // The key its line reaches: the key it opened or, for a line refused for a too-long name, the deepest key
    // it made on the way. kNoKey for a deletion line or an unknown root.
    KeyId key = kNoKey;
    std::uint32_t next = kNoSection;
};

struct Registry::Impl {
    Impl();

    std::string text;               // the file's bytes; names of file keys point into it
    std::uint32_t preambleEnd = 0;  // bytes before the first section: the header and what follows it
    std::vector<Section> sections;  // in file order

    // The key tree, and the values parsed so far. A binary file's subkeys and every file's values are read
    // on first use, so reading them fills these from const readers: they are caches of the file as well.
    mutable std::vector<KeyNode> nodes;  // ids 0 .. kRootCount-1 are the roots, in RootIndex order
    mutable std::vector<KeyId> children;
    mutable std::vector<KeyId> index;  // open addressing by (parent, folded name); kNoKey marks a free slot
    mutable std::size_t indexUsed = 0;
    std::deque<std::string> ownNames;                              // names of keys made through CreateKey
    mutable std::unordered_map<KeyId, std::vector<Value>> values;  // parsed or set values, by key
    mutable std::vector<Value> scratchValues;                      // see ValuesForReading
    std::vector<KeyId> removedRoots;  // the keys DeleteKey removed, in order, each with its subtree

    // The key a root stands for when it is another name for a key, as HKEY_CURRENT_USER is for
    // HKEY_USERS\.DEFAULT; kNoKey for a root that is its own key.
    KeyId aliases[kRootCount] = {kNoKey, kNoKey, kNoKey, kNoKey, kNoKey, kNoKey};
    // The binary registry files the keys were read from (empty for a REGEDIT4 file).
    // Mutable for a save that edits a file's bytes in place and puts them back (LoadedHiveBytes).
    mutable std::deque<Hive> hives;
    std::unordered_map<std::uintptr_t, KeyId> handles;
    std::uintptr_t nextHandle = 1;

    KeyId Root(int rootIndex) const { return static_cast<KeyId>(rootIndex); }
    KeyNode& Node(KeyId id) const { return nodes[id]; }
    KeyId Child(KeyId key, std::uint32_t position) const { return children[nodes[key].childBegin + position]; }

    // Makes the subkeys of a key whose subkeys are still in its binary registry file. Every reader of a
    // key's subkeys calls it first; it changes no key that exists.
    void Expand(KeyId key) const;
    // The live subkey of `parent` with that name (any case), or kNoKey.
    KeyId FindChild(KeyId parent, std::string_view name) const;
    // The subkey with that name, made (last in stored order) when missing. `name` must outlive the registry.
    KeyId FindOrAddChild(KeyId parent, std::string_view name);
    // Adds a subkey last in stored order, even when one of the same name exists: lookups find the first.
    // Const, as expanding a key read lazily adds its subkeys this way.
    KeyId AddChild(KeyId parent, std::string_view name) const;
    // The key a handle stands for; kNoKey with *error set (ERROR_INVALID_HANDLE, ERROR_KEY_DELETED) when none.
    KeyId Resolve(HKEY key, LONG* error) const;
    // Follows a backslash-separated path from `base`; an empty path is `base` itself. A leading backslash or
    // a missing key gives kNoKey; other empty parts (doubled or trailing backslashes) are passed over.
    KeyId Walk(KeyId base, std::string_view path) const;
    // Unlinks `key` from its parent and marks it and everything below it deleted (and removed by the run).
    void DetachSubtree(KeyId key, bool byRun);
    // Makes room for about `keys` keys, so that loading a large file does not rebuild the index over and over.
    void ReserveKeys(std::size_t keys);
    // Appends a section starting at `begin` whose line reaches `key` (kNoKey for none); it holds the values
    // of `key` when the line `opened` it.
    void AddSection(std::uint32_t begin, KeyId key, bool opened);
    // The values of a key, parsed from its file on first use; the mutable list is for setting them.
    const std::vector<Value>& ValuesOf(KeyId key) const;
    // The values of a key for one read: parsed into a scratch list that the next such read reuses, not kept,
    // so that a walk reading one value of many keys does not hold all their values.
    const std::vector<Value>& ValuesForReading(KeyId key) const;
    std::vector<Value>& MutableValuesOf(KeyId key)
    {
        ValuesOf(key);
        return values[key];
    }

private:
    void Reindex(std::size_t slots) const;
    std::size_t Slot(KeyId parent, std::uint32_t nameHash) const;
};

// Reads a key's values from its sections in file order, as regedit's import sets and deletes them.
void ParseSectionValues(const Registry::Impl& impl, KeyId key, std::vector<Value>& out);
// Reads the values of a key that comes from a binary registry file from its key record.
void ParseHiveValues(const Registry::Impl& impl, KeyId key, std::vector<Value>& out);
// Makes the subkeys of a key of a binary registry file from its key entry's run of subkeys.
void ExpandHiveKey(const Registry::Impl& impl, KeyId key);

// The inside of a registry, for the code of its file formats and their tests.
inline Registry::Impl& ImplOf(Registry& registry)
{
    return *registry.impl_;
}
inline const Registry::Impl& ImplOf(const Registry& registry)
{
    return *registry.impl_;
}

}  // namespace emulated
