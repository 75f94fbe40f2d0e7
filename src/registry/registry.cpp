// The emulated Windows 9x registry: key tree, handle table and the operations with their Windows result codes.
#include <algorithm>
#include <cstring>

#include "common/path_parts.h"
#include "registry/regedit4.h"
#include "registry/registry_tree.h"

namespace emulated {

namespace {

std::uint32_t HashName(std::string_view name)
{
    std::uint32_t hash = 2166136261u;  // FNV-1a over the folded bytes
    for (char c : name) {
        hash ^= static_cast<unsigned char>(FoldCase(c));
        hash *= 16777619u;
    }
    return hash;
}

std::string_view PathOrEmpty(const char* path)
{
    return path ? std::string_view(path) : std::string_view();
}

// Start of the line before `pos`, which is the start of a line or the end of the text. Lines end at CRLF,
// LF or a lone CR, as regedit reads them.
std::size_t LineStartBefore(std::string_view text, std::size_t pos)
{
    std::size_t contentEnd = pos;
    if (contentEnd > 0 && text[contentEnd - 1] == '\n') {
        --contentEnd;
        if (contentEnd > 0 && text[contentEnd - 1] == '\r')
            --contentEnd;
    } else if (contentEnd > 0 && text[contentEnd - 1] == '\r') {
        --contentEnd;
    }
    std::size_t start = contentEnd;
    while (start > 0 && text[start - 1] != '\n' && text[start - 1] != '\r')
        --start;
    return start;
}

}  // namespace

Registry::Impl::Impl()
{
    nodes.reserve(kRootCount);
    for (const RootKey& root : kRootKeys) {
        KeyNode node;
        node.name = root.name;
        nodes.push_back(node);
    }
    Reindex(64);
}

std::size_t Registry::Impl::Slot(KeyId parent, std::uint32_t nameHash) const
{
    // The splitmix64 finaliser: every bit of parent and name reaches the slot, so that the many keys of one
    // name ("Data", "0000") below different parents spread over the whole index.
    std::uint64_t mixed = static_cast<std::uint64_t>(parent) << 32 | nameHash;
    mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9ull;
    mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBull;
    mixed ^= mixed >> 31;
    return static_cast<std::size_t>(mixed) & (index.size() - 1);
}

void Registry::Impl::Reindex(std::size_t slots) const
{
    index.assign(slots, kNoKey);
    indexUsed = 0;
    for (KeyId id = kRootCount; id < nodes.size(); ++id) {
        if (nodes[id].deleted)
            continue;
        std::size_t slot = Slot(nodes[id].parent, nodes[id].nameHash);
        while (index[slot] != kNoKey)
            slot = (slot + 1) & (index.size() - 1);
        index[slot] = id;
        ++indexUsed;
    }
}

void Registry::Impl::ReserveKeys(std::size_t keys)
{
    nodes.reserve(kRootCount + keys);
    children.reserve(keys * 2);
    std::size_t slots = index.size();
    while (slots < keys * 2)
        slots *= 2;
    if (slots != index.size())
        Reindex(slots);
}

void Registry::Impl::Expand(KeyId key) const
{
    if (nodes[key].childrenPending)
        ExpandHiveKey(*this, key);
}

KeyId Registry::Impl::FindChild(KeyId parent, std::string_view name) const
{
    Expand(parent);
    // A key without subkeys (most new keys of a file being read) needs no probe of the index.
    if (nodes[parent].childCount == 0)
        return kNoKey;
    const std::uint32_t hash = HashName(name);
    for (std::size_t slot = Slot(parent, hash); index[slot] != kNoKey; slot = (slot + 1) & (index.size() - 1)) {
        const KeyNode& node = nodes[index[slot]];
        if (node.parent == parent && node.nameHash == hash && !node.deleted && SameName(node.name, name)) {
            return index[slot];
        }
    }
    return kNoKey;
}

KeyId Registry::Impl::FindOrAddChild(KeyId parent, std::string_view name)
{
    if (KeyId found = FindChild(parent, name); found != kNoKey)
        return found;
    return AddChild(parent, name);
}

KeyId Registry::Impl::AddChild(KeyId parent, std::string_view name) const
{
    // Deleted nodes leave the index only when it is rebuilt, so it is sized by every node ever made.
    if ((indexUsed + 1) * 2 > index.size())
        Reindex(index.size() * 2);

    const KeyId id = static_cast<KeyId>(nodes.size());
    KeyNode node;
    node.name = name;
    node.parent = parent;
    node.nameHash = HashName(name);
    nodes.push_back(node);
    std::size_t slot = Slot(parent, node.nameHash);
    while (index[slot] != kNoKey)
        slot = (slot + 1) & (index.size() - 1);
    index[slot] = id;
    ++indexUsed;

    // The parent's run of subkeys moves to the end of the shared array, twice as long, when it is full.
    KeyNode& owner = nodes[parent];
    if (owner.childCount == owner.childCapacity) {
        const std::uint32_t capacity = owner.childCapacity == 0 ? 1 : owner.childCapacity * 2;
        const auto begin = static_cast<std::uint32_t>(children.size());
        children.resize(children.size() + capacity, kNoKey);
        std::copy_n(children.begin() + owner.childBegin, owner.childCount, children.begin() + begin);
        owner.childBegin = begin;
        owner.childCapacity = capacity;
    }
    children[owner.childBegin + owner.childCount++] = id;
    return id;
}

KeyId Registry::Impl::Resolve(HKEY key, LONG* error) const
{
    KeyId found = kNoKey;
    int root = RootIndexOf(key);
    if (root >= 0 && aliases[root] != kNoKey) {
        found = aliases[root];
    } else if (root >= 0) {
        found = Root(root);
    } else {
        auto it = handles.find(reinterpret_cast<std::uintptr_t>(key));
        if (it == handles.end()) {
            *error = ERROR_INVALID_HANDLE;
            return kNoKey;
        }
        found = it->second;
    }
    if (nodes[found].deleted) {
        *error = ERROR_KEY_DELETED;
        return kNoKey;
    }
    return found;
}

KeyId Registry::Impl::Walk(KeyId base, std::string_view path) const
{
    // A path that starts with a backslash names no key; further empty parts ("a\\\\b", a trailing
    // backslash) are passed over, as Windows and regedit do.
    if (!path.empty() && path.front() == '\\')
        return kNoKey;
    KeyId key = base;
    PathParts parts(path);
    for (std::string_view part; key != kNoKey && parts.Next(part);) {
        if (!part.empty())
            key = FindChild(key, part);
    }
    return key;
}

void Registry::Impl::DetachSubtree(KeyId key, bool byRun)
{
    KeyNode& parent = nodes[nodes[key].parent];
    auto begin = children.begin() + parent.childBegin;
    auto end = begin + parent.childCount;
    auto it = std::find(begin, end, key);
    if (it != end) {
        std::copy(it + 1, end, it);
        --parent.childCount;
    }
    // Iterative, so that a very deep tree cannot exhaust the stack.
    std::vector<KeyId> pending {key};
    while (!pending.empty()) {
        KeyNode& node = nodes[pending.back()];
        pending.pop_back();
        node.deleted = true;
        node.removedByRun = byRun;
        for (std::uint32_t i = 0; i < node.childCount; ++i)
            pending.push_back(children[node.childBegin + i]);
    }
}

void Registry::Impl::AddSection(std::uint32_t begin, KeyId key, bool opened)
{
    const auto number = static_cast<std::uint32_t>(sections.size());
    sections.push_back({begin, key, kNoSection});
    if (key == kNoKey || !opened)
        return;
    KeyNode& node = nodes[key];
    if (node.source.sections.last == kNoSection) {
        node.source.sections.first = number;
    } else {
        sections[node.source.sections.last].next = number;
    }
    node.source.sections.last = number;
}

const std::vector<Value>& Registry::Impl::ValuesOf(KeyId key) const
{
    std::vector<Value>& list = values[key];
    if (!nodes[key].valuesParsed) {
        if (nodes[key].hive != 0)
            ParseHiveValues(*this, key, list);
        else
            ParseSectionValues(*this, key, list);
        nodes[key].valuesParsed = true;
    }
    return list;
}

const std::vector<Value>& Registry::Impl::ValuesForReading(KeyId key) const
{
    if (nodes[key].valuesParsed)
        return values[key];
    scratchValues.clear();
    if (nodes[key].hive != 0)
        ParseHiveValues(*this, key, scratchValues);
    else
        ParseSectionValues(*this, key, scratchValues);
    return scratchValues;
}

Registry::Registry() : impl_(std::make_unique<Impl>()) { }
Registry::~Registry() = default;

LONG Registry::OpenKey(HKEY root, const char* path, HKEY* result) const
{
    if (!result)
        return ERROR_INVALID_PARAMETER;
    LONG error = ERROR_SUCCESS;
    KeyId base = impl_->Resolve(root, &error);
    if (base == kNoKey)
        return error;
    KeyId key = impl_->Walk(base, PathOrEmpty(path));
    if (key == kNoKey)
        return ERROR_FILE_NOT_FOUND;
    // Handles count up from 1 and are never reused, so a stale handle cannot reach another key; they stay
    // far below the predefined roots at 0x80000000.
    std::uintptr_t handle = impl_->nextHandle++;
    impl_->handles.emplace(handle, key);
    *result = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

LONG Registry::EnumKey(HKEY key, DWORD index, char* name, DWORD capacity) const
{
    LONG error = ERROR_SUCCESS;
    KeyId found = impl_->Resolve(key, &error);
    if (found == kNoKey)
        return error;
    impl_->Expand(found);
    if (index >= impl_->Node(found).childCount)
        return ERROR_NO_MORE_ITEMS;
    std::string_view subName = impl_->Node(impl_->Child(found, index)).name;
    if (!name || subName.size() + 1 > capacity)
        return ERROR_MORE_DATA;
    std::memcpy(name, subName.data(), subName.size());
    name[subName.size()] = '\0';
    return ERROR_SUCCESS;
}

bool ReadsWithTerminator(const Value& value)
{
    return (value.type == REG_SZ || value.type == REG_EXPAND_SZ) && (value.data.empty() || value.data.back() != '\0');
}

LONG Registry::QueryValue(HKEY key, const char* valueName, DWORD* type, BYTE* data, DWORD* dataSize) const
{
    LONG error = ERROR_SUCCESS;
    KeyId found = impl_->Resolve(key, &error);
    if (found == kNoKey)
        return error;
    const std::vector<Value>& list = impl_->ValuesForReading(found);
    std::string_view wanted = PathOrEmpty(valueName);
    auto value = std::find_if(list.begin(), list.end(), [&](const Value& v) { return SameName(v.name, wanted); });
    if (value == list.end())
        return ERROR_FILE_NOT_FOUND;
    if (!dataSize) {
        if (data)
            return ERROR_INVALID_PARAMETER;
        if (type)
            *type = value->type;
        return ERROR_SUCCESS;
    }
    if (type)
        *type = value->type;
    const bool terminated = ReadsWithTerminator(*value);
    const DWORD needed = static_cast<DWORD>(value->data.size() + (terminated ? 1 : 0));
    if (data) {
        if (needed > *dataSize) {
            *dataSize = needed;
            return ERROR_MORE_DATA;
        }
        std::memcpy(data, value->data.data(), value->data.size());
        if (terminated)
            data[value->data.size()] = 0;
    }
    *dataSize = needed;
    return ERROR_SUCCESS;
}

LONG Registry::CloseKey(HKEY key) const
{
    if (RootIndexOf(key) >= 0)
        return ERROR_SUCCESS;
    return impl_->handles.erase(reinterpret_cast<std::uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG Registry::DeleteKey(HKEY root, const char* path)
{
    LONG error = ERROR_SUCCESS;
    KeyId base = impl_->Resolve(root, &error);
    if (base == kNoKey)
        return error;
    std::string_view sub = PathOrEmpty(path);
    // An empty path would name the key of the handle itself, a root when called as the logic calls it.
    if (sub.empty())
        return ERROR_ACCESS_DENIED;
    KeyId key = impl_->Walk(base, sub);
    if (key == kNoKey)
        return ERROR_FILE_NOT_FOUND;
    impl_->DetachSubtree(key, true);
    impl_->removedRoots.push_back(key);
    modified_ = true;
    return ERROR_SUCCESS;
}

KeyId Registry::CreateKey(HKEY root, std::string_view path)
{
    LONG error = ERROR_SUCCESS;
    KeyId key = impl_->Resolve(root, &error);
    // Empty parts are passed over as a lookup passes over them; a leading backslash names no key.
    if (!path.empty() && path.front() == '\\')
        return kNoKey;
    PathParts parts(path);
    for (std::string_view part; key != kNoKey && parts.Next(part);) {
        if (part.empty())
            continue;
        KeyId next = impl_->FindChild(key, part);
        if (next == kNoKey) {
            next = impl_->FindOrAddChild(key, impl_->ownNames.emplace_back(part));
            impl_->Node(next).valuesParsed = true;
        }
        key = next;
    }
    return key;
}

bool Registry::SetValue(HKEY root, std::string_view path, Value value)
{
    KeyId key = FindKey(root, path);
    if (key == kNoKey)
        return false;
    std::vector<Value>& list = impl_->MutableValuesOf(key);
    for (Value& existing : list) {
        if (SameName(existing.name, value.name)) {
            existing.type = value.type;
            existing.data = std::move(value.data);
            return true;
        }
    }
    list.push_back(std::move(value));
    return true;
}

KeyId Registry::FindKey(HKEY root, std::string_view path) const
{
    LONG error = ERROR_SUCCESS;
    KeyId base = impl_->Resolve(root, &error);
    return base == kNoKey ? kNoKey : impl_->Walk(base, path);
}

const Value* Registry::FindValue(HKEY root, std::string_view path, std::string_view name) const
{
    KeyId key = FindKey(root, path);
    if (key == kNoKey)
        return nullptr;
    // Parsing on first use fills the value cache; the registry's content does not change.
    const std::vector<Value>& list = impl_->ValuesOf(key);
    for (const Value& value : list) {
        if (SameName(value.name, name))
            return &value;
    }
    return nullptr;
}

std::vector<std::string> Registry::SubkeyNames(HKEY root, std::string_view path) const
{
    std::vector<std::string> names;
    KeyId key = FindKey(root, path);
    if (key == kNoKey)
        return names;
    impl_->Expand(key);
    names.reserve(impl_->Node(key).childCount);
    for (std::uint32_t i = 0; i < impl_->Node(key).childCount; ++i) {
        names.emplace_back(impl_->Node(impl_->Child(key, i)).name);
    }
    return names;
}

std::vector<Value> Registry::ValuesOf(HKEY root, std::string_view path) const
{
    KeyId key = FindKey(root, path);
    return key == kNoKey ? std::vector<Value>() : impl_->ValuesOf(key);
}

void Registry::MapCurrentUser(HKEY root, std::string_view path)
{
    MapRoot(HKEY_CURRENT_USER, root, path);
}

void Registry::MapRoot(HKEY alias, HKEY root, std::string_view path)
{
    const int index = RootIndexOf(alias);
    if (index < 0)
        return;
    impl_->aliases[index] = kNoKey;
    if (KeyId target = CreateKey(root, path); target != kNoKey)
        impl_->aliases[index] = target;
}

std::size_t Registry::OpenHandles() const
{
    return impl_->handles.size();
}

std::string_view Registry::FileBytes() const
{
    return impl_->text;
}

std::vector<std::string_view> Registry::KeptRanges() const
{
    const Impl& impl = *impl_;
    std::vector<std::string_view> ranges;
    const std::string_view text = impl.text;
    std::size_t keptFrom = 0;  // start of the kept stretch not yet emitted
    auto cut = [&](std::size_t from, std::size_t to) {
        if (from > keptFrom)
            ranges.push_back(text.substr(keptFrom, from - keptFrom));
        keptFrom = to;
    };
    // A section goes when its key line reaches a key the run removed, as importing the line would make that
    // key again. That holds too for the line of a key the file itself deletes further down: it still makes
    // the parents above the deleted one.
    auto removed = [&impl](KeyId key) {
        while (key != kNoKey && impl.Node(key).deleted && !impl.Node(key).removedByRun)
            key = impl.Node(key).parent;
        return key != kNoKey && impl.Node(key).removedByRun;
    };
    const std::size_t count = impl.sections.size();
    for (std::size_t i = 0; i < count; ++i) {
        const Section& section = impl.sections[i];
        if (!removed(section.key))
            continue;
        std::size_t end = i + 1 < count ? impl.sections[i + 1].begin : text.size();
        const bool nextKept = i + 1 == count || !removed(impl.sections[i + 1].key);
        // Comment lines directly above the next kept key line speak of that key: they stay.
        if (nextKept) {
            while (end > section.begin) {
                std::size_t lineStart = LineStartBefore(text, end);
                if (lineStart <= section.begin)
                    break;
                std::string_view line = text.substr(lineStart, end - lineStart);
                std::size_t first = line.find_first_not_of(" \t");
                if (first == std::string_view::npos || (line[first] != ';' && line[first] != '#'))
                    break;
                end = lineStart;
            }
        }
        cut(section.begin, end);
    }
    if (keptFrom < text.size())
        ranges.push_back(text.substr(keptFrom));
    return ranges;
}

std::string EditedRegedit4(const Registry& registry)
{
    std::string out;
    for (std::string_view range : registry.KeptRanges())
        out += range;
    return out;
}

}  // namespace emulated
