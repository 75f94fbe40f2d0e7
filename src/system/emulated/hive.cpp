// Windows 9x binary registry files: reading, cutting removed keys out in place, and building new files.
#include "system/emulated/hive.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "system/emulated/registry_tree.h"

namespace emulated {

namespace {

// Key entry fields, from the start of an entry.
constexpr std::uint32_t kEntryFlags = 0x00;
constexpr std::uint32_t kEntryHash = 0x04;
constexpr std::uint32_t kEntryNextFree = 0x08;
constexpr std::uint32_t kEntryParent = 0x0C;
constexpr std::uint32_t kEntryChild = 0x10;
constexpr std::uint32_t kEntryNext = 0x14;
constexpr std::uint32_t kEntryNumber = 0x18;
constexpr std::uint32_t kEntryBlock = 0x1A;
// Key tree header fields, from the start of the key tree.
constexpr std::uint32_t kTreeSize = 0x04;
constexpr std::uint32_t kTreeRoot = 0x08;
constexpr std::uint32_t kTreeFirstFree = 0x0C;
// Data block header fields.
constexpr std::uint32_t kBlockSize = 0x04;
constexpr std::uint32_t kBlockFreeBytes = 0x08;
constexpr std::uint32_t kBlockFlags = 0x0C;
constexpr std::uint32_t kBlockNumber = 0x0E;
constexpr std::uint32_t kBlockFirstFree = 0x10;
// Key record fields.
constexpr std::uint32_t kRecordSize = 0x00;
constexpr std::uint32_t kRecordId = 0x04;
constexpr std::uint32_t kRecordUsed = 0x08;
constexpr std::uint32_t kRecordNameLength = 0x0C;
constexpr std::uint32_t kRecordValueCount = 0x0E;

constexpr std::uint32_t kPage = 0x1000;
constexpr std::uint32_t kBlockTarget = 0x10000;        // a new block starts when a record would pass 64 KB
constexpr std::uint16_t kBlockFlagsWritten = 0x000D;   // what Windows' files hold there
constexpr std::uint32_t kMaxRecordsPerBlock = 0xFFFE;  // numbers are words; 0xFFFF means none

bool IsStringType(DWORD type)
{
    return type == REG_SZ || type == 2;  // REG_EXPAND_SZ
}

HiveError Error(std::uint32_t offset, std::string message)
{
    return {offset, std::move(message)};
}

std::string Hex(std::uint32_t value)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text = "0x";
    bool started = false;
    for (int shift = 28; shift >= 0; shift -= 4) {
        const unsigned digit = value >> shift & 0xF;
        started = started || digit != 0 || shift == 0;
        if (started)
            text += kDigits[digit];
    }
    return text;
}

// A key record's name, and the offset of its first value just after it.
std::string_view RecordName(std::string_view bytes, std::uint32_t record)
{
    return bytes.substr(record + kRecordHeaderSize, Get16(bytes, record + kRecordNameLength));
}

std::uint32_t FirstValue(std::string_view bytes, std::uint32_t record)
{
    return record + kRecordHeaderSize + Get16(bytes, record + kRecordNameLength);
}

// Checks a key record at `at` inside a block ending at `end`: its sizes, name and values lie inside it.
bool CheckRecord(std::string_view bytes, std::uint32_t at, std::uint32_t end, HiveError& error)
{
    const std::uint32_t size = Get32(bytes, at + kRecordSize);
    const std::uint32_t used = Get32(bytes, at + kRecordUsed);
    if (size < kRecordHeaderSize || used < kRecordHeaderSize || used > size || size > end - at) {
        error = Error(at, "key record sizes disagree (size " + std::to_string(size) + ", used " + std::to_string(used) +
                              ")");
        return false;
    }
    std::uint32_t pos = FirstValue(bytes, at);
    const std::uint32_t usedEnd = at + used;
    if (pos > usedEnd) {
        error = Error(at, "key record name runs past the record");
        return false;
    }
    for (unsigned count = Get16(bytes, at + kRecordValueCount); count > 0; --count) {
        if (usedEnd - pos < kValueHeaderSize) {
            error = Error(pos, "value runs past its key record");
            return false;
        }
        const std::uint32_t length = kValueHeaderSize + Get16(bytes, pos + 8) + Get16(bytes, pos + 10);
        if (usedEnd - pos < length) {
            error = Error(pos, "value runs past its key record");
            return false;
        }
        pos += length;
    }
    return true;
}

}  // namespace

std::uint32_t KeyNameHash(std::string_view name)
{
    std::uint32_t hash = 0;
    for (char c : name) {
        auto byte = static_cast<unsigned char>(c);
        if (byte >= 'a' && byte <= 'z')
            byte = static_cast<unsigned char>(byte - 'a' + 'A');
        if (byte < 0x80)
            hash += byte;
    }
    return hash;
}

bool Hive::IsEntry(std::uint32_t entry) const
{
    return entry >= kKeyTreeHeaderSize && (entry - kKeyTreeHeaderSize) % kKeyEntrySize == 0 &&
           entry <= keyTreeEnd - kKeyTreeStart - kKeyEntrySize;
}

std::uint32_t Hive::RecordOf(std::string_view file, std::uint32_t entry) const
{
    const std::uint32_t at = EntryAt(entry);
    const std::uint16_t number = Get16(file, at + kEntryNumber);
    const std::uint16_t block = Get16(file, at + kEntryBlock);
    if (block >= blockStart.size() || number == 0xFFFF)
        return kHiveNone;
    const std::size_t count =
        (block + 1u < recordBase.size() ? recordBase[block + 1u] : records.size()) - recordBase[block];
    if (number >= count || records[recordBase[block] + number] == 0)
        return kHiveNone;
    return records[recordBase[block] + number];
}

bool ParseHive(std::string bytes, Hive& hive, HiveError& error)
{
    hive = Hive();
    hive.bytes = std::move(bytes);
    const std::string_view file = hive.bytes;
    if (file.size() < kHiveHeaderSize + kKeyTreeHeaderSize + kKeyEntrySize) {
        error = Error(0, "file too short for a Windows 9x registry file (" + std::to_string(file.size()) + " bytes)");
        return false;
    }
    if (file.size() > kMaxHiveSize) {
        error = Error(0, "file larger than 1 GiB");
        return false;
    }
    if (file.substr(0, 4) != "CREG") {
        error = Error(0, "no CREG signature: not a Windows 9x registry file");
        return false;
    }
    if (Get16(file, 6) != 1) {
        error = Error(4, "format version " + std::to_string(Get16(file, 6)) + "." + std::to_string(Get16(file, 4)) +
                             " is not the 1.x of Windows 95, 98 and ME");
        return false;
    }
    if (file.substr(kKeyTreeStart, 4) != "RGKN") {
        error = Error(kKeyTreeStart, "no RGKN signature where the key tree starts");
        return false;
    }
    const auto size = static_cast<std::uint32_t>(file.size());
    const std::uint32_t treeSize = Get32(file, kKeyTreeStart + kTreeSize);
    const std::uint32_t firstBlock = Get32(file, 8);
    if (treeSize < kKeyTreeHeaderSize + kKeyEntrySize || treeSize > size - kKeyTreeStart) {
        error = Error(kKeyTreeStart + kTreeSize, "key tree size " + std::to_string(treeSize) + " runs past the file");
        return false;
    }
    if (firstBlock != kKeyTreeStart + treeSize) {
        error = Error(8, "first data block offset " + Hex(firstBlock) + " disagrees with the key tree's end " +
                             Hex(kKeyTreeStart + treeSize));
        return false;
    }
    hive.keyTreeEnd = kKeyTreeStart + treeSize;
    hive.rootEntry = Get32(file, kKeyTreeStart + kTreeRoot);
    if (!hive.IsEntry(hive.rootEntry)) {
        error = Error(kKeyTreeStart + kTreeRoot,
                      "root key entry offset " + Hex(hive.rootEntry) + " is not an entry of the key tree");
        return false;
    }

    const unsigned blocks = Get16(file, 0x10);
    std::uint32_t at = firstBlock;
    for (unsigned block = 0; block < blocks; ++block) {
        if (size - at < kBlockHeaderSize || file.substr(at, 4) != "RGDB") {
            error = Error(at, "data block " + std::to_string(block) + " of " + std::to_string(blocks) +
                                  " missing (no RGDB signature)");
            return false;
        }
        const std::uint32_t blockSize = Get32(file, at + kBlockSize);
        if (blockSize < kBlockHeaderSize || blockSize > size - at) {
            error = Error(at + kBlockSize, "data block size " + std::to_string(blockSize) + " runs past the file");
            return false;
        }
        hive.blockStart.push_back(at);
        hive.recordBase.push_back(static_cast<std::uint32_t>(hive.records.size()));
        const std::uint32_t end = at + blockSize;
        for (std::uint32_t record = at + kBlockHeaderSize; record < end;) {
            if (end - record < 8) {
                error = Error(record, "key record header runs past its data block");
                return false;
            }
            const std::uint32_t recordSize = Get32(file, record + kRecordSize);
            const std::uint32_t id = Get32(file, record + kRecordId);
            if (recordSize < 8 || recordSize > end - record) {
                error = Error(record, "key record size " + std::to_string(recordSize) + " does not fit its data block");
                return false;
            }
            if (id != kHiveNone) {
                if (!CheckRecord(file, record, end, error))
                    return false;
                const std::uint16_t number = static_cast<std::uint16_t>(id & 0xFFFF);
                if ((id >> 16) != block || number == 0xFFFF) {
                    error = Error(record + kRecordId,
                                  "key record " + Hex(id) + " stands in data block " + std::to_string(block));
                    return false;
                }
                const std::size_t slot = hive.recordBase[block] + number;
                if (hive.records.size() <= slot)
                    hive.records.resize(slot + 1, 0);
                if (hive.records[slot] != 0) {
                    error = Error(record + kRecordId, "key record number " + std::to_string(number) + " appears twice");
                    return false;
                }
                hive.records[slot] = record;
            }
            record += recordSize;
        }
        at = end;
    }
    return true;
}

bool LoadHive(std::string bytes, Registry& registry, HKEY root, std::string_view path, HiveError& error)
{
    Registry::Impl& impl = registry.impl();
    if (impl.hives.size() >= 0xFF) {
        error = Error(0, "too many registry files");
        return false;
    }
    Hive& hive = impl.hives.emplace_back();
    // No key is made before the whole file has been checked, so a refused file leaves nothing behind.
    auto drop = [&impl](HiveError&) {
        impl.hives.pop_back();
        return false;
    };
    if (!ParseHive(std::move(bytes), hive, error))
        return drop(error);
    const std::string_view file = hive.bytes;
    const auto hiveNumber = static_cast<std::uint8_t>(impl.hives.size());
    const KeyId base = registry.CreateKey(root, path);
    if (base == kNoKey || impl.Node(base).hive != 0 || impl.Node(base).childCount != 0) {
        error = Error(0, "the key to load the file below is missing or has keys already");
        return drop(error);
    }
    // The whole key tree is checked now, so that a damaged file is refused before the run; its keys are
    // made only when the run asks for them (Registry::Impl::Expand).
    const std::uint32_t entries = (hive.keyTreeEnd - kKeyTreeStart - kKeyTreeHeaderSize) / kKeyEntrySize;
    std::vector<bool> seen(entries, false);
    auto visit = [&](std::uint32_t entry, std::uint32_t from) {
        if (!hive.IsEntry(entry)) {
            error = Error(from, "key entry offset " + Hex(entry) + " points outside the key tree");
            return false;
        }
        const std::uint32_t number = (entry - kKeyTreeHeaderSize) / kKeyEntrySize;
        if (seen[number]) {
            error = Error(from, "key tree loops: entry " + Hex(Hive::EntryAt(entry)) + " is reached twice");
            return false;
        }
        seen[number] = true;
        const std::uint32_t at = Hive::EntryAt(entry);
        if (Get32(file, at + kEntryFlags) & kFreeEntryFlag) {
            error = Error(at, "the key tree reaches a free key entry");
            return false;
        }
        const std::uint32_t parent = Get32(file, at + kEntryParent);
        if (parent != kHiveNone && !hive.IsEntry(parent)) {
            error = Error(at + kEntryParent, "parent offset " + Hex(parent) + " points outside the key tree");
            return false;
        }
        return true;
    };
    // A key record belongs to one key: were two keys to share one, removing either would free the record the
    // other still names.
    std::vector<bool> claimed(hive.records.size(), false);
    auto claim = [&](std::uint32_t entry) {
        const std::uint32_t at = Hive::EntryAt(entry);
        const std::size_t slot = hive.recordBase[Get16(file, at + kEntryBlock)] + Get16(file, at + kEntryNumber);
        if (claimed[slot]) {
            error = Error(at + kEntryNumber, "key entry names the key record of another key");
            return false;
        }
        claimed[slot] = true;
        return true;
    };
    if (!visit(hive.rootEntry, kKeyTreeStart + kTreeRoot))
        return drop(error);
    if (hive.RecordOf(file, hive.rootEntry) != kHiveNone && !claim(hive.rootEntry))
        return drop(error);
    // Each pending item is a run of siblings linked by their next offsets; `from` is the file offset of the
    // link that names it, for the message.
    struct Run {
        std::uint32_t first;
        std::uint32_t from;
    };
    std::vector<Run> pending;
    const std::uint32_t rootAt = Hive::EntryAt(hive.rootEntry);
    if (Get32(file, rootAt + kEntryChild) != kHiveNone)
        pending.push_back({Get32(file, rootAt + kEntryChild), rootAt + kEntryChild});
    while (!pending.empty()) {
        const Run run = pending.back();
        pending.pop_back();
        std::uint32_t from = run.from;
        for (std::uint32_t entry = run.first; entry != kHiveNone;) {
            if (!visit(entry, from))
                return drop(error);
            const std::uint32_t at = Hive::EntryAt(entry);
            const std::uint32_t record = hive.RecordOf(file, entry);
            if (record == kHiveNone) {
                error = Error(at + kEntryNumber, "key entry names a key record that is not there");
                return drop(error);
            }
            if (!claim(entry))
                return drop(error);
            const std::string_view name = RecordName(file, record);
            if (name.empty() || name.find('\\') != std::string_view::npos) {
                error = Error(record, "key name is empty or holds a backslash");
                return drop(error);
            }
            if (Get32(file, at + kEntryChild) != kHiveNone)
                pending.push_back({Get32(file, at + kEntryChild), at + kEntryChild});
            from = at + kEntryNext;
            entry = Get32(file, at + kEntryNext);
        }
    }
    KeyNode& node = impl.Node(base);
    node.hive = hiveNumber;
    node.firstSection = hive.rootEntry;
    node.lastSection = hive.RecordOf(file, hive.rootEntry);
    node.valuesParsed = false;
    node.childrenPending = Get32(file, rootAt + kEntryChild) != kHiveNone;
    impl.values.erase(base);
    return true;
}

void ExpandHiveKey(Registry::Impl& impl, KeyId key)
{
    impl.Node(key).childrenPending = false;
    const std::uint8_t hiveNumber = impl.Node(key).hive;
    const Hive& hive = impl.hives[hiveNumber - 1];
    const std::string_view file = hive.bytes;
    // Subkeys of a removed key are removed too.
    const bool deleted = impl.Node(key).deleted;
    const bool removedByRun = impl.Node(key).removedByRun;
    std::uint32_t entry = Get32(file, Hive::EntryAt(impl.Node(key).firstSection) + kEntryChild);
    for (; entry != kHiveNone; entry = Get32(file, Hive::EntryAt(entry) + kEntryNext)) {
        const std::uint32_t at = Hive::EntryAt(entry);
        const std::uint32_t record = hive.RecordOf(file, entry);
        // Two subkeys of one name are both listed, and a lookup finds the first, as on Windows.
        const KeyId child = impl.AddChild(key, RecordName(file, record));
        KeyNode& node = impl.Node(child);
        node.hive = hiveNumber;
        node.firstSection = entry;
        node.lastSection = record;
        node.childrenPending = Get32(file, at + kEntryChild) != kHiveNone;
        node.deleted = deleted;
        node.removedByRun = removedByRun;
    }
}

void ParseHiveValues(const Registry::Impl& impl, KeyId key, std::vector<Value>& out)
{
    const KeyNode& node = impl.Node(key);
    const std::uint32_t record = node.lastSection;
    if (record == kNoSection)
        return;
    const std::string_view file = impl.hives[node.hive - 1].bytes;
    std::uint32_t pos = FirstValue(file, record);
    for (unsigned count = Get16(file, record + kRecordValueCount); count > 0; --count) {
        const std::uint16_t nameLength = Get16(file, pos + 8);
        const std::uint16_t dataLength = Get16(file, pos + 10);
        Value value;
        value.type = Get32(file, pos);
        value.name = file.substr(pos + kValueHeaderSize, nameLength);
        value.data = file.substr(pos + kValueHeaderSize + nameLength, dataLength);
        if (IsStringType(value.type) && (value.data.empty() || value.data.back() != '\0'))
            value.data += '\0';
        out.push_back(std::move(value));
        pos += kValueHeaderSize + nameLength + dataLength;
    }
}

std::size_t HiveCount(const Registry& registry)
{
    return registry.impl().hives.size();
}

bool HiveModified(const Registry& registry, std::size_t hive)
{
    const Registry::Impl& impl = registry.impl();
    return std::any_of(impl.removedRoots.begin(), impl.removedRoots.end(),
                       [&](KeyId key) { return impl.Node(key).hive == hive + 1; });
}

std::string EditedHive(const Registry& registry, std::size_t hiveIndex)
{
    const Registry::Impl& impl = registry.impl();
    const Hive& hive = impl.hives[hiveIndex];
    std::string out = hive.bytes;
    std::vector<std::uint32_t> freed;
    for (KeyId key : impl.removedRoots) {
        const KeyNode& node = impl.Node(key);
        if (node.hive != hiveIndex + 1)
            continue;
        const std::uint32_t entry = node.firstSection;
        std::vector<std::uint32_t> subtree;
        if (entry == hive.rootEntry) {
            // The file's root key itself stays: what goes is everything below it.
            const std::uint32_t child = Get32(out, Hive::EntryAt(entry) + kEntryChild);
            if (child != kHiveNone)
                subtree.push_back(child);
            Put32(out, Hive::EntryAt(entry) + kEntryChild, kHiveNone);
        } else {
            // Unlink it from its parent's run of subkeys; the links were checked when the file was read.
            const std::uint32_t parentAt = Hive::EntryAt(impl.Node(node.parent).firstSection);
            const std::uint32_t next = Get32(out, Hive::EntryAt(entry) + kEntryNext);
            if (Get32(out, parentAt + kEntryChild) == entry) {
                Put32(out, parentAt + kEntryChild, next);
            } else {
                for (std::uint32_t sibling = Get32(out, parentAt + kEntryChild); sibling != kHiveNone;) {
                    const std::uint32_t siblingAt = Hive::EntryAt(sibling);
                    if (Get32(out, siblingAt + kEntryNext) == entry) {
                        Put32(out, siblingAt + kEntryNext, next);
                        break;
                    }
                    sibling = Get32(out, siblingAt + kEntryNext);
                }
            }
            freed.push_back(entry);
            const std::uint32_t child = Get32(out, Hive::EntryAt(entry) + kEntryChild);
            if (child != kHiveNone)
                subtree.push_back(child);
        }
        // Every entry below it: each pending item starts a run of siblings.
        while (!subtree.empty()) {
            std::uint32_t sibling = subtree.back();
            subtree.pop_back();
            for (; sibling != kHiveNone; sibling = Get32(out, Hive::EntryAt(sibling) + kEntryNext)) {
                freed.push_back(sibling);
                const std::uint32_t child = Get32(out, Hive::EntryAt(sibling) + kEntryChild);
                if (child != kHiveNone)
                    subtree.push_back(child);
            }
        }
    }

    // Key records first (they are found through the entries), then the entries join the free list, the
    // lowest offset first.
    for (std::uint32_t entry : freed) {
        const std::uint32_t record = hive.RecordOf(out, entry);
        if (record == kHiveNone || Get32(out, record + kRecordId) == kHiveNone)
            continue;
        const std::uint32_t block = hive.blockStart[Get16(out, Hive::EntryAt(entry) + kEntryBlock)];
        Put32(out, record + kRecordId, kHiveNone);
        Put32(out, block + kBlockFreeBytes, Get32(out, block + kBlockFreeBytes) + Get32(out, record + kRecordSize));
        if (record - block < Get32(out, block + kBlockFirstFree))
            Put32(out, block + kBlockFirstFree, record - block);
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
    return out;
}

namespace {

struct BuiltKey {
    KeyId key;
    std::uint32_t parent = kHiveNone;  // entry offsets
    std::uint32_t child = kHiveNone;
    std::uint32_t next = kHiveNone;
    std::uint32_t lastChild = kHiveNone;  // position of the last subkey linked so far
    std::uint16_t number = 0;
    std::uint16_t block = 0;
};

std::string KeyPathOf(const Registry::Impl& impl, KeyId key)
{
    std::string path(impl.Node(key).name);
    for (KeyId up = impl.Node(key).parent; up != kNoKey; up = impl.Node(up).parent)
        path = std::string(impl.Node(up).name) + "\\" + path;
    return path;
}

}  // namespace

bool BuildHive(const Registry& registry, HKEY root, std::string_view path, std::string& out, std::string& error)
{
    Registry::Impl& impl = const_cast<Registry::Impl&>(registry.impl());
    const KeyId base = registry.FindKey(root, path);
    if (base == kNoKey) {
        error = "no key " + std::string(path) + " to build a registry file from";
        return false;
    }
    // Keys in depth-first order, the base first; each entry's links are filled in as its family is seen.
    std::vector<BuiltKey> keys;
    std::vector<std::pair<KeyId, std::uint32_t>> pending {{base, kHiveNone}};  // key, its parent's position
    while (!pending.empty()) {
        auto [key, parent] = pending.back();
        pending.pop_back();
        const auto position = static_cast<std::uint32_t>(keys.size());
        const std::uint32_t entry = kKeyTreeHeaderSize + position * kKeyEntrySize;
        BuiltKey built {key};
        if (parent != kHiveNone) {
            built.parent = kKeyTreeHeaderSize + parent * kKeyEntrySize;
            // Siblings come in stored order: the previous one (if any) is the last child so far.
            BuiltKey& owner = keys[parent];
            if (owner.lastChild == kHiveNone)
                owner.child = entry;
            else
                keys[owner.lastChild].next = entry;
            owner.lastChild = position;
        }
        keys.push_back(built);
        if (keys.size() > (std::uint64_t {0xFFFFFFFF} - kHiveHeaderSize) / kKeyEntrySize / 2) {
            error = "too many keys for a registry file";
            return false;
        }
        impl.Expand(key);
        for (std::uint32_t i = impl.Node(key).childCount; i > 0; --i)
            pending.emplace_back(impl.Child(key, i - 1), position);
    }

    // The key tree: header, entries, then one free run to the end of its last page.
    const std::uint64_t used = kKeyTreeHeaderSize + std::uint64_t {kKeyEntrySize} * keys.size();
    const std::uint64_t treeSize = (kKeyTreeStart + used + kKeyEntrySize + kPage - 1) / kPage * kPage - kKeyTreeStart;
    // The data blocks: records appended in the same order.
    std::string data;
    std::vector<std::uint32_t> blockStarts;
    std::uint32_t blockOpen = 0;
    std::uint32_t inBlock = 0;
    auto closeBlock = [&]() {
        std::uint32_t size = static_cast<std::uint32_t>(data.size()) - blockOpen;
        std::uint32_t rest = (size + kPage - 1) / kPage * kPage - size;
        std::uint32_t freeBytes = 0;
        if (rest >= kRecordHeaderSize) {
            // The rest of the last page is one free record.
            std::string free(rest, '\0');
            Put32(free, kRecordSize, rest);
            Put32(free, kRecordId, kHiveNone);
            data += free;
            freeBytes = rest;
        } else if (rest > 0) {
            // Too small for a record of its own: the last record is that much larger.
            std::uint32_t last = blockOpen + kBlockHeaderSize;
            while (last + Get32(data, last + kRecordSize) < data.size())
                last += Get32(data, last + kRecordSize);
            Put32(data, last + kRecordSize, Get32(data, last + kRecordSize) + rest);
            data.append(rest, '\0');
        }
        size += rest;
        Put32(data, blockOpen + kBlockSize, size);
        Put32(data, blockOpen + kBlockFreeBytes, freeBytes);
        Put32(data, blockOpen + kBlockFirstFree, size - freeBytes);
    };
    auto openBlock = [&]() {
        blockOpen = static_cast<std::uint32_t>(data.size());
        std::string header(kBlockHeaderSize, '\0');
        header.replace(0, 4, "RGDB");
        Put16(header, kBlockFlags, kBlockFlagsWritten);
        Put16(header, kBlockNumber, static_cast<std::uint16_t>(blockStarts.size()));
        data += header;
        blockStarts.push_back(blockOpen);
        inBlock = 0;
    };
    openBlock();
    // The root key has no record, as in Windows' own files: it has neither name nor values.
    if (!impl.ValuesOf(base).empty()) {
        error = "the values of " + KeyPathOf(impl, base) + " itself cannot be kept in a registry file";
        return false;
    }
    keys.front().number = 0xFFFF;
    keys.front().block = 0xFFFF;
    for (BuiltKey& built : keys) {
        if (built.key == base)
            continue;
        const std::string_view name = impl.Node(built.key).name;
        const std::vector<Value>& values = impl.ValuesOf(built.key);
        std::string record(kRecordHeaderSize, '\0');
        record += name;
        if (name.size() > 0xFFFF || values.size() > 0xFFFF) {
            error = "key " + KeyPathOf(impl, built.key) + " has too long a name or too many values for a registry file";
            return false;
        }
        for (const Value& value : values) {
            std::string_view bytes = value.data;
            // The one terminator goes, as Windows stores a string; data that ends in more zeros is stored as
            // it is, since reading adds a terminator only where none is.
            if (IsStringType(value.type) && !bytes.empty() && bytes.back() == '\0' &&
                (bytes.size() == 1 || bytes[bytes.size() - 2] != '\0'))
                bytes.remove_suffix(1);
            if (value.name.size() > 0xFFFF || bytes.size() > 0xFFFF) {
                error = "value \"" + value.name + "\" of " + KeyPathOf(impl, built.key) + " holds " +
                        std::to_string(bytes.size()) + " bytes; a Windows 9x registry file holds at most 65,535";
                return false;
            }
            std::string header(kValueHeaderSize, '\0');
            Put32(header, 0, value.type);
            Put16(header, 8, static_cast<std::uint16_t>(value.name.size()));
            Put16(header, 10, static_cast<std::uint16_t>(bytes.size()));
            record += header;
            record += value.name;
            record += bytes;
        }
        if (record.size() > kMaxHiveSize) {
            error = "key " + KeyPathOf(impl, built.key) + " is too large for a registry file";
            return false;
        }
        const auto recordSize = static_cast<std::uint32_t>(record.size());
        if (inBlock > 0 && (data.size() - blockOpen + recordSize > kBlockTarget || inBlock == kMaxRecordsPerBlock)) {
            closeBlock();
            openBlock();
        }
        if (blockStarts.size() > 0xFFFF) {
            error = "too many keys for a registry file";
            return false;
        }
        built.number = static_cast<std::uint16_t>(inBlock++);
        built.block = static_cast<std::uint16_t>(blockStarts.size() - 1);
        Put32(record, kRecordSize, recordSize);
        Put16(record, kRecordId, built.number);
        Put16(record, kRecordId + 2, built.block);
        Put32(record, kRecordUsed, recordSize);
        Put16(record, kRecordNameLength, static_cast<std::uint16_t>(name.size()));
        Put16(record, kRecordValueCount, static_cast<std::uint16_t>(values.size()));
        data += record;
    }
    closeBlock();
    if (kKeyTreeStart + treeSize + data.size() > kMaxHiveSize) {
        error = "the registry is too large for a registry file";
        return false;
    }

    out.assign(kKeyTreeStart + treeSize, '\0');
    out.replace(0, 4, "CREG");
    Put32(out, 4, 0x00010000);
    Put32(out, 8, static_cast<std::uint32_t>(kKeyTreeStart + treeSize));
    Put16(out, 0x10, static_cast<std::uint16_t>(blockStarts.size()));
    Put16(out, 0x16, 1);
    out.replace(kKeyTreeStart, 4, "RGKN");
    Put32(out, kKeyTreeStart + kTreeSize, static_cast<std::uint32_t>(treeSize));
    Put32(out, kKeyTreeStart + kTreeRoot, kKeyTreeHeaderSize);
    Put32(out, kKeyTreeStart + kTreeFirstFree, static_cast<std::uint32_t>(used));
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const BuiltKey& built = keys[i];
        const auto at = static_cast<std::uint32_t>(kKeyTreeStart + kKeyTreeHeaderSize + i * kKeyEntrySize);
        Put32(out, at + kEntryFlags, 0);
        Put32(out, at + kEntryHash, built.key == base ? 0 : KeyNameHash(impl.Node(built.key).name));
        Put32(out, at + kEntryNextFree, kHiveNone);
        Put32(out, at + kEntryParent, built.parent);
        Put32(out, at + kEntryChild, built.child);
        Put32(out, at + kEntryNext, built.next);
        Put16(out, at + kEntryNumber, built.number);
        Put16(out, at + kEntryBlock, built.block);
    }
    const auto freeAt = static_cast<std::uint32_t>(kKeyTreeStart + used);
    Put32(out, freeAt + kEntryFlags, kFreeEntryFlag);
    Put32(out, freeAt + kEntryHash, static_cast<std::uint32_t>(treeSize - used));
    Put32(out, freeAt + kEntryNextFree, kHiveNone);
    out += data;
    return true;
}

}  // namespace emulated
