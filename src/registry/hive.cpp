// Windows 9x binary registry files: reading them into the emulated registry.
#include "registry/hive.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "common/hex.h"
#include "registry/registry_tree.h"

namespace emulated {

namespace {



std::uint32_t FirstValue(std::string_view bytes, std::uint32_t record)
{
    return record + kRecordHeaderSize + Le16(bytes, record + kRecordNameLength);
}

bool CheckHeader(std::string_view file, HiveError& error)
{
    if (file.size() < kHiveHeaderSize + kKeyTreeHeaderSize + kKeyEntrySize) {
        error = HiveFault(0, "file too short for a Windows 9x registry file (" + std::to_string(file.size()) + " bytes)");
        return false;
    }
    if (file.size() > kMaxHiveSize) {
        error = HiveFault(0, "file larger than 1 GiB");
        return false;
    }
    if (file.substr(0, 4) != "CREG") {
        error = HiveFault(0, "no CREG signature: not a Windows 9x registry file");
        return false;
    }
    if (Le16(file, 6) != 1) {
        error = HiveFault(4, "format version " + std::to_string(Le16(file, 6)) + "." + std::to_string(Le16(file, 4)) +
                             " is not the 1.x of Windows 95, 98 and ME");
        return false;
    }
    if (file.substr(kKeyTreeStart, 4) != "RGKN") {
        error = HiveFault(kKeyTreeStart, "no RGKN signature where the key tree starts");
        return false;
    }
    return true;
}

// Reads one data block's records into `hive.records`, in rising number; `at` is the block's file offset.
bool ParseBlock(Hive& hive, unsigned block, std::uint32_t at, HiveError& error)
{
    const std::string_view file = hive.bytes;
    const std::uint32_t end = at + Le32(file, at + kBlockSize);
    const std::size_t base = hive.records.size();
    hive.blockStart.push_back(at);
    hive.recordBase.push_back(static_cast<std::uint32_t>(base));
    for (std::uint32_t record = at + kBlockHeaderSize; record < end;) {
        if (end - record < 8) {
            error = HiveFault(record, "key record header runs past its data block");
            return false;
        }
        const std::uint32_t recordSize = Le32(file, record + kRecordSize);
        const std::uint32_t id = Le32(file, record + kRecordId);
        if (recordSize < 8 || recordSize > end - record) {
            error = HiveFault(record, "key record size " + std::to_string(recordSize) + " does not fit its data block");
            return false;
        }
        if (id != kHiveNone) {
            if (!CheckRecordShape(file, record, end - record, Le32(file, record + kRecordUsed), error))
                return false;
            const std::uint32_t number = id & 0xFFFF;
            if ((id >> 16) != block || number >= kRecordsPerBlock) {
                error = HiveFault(record + kRecordId,
                              "key record " + HexOffset(id) + " stands in data block " + std::to_string(block));
                return false;
            }
            hive.records.push_back({number, record});
        }
        record += recordSize;
    }
    const auto first = hive.records.begin() + static_cast<std::ptrdiff_t>(base);
    std::sort(first, hive.records.end(), [](const Hive::Record& a, const Hive::Record& b) { return a.number < b.number; });
    const auto twice = std::adjacent_find(first, hive.records.end(), [](const Hive::Record& a, const Hive::Record& b) {
        return a.number == b.number;
    });
    if (twice != hive.records.end()) {
        error = HiveFault(twice[1].offset + kRecordId, "key record number " + std::to_string(twice->number) + " appears twice");
        return false;
    }
    return true;
}

}  // namespace

bool CheckRecordShape(std::string_view bytes, std::uint32_t at, std::uint32_t room, std::uint32_t used,
                      HiveError& error)
{
    const std::uint32_t size = Le32(bytes, at + kRecordSize);
    if (size < kRecordHeaderSize || used < kRecordHeaderSize || used > size || size > room) {
        error = HiveFault(at, "key record sizes disagree (size " + std::to_string(size) + ", used " + std::to_string(used) +
                              ")");
        return false;
    }
    std::uint32_t pos = FirstValue(bytes, at);
    const std::uint32_t usedEnd = at + used;
    if (pos > usedEnd) {
        error = HiveFault(at, "key record name runs past the record");
        return false;
    }
    for (unsigned count = Le16(bytes, at + kRecordValueCount); count > 0; --count) {
        if (usedEnd - pos < kValueHeaderSize) {
            error = HiveFault(pos, "value runs past its key record");
            return false;
        }
        const std::uint32_t length = kValueHeaderSize + Le16(bytes, pos + 8) + Le16(bytes, pos + 10);
        if (usedEnd - pos < length) {
            error = HiveFault(pos, "value runs past its key record");
            return false;
        }
        pos += length;
    }
    return true;
}

std::string HexOffset(std::uint32_t value)
{
    std::string text = "0x";
    bool started = false;
    for (int shift = 28; shift >= 0; shift -= 4) {
        const unsigned digit = value >> shift & 0xF;
        started = started || digit != 0 || shift == 0;
        if (started)
            text += HexDigit(digit, HexLetters::Upper);
    }
    return text;
}

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

bool IsEntrySlot(std::uint32_t entry)
{
    if (entry < kKeyTreeFirstPage)
        return entry >= kKeyTreeHeaderSize && (entry - kKeyTreeHeaderSize) % kKeyEntrySize == 0 &&
               entry + kKeyEntrySize <= kKeyTreeFirstPage;
    const std::uint32_t inPage = entry % kKeyTreePage;
    return inPage % kKeyEntrySize == 0 && inPage + kKeyEntrySize <= kKeyTreePage;
}

std::uint32_t NextEntrySlot(std::uint32_t entry)
{
    const std::uint32_t next = entry + kKeyEntrySize;
    if (IsEntrySlot(next))
        return next;
    return entry < kKeyTreeFirstPage ? kKeyTreeFirstPage : (entry / kKeyTreePage + 1) * kKeyTreePage;
}

std::uint32_t DwordSum(std::string_view bytes, std::uint32_t begin, std::uint32_t size)
{
    std::uint32_t sum = 0;
    for (std::uint32_t at = begin; at + 4 <= begin + size; at += 4)
        sum += Le32(bytes, at);
    return sum;
}

void FixChecksum(std::string& bytes, std::uint32_t begin, std::uint32_t size, std::uint32_t checksumAt)
{
    Put32(bytes, checksumAt, 0);
    Put32(bytes, checksumAt, 0u - DwordSum(bytes, begin, size));
}

bool Hive::IsEntry(std::uint32_t entry) const
{
    return IsEntrySlot(entry) && entry <= keyTreeEnd - kKeyTreeStart - kKeyEntrySize;
}

std::uint32_t Hive::RecordIndexOf(std::string_view file, std::uint32_t entry) const
{
    const std::uint32_t at = EntryAt(entry);
    const std::uint32_t number = Le16(file, at + kEntryNumber);
    const std::uint16_t block = Le16(file, at + kEntryBlock);
    if (block >= blockStart.size())
        return kHiveNone;
    const auto first = records.begin() + recordBase[block];
    const auto last = block + 1u < recordBase.size() ? records.begin() + recordBase[block + 1u] : records.end();
    const auto found =
        std::lower_bound(first, last, number, [](const Record& record, std::uint32_t n) { return record.number < n; });
    if (found == last || found->number != number)
        return kHiveNone;
    return static_cast<std::uint32_t>(found - records.begin());
}

std::uint32_t Hive::RecordOf(std::string_view file, std::uint32_t entry) const
{
    const std::uint32_t index = RecordIndexOf(file, entry);
    return index == kHiveNone ? kHiveNone : records[index].offset;
}

bool ParseHive(std::string bytes, Hive& hive, HiveError& error)
{
    hive = Hive();
    hive.bytes = std::move(bytes);
    const std::string_view file = hive.bytes;
    if (!CheckHeader(file, error))
        return false;
    const auto size = static_cast<std::uint32_t>(file.size());
    const std::uint32_t treeSize = Le32(file, kKeyTreeStart + kTreeSize);
    const std::uint32_t firstBlock = Le32(file, kHeaderFirstBlock);
    if (treeSize < kKeyTreeHeaderSize + kKeyEntrySize || treeSize > size - kKeyTreeStart) {
        error = HiveFault(kKeyTreeStart + kTreeSize, "key tree size " + std::to_string(treeSize) + " runs past the file");
        return false;
    }
    if (firstBlock != kKeyTreeStart + treeSize) {
        error = HiveFault(kHeaderFirstBlock, "first data block offset " + HexOffset(firstBlock) +
                                             " disagrees with the key tree's end " + HexOffset(kKeyTreeStart + treeSize));
        return false;
    }
    hive.keyTreeEnd = kKeyTreeStart + treeSize;
    hive.rootEntry = Le32(file, kKeyTreeStart + kTreeRoot);
    if (!hive.IsEntry(hive.rootEntry)) {
        error = HiveFault(kKeyTreeStart + kTreeRoot,
                      "root key entry offset " + HexOffset(hive.rootEntry) + " is not an entry of the key tree");
        return false;
    }
    const unsigned blocks = Le16(file, kHeaderBlockCount);
    std::uint32_t at = firstBlock;
    for (unsigned block = 0; block < blocks; ++block) {
        if (size - at < kBlockHeaderSize || file.substr(at, 4) != "RGDB") {
            error = HiveFault(at, "data block " + std::to_string(block) + " of " + std::to_string(blocks) +
                                  " missing (no RGDB signature)");
            return false;
        }
        const std::uint32_t blockSize = Le32(file, at + kBlockSize);
        if (blockSize < kBlockHeaderSize || blockSize > size - at) {
            error = HiveFault(at + kBlockSize, "data block size " + std::to_string(blockSize) + " runs past the file");
            return false;
        }
        if (!ParseBlock(hive, block, at, error))
            return false;
        at += blockSize;
    }
    return true;
}

bool LoadHive(std::string bytes, Registry& registry, HKEY root, std::string_view path, HiveError& error)
{
    Registry::Impl& impl = ImplOf(registry);
    if (impl.hives.size() >= 0xFF) {
        error = HiveFault(0, "too many registry files");
        return false;
    }
    Hive& hive = impl.hives.emplace_back();
    // No key is made before the whole file has been checked, so a refused file leaves nothing behind; its
    // keys are made only when the run asks for them (Registry::Impl::Expand).
    if (!ParseHive(std::move(bytes), hive, error) || !CheckHiveStructure(hive, error)) {
        impl.hives.pop_back();
        return false;
    }
    const std::string_view file = hive.bytes;
    const KeyId base = registry.CreateKey(root, path);
    if (base == kNoKey || impl.Node(base).hive != 0 || impl.Node(base).childCount != 0) {
        error = HiveFault(0, "the key to load the file below is missing or has keys already");
        impl.hives.pop_back();
        return false;
    }
    KeyNode& node = impl.Node(base);
    node.hive = static_cast<std::uint8_t>(impl.hives.size());
    node.source.hive.entry = hive.rootEntry;
    node.source.hive.record = hive.RecordOf(file, hive.rootEntry);
    node.valuesParsed = false;
    node.childrenPending = Le32(file, Hive::EntryAt(hive.rootEntry) + kEntryChild) != kHiveNone;
    impl.values.erase(base);
    return true;
}

void ExpandHiveKey(const Registry::Impl& impl, KeyId key)
{
    impl.Node(key).childrenPending = false;
    const std::uint8_t hiveNumber = impl.Node(key).hive;
    const Hive& hive = impl.hives[hiveNumber - 1];
    const std::string_view file = hive.bytes;
    // Subkeys of a removed key are removed too.
    const bool deleted = impl.Node(key).deleted;
    const bool removedByRun = impl.Node(key).removedByRun;
    std::uint32_t entry = Le32(file, Hive::EntryAt(impl.Node(key).source.hive.entry) + kEntryChild);
    for (; entry != kHiveNone; entry = Le32(file, Hive::EntryAt(entry) + kEntryNext)) {
        const std::uint32_t at = Hive::EntryAt(entry);
        const std::uint32_t record = hive.RecordOf(file, entry);
        // Two subkeys of one name are both listed, and a lookup finds the first, as on Windows.
        const KeyId child = impl.AddChild(key, RecordName(file, record));
        KeyNode& node = impl.Node(child);
        node.hive = hiveNumber;
        node.source.hive.entry = entry;
        node.source.hive.record = record;
        node.childrenPending = Le32(file, at + kEntryChild) != kHiveNone;
        node.deleted = deleted;
        node.removedByRun = removedByRun;
    }
}

void ParseHiveValues(const Registry::Impl& impl, KeyId key, std::vector<Value>& out)
{
    const KeyNode& node = impl.Node(key);
    const std::uint32_t record = node.source.hive.record;
    if (record == kNoSection)
        return;
    const std::string_view file = impl.hives[node.hive - 1].bytes;
    std::uint32_t pos = FirstValue(file, record);
    for (unsigned count = Le16(file, record + kRecordValueCount); count > 0; --count) {
        const std::uint16_t nameLength = Le16(file, pos + 8);
        const std::uint16_t dataLength = Le16(file, pos + 10);
        Value value;
        value.type = Le32(file, pos);
        value.name = file.substr(pos + kValueHeaderSize, nameLength);
        value.data = file.substr(pos + kValueHeaderSize + nameLength, dataLength);
        out.push_back(std::move(value));
        pos += kValueHeaderSize + nameLength + dataLength;
    }
}

std::size_t HiveCount(const Registry& registry)
{
    return ImplOf(registry).hives.size();
}

std::string_view HiveBytes(const Registry& registry, std::size_t hive)
{
    return ImplOf(registry).hives[hive].bytes;
}

bool HiveModified(const Registry& registry, std::size_t hive)
{
    const Registry::Impl& impl = ImplOf(registry);
    return std::any_of(impl.removedRoots.begin(), impl.removedRoots.end(),
                       [&](KeyId key) { return impl.Node(key).hive == hive + 1; });
}

}  // namespace emulated
