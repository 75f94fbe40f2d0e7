// Windows 9x binary registry files: cutting removed keys out in place, as Windows deletes a key.
#include <algorithm>
#include <cstring>
#include <vector>

#include "registry/hive.h"
#include "registry/registry_tree.h"

namespace emulated {

namespace {

// Unlinks `entry` from its parent's run of subkeys; the links were checked when the file was read.
void Unlink(HiveEdits& edits, std::uint32_t parent, std::uint32_t entry)
{
    const std::string_view out = edits.bytes();
    const std::uint32_t parentAt = Hive::EntryAt(parent);
    const std::uint32_t next = Le32(out, Hive::EntryAt(entry) + kEntryNext);
    if (Le32(out, parentAt + kEntryChild) == entry) {
        edits.Put32(parentAt + kEntryChild, next);
        return;
    }
    for (std::uint32_t sibling = Le32(out, parentAt + kEntryChild); sibling != kHiveNone;) {
        const std::uint32_t siblingAt = Hive::EntryAt(sibling);
        if (Le32(out, siblingAt + kEntryNext) == entry) {
            edits.Put32(siblingAt + kEntryNext, next);
            return;
        }
        sibling = Le32(out, siblingAt + kEntryNext);
    }
}

// Appends every entry below `entry` (not `entry` itself) to `freed`.
void CollectBelow(std::string_view out, std::uint32_t entry, std::vector<std::uint32_t>& freed)
{
    std::vector<std::uint32_t> runs;
    if (Le32(out, Hive::EntryAt(entry) + kEntryChild) != kHiveNone)
        runs.push_back(Le32(out, Hive::EntryAt(entry) + kEntryChild));
    while (!runs.empty()) {
        std::uint32_t sibling = runs.back();
        runs.pop_back();
        for (; sibling != kHiveNone; sibling = Le32(out, Hive::EntryAt(sibling) + kEntryNext)) {
            freed.push_back(sibling);
            if (Le32(out, Hive::EntryAt(sibling) + kEntryChild) != kHiveNone)
                runs.push_back(Le32(out, Hive::EntryAt(sibling) + kEntryChild));
        }
    }
}

// Frees a key record as Windows does: marked free, put at the head of its block's free list, its bytes
// counted free, and its number offered again as the lowest unused one. Its header then names no name and
// no values: a reader that walks every record of a block takes the next-free link for the bytes used, and
// a link smaller than the old name and values would make it misread them.
void FreeRecord(HiveEdits& edits, std::uint32_t block, std::uint32_t record)
{
    const std::string_view out = edits.bytes();
    const std::uint16_t number = Le16(out, record + kRecordId);
    edits.Put32(record + kRecordId, kHiveNone);
    edits.Put16(record + kRecordNameLength, 0);
    edits.Put16(record + kRecordValueCount, 0);
    edits.Put32(record + kRecordUsed, Le32(out, block + kBlockFirstFree));
    edits.Put32(block + kBlockFirstFree, record - block);
    edits.Put32(block + kBlockFreeBytes, Le32(out, block + kBlockFreeBytes) + Le32(out, record + kRecordSize));
    if (number < Le16(out, block + kBlockLowestUnused))
        edits.Put16(block + kBlockLowestUnused, number);
}

}  // namespace

void CutRemovedKeys(const Registry& registry, std::size_t hiveIndex, HiveEdits& edits)
{
    const Registry::Impl& impl = ImplOf(registry);
    const Hive& hive = impl.hives[hiveIndex];
    const std::string_view out = edits.bytes();
    std::vector<std::uint32_t> freed;
    for (KeyId key : impl.removedRoots) {
        const KeyNode& node = impl.Node(key);
        if (node.hive != hiveIndex + 1)
            continue;
        const std::uint32_t entry = node.source.hive.entry;
        if (entry == hive.rootEntry) {
            // The file's root key itself stays: what goes is everything below it.
            CollectBelow(out, entry, freed);
            edits.Put32(Hive::EntryAt(entry) + kEntryChild, kHiveNone);
            continue;
        }
        Unlink(edits, impl.Node(node.parent).source.hive.entry, entry);
        freed.push_back(entry);
        CollectBelow(out, entry, freed);
    }

    // Key records first (they are found through the entries), then the entries join the free list, the
    // lowest offset first; every area changed whose checksum counts gets it anew.
    std::vector<std::uint32_t> touchedBlocks;
    for (std::uint32_t entry : freed) {
        const std::uint32_t record = hive.RecordOf(out, entry);
        if (record == kHiveNone || Le32(out, record + kRecordId) == kHiveNone)
            continue;
        const std::uint16_t block = Le16(out, Hive::EntryAt(entry) + kEntryBlock);
        FreeRecord(edits, hive.blockStart[block], record);
        touchedBlocks.push_back(block);
    }
    std::sort(freed.begin(), freed.end());
    std::uint32_t head = Le32(out, kKeyTreeStart + kTreeFirstFree);
    for (auto it = freed.rbegin(); it != freed.rend(); ++it) {
        const std::uint32_t at = Hive::EntryAt(*it);
        edits.Put32(at + kEntryFlags, kFreeEntryFlag);
        edits.Put32(at + kEntryHash, kKeyEntrySize);
        edits.Put32(at + kEntryNextFree, head);
        head = *it;
    }
    edits.Put32(kKeyTreeStart + kTreeFirstFree, head);
    if (Le32(out, kKeyTreeStart + kTreeFlags) & kChecksummed)
        edits.FixChecksum(kKeyTreeStart, hive.keyTreeEnd - kKeyTreeStart, kKeyTreeStart + kTreeChecksum);
    std::sort(touchedBlocks.begin(), touchedBlocks.end());
    touchedBlocks.erase(std::unique(touchedBlocks.begin(), touchedBlocks.end()), touchedBlocks.end());
    for (std::uint32_t block : touchedBlocks) {
        const std::uint32_t at = hive.blockStart[block];
        if (Le16(out, at + kBlockFlags) & kChecksummed)
            edits.FixChecksum(at, Le32(out, at + kBlockSize), at + kBlockChecksum);
    }
}

std::string EditedHive(const Registry& registry, std::size_t hiveIndex)
{
    std::string out = ImplOf(registry).hives[hiveIndex].bytes;
    HiveEdits edits(out);
    CutRemovedKeys(registry, hiveIndex, edits);
    edits.Keep();
    return out;
}

std::string& LoadedHiveBytes(const Registry& registry, std::size_t hiveIndex)
{
    return ImplOf(registry).hives[hiveIndex].bytes;
}

HiveEdits::~HiveEdits()
{
    for (auto it = overwritten_.rbegin(); it != overwritten_.rend(); ++it)
        std::memcpy(bytes_.data() + it->at, it->old, it->size);
}

void HiveEdits::Save(std::uint32_t at, std::uint8_t size)
{
    Overwritten old {at, size, {}};
    std::memcpy(old.old, bytes_.data() + at, size);
    overwritten_.push_back(old);
}

void HiveEdits::Put32(std::uint32_t at, std::uint32_t value)
{
    Save(at, 4);
    emulated::Put32(bytes_, at, value);
}

void HiveEdits::Put16(std::uint32_t at, std::uint16_t value)
{
    Save(at, 2);
    emulated::Put16(bytes_, at, value);
}

void HiveEdits::FixChecksum(std::uint32_t begin, std::uint32_t size, std::uint32_t checksumAt)
{
    Save(checksumAt, 4);
    emulated::FixChecksum(bytes_, begin, size, checksumAt);
}


}  // namespace emulated
