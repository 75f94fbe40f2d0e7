// The emulated registry: order, case, enumeration and value reads with their result codes, deletion seen
// through open handles, and HKEY_CURRENT_USER standing for the default user.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "registry/regedit4.h"
#include "registry/registry.h"

namespace {

using emulated::LoadRegedit4;
using emulated::Registry;
using emulated::SaveRegedit4;

std::string Lines(std::initializer_list<const char*> lines)
{
    std::string text;
    for (const char* line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

class RegistryTest : public ::testing::Test {
protected:
    void Load(const std::string& text)
    {
        emulated::LoadResult result = LoadRegedit4(text, reg);
        ASSERT_TRUE(result.ok) << "line " << result.line << ": " << result.message;
    }

    HKEY Open(HKEY root, const char* path)
    {
        HKEY key = nullptr;
        EXPECT_EQ(reg.OpenKey(root, path, &key), ERROR_SUCCESS) << path;
        return key;
    }

    // Names of all subkeys through EnumKey by rising index, until it stops with 259.
    std::vector<std::string> Enumerate(HKEY key)
    {
        std::vector<std::string> names;
        char name[100];
        DWORD index = 0;
        LONG rc = ERROR_SUCCESS;
        while ((rc = reg.EnumKey(key, index++, name, sizeof name)) == ERROR_SUCCESS)
            names.push_back(name);
        EXPECT_EQ(rc, ERROR_NO_MORE_ITEMS);
        return names;
    }

    Registry reg;
};

const std::string kPciTree = Lines({
    "REGEDIT4",
    "",
    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_00000000]",
    "",
    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_00000000\\BUS_00&DEV_0B&FUNC_00]",
    "\"Driver\"=\"MEDIA\\\\0001\"",
    "\"LongValue\"=\"0123456789abcdefghij\"",
    "@=\"default text\"",
    "\"Flags\"=dword:00000102",
    "",
    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_00000000\\BUS_00&DEV_0B&FUNC_00\\Child]",
    "",
    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_00000000\\BUS_00&DEV_0C&FUNC_00]",
    "",
    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\zeta]",
    "",
    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\Alpha]",
});

constexpr const char* kCard = "Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_00000000";
constexpr const char* kInstance = "Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_00000000\\BUS_00&DEV_0B&FUNC_00";

TEST_F(RegistryTest, SubkeysKeepFileOrderThenCreationOrder)
{
    Load(kPciTree);
    EXPECT_EQ(reg.SubkeyNames(HKEY_LOCAL_MACHINE, "Enum\\PCI"),
              (std::vector<std::string> {"VEN_13F6&DEV_0111&SUBSYS_00000000", "zeta", "Alpha"}));
    ASSERT_NE(reg.CreateKey(HKEY_LOCAL_MACHINE, "Enum\\PCI\\Beta"), emulated::kNoKey);
    // Creating an existing key in another case adds nothing.
    EXPECT_EQ(reg.CreateKey(HKEY_LOCAL_MACHINE, "ENUM\\pci\\ZETA"), reg.FindKey(HKEY_LOCAL_MACHINE, "Enum\\PCI\\zeta"));
    HKEY pci = Open(HKEY_LOCAL_MACHINE, "Enum\\PCI");
    EXPECT_EQ(Enumerate(pci),
              (std::vector<std::string> {"VEN_13F6&DEV_0111&SUBSYS_00000000", "zeta", "Alpha", "Beta"}));
    EXPECT_EQ(reg.CloseKey(pci), ERROR_SUCCESS);
}

TEST_F(RegistryTest, OpenKeyMatchesNamesWithoutCaseAndKeepsStoredCase)
{
    Load(kPciTree);
    struct Case {
        const char* path;
        LONG expected;
    };
    const Case cases[] = {
        {"Enum\\PCI", ERROR_SUCCESS},
        {"eNUM\\pci", ERROR_SUCCESS},
        {"ENUM\\PCI\\ZETA", ERROR_SUCCESS},
        {"enum\\pci\\ven_13f6&dev_0111&subsys_00000000\\bus_00&dev_0b&func_00", ERROR_SUCCESS},
        {"", ERROR_SUCCESS},
        {"Enum\\PCI\\Missing", ERROR_FILE_NOT_FOUND},
        {"Enum\\\\PCI", ERROR_SUCCESS},
        {"Enum\\PCI\\", ERROR_SUCCESS},
        {"\\Enum", ERROR_FILE_NOT_FOUND},
        {"Enum\\PCI\\zet", ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        HKEY key = nullptr;
        EXPECT_EQ(reg.OpenKey(HKEY_LOCAL_MACHINE, c.path, &key), c.expected);
        if (c.expected == ERROR_SUCCESS) {
            EXPECT_EQ(reg.CloseKey(key), ERROR_SUCCESS);
        }
    }
    HKEY pci = Open(HKEY_LOCAL_MACHINE, "ENUM\\PCI");
    char name[100];
    ASSERT_EQ(reg.EnumKey(pci, 1, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "zeta");
    // An empty path opens the root itself.
    HKEY root = Open(HKEY_LOCAL_MACHINE, "");
    ASSERT_EQ(reg.EnumKey(root, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Enum");
    EXPECT_EQ(reg.OpenHandles(), 2u);
}

TEST_F(RegistryTest, EnumKeyResultCodesAndNothingWrittenWhenTooSmall)
{
    Load(kPciTree);
    HKEY pci = Open(HKEY_LOCAL_MACHINE, "Enum\\PCI");
    const std::string card = "VEN_13F6&DEV_0111&SUBSYS_00000000";  // 33 characters
    struct Case {
        DWORD index;
        DWORD capacity;
        LONG expected;
        const char* name;  // what the field holds afterwards, null when it must be untouched
    };
    const Case cases[] = {
        {0, 100, ERROR_SUCCESS, "VEN_13F6&DEV_0111&SUBSYS_00000000"},
        {0, 34, ERROR_SUCCESS, "VEN_13F6&DEV_0111&SUBSYS_00000000"},  // name and terminator exactly
        {0, 33, ERROR_MORE_DATA, nullptr},                            // terminator does not fit
        {0, 20, ERROR_MORE_DATA, nullptr},
        {0, 0, ERROR_MORE_DATA, nullptr},
        {1, 5, ERROR_SUCCESS, "zeta"},
        {1, 4, ERROR_MORE_DATA, nullptr},
        {2, 100, ERROR_SUCCESS, "Alpha"},
        {3, 100, ERROR_NO_MORE_ITEMS, nullptr},
        {0xFFFFFFFFu, 100, ERROR_NO_MORE_ITEMS, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "index " << c.index << " capacity " << c.capacity);
        char field[101];
        std::memset(field, 0x5A, sizeof field);  // canary bytes, one past any capacity used
        EXPECT_EQ(reg.EnumKey(pci, c.index, field, c.capacity), c.expected);
        if (c.name) {
            EXPECT_STREQ(field, c.name);
            for (std::size_t i = std::strlen(c.name) + 1; i < sizeof field; ++i)
                ASSERT_EQ(field[i], 0x5A) << i;
        } else {
            for (std::size_t i = 0; i < sizeof field; ++i)
                ASSERT_EQ(field[i], 0x5A) << i;
        }
    }
}

TEST_F(RegistryTest, WideKeyEnumeratesAndFindsEveryName)
{
    Load(Lines({"REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\Wide]"}));
    for (int i = 0; i < 3000; ++i) {
        ASSERT_NE(reg.CreateKey(HKEY_LOCAL_MACHINE, "Wide\\Sub" + std::to_string(i)), emulated::kNoKey);
    }
    HKEY wide = Open(HKEY_LOCAL_MACHINE, "Wide");
    char name[100];
    for (DWORD i : {0u, 15u, 16u, 1234u, 2999u}) {
        SCOPED_TRACE(i);
        ASSERT_EQ(reg.EnumKey(wide, i, name, sizeof name), ERROR_SUCCESS);
        EXPECT_EQ(std::string(name), "Sub" + std::to_string(i));
        EXPECT_NE(reg.FindKey(HKEY_LOCAL_MACHINE, "WIDE\\SUB" + std::to_string(i)), emulated::kNoKey);
    }
    EXPECT_EQ(reg.EnumKey(wide, 3000, name, sizeof name), ERROR_NO_MORE_ITEMS);
    // A deleted name is gone from the lookup too, and comes back last when created again.
    ASSERT_EQ(reg.DeleteKey(HKEY_LOCAL_MACHINE, "Wide\\sub20"), ERROR_SUCCESS);
    EXPECT_EQ(reg.FindKey(HKEY_LOCAL_MACHINE, "Wide\\Sub20"), emulated::kNoKey);
    ASSERT_EQ(reg.EnumKey(wide, 20, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Sub21");
    ASSERT_NE(reg.CreateKey(HKEY_LOCAL_MACHINE, "Wide\\SUB20"), emulated::kNoKey);
    ASSERT_EQ(reg.EnumKey(wide, 2999, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "SUB20");
}

TEST_F(RegistryTest, QueryValueCopiesOnlyWhatFits)
{
    Load(kPciTree);
    HKEY key = Open(HKEY_LOCAL_MACHINE, kInstance);
    struct Case {
        const char* value;
        DWORD size;
        LONG expected;
        DWORD sizeAfter;
        const char* data;  // expected bytes when copied, null when the buffer must be untouched
        DWORD dataLength;
    };
    const Case cases[] = {
        {"Driver", 20, ERROR_SUCCESS, 11, "MEDIA\\0001", 11},
        {"DRIVER", 11, ERROR_SUCCESS, 11, "MEDIA\\0001", 11},  // exactly, terminator counted
        {"driver", 10, ERROR_MORE_DATA, 11, nullptr, 0},
        {"LongValue", 20, ERROR_MORE_DATA, 21, nullptr, 0},  // 20 characters and the terminator
        {"Missing", 20, ERROR_FILE_NOT_FOUND, 20, nullptr, 0},
        {"", 20, ERROR_SUCCESS, 13, "default text", 13},
        {"Flags", 20, ERROR_SUCCESS, 4, "\x02\x01\x00\x00", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        unsigned char buffer[32];
        std::memset(buffer, 0x5A, sizeof buffer);
        DWORD size = c.size;
        EXPECT_EQ(reg.QueryValue(key, c.value, nullptr, buffer, &size), c.expected);
        EXPECT_EQ(size, c.sizeAfter);
        std::size_t copied = 0;
        if (c.data) {
            EXPECT_EQ(std::memcmp(buffer, c.data, c.dataLength), 0);
            copied = c.dataLength;
        }
        for (std::size_t i = copied; i < sizeof buffer; ++i)
            ASSERT_EQ(buffer[i], 0x5A) << i;
    }
    // A null name reads the default value; the type comes back when asked for; a null buffer asks the size.
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(reg.QueryValue(key, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 13u);
    EXPECT_EQ(reg.QueryValue(key, "Flags", &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(size, 4u);
}

TEST_F(RegistryTest, DeletionIsSeenThroughOpenHandles)
{
    Load(kPciTree);
    HKEY card = Open(HKEY_LOCAL_MACHINE, kCard);
    HKEY instance = Open(HKEY_LOCAL_MACHINE, kInstance);
    HKEY child = Open(instance, "Child");  // opened relative to an open handle
    char name[52];
    ASSERT_EQ(reg.EnumKey(card, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "BUS_00&DEV_0B&FUNC_00");

    ASSERT_EQ(reg.DeleteKey(HKEY_LOCAL_MACHINE, kInstance), ERROR_SUCCESS);
    EXPECT_TRUE(reg.Modified());
    // The open parent sees the shifted indexes at once.
    ASSERT_EQ(reg.EnumKey(card, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "BUS_00&DEV_0C&FUNC_00");
    EXPECT_EQ(reg.EnumKey(card, 1, name, sizeof name), ERROR_NO_MORE_ITEMS);
    // Handles to the deleted key and to keys below it fail cleanly.
    for (HKEY stale : {instance, child}) {
        DWORD size = 20;
        BYTE data[20];
        EXPECT_EQ(reg.EnumKey(stale, 0, name, sizeof name), ERROR_KEY_DELETED);
        EXPECT_EQ(reg.QueryValue(stale, "Driver", nullptr, data, &size), ERROR_KEY_DELETED);
        HKEY sub = nullptr;
        EXPECT_EQ(reg.OpenKey(stale, "", &sub), ERROR_KEY_DELETED);
        EXPECT_EQ(reg.DeleteKey(stale, "Child"), ERROR_KEY_DELETED);
        EXPECT_EQ(reg.CloseKey(stale), ERROR_SUCCESS);
        EXPECT_EQ(reg.CloseKey(stale), ERROR_INVALID_HANDLE);
    }
    HKEY reopened = nullptr;
    EXPECT_EQ(reg.OpenKey(HKEY_LOCAL_MACHINE, kInstance, &reopened), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(reg.KeyExists(HKEY_LOCAL_MACHINE, std::string(kInstance) + "\\Child"));

    // The deleting walk of the logic: index 0 again and again until none is left.
    ASSERT_EQ(reg.DeleteKey(HKEY_LOCAL_MACHINE, "Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_00000000\\BUS_00&DEV_0C&FUNC_00"),
              ERROR_SUCCESS);
    EXPECT_EQ(reg.EnumKey(card, 0, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(reg.CloseKey(card), ERROR_SUCCESS);
    EXPECT_EQ(reg.OpenHandles(), 0u);
}

TEST_F(RegistryTest, DeletingAMissingKeyChangesNothing)
{
    Load(kPciTree);
    const std::string before = SaveRegedit4(reg);
    for (const char* path : {"Enum\\PCI\\Missing", "Missing\\Deeper", "Enum\\PCI\\zeta\\x"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(reg.DeleteKey(HKEY_LOCAL_MACHINE, path), ERROR_FILE_NOT_FOUND);
    }
    EXPECT_FALSE(reg.Modified());
    EXPECT_EQ(SaveRegedit4(reg), before);
}

TEST_F(RegistryTest, RootIsNeverDeleted)
{
    Load(kPciTree);
    const std::string before = SaveRegedit4(reg);
    EXPECT_EQ(reg.DeleteKey(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(reg.DeleteKey(HKEY_LOCAL_MACHINE, nullptr), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(reg.Modified());
    EXPECT_EQ(SaveRegedit4(reg), before);
}

TEST_F(RegistryTest, HandlesAreDistinctFromRootsAndUnknownOnesAreRefused)
{
    Load(kPciTree);
    HKEY a = Open(HKEY_LOCAL_MACHINE, "Enum");
    HKEY b = Open(HKEY_LOCAL_MACHINE, "Enum");
    EXPECT_NE(a, b);
    for (HKEY root :
         {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CURRENT_CONFIG, HKEY_DYN_DATA}) {
        EXPECT_NE(a, root);
        EXPECT_NE(b, root);
    }
    HKEY pci = Open(a, "pci");
    EXPECT_EQ(Enumerate(pci), (std::vector<std::string> {"VEN_13F6&DEV_0111&SUBSYS_00000000", "zeta", "Alpha"}));
    EXPECT_EQ(reg.OpenHandles(), 3u);
    char name[20];
    HKEY bogus = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x7777));
    EXPECT_EQ(reg.EnumKey(bogus, 0, name, sizeof name), ERROR_INVALID_HANDLE);
    EXPECT_EQ(reg.CloseKey(bogus), ERROR_INVALID_HANDLE);
    HKEY out = nullptr;
    EXPECT_EQ(reg.OpenKey(bogus, "", &out), ERROR_INVALID_HANDLE);
    EXPECT_EQ(reg.OpenKey(HKEY_LOCAL_MACHINE, "Enum", nullptr), ERROR_INVALID_PARAMETER);
    // The roots themselves are handles that need no opening.
    ASSERT_EQ(reg.EnumKey(HKEY_LOCAL_MACHINE, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Enum");
    EXPECT_EQ(reg.EnumKey(HKEY_DYN_DATA, 0, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(reg.CloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST_F(RegistryTest, CurrentUserStandsForTheDefaultUserWhenTheFileHasNoneOfItsOwn)
{
    const std::string text = Lines({
        "REGEDIT4",
        "",
        "[HKEY_USERS\\.Default\\Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control\\C-Media Audio "
        "Mixer]",
        "\"Left\"=dword:00000010",
        "",
        "[HKEY_LOCAL_MACHINE\\Software]",
        "",
    });
    Load(text);
    const char* mixer = "Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control";
    HKEY volume = Open(HKEY_CURRENT_USER, mixer);
    char name[100];
    ASSERT_EQ(reg.EnumKey(volume, 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "C-Media Audio Mixer");
    ASSERT_EQ(reg.DeleteKey(HKEY_CURRENT_USER, (std::string(mixer) + "\\C-Media Audio Mixer").c_str()), ERROR_SUCCESS);
    EXPECT_EQ(reg.EnumKey(volume, 0, name, sizeof name), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(reg.SubkeyNames(HKEY_USERS, std::string(".DEFAULT\\") + mixer), std::vector<std::string> {});
    // Keys made through the mapped root land below HKEY_USERS; no HKEY_CURRENT_USER lines are written.
    ASSERT_NE(reg.CreateKey(HKEY_CURRENT_USER, "Software\\New"), emulated::kNoKey);
    EXPECT_TRUE(reg.KeyExists(HKEY_USERS, ".Default\\Software\\New"));
    const std::string saved = SaveRegedit4(reg);
    EXPECT_EQ(saved.find("HKEY_CURRENT_USER"), std::string::npos) << saved;
    EXPECT_NE(saved.find("[HKEY_USERS\\.Default\\Software\\New]\r\n"), std::string::npos) << saved;
}

TEST_F(RegistryTest, CurrentUserKeysOfTheFileWinOverTheDefaultUser)
{
    Load(Lines({
        "REGEDIT4",
        "",
        "[HKEY_USERS\\.DEFAULT\\Software\\Shared]",
        "",
        "[HKEY_CURRENT_USER\\Software\\Own]",
    }));
    EXPECT_TRUE(reg.KeyExists(HKEY_CURRENT_USER, "Software\\Own"));
    EXPECT_FALSE(reg.KeyExists(HKEY_CURRENT_USER, "Software\\Shared"));
}

TEST_F(RegistryTest, KeysMadeBelowAnEmptyUnmappedCurrentUserAreSavedUnderIt)
{
    Load(Lines({"REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\Software]"}));
    ASSERT_NE(reg.CreateKey(HKEY_CURRENT_USER, "Software\\Mixer"), emulated::kNoKey);
    EXPECT_EQ(SaveRegedit4(reg), Lines({
                                     "REGEDIT4",
                                     "",
                                     "[HKEY_LOCAL_MACHINE\\Software]",
                                     "",
                                     "[HKEY_CURRENT_USER\\Software]",
                                     "",
                                     "[HKEY_CURRENT_USER\\Software\\Mixer]",
                                     "",
                                 }));
}

TEST_F(RegistryTest, SetValueReplacesInPlaceKeepingTheStoredName)
{
    ASSERT_NE(reg.CreateKey(HKEY_LOCAL_MACHINE, "Software\\Test"), emulated::kNoKey);
    for (int i = 0; i < 40; ++i) {
        reg.SetValue(HKEY_LOCAL_MACHINE, "Software\\Test",
                     {"Name" + std::to_string(i), REG_SZ, "v"});
    }
    for (int i : {3, 30}) {
        SCOPED_TRACE(i);
        reg.SetValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\test",
                     {"NAME" + std::to_string(i), REG_DWORD, std::string(4, '\x07')});
        const emulated::Value* value = reg.FindValue(HKEY_LOCAL_MACHINE, "software\\test", "name" + std::to_string(i));
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->name, "Name" + std::to_string(i));
        EXPECT_EQ(value->type, static_cast<DWORD>(REG_DWORD));
    }
    EXPECT_FALSE(reg.SetValue(HKEY_LOCAL_MACHINE, "Software\\Missing", {"x", REG_SZ, std::string(1, '\0')}));
    const std::string saved = SaveRegedit4(reg);
    EXPECT_NE(saved.find("\"Name2\"=\"v\"\r\n\"Name3\"=dword:07070707\r\n\"Name4\"=\"v\"\r\n"), std::string::npos);
    EXPECT_NE(saved.find("\"Name29\"=\"v\"\r\n\"Name30\"=dword:07070707\r\n\"Name31\"=\"v\"\r\n"), std::string::npos);
}

}  // namespace
