// The registry behaviour the removal logic relies on, asserted once for every provider: the emulated
// Windows 9x machine on the host, and the real Win32 provider under Wine (or Windows).
//
// A test binary includes this header in exactly one file and defines MakeRegistryContractTarget(). Every
// test works below HKEY_LOCAL_MACHINE\Software\CmpciRegistryContract, which it removes before and after.
//
// Where the providers differ, the target says how, and the test states both answers:
// - Enumeration order: the Windows 9x registry returns subkeys in the order it holds them (new keys last);
//   the NT registry (and Wine) returns them sorted by name without regard to case. Keys created in sorted
//   order come back the same way from both.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "system/system_ops.h"

enum class EnumerationOrder { AsCreated, SortedByName };

class RegistryContractTarget {
public:
    virtual ~RegistryContractTarget() = default;
    // The provider under test: the suite calls only its registry operations.
    virtual SystemOps& Ops() = 0;
    // Set-up, outside the operations the logic uses: a key with any missing parents, a string value.
    virtual void CreateKey(HKEY root, const std::string& path) = 0;
    virtual void SetString(HKEY root, const std::string& path, const std::string& name, const std::string& text) = 0;
    virtual EnumerationOrder Order() const = 0;
};

std::unique_ptr<RegistryContractTarget> MakeRegistryContractTarget();

class RegistryContract : public ::testing::Test {
protected:
    static constexpr char kBase[] = "Software\\CmpciRegistryContract";

    void SetUp() override
    {
        target_ = MakeRegistryContractTarget();
        ASSERT_NE(target_, nullptr);
        ops().RegDeleteKeyA(HKEY_LOCAL_MACHINE, kBase);
        target_->CreateKey(HKEY_LOCAL_MACHINE, kBase);
    }

    void TearDown() override
    {
        if (target_)
            ops().RegDeleteKeyA(HKEY_LOCAL_MACHINE, kBase);
    }

    SystemOps& ops() { return target_->Ops(); }

    static std::string Path(const std::string& below) { return std::string(kBase) + "\\" + below; }

    void Create(const std::string& below) { target_->CreateKey(HKEY_LOCAL_MACHINE, Path(below)); }

    void SetString(const std::string& below, const std::string& name, const std::string& text)
    {
        target_->SetString(HKEY_LOCAL_MACHINE, Path(below), name, text);
    }

    LONG Open(const std::string& below, HKEY* key)
    {
        return ops().RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path(below).c_str(), 0, KEY_READ, key);
    }

    // The open `key`'s first subkey is named `expected`; then the key is closed.
    void ExpectFirstSubkeyAndClose(HKEY key, const char* expected)
    {
        char name[100] = {};
        EXPECT_EQ(ops().RegEnumKeyA(key, 0, name, sizeof name), ERROR_SUCCESS);
        EXPECT_STREQ(name, expected);
        EXPECT_EQ(ops().RegCloseKey(key), ERROR_SUCCESS);
    }

    bool Exists(const std::string& below)
    {
        HKEY key = nullptr;
        if (Open(below, &key) != ERROR_SUCCESS)
            return false;
        ops().RegCloseKey(key);
        return true;
    }

    LONG Delete(const std::string& below) { return ops().RegDeleteKeyA(HKEY_LOCAL_MACHINE, Path(below).c_str()); }

    // Every name an open key yields from index 0 on, up to the first result other than 0.
    std::vector<std::string> Walk(HKEY key, LONG* end)
    {
        std::vector<std::string> names;
        char name[100];
        for (DWORD index = 0; index < 1000; ++index) {
            LONG result = ops().RegEnumKeyA(key, index, name, sizeof name);
            if (result != ERROR_SUCCESS) {
                *end = result;
                return names;
            }
            names.emplace_back(name);
        }
        *end = -1;
        return names;
    }

    // Creates `names` below `parent` in that order, then walks `parent`.
    std::vector<std::string> CreateAndWalk(const std::string& parent, std::initializer_list<const char*> names,
                                           LONG* end)
    {
        for (const char* name : names)
            Create(parent + "\\" + name);
        HKEY key = nullptr;
        EXPECT_EQ(Open(parent, &key), ERROR_SUCCESS);
        std::vector<std::string> found = Walk(key, end);
        ops().RegCloseKey(key);
        return found;
    }

    std::unique_ptr<RegistryContractTarget> target_;
};

TEST_F(RegistryContract, OpensAKeyWhateverTheCaseOfItsPathAndKeepsTheStoredCase)
{
    Create("Enum\\PCI\\VEN_13F6&DEV_0111");
    HKEY key = nullptr;
    ASSERT_EQ(ops().RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\CMPCIREGISTRYCONTRACT\\enum\\pci", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    ExpectFirstSubkeyAndClose(key, "VEN_13F6&DEV_0111");
}

TEST_F(RegistryContract, APathWithDoubledOrTrailingBackslashesOpensTheKeyItNames)
{
    Create("Enum\\PCI\\VEN_13F6&DEV_0111");
    for (const char* path : {"Enum\\PCI\\", "Enum\\\\PCI", "Enum\\\\\\PCI\\\\"}) {
        SCOPED_TRACE(path);
        HKEY key = nullptr;
        ASSERT_EQ(Open(path, &key), ERROR_SUCCESS);
        ExpectFirstSubkeyAndClose(key, "VEN_13F6&DEV_0111");
    }
}

TEST_F(RegistryContract, OpeningAMissingKeyFailsWithFileNotFound)
{
    Create("Enum");
    HKEY key = nullptr;
    EXPECT_EQ(Open("Enum\\PCI", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open("Missing\\Deeper", &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryContract, AWalkByRisingIndexYieldsEverySubkeyOnceThenNoMoreItems)
{
    LONG end = 0;
    EXPECT_EQ(CreateAndWalk("Walk", {"Alpha", "Bravo", "Charlie"}, &end),
              (std::vector<std::string> {"Alpha", "Bravo", "Charlie"}));
    EXPECT_EQ(end, ERROR_NO_MORE_ITEMS);
    HKEY key = nullptr;
    ASSERT_EQ(Open("Walk", &key), ERROR_SUCCESS);
    char name[100] = {};
    EXPECT_EQ(ops().RegEnumKeyA(key, 7, name, sizeof name), ERROR_NO_MORE_ITEMS);
    ops().RegCloseKey(key);
}

TEST_F(RegistryContract, AKeyWithoutSubkeysYieldsNoMoreItemsAtOnce)
{
    Create("Empty");
    HKEY key = nullptr;
    ASSERT_EQ(Open("Empty", &key), ERROR_SUCCESS);
    char name[100] = "untouched";
    EXPECT_EQ(ops().RegEnumKeyA(key, 0, name, sizeof name), ERROR_NO_MORE_ITEMS);
    ops().RegCloseKey(key);
}

// The first match in enumeration order wins in card search and the mixer search, so the order matters:
// creation order on Windows 9x, sorted by name on NT-family Windows.
TEST_F(RegistryContract, EnumerationOrderOfKeysCreatedOutOfOrder)
{
    LONG end = 0;
    std::vector<std::string> names = CreateAndWalk("Order", {"zulu", "Alpha", "mike"}, &end);
    EXPECT_EQ(end, ERROR_NO_MORE_ITEMS);
    if (target_->Order() == EnumerationOrder::AsCreated)
        EXPECT_EQ(names, (std::vector<std::string> {"zulu", "Alpha", "mike"}));
    else
        EXPECT_EQ(names, (std::vector<std::string> {"Alpha", "mike", "zulu"}));
}

TEST_F(RegistryContract, ANameThatDoesNotFitFailsWithMoreDataAndWritesNothingPastTheField)
{
    Create("Fit\\ABCDEFGHIJ");  // 10 characters, 11 with the terminator
    Create("Fit\\Short");
    HKEY key = nullptr;
    ASSERT_EQ(Open("Fit", &key), ERROR_SUCCESS);
    for (DWORD capacity : {10u, 5u, 1u}) {
        SCOPED_TRACE(capacity);
        char field[32];
        std::memset(field, '#', sizeof field);
        EXPECT_EQ(ops().RegEnumKeyA(key, 0, field, capacity), ERROR_MORE_DATA);
        for (std::size_t i = capacity; i < sizeof field; ++i)
            ASSERT_EQ(field[i], '#') << "written past the field at " << i;
    }
    char field[11];
    EXPECT_EQ(ops().RegEnumKeyA(key, 0, field, sizeof field), ERROR_SUCCESS);
    EXPECT_STREQ(field, "ABCDEFGHIJ");
    // The walk can step over the long name and go on.
    char small[6];
    EXPECT_EQ(ops().RegEnumKeyA(key, 1, small, sizeof small), ERROR_SUCCESS);
    EXPECT_STREQ(small, "Short");
    ops().RegCloseKey(key);
}

// The instance loop: the parent stays open, each subkey at index 0 is deleted by its full path through the
// root, and index 0 then names the next one.
TEST_F(RegistryContract, ADeletionByFullPathIsSeenAtOnceThroughAnOpenHandle)
{
    for (const char* name : {"0000", "0001", "0002"}) {
        Create(std::string("Card\\") + name + "\\LogConfig");
        SetString(std::string("Card\\") + name, "Driver", "MEDIA\\0001");
    }
    HKEY card = nullptr;
    ASSERT_EQ(Open("Card", &card), ERROR_SUCCESS);
    std::vector<std::string> seen;
    char name[52];
    LONG result = ERROR_SUCCESS;
    for (int pass = 0; pass < 10; ++pass) {
        result = ops().RegEnumKeyA(card, 0, name, sizeof name);
        if (result != ERROR_SUCCESS)
            break;
        seen.emplace_back(name);
        EXPECT_EQ(Delete("Card\\" + std::string(name)), ERROR_SUCCESS);
    }
    EXPECT_EQ(result, ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(seen, (std::vector<std::string> {"0000", "0001", "0002"}));
    EXPECT_EQ(ops().RegCloseKey(card), ERROR_SUCCESS);
    EXPECT_TRUE(Exists("Card"));
}

TEST_F(RegistryContract, DeletingAKeyRemovesItsWholeSubtreeAndNothingElse)
{
    Create("Tree\\Doomed\\A\\B\\C\\D");
    Create("Tree\\Doomed\\A\\B2");
    Create("Tree\\Doomed\\E");
    SetString("Tree\\Doomed\\A\\B\\C", "Driver", "MEDIA\\0001");
    SetString("Tree\\Doomed", "InfPath", "OEM1.INF");
    for (int i = 0; i < 40; ++i)
        Create("Tree\\Doomed\\Many\\" + std::to_string(1000 + i));
    Create("Tree\\Doomer");
    Create("Tree\\Doom");
    Create("Tree\\Other\\Kept");

    EXPECT_EQ(Delete("Tree\\Doomed"), ERROR_SUCCESS);

    for (const char* gone : {"Tree\\Doomed", "Tree\\Doomed\\A\\B\\C\\D", "Tree\\Doomed\\E", "Tree\\Doomed\\Many"}) {
        SCOPED_TRACE(gone);
        HKEY key = nullptr;
        EXPECT_EQ(Open(gone, &key), ERROR_FILE_NOT_FOUND);
    }
    for (const char* kept : {"Tree", "Tree\\Doomer", "Tree\\Doom", "Tree\\Other\\Kept"}) {
        SCOPED_TRACE(kept);
        EXPECT_TRUE(Exists(kept));
    }
}

TEST_F(RegistryContract, DeletingAMissingKeyFailsWithFileNotFoundAndDoesNoHarm)
{
    Create("Here\\Child");
    EXPECT_EQ(Delete("Here\\Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Delete("Nowhere\\Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(Exists("Here\\Child"));
}

// Value reads get a 20-byte field; string data counts its terminator.
TEST_F(RegistryContract, AValueReadGivesTheStringWithItsTerminatorOnlyWhenItFits)
{
    Create("Values");
    SetString("Values", "Driver", "MEDIA\\0001");
    SetString("Values", "Fits", "wave,midi,mixer,aux");           // 19 characters: 20 bytes
    SetString("Values", "Long", "wave,midi,mixer,aux,joystick");  // 29 characters
    SetString("Values", "Empty", "");
    HKEY key = nullptr;
    ASSERT_EQ(Open("Values", &key), ERROR_SUCCESS);

    struct Case {
        const char* name;
        LONG result;
        const char* text;
    };
    const Case cases[] = {
        {"Driver", ERROR_SUCCESS, "MEDIA\\0001"},
        {"driver", ERROR_SUCCESS, "MEDIA\\0001"},
        {"Fits", ERROR_SUCCESS, "wave,midi,mixer,aux"},
        {"Empty", ERROR_SUCCESS, ""},
        {"Long", ERROR_MORE_DATA, nullptr},
        {"Missing", ERROR_FILE_NOT_FOUND, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BYTE data[20 + 8];
        std::memset(data, '#', sizeof data);
        DWORD size = 20;
        EXPECT_EQ(ops().RegQueryValueExA(key, c.name, nullptr, nullptr, data, &size), c.result);
        for (std::size_t i = 20; i < sizeof data; ++i)
            ASSERT_EQ(data[i], '#') << "written past the field at " << i;
        if (c.text != nullptr) {
            EXPECT_EQ(size, std::strlen(c.text) + 1);
            EXPECT_STREQ(reinterpret_cast<const char*>(data), c.text);
        }
    }
    ops().RegCloseKey(key);
}

// A handle whose key was deleted under it must fail cleanly: no name, no data, and the close still works.
// Both providers answer ERROR_KEY_DELETED (1018).
TEST_F(RegistryContract, AHandleToADeletedKeyFailsWithKeyDeleted)
{
    Create("Gone\\Child");
    SetString("Gone", "Driver", "MEDIA\\0001");
    HKEY key = nullptr;
    ASSERT_EQ(Open("Gone", &key), ERROR_SUCCESS);
    ASSERT_EQ(Delete("Gone"), ERROR_SUCCESS);

    char name[52] = "untouched";
    EXPECT_EQ(ops().RegEnumKeyA(key, 0, name, sizeof name), ERROR_KEY_DELETED);
    EXPECT_STREQ(name, "untouched");
    BYTE data[20] = "untouched";
    DWORD size = 20;
    EXPECT_EQ(ops().RegQueryValueExA(key, "Driver", nullptr, nullptr, data, &size), ERROR_KEY_DELETED);
    EXPECT_STREQ(reinterpret_cast<const char*>(data), "untouched");
    EXPECT_EQ(ops().RegCloseKey(key), ERROR_SUCCESS);
}
