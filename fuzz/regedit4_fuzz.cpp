// The REGEDIT4 reader on any bytes. A file it takes must walk cleanly; after one key is deleted, the edited
// file (the original less that key's sections) must read back without that key and with its siblings; the
// file SaveRegedit4 writes must read back to the same keys and values, every value's type and bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_check.h"
#include "registry/regedit4.h"
#include "registry/registry.h"

namespace {

const HKEY kRoots[] = {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER,   HKEY_USERS,
                       HKEY_CLASSES_ROOT,  HKEY_CURRENT_CONFIG, HKEY_DYN_DATA};

// Bounds of a walk, so that one input stays fast: SaveRegedit4 writes every key's full path.
constexpr std::size_t kMaxKeys = 2000;
constexpr std::size_t kMaxDepth = 64;

struct Key {
    std::string path;  // below the root; empty for the root itself
    std::vector<emulated::Value> values;
};

// The keys below `root`, depth-first in stored order, each with its values. False when the walk stopped at
// its bounds.
bool Walk(const emulated::Registry& registry, HKEY root, std::vector<Key>& keys)
{
    struct Pending {
        std::string path;
        std::size_t depth;
    };
    std::vector<Pending> pending {{std::string(), 0}};
    while (!pending.empty()) {
        Pending next = std::move(pending.back());
        pending.pop_back();
        // Every name the enumeration gives must lead back to a key.
        Check(registry.KeyExists(root, next.path));
        keys.push_back({next.path, registry.ValuesOf(root, next.path)});
        std::vector<std::string> names = registry.SubkeyNames(root, next.path);
        if (names.empty())
            continue;
        if (keys.size() + pending.size() + names.size() > kMaxKeys || next.depth == kMaxDepth)
            return false;
        for (auto name = names.rbegin(); name != names.rend(); ++name) {
            Check(!name->empty());
            pending.push_back({next.path.empty() ? *name : next.path + '\\' + *name, next.depth + 1});
        }
    }
    return true;
}

bool Empty(const std::vector<Key>& keys)
{
    return keys.size() == 1 && keys[0].values.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    emulated::Registry registry;
    if (!emulated::LoadRegedit4(text, registry).ok)
        return 0;

    std::vector<Key> before[std::size(kRoots)];
    bool bounded = true;
    for (std::size_t r = 0; r < std::size(kRoots); ++r)
        bounded = Walk(registry, kRoots[r], before[r]) && bounded;

    // Nothing removed yet: the edited file is the file, in one range.
    const std::vector<std::string_view> whole = registry.KeptRanges();
    Check(whole.size() == 1 && whole[0] == text);

    // The saved file reads back to the same content. A mapped HKEY_CURRENT_USER is written under its own
    // root and mapped again on reading; an empty one may come back mapped, so it is compared only when it
    // holds something.
    if (bounded) {
        emulated::Registry saved;
        Check(emulated::LoadRegedit4(emulated::SaveRegedit4(registry), saved).ok);
        for (std::size_t r = 0; r < std::size(kRoots); ++r) {
            if (kRoots[r] == HKEY_CURRENT_USER && Empty(before[r]))
                continue;
            std::vector<Key> after;
            Check(Walk(saved, kRoots[r], after));
            Check(SameKeys(before[r], after));
        }
    }

    // Delete the first subkey of the first root that has one. HKEY_CURRENT_USER is passed over: once its
    // last key line is gone, the edited file maps it to HKEY_USERS\.DEFAULT on reading.
    std::size_t r = 0;
    while (r < std::size(kRoots) && (kRoots[r] == HKEY_CURRENT_USER || before[r].size() < 2))
        ++r;
    if (r == std::size(kRoots))
        return 0;
    const HKEY root = kRoots[r];
    const std::vector<std::string> names = registry.SubkeyNames(root, "");
    Check(registry.DeleteKey(root, names[0].c_str()) == ERROR_SUCCESS);
    Check(registry.Modified() && !registry.KeyExists(root, names[0]));

    // The kept ranges are the file's own bytes, in order, from its start: the deleted key's sections cut out.
    const std::vector<std::string_view> kept = registry.KeptRanges();
    Check(!kept.empty() && kept[0].data() == whole[0].data());
    const char* from = whole[0].data();
    const char* const end = from + whole[0].size();
    for (std::string_view range : kept) {
        Check(!range.empty() && range.data() >= from && range.data() + range.size() <= end);
        from = range.data() + range.size();
    }
    const std::string edited = emulated::EditedRegedit4(registry);
    Check(edited.size() < text.size());

    emulated::Registry reread;
    Check(emulated::LoadRegedit4(edited, reread).ok);
    Check(!reread.KeyExists(root, names[0]));
    for (std::size_t i = 1; i < names.size(); ++i)
        Check(reread.KeyExists(root, names[i]));
    return 0;
}
