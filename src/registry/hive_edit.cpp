// Windows 9x binary registry files: cutting removed keys out in place, as Windows deletes a key.
#include <algorithm>
#include <vector>

#include "registry/hive.h"
#include "registry/registry_tree.h"

namespace emulated {

namespace {

// Unlinks `entry` from its parent's run of subkeys; the links were checked when the file was read.
void Unlink(std::string& out, std::uint32_t parent, std::uint32_t entry)
{
    const std::uint32_t parentAt = Hive::EntryAt(parent);
    const std::uint32_t next = Get32(out, Hive::EntryAt(entry) + kEntryNext);
    if (Get32(out, parentAt + kEntryChild) == entry) {
        Put32(out, parentAt + kEntryChild, next);
        return;
    }
    for (std::uint32_t sibling = Get32(out, parentAt + kEntryChild); sibling != kHiveNone;) {
        const std::uint32_t siblingAt = Hive::EntryAt(sibling);
        if (Get32(out, siblingAt + kEntryNext) == entry) {
            Put32(out, siblingAt + kEntryNext, next);
            return;
        }
        sibling = Get32(out, siblingAt + kEntryNext);
    }
}

// Appends every entry below `entry` (not `entry` itself) to `freed`.
void CollectBelow(std::string_view out, std::uint32_t entry, std::vector<std::uint32_t>& freed)
{
    std::vector<std::uint32_t> runs;
    if (Get32(out, Hive::EntryAt(entry) + kEntryChild) != kHiveNone)
        runs.push_back(Get32(out, Hive::EntryAt(entry) + kEntryChild));
    while (!runs.empty()) {
        std::uint32_t sibling = runs.back();
        runs.pop_back();
        for (; sibling != kHiveNone; sibling = Get32(out, Hive::EntryAt(sibling) + kEntryNext)) {
            freed.push_back(sibling);
            if (Get32(out, Hive::EntryAt(sibling) + kEntryChild) != kHiveNone)
                runs.push_back(Get32(out, Hive::EntryAt(sibling) + kEntryChild));
        }
    }
}

// Frees a key record as Windows does: marked free, put at the head of its block's free list, its bytes
// counted free, and its number offered again as the lowest unused one. Its header then names no name and
// no values: a reader that walks every record of a block takes the next-free link for the bytes used, and
// a link smaller than the old name and values would make it misread them.
void FreeRecord(std::string& out, std::uint32_t block, std::uint32_t record)
{
    const std::uint16_t number = Get16(out, record + kRecordId);
    Put32(out, record + kRecordId, kHiveNone);
    Put16(out, record + kRecordNameLength, 0);
    Put16(out, record + kRecordValueCount, 0);
    Put32(out, record + kRecordUsed, Get32(out, block + kBlockFirstFree));
    Put32(out, block + kBlockFirstFree, record - block);
    Put32(out, block + kBlockFreeBytes, Get32(out, block + kBlockFreeBytes) + Get32(out, record + kRecordSize));
    if (number < Get16(out, block + kBlockLowestUnused))
        Put16(out, block + kBlockLowestUnused, number);
}

}  // namespace

std::string EditedHive(const Registry& registry, std::size_t hiveIndex)
{
    const Registry::Impl& impl = ImplOf(registry);
    const Hive& hive = impl.hives[hiveIndex];
    std::string out = hive.bytes;
    std::vector<std::uint32_t> freed;
    for (KeyId key : impl.removedRoots) {
        const KeyNode& node = impl.Node(key);
        if (node.hive != hiveIndex + 1)
            continue;
        const std::uint32_t entry = node.source.hive.entry;
        if (entry == hive.rootEntry) {
            // The file's root key itself stays: what goes is everything below it.
            CollectBelow(out, entry, freed);
            Put32(out, Hive::EntryAt(entry) + kEntryChild, kHiveNone);
            continue;
        }
        Unlink(out, impl.Node(node.parent).source.hive.entry, entry);
        freed.push_back(entry);
        CollectBelow(out, entry, freed);
    }

    // Key records first (they are found through the entries), then the entries join the free list, the
    // lowest offset first; every area changed whose checksum counts gets it anew.
    std::vector<std::uint32_t> touchedBlocks;
    for (std::uint32_t entry : freed) {
        const std::uint32_t record = hive.RecordOf(out, entry);
        if (record == kHiveNone || Get32(out, record + kRecordId) == kHiveNone)
            continue;
        const std::uint16_t block = Get16(out, Hive::EntryAt(entry) + kEntryBlock);
        FreeRecord(out, hive.blockStart[block], record);
        touchedBlocks.push_back(block);
    }
    std::sort(freed.begin(), freed.end());
    std::uint32_t head = Get32(out, kKeyTreeStart + kTreeFirstFree);
    for (auto it = freed.rbegin(); it != freed.rend(); ++it) {
        const std::uint32_t at = Hive::EntryAt(*it);
        Put32(out, at + kEntryFlags, kFreeEntryFlag);
        Put32(out, at + kEntryHash, kKeyEntrySize);
        Put32(out, at + kEntryNextFree, head);
        head = *it;
    }
    Put32(out, kKeyTreeStart + kTreeFirstFree, head);
    if (Get32(out, kKeyTreeStart + kTreeFlags) & kChecksummed)
        FixChecksum(out, kKeyTreeStart, hive.keyTreeEnd - kKeyTreeStart, kKeyTreeStart + kTreeChecksum);
    std::sort(touchedBlocks.begin(), touchedBlocks.end());
    touchedBlocks.erase(std::unique(touchedBlocks.begin(), touchedBlocks.end()), touchedBlocks.end());
    for (std::uint32_t block : touchedBlocks) {
        const std::uint32_t at = hive.blockStart[block];
        if (Get16(out, at + kBlockFlags) & kChecksummed)
            FixChecksum(out, at, Get32(out, at + kBlockSize), at + kBlockChecksum);
    }
    return out;
}

}  // namespace emulated
