// The structural check of a Windows 9x registry file: every rule Windows keeps when it writes one. A file is
// loaded only when it passes, and an edited or built file is saved only when it passes, so the program never
// leaves Windows a file whose free space, numbering or checksums it would misread.
#include <algorithm>
#include <utility>
#include <vector>

#include "registry/hive_file.h"

namespace emulated {

namespace {

constexpr std::uint32_t kFirstPageSlots = (kKeyTreeFirstPage - kKeyTreeHeaderSize) / kKeyEntrySize;
constexpr std::uint32_t kPageSlots = kKeyTreePage / kKeyEntrySize;


// The position of an entry slot among all slots of the key tree.
std::uint32_t SlotIndex(std::uint32_t entry)
{
    if (entry < kKeyTreeFirstPage)
        return (entry - kKeyTreeHeaderSize) / kKeyEntrySize;
    return kFirstPageSlots + (entry - kKeyTreeFirstPage) / kKeyTreePage * kPageSlots + entry % kKeyTreePage / kKeyEntrySize;
}

bool CheckSum(std::string_view file, std::uint32_t begin, std::uint32_t size, std::uint32_t flags, const char* area,
              HiveError& error)
{
    if ((flags & kChecksummed) == 0 || DwordSum(file, begin, size) == 0)
        return true;
    error = HiveFault(begin, std::string(area) + " has its checksum flag set, but its checksum is wrong");
    return false;
}

// What each slot of the key tree holds, as the walks find it.
enum class Slot : std::uint8_t { Unseen, InTree, Free };

struct TreeCheck {
    const Hive& hive;
    std::string_view file;
    std::uint32_t treeSize;
    std::vector<Slot> slots;
    std::vector<bool> claimed;  // by position in hive.records
    HiveError& error;

    bool Fail(std::uint32_t offset, std::string message)
    {
        error = HiveFault(offset, std::move(message));
        return false;
    }

    // One entry reached from the link at `from`, whose parent must be `parent`.
    bool Visit(std::uint32_t entry, std::uint32_t from, std::uint32_t parent)
    {
        if (!hive.IsEntry(entry))
            return Fail(from, "key entry offset " + HexOffset(entry) + " points outside the key tree's entries");
        if (slots[SlotIndex(entry)] != Slot::Unseen)
            return Fail(from, "key tree loops: entry " + HexOffset(Hive::EntryAt(entry)) + " is reached twice");
        slots[SlotIndex(entry)] = Slot::InTree;
        const std::uint32_t at = Hive::EntryAt(entry);
        if (Le32(file, at + kEntryFlags) & kFreeEntryFlag)
            return Fail(at, "the key tree reaches a free key entry");
        if (Le32(file, at + kEntryParent) != parent)
            return Fail(at + kEntryParent, "parent offset " + HexOffset(Le32(file, at + kEntryParent)) +
                                               " is not the key above it, " + HexOffset(parent));
        const std::uint32_t index = hive.RecordIndexOf(file, entry);
        if (index == kHiveNone) {
            // Only the file's root key may go without a record, and then it names none (Windows ME writes
            // data block and number 0xFFFF): a root that names a missing one is a file libcreg cannot read.
            const std::uint16_t block = Le16(file, at + kEntryBlock);
            if (entry == hive.rootEntry && block == 0xFFFF && Le16(file, at + kEntryNumber) == 0xFFFF)
                return true;
            if (block >= hive.blockStart.size())
                return Fail(at + kEntryNumber, "key entry names data block " + std::to_string(block) +
                                                   ", but the file has " + std::to_string(hive.blockStart.size()));
            return Fail(at + kEntryNumber, "key entry names a key record that is not there");
        }
        // A key record belongs to one key: were two keys to share one, removing either would free the record
        // the other still names.
        if (claimed[index])
            return Fail(at + kEntryNumber, "key entry names the key record of another key");
        claimed[index] = true;
        const std::string_view name = RecordName(file, hive.records[index].offset);
        if (entry != hive.rootEntry && (name.empty() || name.find('\\') != std::string_view::npos))
            return Fail(hive.records[index].offset, "key name is empty or holds a backslash");
        return true;
    }

    bool WalkTree()
    {
        if (!Visit(hive.rootEntry, kKeyTreeStart + kTreeRoot, kHiveNone))
            return false;
        // Each pending item is a run of siblings linked by their next offsets, with the parent they share and
        // the file offset of the link that names the first, for the message.
        struct Run {
            std::uint32_t first;
            std::uint32_t parent;
            std::uint32_t from;
        };
        std::vector<Run> pending;
        const std::uint32_t rootAt = Hive::EntryAt(hive.rootEntry);
        pending.push_back({Le32(file, rootAt + kEntryChild), hive.rootEntry, rootAt + kEntryChild});
        while (!pending.empty()) {
            const Run run = pending.back();
            pending.pop_back();
            std::uint32_t from = run.from;
            for (std::uint32_t entry = run.first; entry != kHiveNone;) {
                if (!Visit(entry, from, run.parent))
                    return false;
                const std::uint32_t at = Hive::EntryAt(entry);
                pending.push_back({Le32(file, at + kEntryChild), entry, at + kEntryChild});
                from = at + kEntryNext;
                entry = Le32(file, from);
            }
        }
        return true;
    }

    // The free entries: each on a slot, marked free, spanning slots that nothing else holds.
    bool WalkFreeEntries()
    {
        std::uint32_t from = kKeyTreeStart + kTreeFirstFree;
        for (std::uint32_t entry = Le32(file, from); entry != kHiveNone; entry = Le32(file, from)) {
            if (!hive.IsEntry(entry))
                return Fail(from, "free key entry offset " + HexOffset(entry) + " points outside the key tree's entries");
            const std::uint32_t at = Hive::EntryAt(entry);
            const std::uint32_t span = Le32(file, at + kEntryHash);
            if ((Le32(file, at + kEntryFlags) & kFreeEntryFlag) == 0)
                return Fail(at, "a free key entry is not marked free");
            if (span < kKeyEntrySize || span > treeSize - entry)
                return Fail(at + kEntryHash, "free key entry spans " + std::to_string(span) + " bytes, past the key tree");
            for (std::uint32_t slot = entry; slot < entry + span && slot + kKeyEntrySize <= treeSize;
                 slot = NextEntrySlot(slot)) {
                if (slots[SlotIndex(slot)] != Slot::Unseen)
                    return Fail(at, "free key entry spans entry " + HexOffset(Hive::EntryAt(slot)) +
                                        ", which the key tree or another free entry holds");
                slots[SlotIndex(slot)] = Slot::Free;
            }
            from = at + kEntryNextFree;
        }
        return true;
    }

    bool Run()
    {
        if (treeSize < kKeyTreeFirstPage || (treeSize - kKeyTreeFirstPage) % kKeyTreePage != 0)
            return Fail(kKeyTreeStart + kTreeSize, "key tree size " + HexOffset(treeSize) +
                                                       " is not 0x2000 and a whole number of 0x1000 pages");
        slots.assign(kFirstPageSlots + (treeSize - kKeyTreeFirstPage) / kKeyTreePage * kPageSlots, Slot::Unseen);
        claimed.assign(hive.records.size(), false);
        if (!WalkTree() || !WalkFreeEntries())
            return false;
        const auto lost = std::find(slots.begin(), slots.end(), Slot::Unseen);
        if (lost != slots.end()) {
            std::uint32_t entry = kKeyTreeHeaderSize;
            for (auto i = lost - slots.begin(); i > 0; --i)
                entry = NextEntrySlot(entry);
            return Fail(Hive::EntryAt(entry), "key entry is neither in the key tree nor free");
        }
        const auto unnamed = std::find(claimed.begin(), claimed.end(), false);
        if (unnamed != claimed.end())
            return Fail(hive.records[static_cast<std::size_t>(unnamed - claimed.begin())].offset,
                        "key record is named by no key entry");
        return CheckSum(file, kKeyTreeStart, treeSize, Le32(file, kKeyTreeStart + kTreeFlags), "the key tree", error);
    }
};

// The lowest record number a block does not use, or kNoUnusedRecord; `first` .. `last` in rising number.
std::uint16_t LowestUnused(const Hive::Record* first, const Hive::Record* last)
{
    std::uint32_t number = 0;
    for (; first != last && first->number == number; ++first)
        ++number;
    return number >= kRecordsPerBlock ? kNoUnusedRecord : static_cast<std::uint16_t>(number);
}

bool CheckBlock(const Hive& hive, std::size_t block, HiveError& error)
{
    const std::string_view file = hive.bytes;
    const std::uint32_t at = hive.blockStart[block];
    const std::uint32_t size = Le32(file, at + kBlockSize);
    auto fail = [&](std::uint32_t offset, std::string message) {
        error = HiveFault(offset, "data block " + std::to_string(block) + ": " + std::move(message));
        return false;
    };
    if (Le16(file, at + kBlockNumber) != block)
        return fail(at + kBlockNumber, "numbered " + std::to_string(Le16(file, at + kBlockNumber)));
    // Free records in file order; every one but the one that ends the block has a whole record header.
    std::vector<std::uint32_t> free;
    for (std::uint32_t record = kBlockHeaderSize; record < size; record += Le32(file, at + record + kRecordSize)) {
        if (Le32(file, at + record + kRecordId) != kHiveNone)
            continue;
        free.push_back(record);
        const std::uint32_t recordSize = Le32(file, at + record + kRecordSize);
        if (record + recordSize < size && !CheckRecordShape(file, at + record, recordSize, recordSize, error))
            return fail(at + record, "free record with a damaged header: " + error.message);
    }
    // The free list reaches each free record once.
    std::vector<bool> listed(free.size(), false);
    std::uint32_t freeBytes = 0;
    std::uint32_t from = at + kBlockFirstFree;
    for (std::uint32_t record = Le32(file, from); record != kHiveNone; record = Le32(file, from)) {
        const auto found = std::lower_bound(free.begin(), free.end(), record);
        if (found == free.end() || *found != record)
            return fail(from, "free list names " + HexOffset(record) + ", which is no free record");
        if (listed[static_cast<std::size_t>(found - free.begin())])
            return fail(from, "free list reaches the record at " + HexOffset(record) + " twice");
        listed[static_cast<std::size_t>(found - free.begin())] = true;
        freeBytes += Le32(file, at + record + kRecordSize);
        from = at + record + kRecordUsed;
    }
    const auto unlisted = std::find(listed.begin(), listed.end(), false);
    if (unlisted != listed.end())
        return fail(at + free[static_cast<std::size_t>(unlisted - listed.begin())], "free record missing from the free list");
    if (Le32(file, at + kBlockFreeBytes) != freeBytes)
        return fail(at + kBlockFreeBytes, "free bytes " + std::to_string(Le32(file, at + kBlockFreeBytes)) +
                                              ", but its free records hold " + std::to_string(freeBytes));
    const Hive::Record* first = hive.records.data() + hive.recordBase[block];
    const Hive::Record* last =
        block + 1 < hive.recordBase.size() ? hive.records.data() + hive.recordBase[block + 1] : hive.records.data() + hive.records.size();
    if (first != last && Le16(file, at + kBlockHighestNumber) < last[-1].number)
        return fail(at + kBlockHighestNumber, "highest record number " + std::to_string(Le16(file, at + kBlockHighestNumber)) +
                                                  " is below record " + std::to_string(last[-1].number));
    if (Le16(file, at + kBlockLowestUnused) != LowestUnused(first, last))
        return fail(at + kBlockLowestUnused, "lowest unused record number " +
                                                 std::to_string(Le16(file, at + kBlockLowestUnused)) + " should be " +
                                                 std::to_string(LowestUnused(first, last)));
    return CheckSum(file, at, size, Le16(file, at + kBlockFlags), "data block", error);
}

}  // namespace

bool CheckHiveStructure(const Hive& hive, HiveError& error)
{
    const std::string_view file = hive.bytes;
    if (!CheckSum(file, 0, kHiveHeaderSize, Le16(file, kHeaderFlags), "the file header", error))
        return false;
    TreeCheck tree {hive, file, hive.keyTreeEnd - kKeyTreeStart, {}, {}, error};
    if (!tree.Run())
        return false;
    for (std::size_t block = 0; block < hive.blockStart.size(); ++block) {
        if (!CheckBlock(hive, block, error))
            return false;
    }
    return true;
}

bool CheckHiveStructure(std::string_view bytes, HiveError& error)
{
    Hive hive;
    return ParseHive(std::string(bytes), hive, error) && CheckHiveStructure(hive, error);
}

}  // namespace emulated
