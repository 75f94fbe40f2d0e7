// The binary registry file reader on any bytes, loaded below HKEY_LOCAL_MACHINE as SYSTEM.DAT is. A file it
// takes must walk cleanly. Then one or two keys, picked by the input's last bytes, are deleted: the edited
// file (the removed keys cut out in place) must load again and hold exactly the keys left, each with its
// values. A file built anew from the loaded keys must load to the same keys and values. Every file taken,
// edited or built must pass the structural check of Windows' layout.
//
// Two subkeys of one name are both listed, as on Windows, but a path leads to the first: keys are picked for
// deletion only where the walk by path sees each key once.
//
// The last byte also picks the load point: HKEY_LOCAL_MACHINE itself, as a machine's SYSTEM.DAT, or a key
// below it, as a profile's USER.DAT is loaded below HKEY_USERS, where the key the file was loaded below may
// itself be deleted.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "registry/hive.h"

namespace {

// A walk of more keys than this stops the input after the load: the checks below build every key's path.
constexpr std::size_t kMaxKeys = 4000;
constexpr char kProfile[] = "Profile";

struct Key {
    std::string path;  // below HKEY_LOCAL_MACHINE
    std::vector<emulated::Value> values;
    emulated::KeyId id = emulated::kNoKey;  // the key the path leads to
};

// The key `base` and every key below it, depth-first in stored order, each with its values. False when the
// walk passed kMaxKeys.
bool Walk(const emulated::Registry& registry, const std::string& base, std::vector<Key>& keys)
{
    keys.clear();
    std::vector<std::string> pending {base};
    while (!pending.empty()) {
        std::string path = std::move(pending.back());
        pending.pop_back();
        // Every name the enumeration gives must lead back to a key.
        Check(registry.KeyExists(HKEY_LOCAL_MACHINE, path));
        keys.push_back({path, registry.ValuesOf(HKEY_LOCAL_MACHINE, path), registry.FindKey(HKEY_LOCAL_MACHINE, path)});
        const std::vector<std::string> names = registry.SubkeyNames(HKEY_LOCAL_MACHINE, path);
        if (keys.size() + pending.size() + names.size() > kMaxKeys)
            return false;
        for (auto name = names.rbegin(); name != names.rend(); ++name) {
            Check(!name->empty() && name->find('\\') == std::string::npos);
            pending.push_back(path.empty() ? *name : path + '\\' + *name);
        }
    }
    return true;
}

// True when `path` is `key` or below it.
bool Within(const std::string& path, const std::string& key)
{
    if (key.empty())
        return true;
    return path.size() >= key.size() && path.compare(0, key.size(), key) == 0 &&
           (path.size() == key.size() || path[key.size()] == '\\');
}

// The positions from `first` on of the keys whose deletion takes exactly the walk's keys at and below their
// path: keys the walk reached once, with every key below them reached once. Two subkeys of one name (in any
// case) are both listed, but a path leads to the first, so that the walk goes through the first one's keys
// twice and never reaches the second one's, and deleting by that path takes the first. A path with a NUL
// in a name cannot be passed to DeleteKey, as it cannot to RegDeleteKeyA.
std::vector<std::size_t> Deletable(const std::vector<Key>& keys, std::size_t first)
{
    std::vector<emulated::KeyId> ids;
    for (const Key& key : keys)
        ids.push_back(key.id);
    std::sort(ids.begin(), ids.end());
    // repeated[i]: how many of the first i keys were reached more than once.
    std::vector<std::size_t> repeated {0};
    for (const Key& key : keys) {
        const auto [from, to] = std::equal_range(ids.begin(), ids.end(), key.id);
        repeated.push_back(repeated.back() + (to - from > 1 ? 1 : 0));
    }
    // The walk is depth-first: the keys below one follow it, up to end[k].
    std::vector<std::size_t> end(keys.size(), keys.size());
    std::vector<std::size_t> open;
    for (std::size_t j = 0; j < keys.size(); ++j) {
        while (!open.empty() && !Within(keys[j].path, keys[open.back()].path)) {
            end[open.back()] = j;
            open.pop_back();
        }
        open.push_back(j);
    }
    std::vector<std::size_t> deletable;
    for (std::size_t k = first; k < keys.size(); ++k) {
        if (repeated[end[k]] == repeated[k] && keys[k].path.find('\0') == std::string::npos)
            deletable.push_back(k);
    }
    return deletable;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    // The choices come from the last bytes; any file the reader takes is longer than these.
    auto byte = [&](std::size_t fromEnd) -> unsigned { return fromEnd < size ? data[size - 1 - fromEnd] : 0u; };
    const bool twoKeys = (byte(0) & 1) != 0;
    const std::string base = (byte(0) & 2) != 0 ? kProfile : "";

    emulated::Registry registry;
    emulated::HiveError error;
    if (!emulated::LoadHive(bytes, registry, HKEY_LOCAL_MACHINE, base, error))
        return 0;
    Check(emulated::HiveCount(registry) == 1 && !emulated::HiveModified(registry, 0));
    Check(emulated::CheckHiveStructure(bytes, error));
    std::vector<Key> before;
    if (!Walk(registry, base, before))
        return 0;
    // Nothing removed yet: the edited file is the file.
    Check(emulated::EditedHive(registry, 0) == bytes);

    // A file built from the keys loads back to the same keys and values. Its root key has no record, so a
    // file whose root key has values cannot be built.
    {
        std::string built;
        std::string buildError;
        if (emulated::BuildHive(registry, HKEY_LOCAL_MACHINE, base, built, buildError)) {
            emulated::Registry rebuilt;
            Check(emulated::CheckHiveStructure(built, error));
            Check(emulated::LoadHive(std::move(built), rebuilt, HKEY_LOCAL_MACHINE, base, error));
            std::vector<Key> after;
            Check(Walk(rebuilt, base, after));
            Check(SameKeys(before, after));
        } else {
            Check(!before.front().values.empty());
        }
    }

    // Delete one or two keys. Loaded below HKEY_LOCAL_MACHINE itself, the root key is never deleted (a root
    // is not); loaded below a key, that key may be.
    std::vector<Key> left = before;
    std::vector<std::string> deleted;
    const unsigned picks[2] = {byte(1) | byte(2) << 8, byte(3) | byte(4) << 8};
    for (int i = 0; i < (twoKeys ? 2 : 1); ++i) {
        const std::vector<std::size_t> candidates = Deletable(left, base.empty() ? 1 : 0);
        if (candidates.empty())
            break;
        const std::string path = left[candidates[picks[i] % candidates.size()]].path;
        Check(registry.DeleteKey(HKEY_LOCAL_MACHINE, path.c_str()) == ERROR_SUCCESS);
        Check(!registry.KeyExists(HKEY_LOCAL_MACHINE, path));
        std::erase_if(left, [&](const Key& key) { return Within(key.path, path); });
        deleted.push_back(path);
    }
    if (deleted.empty())
        return 0;
    Check(emulated::HiveModified(registry, 0));
    if (left.empty()) {
        // The key the file was loaded below went, and everything with it.
        Check(!registry.KeyExists(HKEY_LOCAL_MACHINE, base));
    } else {
        std::vector<Key> now;
        Check(Walk(registry, base, now));
        Check(SameKeys(left, now));
    }

    // The edited file is cut in place: same size, and it loads to the keys left. When the key the file was
    // loaded below went, the file's root key stays, with its values and no subkeys.
    const std::string edited = emulated::EditedHive(registry, 0);
    Check(edited.size() == bytes.size());
    Check(emulated::CheckHiveStructure(edited, error));
    emulated::Registry reread;
    Check(emulated::LoadHive(edited, reread, HKEY_LOCAL_MACHINE, base, error));
    Check(emulated::HiveCount(reread) == 1 && !emulated::HiveModified(reread, 0));
    if (left.empty())
        left.push_back(before.front());
    std::vector<Key> after;
    Check(Walk(reread, base, after));
    Check(SameKeys(left, after));
    Check(emulated::EditedHive(reread, 0) == edited);
    return 0;
}
