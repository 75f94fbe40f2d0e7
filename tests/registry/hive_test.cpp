// Windows 9x registry files: keys cut out by EditedHive (a first subkey, a middle or last one, a deep subtree,
// a file edited twice) read back as the registry less them, in the project and in libcreg, with every freed
// key entry on the free list and every freed record counted in its block; BuildHive's value size limit;
// strings stored without their terminator and read with one.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <filesystem>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "hive/hive_view.h"
#include "registry/hive.h"
#include "registry/hive_file.h"
#include "machine/machine_folder.h"
#include "registry/regedit4.h"
#include "registry/registry.h"
#include "registry/registry_tree.h"
#include "support/command.h"
#include "support/read_file.h"
#include "support/temp_folder.h"

namespace {

using emulated::Le16;
using emulated::Le32;
using emulated::kHiveNone;

// A registry file built from a REGEDIT4 text, HKEY_LOCAL_MACHINE its root.
std::string Build(const std::string& text)
{
    emulated::Registry registry;
    EXPECT_TRUE(emulated::LoadRegedit4(text, registry).ok);
    std::string bytes;
    std::string error;
    EXPECT_TRUE(emulated::BuildHive(registry, HKEY_LOCAL_MACHINE, "", bytes, error)) << error;
    return bytes;
}

void Load(const std::string& bytes, emulated::Registry& registry)
{
    emulated::HiveError error;
    ASSERT_TRUE(emulated::LoadHive(bytes, registry, HKEY_LOCAL_MACHINE, "", error))
        << "offset " << error.offset << ": " << error.message;
}

std::string OwnView(const std::string& bytes)
{
    emulated::Registry registry;
    Load(bytes, registry);
    return hive_view::Dump(registry, HKEY_LOCAL_MACHINE);
}

// Whether libcreg reads the file whole (tests/hive/libcreg_view.py exits 0); `out` receives what it said.
bool LibcregReads(const std::string& bytes, std::string& out)
{
    const test_support::TempFolder folder("cmpci-hive");
    if (!folder.ok()) {
        ADD_FAILURE() << "cannot make a temporary folder";
        return false;
    }
    const std::string file = (folder.path() / "hive.dat").string();
    std::ofstream(file, std::ios::binary) << bytes;
    int status = 0;
    out = test_support::CommandOutput(std::string("'") + CMPCI_PYTHON3 + "' '" + CMPCI_SOURCE_DIR +
                                          "/tests/hive/libcreg_view.py' '" + file + "' 2>&1",
                                      status);
    return status == 0;
}

// The file as libcreg reads it (tests/hive/libcreg_view.py); the test fails when libcreg refuses it. The
// file goes in a folder of its own, so that runs side by side never share it.
std::string LibcregView(const std::string& bytes)
{
    const test_support::TempFolder folder("cmpci-hive");
    if (!folder.ok()) {
        ADD_FAILURE() << "cannot make a temporary folder";
        return {};
    }
    const std::string file = (folder.path() / "hive.dat").string();
    std::ofstream(file, std::ios::binary) << bytes;
    const std::string command = std::string("'") + CMPCI_PYTHON3 + "' '" + CMPCI_SOURCE_DIR +
                                "/tests/hive/libcreg_view.py' '" + file + "' 2>&1";
    int status = 0;
    const std::string out = test_support::CommandOutput(command, status);
    EXPECT_EQ(status, 0) << command << ": " << out;
    return out;
}

// The lines of a view less those of the keys `gone` (paths below the root) and everything below them.
std::string Without(const std::string& view, const std::vector<std::string>& gone)
{
    std::istringstream in(view);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        const std::string path = line.substr(2, line.find('\t', 2) - 2);
        bool keep = true;
        for (const std::string& key : gone)
            keep = keep && path != key && path.rfind(key + "\\", 0) != 0;
        if (keep)
            out += line + '\n';
    }
    return out;
}

std::size_t KeyLines(const std::string& view)
{
    std::size_t count = 0;
    for (std::size_t at = 0; (at = view.find("K\t", at)) != std::string::npos; at += 2)
        count += at == 0 || view[at - 1] == '\n';
    return count;
}

// The free space of a file, counted as Windows reuses it: the free key entries on the list from the key
// tree's header and the free records on each data block's list. The file must pass the structural check.
struct FreeSpace {
    std::size_t entries = 0;
    std::size_t records = 0;
};

FreeSpace CheckFreeSpace(const std::string& bytes)
{
    emulated::HiveError error;
    EXPECT_TRUE(emulated::CheckHiveStructure(bytes, error)) << "offset " << error.offset << ": " << error.message;
    FreeSpace space;
    for (std::uint32_t entry = Le32(bytes, 0x20 + 0x0C); entry != kHiveNone && space.entries < bytes.size();
         entry = Le32(bytes, 0x20 + entry + 8))
        ++space.entries;
    std::uint32_t block = Le32(bytes, 8);
    for (unsigned count = Le16(bytes, 0x10); count > 0; --count) {
        for (std::uint32_t record = Le32(bytes, block + 0x10); record != kHiveNone && space.records < bytes.size();
             record = Le32(bytes, block + record + 8))
            ++space.records;
        block += Le32(bytes, block + 4);
    }
    return space;
}

std::string HexList(std::size_t size, const char* byte)
{
    std::string list;
    for (std::size_t i = 0; i < size; ++i)
        list += i == 0 ? byte : std::string(",") + byte;
    return list;
}

// B's subtree and C hold 40,000 bytes each, so that the file has two data blocks.
const std::string kTree = "REGEDIT4\r\n\r\n"
                          "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"a\"\r\n"
                          "[HKEY_LOCAL_MACHINE\\A\\A1]\r\n\"x\"=dword:00000001\r\n"
                          "[HKEY_LOCAL_MACHINE\\A\\A2]\r\n"
                          "[HKEY_LOCAL_MACHINE\\A\\A2\\Below]\r\n\"y\"=\"z\"\r\n"
                          "[HKEY_LOCAL_MACHINE\\A\\A3]\r\n"
                          "[HKEY_LOCAL_MACHINE\\B\\Deep\\L1\\L2\\L3]\r\n\"deep\"=hex:" +
                          HexList(40000, "01") +
                          "\r\n"
                          "[HKEY_LOCAL_MACHINE\\B\\Deep\\L1\\Side]\r\n"
                          "[HKEY_LOCAL_MACHINE\\B\\Deep\\Other]\r\n"
                          "[HKEY_LOCAL_MACHINE\\B\\Next]\r\n"
                          "[HKEY_LOCAL_MACHINE\\C]\r\n\"c\"=hex:" +
                          HexList(40000, "02") + "\r\n";

// The hive `bytes` reads, by this reader and libcreg alike, as the hive of `originalView` less the keys
// `gone`, and each key removed freed one entry and one record besides the `originalSpace` there was.
void ExpectRemovedAndFreed(const std::string& bytes, const std::string& originalView, const FreeSpace& originalSpace,
                           const std::vector<std::string>& gone)
{
    const std::string expected = Without(originalView, gone);
    const std::size_t removed = KeyLines(originalView) - KeyLines(expected);
    EXPECT_EQ(OwnView(bytes), expected);
    EXPECT_EQ(LibcregView(bytes), expected);
    const FreeSpace space = CheckFreeSpace(bytes);
    EXPECT_EQ(space.entries, originalSpace.entries + removed);
    EXPECT_EQ(space.records, originalSpace.records + removed);
}

TEST(HiveTest, CutKeysReadBackAsTheRegistryLessThem)
{
    const std::string original = Build(kTree);
    ASSERT_EQ(Le16(original, 0x10), 2) << "the tree is meant to fill two data blocks";
    const std::string originalView = OwnView(original);
    ASSERT_EQ(LibcregView(original), originalView);
    const FreeSpace originalSpace = CheckFreeSpace(original);

    // Each case: the keys removed in each edit, the file of one edit loaded for the next.
    const std::vector<std::pair<const char*, std::vector<std::vector<std::string>>>> cases = {
        {"first subkey", {{"A\\A1"}}},
        {"middle subkey with a subkey", {{"A\\A2"}}},
        {"last subkey", {{"A\\A3"}}},
        {"every subkey of a key", {{"A\\A1", "A\\A2", "A\\A3"}}},
        {"deep subtree", {{"B\\Deep"}}},
        {"first key below the root", {{"A"}}},
        {"a key, then a key above it", {{"B\\Deep\\L1\\L2", "B"}}},
        {"an edited file edited again", {{"A\\A2", "B\\Deep\\L1"}, {"A\\A1", "C", "B\\Deep"}}},
    };
    for (const auto& [label, edits] : cases) {
        SCOPED_TRACE(label);
        std::string bytes = original;
        std::vector<std::string> gone;
        for (const std::vector<std::string>& keys : edits) {
            emulated::Registry registry;
            Load(bytes, registry);
            for (const std::string& key : keys) {
                ASSERT_EQ(registry.DeleteKey(HKEY_LOCAL_MACHINE, key.c_str()), ERROR_SUCCESS) << key;
                gone.push_back(key);
            }
            ASSERT_TRUE(emulated::HiveModified(registry, 0));
            bytes = emulated::EditedHive(registry, 0);
        }
        ASSERT_EQ(bytes.size(), original.size());
        ExpectRemovedAndFreed(bytes, originalView, originalSpace, gone);
    }
}

TEST(HiveTest, BuildHiveHoldsValuesUpTo65535Bytes)
{
    emulated::Registry registry;
    registry.CreateKey(HKEY_LOCAL_MACHINE, "Key");
    registry.SetValue(HKEY_LOCAL_MACHINE, "Key", {"most", REG_BINARY, std::string(65535, '\x5A')});
    registry.SetValue(HKEY_LOCAL_MACHINE, "Key", {"text", REG_SZ, std::string(65535, 't')});
    std::string bytes;
    std::string error;
    ASSERT_TRUE(emulated::BuildHive(registry, HKEY_LOCAL_MACHINE, "", bytes, error)) << error;
    emulated::Registry loaded;
    Load(bytes, loaded);
    ASSERT_NE(loaded.FindValue(HKEY_LOCAL_MACHINE, "Key", "most"), nullptr);
    EXPECT_EQ(loaded.FindValue(HKEY_LOCAL_MACHINE, "Key", "most")->data, std::string(65535, '\x5A'));
    ASSERT_NE(loaded.FindValue(HKEY_LOCAL_MACHINE, "Key", "text"), nullptr);
    EXPECT_EQ(loaded.FindValue(HKEY_LOCAL_MACHINE, "Key", "text")->data, std::string(65535, 't'));
    EXPECT_EQ(LibcregView(bytes), hive_view::Dump(loaded, HKEY_LOCAL_MACHINE));

    registry.SetValue(HKEY_LOCAL_MACHINE, "Key", {"over", REG_BINARY, std::string(65536, '\0')});
    std::string refused = "untouched";
    EXPECT_FALSE(emulated::BuildHive(registry, HKEY_LOCAL_MACHINE, "", refused, error));
    EXPECT_NE(error.find("\"over\""), std::string::npos) << error;
    EXPECT_NE(error.find("65536 bytes"), std::string::npos) << error;
}

// The file holds each value's bytes as the import was given them: text without a terminator, as Windows
// stores it, hex data exactly; a program reading a string stored without its terminator gets one.
TEST(HiveTest, ValuesAreStoredAsGivenAndStringsReadWithATerminator)
{
    const std::string bytes = Build("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n"
                                    "\"sz\"=\"abc\"\r\n"
                                    "\"expand\"=hex(2):25,50,25,00\r\n"
                                    "\"open expand\"=hex(2):25,50,25\r\n"
                                    "\"two zeros\"=hex(1):61,62,00,00\r\n"
                                    "\"lines\"=hex(1):61,0d,0a\r\n"
                                    "\"binary\"=hex:61,00\r\n");
    // The file's one key record: the first record of the first data block. Its values follow its name, each
    // a type, a spare dword, the name's and the data's lengths, the name and the data.
    const std::uint32_t record = Le32(bytes, 8) + 0x20;
    std::uint32_t at = record + 0x14 + Le16(bytes, record + 0x0C);
    std::vector<std::string> stored;
    for (unsigned count = Le16(bytes, record + 0x0E); count > 0; --count) {
        stored.push_back(bytes.substr(at + 0x0C + Le16(bytes, at + 8), Le16(bytes, at + 10)));
        at += 0x0C + Le16(bytes, at + 8) + Le16(bytes, at + 10);
    }
    const std::vector<std::string> given {"abc", std::string("%P%\0", 4), "%P%", std::string("ab\0\0", 4), "a\r\n",
                                          std::string("a\0", 2)};
    EXPECT_EQ(stored, given);

    emulated::Registry registry;
    Load(bytes, registry);
    const char* names[] = {"sz", "expand", "open expand", "two zeros", "lines", "binary"};
    // What a program asks for: the size, with a terminator where the string is stored without one.
    const DWORD readSizes[] = {4, 4, 4, 4, 4, 2};
    HKEY key = nullptr;
    ASSERT_EQ(registry.OpenKey(HKEY_LOCAL_MACHINE, "K", &key), ERROR_SUCCESS);
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(names[i]);
        ASSERT_NE(registry.FindValue(HKEY_LOCAL_MACHINE, "K", names[i]), nullptr);
        EXPECT_EQ(registry.FindValue(HKEY_LOCAL_MACHINE, "K", names[i])->data, given[i]);
        char data[8] = {'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x'};
        DWORD size = sizeof data;
        EXPECT_EQ(registry.QueryValue(key, names[i], nullptr, reinterpret_cast<BYTE*>(data), &size), ERROR_SUCCESS);
        EXPECT_EQ(size, readSizes[i]);
        EXPECT_EQ(std::string(data, size), given[i].size() == size ? given[i] : given[i] + '\0');
    }
    // A string stored without its terminator does not fit a buffer of its length alone.
    DWORD size = 3;
    char three[3];
    EXPECT_EQ(registry.QueryValue(key, "sz", nullptr, reinterpret_cast<BYTE*>(three), &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    registry.CloseKey(key);
}

}  // namespace

// Registry files written by Windows ME (tests/data/real-registry, see its NOTICE).
std::string RealFile(const char* name)
{
    const std::string bytes =
        test_support::ReadFile(std::string(CMPCI_SOURCE_DIR) + "/tests/data/real-registry/winme/" + name);
    EXPECT_FALSE(bytes.empty()) << name;
    return bytes;
}

// A data block's free list, as offsets in the block; it stops after as many links as the block has bytes.
std::vector<std::uint32_t> FreeList(const std::string& bytes, std::uint32_t block)
{
    std::vector<std::uint32_t> list;
    for (std::uint32_t record = Le32(bytes, block + 0x10); record != kHiveNone && list.size() < Le32(bytes, block + 4);
         record = Le32(bytes, block + record + 8))
        list.push_back(record);
    return list;
}

// Every byte an edit changed lies in the key tree, in a data block's header or in the header of a record
// the edit freed: the rest of the file is as Windows left it. A freed record keeps its size, takes no
// record number, no name and no values, and links to the next free record: the records an edit freed head
// their block's free list (Windows puts a freed record first), which then goes on as it was.
void ExpectOnlyFreeSpaceChanged(const std::string& before, const std::string& after)
{
    ASSERT_EQ(before.size(), after.size());
    std::uint32_t block = Le32(before, 8);
    for (unsigned count = Le16(before, 0x10); count > 0; block += Le32(before, block + 4), --count) {
        const std::uint32_t end = block + Le32(before, block + 4);
        std::set<std::uint32_t> freed;
        for (std::uint32_t record = block + 0x20; record < end; record += Le32(before, record)) {
            const std::uint32_t size = Le32(before, record);
            std::string expected = before.substr(record, size);
            if (Le32(before, record + 4) != kHiveNone && Le32(after, record + 4) == kHiveNone) {
                freed.insert(record - block);
                expected.replace(4, 4, 4, '\xFF');
                expected.replace(8, 4, after, record + 8, 4);
                expected.replace(0x0C, 4, 4, '\0');
            }
            EXPECT_EQ(after.compare(record, size, expected), 0) << "record at " << record << " changed";
        }
        const std::vector<std::uint32_t> list = FreeList(after, block);
        ASSERT_GE(list.size(), freed.size()) << "block at " << block;
        const auto old = list.begin() + static_cast<std::ptrdiff_t>(freed.size());
        EXPECT_EQ(std::set<std::uint32_t>(list.begin(), old), freed) << "block at " << block;
        EXPECT_EQ(std::vector<std::uint32_t>(old, list.end()), FreeList(before, block)) << "block at " << block;
    }
}

TEST(HiveRealFileTest, WindowsMeFilesReadAsLibcregReadsThem)
{
    for (const char* name : {"SYSTEM.DAT", "USER.DAT"}) {
        SCOPED_TRACE(name);
        const std::string bytes = RealFile(name);
        emulated::HiveError error;
        EXPECT_TRUE(emulated::CheckHiveStructure(bytes, error)) << "offset " << error.offset << ": " << error.message;
        const std::string own = OwnView(bytes);
        EXPECT_GT(KeyLines(own), 700u);
        EXPECT_EQ(own, LibcregView(bytes));
    }
}

TEST(HiveRealFileTest, RemovalsKeepWindowsLayout)
{
    // Each case: a file, then the keys removed in each edit, the file of one edit loaded for the next.
    struct Case {
        const char* label;
        const char* file;
        std::vector<std::vector<std::string>> edits;
    };
    const std::vector<Case> cases = {
        {"one leaf", "SYSTEM.DAT", {{"Network\\Logon"}}},
        {"a large subtree", "SYSTEM.DAT", {{"System\\CurrentControlSet\\Services\\Class"}}},
        {"keys amid live records, then more",
         "SYSTEM.DAT",
         {{"Enum\\PCI", "System\\CurrentControlSet\\Services\\Class\\MEDIA\\0000\\Drivers\\wave"}, {"Config", "Driver"}}},
        {"a user's keys, edited twice", "USER.DAT", {{".DEFAULT\\AppEvents"}, {".DEFAULT\\Control Panel", "Software"}}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.label);
        const std::string original = RealFile(test.file);
        const std::string originalView = OwnView(original);
        const FreeSpace originalSpace = CheckFreeSpace(original);
        std::string bytes = original;
        std::vector<std::string> gone;
        for (const std::vector<std::string>& keys : test.edits) {
            emulated::Registry registry;
            Load(bytes, registry);
            for (const std::string& key : keys) {
                ASSERT_EQ(registry.DeleteKey(HKEY_LOCAL_MACHINE, key.c_str()), ERROR_SUCCESS) << key;
                gone.push_back(key);
            }
            const std::string edited = emulated::EditedHive(registry, 0);
            ExpectOnlyFreeSpaceChanged(bytes, edited);
            bytes = edited;
        }
        ExpectRemovedAndFreed(bytes, originalView, originalSpace, gone);
    }
}

// An area of a registry file that carries a checksum: its place, and where its flags and checksum stand.
struct ChecksumArea {
    std::uint32_t begin;
    std::uint32_t size;
    std::uint32_t flagsAt;  // the low byte of its flags, which holds the checksum flag 0x4
    std::uint32_t checksumAt;
};

// The file header, the key tree, then each data block.
std::vector<ChecksumArea> ChecksumAreas(const std::string& bytes)
{
    std::vector<ChecksumArea> areas = {{0, 0x20, 0x12, 0x0C}, {0x20, Le32(bytes, 0x24), 0x30, 0x34}};
    std::uint32_t block = Le32(bytes, 8);
    for (unsigned count = Le16(bytes, 0x10); count > 0; block += Le32(bytes, block + 4), --count)
        areas.push_back({block, Le32(bytes, block + 4), block + 0x0C, block + 0x1C});
    return areas;
}

// The sum of an area's little-endian dwords, taken here byte by byte, apart from the reader's own sum.
std::uint32_t SumOfDwords(const std::string& bytes, const ChecksumArea& area)
{
    std::uint32_t sum = 0;
    for (std::uint32_t at = 0; at < area.size; ++at)
        sum += static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[area.begin + at])) << (8 * (at % 4));
    return sum;
}

// Sets the area's checksum flag and writes the checksum that makes its dwords sum to 0. Its last dword
// gets a mark first, so that a sum that stops a dword short comes out otherwise.
void MarkChecksummed(std::string& bytes, const ChecksumArea& area)
{
    bytes[area.begin + area.size - 1] = static_cast<char>(bytes[area.begin + area.size - 1] | 0x80);
    bytes[area.flagsAt] = static_cast<char>(bytes[area.flagsAt] | 4);
    std::fill_n(bytes.begin() + area.checksumAt, 4, '\0');
    const std::uint32_t checksum = 0u - SumOfDwords(bytes, area);
    for (int i = 0; i < 4; ++i)
        bytes[area.checksumAt + i] = static_cast<char>(checksum >> (8 * i) & 0xFF);
}

// Neither file Windows ME wrote sets a checksum flag (their headers carry flags 0x20, their key trees and
// blocks 0x08), so the flags are set here and the checksums made from the format's definition: the dwords
// of a flagged area sum to 0.
TEST(HiveRealFileTest, ChecksumsCountWhereTheirFlagIsSet)
{
    const std::string real = RealFile("USER.DAT");
    const std::vector<ChecksumArea> areas = ChecksumAreas(real);
    const std::pair<const char*, ChecksumArea> cases[] = {
        {"the file header", areas[0]}, {"the key tree", areas[1]}, {"data block", areas[2]}, {"data block", areas.back()}};
    for (const auto& [label, area] : cases) {
        SCOPED_TRACE(label + std::string(" at ") + std::to_string(area.begin));
        std::string bytes = real;
        MarkChecksummed(bytes, area);
        emulated::HiveError error;
        EXPECT_TRUE(emulated::CheckHiveStructure(bytes, error)) << "offset " << error.offset << ": " << error.message;
        emulated::Registry registry;
        EXPECT_TRUE(emulated::LoadHive(bytes, registry, HKEY_LOCAL_MACHINE, "", error)) << error.message;
        // One bit off in the area's last byte: the sum is no longer 0.
        bytes[area.begin + area.size - 1] = static_cast<char>(bytes[area.begin + area.size - 1] ^ 1);
        EXPECT_FALSE(emulated::CheckHiveStructure(bytes, error));
        EXPECT_EQ(error.message, label + std::string(" has its checksum flag set, but its checksum is wrong"));
        EXPECT_EQ(error.offset, area.begin);
    }
}

TEST(HiveRealFileTest, EditsKeepChecksumsWhereTheirFlagIsSet)
{
    std::string bytes = RealFile("USER.DAT");
    const std::vector<ChecksumArea> areas = ChecksumAreas(bytes);
    for (const ChecksumArea& area : areas)
        MarkChecksummed(bytes, area);
    emulated::Registry registry;
    Load(bytes, registry);
    ASSERT_EQ(registry.DeleteKey(HKEY_LOCAL_MACHINE, ".DEFAULT\\AppEvents"), ERROR_SUCCESS);
    ASSERT_EQ(registry.DeleteKey(HKEY_LOCAL_MACHINE, "Software"), ERROR_SUCCESS);
    const std::string edited = emulated::EditedHive(registry, 0);
    ASSERT_NE(edited, bytes);
    for (const ChecksumArea& area : areas) {
        SCOPED_TRACE("area at " + std::to_string(area.begin));
        EXPECT_EQ(SumOfDwords(edited, area), 0u);
    }
    emulated::HiveError error;
    EXPECT_TRUE(emulated::CheckHiveStructure(edited, error)) << "offset " << error.offset << ": " << error.message;
}

// The file offset of the key record a key entry (an offset from the key tree's start) names, found by
// walking the records of the entry's data block.
std::uint32_t RecordOfEntry(const std::string& bytes, std::uint32_t entry)
{
    const std::uint32_t blockNumber = Le16(bytes, 0x20 + entry + 0x1A);
    const std::uint32_t id = blockNumber << 16 | Le16(bytes, 0x20 + entry + 0x18);
    std::uint32_t block = Le32(bytes, 8);
    for (std::uint32_t n = 0; n < blockNumber; ++n)
        block += Le32(bytes, block + 4);
    for (std::uint32_t record = block + 0x20; record < block + Le32(bytes, block + 4); record += Le32(bytes, record)) {
        if (Le32(bytes, record + 4) == id)
            return record;
    }
    ADD_FAILURE() << "no record for the entry at " << entry;
    return 0;
}

// Damages of the key tree at 0x20 of a hive's bytes `b` that take more than a line; `firstKey` is the root's
// first subkey's entry, `firstRecord` its record. Here the first subkey names its next sibling's record.
void NameTheNextSiblingsRecord(std::string& b, std::uint32_t firstKey)
{
    const std::uint32_t tree = 0x20;
    const std::uint32_t sibling = Le32(b, tree + firstKey + 0x14);
    emulated::Put32(b, tree + firstKey + 0x18, Le32(b, tree + sibling + 0x18));
}

// Its name's second letter becomes a backslash, with the entry's name hash (the sum of the upper-cased
// letters) to match.
void PutABackslashInTheName(std::string& b, std::uint32_t firstKey, std::uint32_t firstRecord)
{
    const std::uint32_t tree = 0x20;
    const auto letter = static_cast<unsigned char>(std::toupper(static_cast<unsigned char>(b[firstRecord + 0x15])));
    emulated::Put32(b, tree + firstKey + 4, Le32(b, tree + firstKey + 4) - letter + '\\');
    b[firstRecord + 0x15] = '\\';
}

// A leaf reached by first subkeys, freed from the tree while its record stays live.
void FreeALeafKeepingItsRecord(std::string& b, std::uint32_t firstKey)
{
    const std::uint32_t tree = 0x20;
    std::uint32_t parent = 0x20;
    std::uint32_t leaf = firstKey;
    for (; Le32(b, tree + leaf + 0x10) != kHiveNone; leaf = Le32(b, tree + leaf + 0x10))
        parent = leaf;
    emulated::Put32(b, tree + parent + 0x10, Le32(b, tree + leaf + 0x14));
    emulated::Put32(b, tree + leaf, emulated::kFreeEntryFlag);
    emulated::Put32(b, tree + leaf + 4, 0x1C);
    emulated::Put32(b, tree + leaf + 8, Le32(b, tree + 0x0C));
    emulated::Put32(b, tree + 0x0C, leaf);
}

// The structure check refuses the bytes saying the message, and the load refuses them too.
void ExpectRefused(const std::string& bytes, const char* message)
{
    emulated::HiveError error;
    EXPECT_FALSE(emulated::CheckHiveStructure(bytes, error));
    EXPECT_NE(error.message.find(message), std::string::npos) << error.message;
    emulated::Registry registry;
    EXPECT_FALSE(emulated::LoadHive(bytes, registry, HKEY_LOCAL_MACHINE, "", error));
}

TEST(HiveRealFileTest, StructuralCheckRefusesEachBrokenRule)
{
    const std::string real = RealFile("USER.DAT");
    const std::uint32_t tree = 0x20;
    const std::uint32_t block = Le32(real, 8);  // its first block has free records
    const std::uint32_t head = Le32(real, block + 0x10);
    const std::uint32_t firstKey = Le32(real, tree + 0x20 + 0x10);  // the root's first subkey
    const std::uint32_t firstRecord = RecordOfEntry(real, firstKey);
    ASSERT_GT(Le16(real, firstRecord + 0x0C), 1) << "the first key's name is meant to have two letters or more";
    struct Case {
        const char* label;
        std::function<void(std::string&)> damage;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"key tree size off its pages", [&](std::string& b) { emulated::Put32(b, tree + 4, Le32(b, tree + 4) - 0x1000 + 0x1C); },
         "key tree"},
        {"a free entry dropped from its list",
         [&](std::string& b) { emulated::Put32(b, tree + 0x0C, Le32(b, tree + Le32(b, tree + 0x0C) + 8)); },
         "neither in the key tree nor free"},
        {"an entry across a page end", [&](std::string& b) { emulated::Put32(b, tree + 0x20 + 0x10, 0x2FF0); }, "outside"},
        {"a wrong parent link", [&](std::string& b) { emulated::Put32(b, tree + firstKey + 0x0C, firstKey); }, "parent"},
        {"a free record unlinked", [&](std::string& b) { emulated::Put32(b, block + 0x10, Le32(b, block + head + 8)); },
         "missing from the free list"},
        {"free bytes miscounted", [&](std::string& b) { emulated::Put32(b, block + 8, Le32(b, block + 8) + 1); }, "free bytes"},
        {"lowest unused number not lowered", [&](std::string& b) { b[block + 0x16] = static_cast<char>(b[block + 0x16] + 1); },
         "lowest unused"},
        {"highest number below one in use", [&](std::string& b) { b[block + 0x14] = 0; }, "highest record number"},
        {"checksum flag over a wrong sum", [&](std::string& b) { b[block + 0x0C] = static_cast<char>(b[block + 0x0C] | 4); },
         "checksum"},
        {"a free record whose header runs past it",
         [&](std::string& b) { emulated::Put16(b, block + head + 0x0C, static_cast<std::uint16_t>(Le32(b, block + head))); },
         "damaged header"},
        {"two entries naming one record", [&](std::string& b) { NameTheNextSiblingsRecord(b, firstKey); },
         "another key"},
        {"a key name holding a backslash", [&](std::string& b) { PutABackslashInTheName(b, firstKey, firstRecord); },
         "holds a backslash"},
        {"a record numbered in another data block",
         [&](std::string& b) { emulated::Put16(b, firstRecord + 6, static_cast<std::uint16_t>(Le16(b, firstRecord + 6) + 1)); },
         "stands in data block"},
        {"a record named by no entry", [&](std::string& b) { FreeALeafKeepingItsRecord(b, firstKey); },
         "named by no key entry"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.label);
        std::string bytes = real;
        test.damage(bytes);
        ASSERT_NE(bytes, real);
        ExpectRefused(bytes, test.message);
    }
}

// The root key's entry of Windows ME's files names no key record (data block and number 0xFFFF). One that
// names a record in a data block the file does not have, or a record its block does not hold, is a file
// libcreg cannot read: it is refused, and so never saved.
TEST(HiveRealFileTest, ARootNamingAMissingDataBlockOrRecordIsRefusedAsLibcregRefusesIt)
{
    const std::string real = RealFile("USER.DAT");
    const std::uint32_t root = 0x20 + Le32(real, 0x20 + 0x08);
    ASSERT_EQ(Le16(real, root + 0x1A), 0xFFFF) << "Windows ME's root names no record";
    const std::uint16_t blocks = Le16(real, 0x10);
    const struct {
        const char* label;
        std::uint16_t block;
        std::uint16_t number;
        const char* message;
    } cases[] = {{"a data block past the file's", static_cast<std::uint16_t>(blocks + 3), 0, "data block"},
                 {"a record its block does not hold", static_cast<std::uint16_t>(blocks - 1), 200, "not there"}};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.label);
        std::string bytes = real;
        emulated::Put16(bytes, root + 0x1A, test.block);
        emulated::Put16(bytes, root + 0x18, test.number);
        std::string said;
        EXPECT_FALSE(LibcregReads(bytes, said)) << "libcreg reads it: the case is no case";
        ExpectRefused(bytes, test.message);
    }
}

TEST(HiveRealFileTest, ASaveThatWouldBreakALayoutRuleChangesNoFile)
{
    namespace fs = std::filesystem;
    const test_support::TempFolder scratch("cmpci-hive");
    ASSERT_TRUE(scratch.ok());
    const fs::path machine = scratch.path() / "machine";
    fs::create_directories(machine / "WINDOWS");
    const std::string system = RealFile("SYSTEM.DAT");
    const std::string users = RealFile("USER.DAT");
    std::ofstream(machine / "WINDOWS" / "SYSTEM.DAT", std::ios::binary) << system;
    std::ofstream(machine / "WINDOWS" / "USER.DAT", std::ios::binary) << users;
    emulated::Registry registry;
    emulated::MachineFolder folder;
    std::string error;
    ASSERT_TRUE(emulated::OpenMachine(machine, "", registry, folder, error)) << error;
    // USER.DAT's first data block miscounts its free bytes in memory, as a faulty edit would leave it.
    std::string& loaded = emulated::ImplOf(registry).hives[1].bytes;
    const std::uint32_t block = Le32(loaded, 8);
    emulated::Put32(loaded, block + 8, Le32(loaded, block + 8) + 4);
    ASSERT_EQ(registry.DeleteKey(HKEY_LOCAL_MACHINE, "Network\\Logon"), ERROR_SUCCESS);
    ASSERT_EQ(registry.DeleteKey(HKEY_USERS, ".DEFAULT\\AppEvents"), ERROR_SUCCESS);
    std::vector<std::string> saved;
    EXPECT_FALSE(emulated::SaveRegistryFiles(folder, registry, saved, error));
    EXPECT_NE(error.find("USER.DAT: the edited file would break Windows' registry layout"), std::string::npos) << error;
    EXPECT_TRUE(saved.empty());
    EXPECT_EQ(test_support::ReadFile(machine / "WINDOWS" / "SYSTEM.DAT"), system);
    EXPECT_EQ(test_support::ReadFile(machine / "WINDOWS" / "USER.DAT"), users);
}

// A small file whose records bear high numbers in many blocks: what reading it keeps grows with the file,
// not with the numbers it names (a table sized by record numbers once took a thousand times the file).
TEST(HiveRealFileTest, MemoryForAFileIsBoundedByItsSize)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "peak memory is not the program's own under AddressSanitizer";
#else
    constexpr std::uint32_t kBlocks = 60000;
    std::string bytes(0x20 + 0x2000, '\0');
    bytes.replace(0, 4, "CREG");
    emulated::Put32(bytes, 4, 0x00010000);
    emulated::Put32(bytes, 8, 0x20 + 0x2000);
    emulated::Put16(bytes, 0x10, static_cast<std::uint16_t>(kBlocks & 0xFFFF));
    bytes.replace(0x20, 4, "RGKN");
    emulated::Put32(bytes, 0x24, 0x2000);
    emulated::Put32(bytes, 0x28, 0x20);
    for (std::uint32_t block = 0; block < kBlocks; ++block) {
        std::string data(0x20 + 0x14, '\0');
        data.replace(0, 4, "RGDB");
        emulated::Put32(data, 4, static_cast<std::uint32_t>(data.size()));
        emulated::Put16(data, 0x0E, static_cast<std::uint16_t>(block));
        emulated::Put32(data, 0x20, 0x14);
        emulated::Put32(data, 0x24, block << 16 | 254);
        emulated::Put32(data, 0x28, 0x14);
        bytes += data;
    }
    // The block count is a word: the file holds the blocks the header counts.
    bytes.resize(0x20 + 0x2000 + (kBlocks & 0xFFFF) * (0x20 + 0x14));
    const std::size_t fileSize = bytes.size();
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct rusage before { };
        getrusage(RUSAGE_SELF, &before);
        emulated::Hive hive;
        emulated::HiveError error;
        emulated::ParseHive(std::move(bytes), hive, error);
        struct rusage after { };
        getrusage(RUSAGE_SELF, &after);
        const long grownKb = after.ru_maxrss - before.ru_maxrss;
        (void)!write(pipeEnds[1], &grownKb, sizeof grownKb);
        _exit(hive.records.size() == (kBlocks & 0xFFFF) ? 0 : 1);
    }
    close(pipeEnds[1]);
    long grownKb = -1;
    ASSERT_EQ(read(pipeEnds[0], &grownKb, sizeof grownKb), static_cast<ssize_t>(sizeof grownKb));
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the records were not all read";
    // The file's bytes are moved in, not copied: what grows is the index of its records.
    EXPECT_LT(grownKb * 1024, static_cast<long>(2 * fileSize)) << grownKb << " KB for a file of " << fileSize << " bytes";
#endif
}
