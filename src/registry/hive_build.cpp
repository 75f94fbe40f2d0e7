// Windows 9x binary registry files: building a new file from a registry, laid out as Windows ME writes one.
#include <utility>
#include <vector>

#include "registry/hive.h"
#include "registry/registry_tree.h"

namespace emulated {

namespace {

constexpr std::uint32_t kPage = 0x1000;
constexpr std::uint32_t kBlockTarget = 0xF000;       // Windows' largest blocks; a larger record gets one alone
constexpr std::uint16_t kHeaderFlagsWritten = 0x20;  // what Windows ME writes, no checksum flag among them
constexpr std::uint32_t kTreeFlagsWritten = 0x08;
constexpr std::uint16_t kBlockFlagsWritten = 0x08;

struct BuiltKey {
    KeyId key;
    std::uint32_t parent = kHiveNone;  // entry offsets
    std::uint32_t child = kHiveNone;
    std::uint32_t next = kHiveNone;
    std::uint32_t lastChild = kHiveNone;  // position of the last subkey linked so far
    std::uint16_t number = 0xFFFF;        // the root key has no record, as in Windows ME's files
    std::uint16_t block = 0xFFFF;
};


std::string KeyPathOf(const Registry::Impl& impl, KeyId key)
{
    std::string path(impl.Node(key).name);
    for (KeyId up = impl.Node(key).parent; up != kNoKey; up = impl.Node(up).parent)
        path = std::string(impl.Node(up).name) + "\\" + path;
    return path;
}

// The offset of the key tree's slot at position `position`, on its page layout.
std::uint32_t SlotAt(std::uint32_t position)
{
    constexpr std::uint32_t kFirstPageSlots = (kKeyTreeFirstPage - kKeyTreeHeaderSize) / kKeyEntrySize;
    constexpr std::uint32_t kPageSlots = kKeyTreePage / kKeyEntrySize;
    if (position < kFirstPageSlots)
        return kKeyTreeHeaderSize + position * kKeyEntrySize;
    position -= kFirstPageSlots;
    return kKeyTreeFirstPage + position / kPageSlots * kKeyTreePage + position % kPageSlots * kKeyEntrySize;
}

// Keys in depth-first order, the base first, each with its family's links as positions in `keys`; the links
// become entry offsets when the tree is written.
bool CollectKeys(const Registry::Impl& impl, KeyId base, std::vector<BuiltKey>& keys, std::string& error)
{
    std::vector<std::pair<KeyId, std::uint32_t>> pending {{base, kHiveNone}};  // key, its parent's position
    while (!pending.empty()) {
        auto [key, parent] = pending.back();
        pending.pop_back();
        const auto position = static_cast<std::uint32_t>(keys.size());
        BuiltKey built {key};
        if (parent != kHiveNone) {
            built.parent = parent;
            // Siblings come in stored order: the previous one (if any) is the last child so far.
            BuiltKey& owner = keys[parent];
            if (owner.lastChild == kHiveNone)
                owner.child = position;
            else
                keys[owner.lastChild].next = position;
            owner.lastChild = position;
        }
        keys.push_back(built);
        // Offsets are 32-bit: a tree this large would not fit a file.
        if (keys.size() > kMaxHiveSize / kKeyEntrySize) {
            error = "too many keys for a registry file";
            return false;
        }
        impl.Expand(key);
        for (std::uint32_t i = impl.Node(key).childCount; i > 0; --i)
            pending.emplace_back(impl.Child(key, i - 1), position);
    }
    return true;
}

// A key's record: header, name, then each value's name and its bytes as stored.
bool MakeRecord(const Registry::Impl& impl, KeyId key, std::string& record, std::string& error)
{
    const std::string_view name = impl.Node(key).name;
    const std::vector<Value>& values = impl.ValuesOf(key);
    if (name.size() > 0xFFFF || values.size() > 0xFFFF) {
        error = "key " + KeyPathOf(impl, key) + " has too long a name or too many values for a registry file";
        return false;
    }
    record.assign(kRecordHeaderSize, '\0');
    record += name;
    for (const Value& value : values) {
        const std::string_view bytes = value.data;
        if (value.name.size() > 0xFFFF || bytes.size() > 0xFFFF) {
            error = "value \"" + value.name + "\" of " + KeyPathOf(impl, key) + " holds " + std::to_string(bytes.size()) +
                    " bytes; a Windows 9x registry file holds at most 65,535";
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
        error = "key " + KeyPathOf(impl, key) + " is too large for a registry file";
        return false;
    }
    Put32(record, kRecordSize, static_cast<std::uint32_t>(record.size()));
    Put32(record, kRecordUsed, static_cast<std::uint32_t>(record.size()));
    Put16(record, kRecordNameLength, static_cast<std::uint16_t>(name.size()));
    Put16(record, kRecordValueCount, static_cast<std::uint16_t>(values.size()));
    return true;
}

// Lays key records into data blocks as Windows does: at most 255 records numbered from 0 in a block of up to
// 0xF000 bytes, each block a whole number of 4 KB pages whose rest is one free record.
class BlockWriter {
public:
    explicit BlockWriter(std::string& data) : data_(data) { Open(); }

    // Appends a record and gives it its number and block; false when blocks run out.
    bool Add(std::string& record, BuiltKey& built)
    {
        if (count_ > 0 && (data_.size() - open_ + record.size() > kBlockTarget || count_ == kRecordsPerBlock)) {
            Close();
            if (blocks_ == 0xFFFF)
                return false;
            Open();
        }
        built.number = static_cast<std::uint16_t>(count_++);
        built.block = static_cast<std::uint16_t>(blocks_ - 1);
        Put16(record, kRecordId, built.number);
        Put16(record, kRecordId + 2, built.block);
        last_ = static_cast<std::uint32_t>(data_.size());
        data_ += record;
        return true;
    }

    // Closes the last block; the count of blocks.
    std::uint16_t Finish()
    {
        Close();
        return static_cast<std::uint16_t>(blocks_);
    }

private:
    void Open()
    {
        open_ = static_cast<std::uint32_t>(data_.size());
        std::string header(kBlockHeaderSize, '\0');
        header.replace(0, 4, "RGDB");
        Put16(header, kBlockFlags, kBlockFlagsWritten);
        Put16(header, kBlockNumber, static_cast<std::uint16_t>(blocks_++));
        data_ += header;
        count_ = 0;
    }

    void Close()
    {
        std::uint32_t size = static_cast<std::uint32_t>(data_.size()) - open_;
        const std::uint32_t rest = (size + kPage - 1) / kPage * kPage - size;
        std::uint32_t freeBytes = 0;
        std::uint32_t firstFree = kHiveNone;
        if (rest >= kRecordHeaderSize) {
            // The rest of the last page is one free record, the end of the block's free list.
            std::string free(rest, '\0');
            Put32(free, kRecordSize, rest);
            Put32(free, kRecordId, kHiveNone);
            Put32(free, kRecordUsed, kHiveNone);
            data_ += free;
            freeBytes = rest;
            firstFree = size;
        } else if (rest > 0) {
            // Too small for a record of its own: the last record is that much larger.
            Put32(data_, last_ + kRecordSize, Le32(data_, last_ + kRecordSize) + rest);
            data_.append(rest, '\0');
        }
        size += rest;
        Put32(data_, open_ + kBlockSize, size);
        Put32(data_, open_ + kBlockFreeBytes, freeBytes);
        Put32(data_, open_ + kBlockFirstFree, firstFree);
        Put16(data_, open_ + kBlockHighestNumber, static_cast<std::uint16_t>(count_ > 0 ? count_ - 1 : 0));
        Put16(data_, open_ + kBlockLowestUnused,
              count_ == kRecordsPerBlock ? kNoUnusedRecord : static_cast<std::uint16_t>(count_));
    }

    std::string& data_;
    std::uint32_t open_ = 0;   // offset of the open block in data_
    std::uint32_t last_ = 0;   // offset of the last record in data_
    std::uint32_t count_ = 0;  // records in the open block
    std::uint32_t blocks_ = 0;
};

// The file header and the key tree: entries on the page layout, then one free entry from the first unused
// slot to the tree's end.
void WriteTree(const Registry::Impl& impl, const std::vector<BuiltKey>& keys, std::uint16_t blocks, std::string& out)
{
    const auto freeSlot = SlotAt(static_cast<std::uint32_t>(keys.size()));
    const std::uint32_t treeSize =
        freeSlot + kKeyEntrySize <= kKeyTreeFirstPage
            ? kKeyTreeFirstPage
            : kKeyTreeFirstPage + (freeSlot + kKeyEntrySize - kKeyTreeFirstPage + kKeyTreePage - 1) / kKeyTreePage * kKeyTreePage;
    out.assign(kKeyTreeStart + treeSize, '\0');
    out.replace(0, 4, "CREG");
    Put32(out, 4, 0x00010000);
    Put32(out, kHeaderFirstBlock, kKeyTreeStart + treeSize);
    Put16(out, kHeaderBlockCount, blocks);
    Put16(out, kHeaderFlags, kHeaderFlagsWritten);
    Put16(out, 0x16, 1);
    out.replace(kKeyTreeStart, 4, "RGKN");
    Put32(out, kKeyTreeStart + kTreeSize, treeSize);
    Put32(out, kKeyTreeStart + kTreeRoot, SlotAt(0));
    Put32(out, kKeyTreeStart + kTreeFirstFree, freeSlot);
    Put32(out, kKeyTreeStart + kTreeFlags, kTreeFlagsWritten);
    auto link = [](std::uint32_t position) { return position == kHiveNone ? kHiveNone : SlotAt(position); };
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const BuiltKey& built = keys[i];
        const std::uint32_t at = Hive::EntryAt(SlotAt(static_cast<std::uint32_t>(i)));
        Put32(out, at + kEntryHash, i == 0 ? 0 : KeyNameHash(impl.Node(built.key).name));
        Put32(out, at + kEntryNextFree, kHiveNone);
        Put32(out, at + kEntryParent, link(built.parent));
        Put32(out, at + kEntryChild, link(built.child));
        Put32(out, at + kEntryNext, link(built.next));
        Put16(out, at + kEntryNumber, built.number);
        Put16(out, at + kEntryBlock, built.block);
    }
    const std::uint32_t freeAt = Hive::EntryAt(freeSlot);
    Put32(out, freeAt + kEntryFlags, kFreeEntryFlag);
    Put32(out, freeAt + kEntryHash, treeSize - freeSlot);
    Put32(out, freeAt + kEntryNextFree, kHiveNone);
}

}  // namespace

bool BuildHive(const Registry& registry, HKEY root, std::string_view path, std::string& out, std::string& error)
{
    const Registry::Impl& impl = ImplOf(registry);
    const KeyId base = registry.FindKey(root, path);
    if (base == kNoKey) {
        error = "no key " + std::string(path) + " to build a registry file from";
        return false;
    }
    if (!impl.ValuesOf(base).empty()) {
        error = "the values of " + KeyPathOf(impl, base) + " itself cannot be kept in a registry file";
        return false;
    }
    std::vector<BuiltKey> keys;
    if (!CollectKeys(impl, base, keys, error))
        return false;
    std::string data;
    BlockWriter blocks(data);
    std::string record;
    for (std::size_t i = 1; i < keys.size(); ++i) {
        if (!MakeRecord(impl, keys[i].key, record, error))
            return false;
        if (!blocks.Add(record, keys[i])) {
            error = "too many keys for a registry file";
            return false;
        }
    }
    const std::uint16_t blockCount = blocks.Finish();
    WriteTree(impl, keys, blockCount, out);
    if (out.size() + data.size() > kMaxHiveSize) {
        error = "the registry is too large for a registry file";
        return false;
    }
    out += data;
    // What is written must be what Windows writes; a file that breaks a rule is never handed out.
    HiveError fault;
    if (!CheckHiveStructure(out, fault)) {
        error = "the file built breaks Windows' registry layout at offset " + HexOffset(fault.offset) + ": " +
                fault.message;
        out.clear();
        return false;
    }
    return true;
}

}  // namespace emulated
