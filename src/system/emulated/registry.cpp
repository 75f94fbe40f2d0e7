// The emulated Windows 9x registry: key tree, handle table and the operations with their Windows result codes.
#include <algorithm>
#include <cstring>

#include "system/emulated/registry_tree.h"

namespace emulated {

namespace {

struct RootEntry {
    HKEY handle;
    const char* name;
};

// Same order as RootIndex.
const RootEntry kRootTable[kRootCount] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},   {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"}, {HKEY_USERS, "HKEY_USERS"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"}, {HKEY_DYN_DATA, "HKEY_DYN_DATA"},
};

char FoldChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string_view PathOrEmpty(const char* path) { return path ? std::string_view(path) : std::string_view(); }

}  // namespace

int RootIndexOf(HKEY root) {
    for (int i = 0; i < kRootCount; ++i) {
        if (kRootTable[i].handle == root) return i;
    }
    return -1;
}

int RootIndexByName(std::string_view name) {
    for (int i = 0; i < kRootCount; ++i) {
        if (SameName(name, kRootTable[i].name)) return i;
    }
    return -1;
}

const char* RootName(int index) { return kRootTable[index].name; }

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldChar(a[i]) != FoldChar(b[i])) return false;
    }
    return true;
}

std::string FoldName(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) c = FoldChar(c);
    return folded;
}

Key* FindSubkey(const Key& key, std::string_view name) {
    if (!key.subkeyIndex.empty()) {
        auto it = key.subkeyIndex.find(FoldName(name));
        return it == key.subkeyIndex.end() ? nullptr : it->second;
    }
    for (Key* sub : key.subkeys) {
        if (SameName(sub->name, name)) return sub;
    }
    return nullptr;
}

const Value* FindValueIn(const Key& key, std::string_view name) {
    if (!key.valueIndex.empty()) {
        auto it = key.valueIndex.find(FoldName(name));
        return it == key.valueIndex.end() ? nullptr : &key.values[it->second];
    }
    for (const Value& value : key.values) {
        if (SameName(value.name, name)) return &value;
    }
    return nullptr;
}

Value* FindValueIn(Key& key, std::string_view name) {
    return const_cast<Value*>(FindValueIn(static_cast<const Key&>(key), name));
}

void DetachSubtree(Key& child) {
    if (Key* parent = child.parent) {
        auto it = std::find(parent->subkeys.begin(), parent->subkeys.end(), &child);
        if (it != parent->subkeys.end()) parent->subkeys.erase(it);
        if (!parent->subkeyIndex.empty()) parent->subkeyIndex.erase(FoldName(child.name));
    }
    // Iterative, so that a very deep tree cannot exhaust the stack.
    std::vector<Key*> pending{&child};
    while (!pending.empty()) {
        Key* key = pending.back();
        pending.pop_back();
        key->deleted = true;
        pending.insert(pending.end(), key->subkeys.begin(), key->subkeys.end());
    }
}

Registry::Impl::Impl() {
    for (int i = 0; i < kRootCount; ++i) roots[i] = NewKey(kRootTable[i].name, nullptr);
}

Key* Registry::Impl::NewKey(std::string_view name, Key* parent) {
    arena.push_back(std::make_unique<Key>());
    Key* key = arena.back().get();
    key->name = std::string(name);
    key->parent = parent;
    return key;
}

Key* Registry::Impl::AddSubkey(Key& parent, std::string_view name) {
    Key* key = NewKey(name, &parent);
    parent.subkeys.push_back(key);
    if (!parent.subkeyIndex.empty()) {
        parent.subkeyIndex.emplace(FoldName(name), key);
    } else if (parent.subkeys.size() >= kIndexThreshold) {
        for (Key* sub : parent.subkeys) parent.subkeyIndex.emplace(FoldName(sub->name), sub);
    }
    return key;
}

Key* Registry::Impl::Resolve(HKEY key, LONG* error) const {
    Key* found = nullptr;
    int root = RootIndexOf(key);
    if (root == kCurrentUser && currentUser) {
        found = currentUser;
    } else if (root >= 0) {
        found = roots[root];
    } else {
        auto it = handles.find(reinterpret_cast<std::uintptr_t>(key));
        if (it == handles.end()) {
            *error = ERROR_INVALID_HANDLE;
            return nullptr;
        }
        found = it->second;
    }
    if (found->deleted) {
        *error = ERROR_KEY_DELETED;
        return nullptr;
    }
    return found;
}

Key* Registry::Impl::Walk(Key* base, std::string_view path, bool create) {
    Key* key = base;
    while (key && !path.empty()) {
        std::size_t end = path.find('\\');
        std::string_view part = path.substr(0, end);
        path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
        // "a\\b" and a trailing backslash name no key.
        if (part.empty() || (end != std::string_view::npos && path.empty())) return nullptr;
        Key* next = FindSubkey(*key, part);
        if (!next && create) next = AddSubkey(*key, part);
        key = next;
    }
    return key;
}

void Registry::Impl::NoteRoot(int index) {
    if (std::find(rootOrder.begin(), rootOrder.end(), index) == rootOrder.end()) rootOrder.push_back(index);
}

int Registry::Impl::RootOf(const Key* key) const {
    while (key && key->parent) key = key->parent;
    for (int i = 0; i < kRootCount; ++i) {
        if (roots[i] == key) return i;
    }
    return -1;
}

Registry::Registry() : impl_(std::make_unique<Impl>()) {}
Registry::~Registry() = default;

LONG Registry::OpenKey(HKEY root, const char* path, HKEY* result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    LONG error = ERROR_SUCCESS;
    Key* base = impl_->Resolve(root, &error);
    if (!base) return error;
    Key* key = impl_->Walk(base, PathOrEmpty(path), false);
    if (!key) return ERROR_FILE_NOT_FOUND;
    // Handles count up from 1 and are never reused, so a stale handle cannot reach another key; they stay
    // far below the predefined roots at 0x80000000.
    std::uintptr_t handle = impl_->nextHandle++;
    impl_->handles.emplace(handle, key);
    *result = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
}

LONG Registry::EnumKey(HKEY key, DWORD index, char* name, DWORD capacity) {
    LONG error = ERROR_SUCCESS;
    Key* found = impl_->Resolve(key, &error);
    if (!found) return error;
    if (index >= found->subkeys.size()) return ERROR_NO_MORE_ITEMS;
    const std::string& subName = found->subkeys[index]->name;
    if (!name || subName.size() + 1 > capacity) return ERROR_MORE_DATA;
    std::memcpy(name, subName.c_str(), subName.size() + 1);
    return ERROR_SUCCESS;
}

LONG Registry::QueryValue(HKEY key, const char* valueName, DWORD* type, BYTE* data, DWORD* dataSize) {
    LONG error = ERROR_SUCCESS;
    Key* found = impl_->Resolve(key, &error);
    if (!found) return error;
    const Value* value = FindValueIn(*found, PathOrEmpty(valueName));
    if (!value) return ERROR_FILE_NOT_FOUND;
    if (!dataSize) {
        if (data) return ERROR_INVALID_PARAMETER;
        if (type) *type = value->type;
        return ERROR_SUCCESS;
    }
    if (type) *type = value->type;
    const DWORD needed = static_cast<DWORD>(value->data.size());
    if (data) {
        if (needed > *dataSize) {
            *dataSize = needed;
            return ERROR_MORE_DATA;
        }
        std::memcpy(data, value->data.data(), needed);
    }
    *dataSize = needed;
    return ERROR_SUCCESS;
}

LONG Registry::CloseKey(HKEY key) {
    if (RootIndexOf(key) >= 0) return ERROR_SUCCESS;
    return impl_->handles.erase(reinterpret_cast<std::uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

LONG Registry::DeleteKey(HKEY root, const char* path) {
    LONG error = ERROR_SUCCESS;
    Key* base = impl_->Resolve(root, &error);
    if (!base) return error;
    std::string_view sub = PathOrEmpty(path);
    // An empty path would name the key of the handle itself, a root when called as the logic calls it.
    if (sub.empty()) return ERROR_ACCESS_DENIED;
    Key* key = impl_->Walk(base, sub, false);
    if (!key) return ERROR_FILE_NOT_FOUND;
    DetachSubtree(*key);
    modified_ = true;
    return ERROR_SUCCESS;
}

Key* Registry::CreateKey(HKEY root, std::string_view path) {
    LONG error = ERROR_SUCCESS;
    Key* base = impl_->Resolve(root, &error);
    if (!base) return nullptr;
    Key* key = impl_->Walk(base, path, true);
    if (key) {
        int index = impl_->RootOf(key);
        if (index >= 0) impl_->NoteRoot(index);
    }
    return key;
}

void Registry::SetValue(Key& key, Value value) {
    if (Value* existing = FindValueIn(key, value.name)) {
        // The stored name keeps the case it was first written with.
        value.name = existing->name;
        *existing = std::move(value);
        return;
    }
    key.values.push_back(std::move(value));
    if (!key.valueIndex.empty()) {
        key.valueIndex.emplace(FoldName(key.values.back().name), key.values.size() - 1);
    } else if (key.values.size() >= kIndexThreshold) {
        for (std::size_t i = 0; i < key.values.size(); ++i) key.valueIndex.emplace(FoldName(key.values[i].name), i);
    }
}

Key* Registry::FindKey(HKEY root, std::string_view path) const {
    LONG error = ERROR_SUCCESS;
    Key* base = impl_->Resolve(root, &error);
    return base ? impl_->Walk(base, path, false) : nullptr;
}

const Value* Registry::FindValue(HKEY root, std::string_view path, std::string_view name) const {
    const Key* key = FindKey(root, path);
    return key ? FindValueIn(*key, name) : nullptr;
}

std::vector<std::string> Registry::SubkeyNames(HKEY root, std::string_view path) const {
    std::vector<std::string> names;
    if (const Key* key = FindKey(root, path)) {
        names.reserve(key->subkeys.size());
        for (const Key* sub : key->subkeys) names.push_back(sub->name);
    }
    return names;
}

std::vector<Value> Registry::ValuesOf(HKEY root, std::string_view path) const {
    const Key* key = FindKey(root, path);
    return key ? key->values : std::vector<Value>();
}

void Registry::MapCurrentUser(HKEY root, std::string_view path) {
    if (Key* target = CreateKey(root, path)) impl_->currentUser = target;
}

std::size_t Registry::OpenHandles() const { return impl_->handles.size(); }

}  // namespace emulated
