// REGEDIT4 files: small texts are read as regedit imports them and the registry checked; lines regedit
// skips are skipped and reported; files that are not REGEDIT4 are refused; a removal cuts exactly the
// removed keys' sections out of the file; the writer's form reads back to the same registry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registry/regedit4.h"
#include "registry/registry.h"

namespace {

using emulated::LoadRegedit4;
using emulated::Registry;
using emulated::Value;

std::string Join(std::initializer_list<const char*> lines, const char* end)
{
    std::string text;
    for (const char* line : lines) {
        text += line;
        text += end;
    }
    return text;
}
std::string Crlf(std::initializer_list<const char*> lines)
{
    return Join(lines, "\r\n");
}
std::string Lf(std::initializer_list<const char*> lines)
{
    return Join(lines, "\n");
}

class Regedit4Test : public ::testing::Test {
protected:
    emulated::LoadResult Load(const std::string& text)
    {
        emulated::LoadResult result = LoadRegedit4(text, reg);
        EXPECT_TRUE(result.ok) << result.message;
        return result;
    }

    void ExpectValue(const char* path, const char* name, DWORD type, const std::string& data)
    {
        SCOPED_TRACE(testing::Message() << path << " / " << name);
        const Value* value = reg.FindValue(HKEY_LOCAL_MACHINE, path, name);
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->type, type);
        EXPECT_EQ(value->data, data);
    }

    std::vector<unsigned> SkippedLines(const emulated::LoadResult& result)
    {
        std::vector<unsigned> lines;
        for (const auto& skipped : result.skipped)
            lines.push_back(skipped.line);
        return lines;
    }

    Registry reg;
};

TEST_F(Regedit4Test, ReadsValuesAsRegeditImportsThem)
{
    emulated::LoadResult result = Load(Crlf({
        "REGEDIT4",
        "[HKEY_LOCAL_MACHINE\\A]",
        "@=\"default\"",
        "\"Path\"=\"C:\\\\WIN \\\"q\\\" \\q\"   ; a comment after a value",
        "\"Lines\"=\"a\\nb\\rc\"",
        "\"Num\"=dword:   0000ABcd ; blanks after the colon",
        "\"Bin\"=hex: 1, 2,ff,",
        "\"Exp\"=hex(2):25,41",
        "\"Multi\"=hex(7):41,00,42,00,00,00",
        "\"Long\"=hex:01,02,\\",
        "",
        "; a comment inside the list",
        "  03,04",
        "\"Gone\"=\"x\"",
        "\"gone\"=-",
        "[HKEY_LOCAL_MACHINE\\A]",
        "\"PATH\"=\"replaced\"",
    }));
    EXPECT_EQ(result.skippedCount, 0u);
    ExpectValue("A", "", REG_SZ, "default");  // text is stored without a terminator
    ExpectValue("A", "Path", REG_SZ, "replaced");
    EXPECT_EQ(reg.ValuesOf(HKEY_LOCAL_MACHINE, "A")[1].name, "Path");  // first name and place kept
    ExpectValue("A", "Lines", REG_SZ, "a\nb\rc");
    ExpectValue("A", "Num", REG_DWORD, std::string("\xCD\xAB\x00\x00", 4));
    ExpectValue("A", "Bin", REG_BINARY, "\x01\x02\xFF");
    ExpectValue("A", "Exp", REG_EXPAND_SZ, "%A");  // hex data as given: nothing added
    ExpectValue("A", "Multi", REG_MULTI_SZ, std::string("A\0B\0\0\0", 6));
    ExpectValue("A", "Long", REG_BINARY, "\x01\x02\x03\x04");
    EXPECT_EQ(reg.FindValue(HKEY_LOCAL_MACHINE, "A", "Gone"), nullptr);

    Registry path;
    LoadRegedit4(Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"P\"=\"C:\\WINDOWS\\n\""}), path);
    EXPECT_EQ(path.FindValue(HKEY_LOCAL_MACHINE, "A", "P")->data, "C:WINDOWS\n");
}

TEST_F(Regedit4Test, SkipsWhatRegeditSkipsAndNamesTheLines)
{
    emulated::LoadResult result = Load(Lf({
        "REGEDIT4",                  // 1
        "\"Early\"=\"no key yet\"",  // 2 skipped
        "[HKEY_LOCAL_MACHINE\\A]",   // 3
        "\"Bad\"=dword:zz",          // 4 skipped
        "\"Upper\"=DWORD:1",         // 5 skipped: tags are lower case
        "\"Zero\"=\"a\\0b\"",        // 6 skipped
        "\"Nine\"=dword:123456789",  // 7 skipped
        "junk",                      // 8 skipped
        "[HKEY_LOCAL_MACHINE\\B",    // 9 skipped: values still go to A
        "\"AfterBadKey\"=\"to A\"",  // 10
        "\"Cut\"=hex:01,\\",         // 11
        "[HKEY_LOCAL_MACHINE\\C]",   // 12 ends the list: value and line skipped
        "\"Also\"=\"to A\"",         // 13
        "[NOWHERE\\D]",              // 14 skipped
        "\"Lost\"=\"x\"",            // 15 skipped
        "# a comment",               // 16
    }));
    EXPECT_EQ(SkippedLines(result), (std::vector<unsigned> {2, 4, 5, 6, 7, 8, 9, 12, 14, 15}));
    EXPECT_EQ(result.skippedCount, 10u);
    EXPECT_EQ(reg.SubkeyNames(HKEY_LOCAL_MACHINE, ""), (std::vector<std::string> {"A"}));
    std::vector<std::string> names;
    for (const Value& value : reg.ValuesOf(HKEY_LOCAL_MACHINE, "A"))
        names.push_back(value.name);
    EXPECT_EQ(names, (std::vector<std::string> {"AfterBadKey", "Also"}));
}

TEST_F(Regedit4Test, KeyAndDeletionLinesAsTheRegistryTakesThem)
{
    Load(Crlf({
        "  REGEDIT4",
        "[hkey_local_machine\\\\Top\\\\Sub\\]  trailing text",
        "\"v\"=\"1\"",
        "[HKEY_LOCAL_MACHINE\\Top\\Sub\\Deep]",
        "[HKEY_LOCAL_MACHINE\\Gone\\Child]",
        "\"v\"=\"old\"",
        "[-HKEY_LOCAL_MACHINE\\Gone]",
        "\"ignored\"=\"no key\"",
        "[HKEY_LOCAL_MACHINE\\Gone]",
        "\"v\"=\"new\"",
        "[-HKEY_LOCAL_MACHINE]",
    }));
    ExpectValue("Top\\Sub", "v", REG_SZ, "1");
    EXPECT_TRUE(reg.KeyExists(HKEY_LOCAL_MACHINE, "TOP\\SUB\\DEEP"));
    EXPECT_FALSE(reg.KeyExists(HKEY_LOCAL_MACHINE, "Gone\\Child"));
    EXPECT_EQ(reg.ValuesOf(HKEY_LOCAL_MACHINE, "Gone").size(), 1u);
    ExpectValue("Gone", "v", REG_SZ, "new");
}

TEST_F(Regedit4Test, RefusesFilesThatAreNotRegedit4)
{
    const struct {
        std::string text;
        const char* says;
    } cases[] = {
        {"", "is empty"},
        {"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n", "Version 5.00"},
        {std::string("\xFF\xFER\0E\0", 6), "UTF-16"},
        {"CREG\x01\x00", "Windows 9x registry file"},
        {"REGEDIT4 \r\n", "header line"},
        {"\r\nREGEDIT4\r\n", "does not begin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        Registry target;
        emulated::LoadResult result = LoadRegedit4(c.text, target);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.line, 1u);
        EXPECT_NE(result.message.find(c.says), std::string::npos) << result.message;
    }
}

// After removing keys, the file is its old bytes less the removed keys' sections.
TEST_F(Regedit4Test, RemovalCutsExactlyTheRemovedSections)
{
    const struct {
        const char* name;
        std::string before;
        std::vector<const char*> removed;
        std::string after;
    } cases[] = {
        {"a key with subkeys, CRLF",
         Crlf({"REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\Keep]", "\"a\"=\"1\"", "", "[HKEY_LOCAL_MACHINE\\Card]",
               "\"b\"=hex:01,\\", "  02", "", "[HKEY_LOCAL_MACHINE\\Card\\Sub]", "", "[HKEY_LOCAL_MACHINE\\Keep2]",
               ""}),
         {"Card"},
         Crlf({"REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\Keep]", "\"a\"=\"1\"", "", "[HKEY_LOCAL_MACHINE\\Keep2]", ""})},
        {"a key named twice, a subkey before its parent, LF",
         Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\Card\\Sub]", "\"x\"=\"1\"", "[HKEY_LOCAL_MACHINE\\Keep]",
             "[hkey_local_machine\\CARD]", "\"y\"=\"2\"", "[HKEY_LOCAL_MACHINE\\Keep\\A]", "[HKEY_LOCAL_MACHINE\\Card]",
             "\"z\"=\"3\""}),
         {"Card"},
         Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\Keep]", "[HKEY_LOCAL_MACHINE\\Keep\\A]"})},
        {"comments above the next kept key line stay, those inside go",
         Crlf({"REGEDIT4", "; export", "[HKEY_LOCAL_MACHINE\\Card]", "; inside", "\"b\"=\"1\"", "", "; far", "",
               "; about Keep", "# and more", "[HKEY_LOCAL_MACHINE\\Keep]", "; about Card2",
               "[HKEY_LOCAL_MACHINE\\Card2]", "; end"}),
         {"Card", "Card2"},
         Crlf({"REGEDIT4", "; export", "; about Keep", "# and more", "[HKEY_LOCAL_MACHINE\\Keep]", "; about Card2",
               "; end"})},
        {"the last key without a final line end, and a malformed key line inside a section",
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Keep]\n[HKEY_LOCAL_MACHINE\\Card]\n[HKEY_LOCAL_MACHINE\\Bad\n\"v\"=\"1\"",
         {"Card"},
         "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Keep]\n"},
        {"key lines below the removed key that open nothing still go: importing them would make it again",
         Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\Card\\Gone]", "[-HKEY_LOCAL_MACHINE\\Card\\Gone]",
             ("[HKEY_LOCAL_MACHINE\\Card\\" + std::string(300, 'x') + "]").c_str(), "[HKEY_LOCAL_MACHINE\\Keep]"}),
         {"Card"},
         Lf({"REGEDIT4", "[-HKEY_LOCAL_MACHINE\\Card\\Gone]", "[HKEY_LOCAL_MACHINE\\Keep]"})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Registry target;
        ASSERT_TRUE(LoadRegedit4(c.before, target).ok);
        EXPECT_EQ(emulated::EditedRegedit4(target), c.before);
        for (const char* path : c.removed)
            EXPECT_EQ(target.DeleteKey(HKEY_LOCAL_MACHINE, path), ERROR_SUCCESS);
        EXPECT_EQ(emulated::EditedRegedit4(target), c.after);
    }
}

TEST_F(Regedit4Test, RegeditFormReadsBackToTheSameRegistry)
{
    const std::string text = Crlf({
        "REGEDIT4",
        "",
        "[HKEY_LOCAL_MACHINE\\A]",
        "@=\"d\"",
        "\"S\"=\"q\\\"\\\\\"",
        "\"N\"=dword:0000002a",
        "\"B\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\",
        "  17,18,19,1a",
        "\"E\"=hex(2):25,00",
        "",
        "[HKEY_LOCAL_MACHINE\\A\\B]",
        "",
        "[HKEY_USERS\\.DEFAULT]",
        "",
        "[HKEY_USERS\\.DEFAULT\\C]",
        "",
    });
    Load(text);
    EXPECT_EQ(emulated::SaveRegedit4(reg), text);

    // A line end in a value name goes out escaped, so that the name stays on its line.
    reg.SetValue(HKEY_LOCAL_MACHINE, "A", {"Line\r\nName", REG_DWORD, std::string(4, '\x01')});
    const std::string saved = emulated::SaveRegedit4(reg);
    EXPECT_NE(saved.find("\"Line\\r\\nName\"=dword:01010101\r\n"), std::string::npos) << saved;
    Registry reread;
    ASSERT_TRUE(LoadRegedit4(saved, reread).ok);
    ASSERT_NE(reread.FindValue(HKEY_LOCAL_MACHINE, "A", "Line\r\nName"), nullptr) << saved;
}

// Every value goes out as the bytes it holds, and reads back to exactly them: text in quotes only when it
// has no zero byte and no line end (a quoted text is stored without a terminator), anything else as hex.
// The lines are written out by hand from the REGEDIT4 form.
TEST_F(Regedit4Test, EveryValueIsWrittenAsItsStoredBytes)
{
    const struct {
        Value value;
        const char* line;
    } cases[] = {
        {{"Text", REG_SZ, "ab"}, "\"Text\"=\"ab\""},
        {{"Empty", REG_SZ, ""}, "\"Empty\"=\"\""},
        {{"Lines", REG_SZ, "a\rb\nc"}, "\"Lines\"=hex(1):61,0d,62,0a,63"},
        {{"Ended", REG_SZ, std::string("ab\0", 3)}, "\"Ended\"=hex(1):61,62,00"},
        {{"Zero", REG_SZ, std::string(1, '\0')}, "\"Zero\"=hex(1):00"},
        {{"Inner", REG_SZ, std::string("a\0b", 3)}, "\"Inner\"=hex(1):61,00,62"},
        {{"LinesEnded", REG_SZ, std::string("a\r\n\0", 4)}, "\"LinesEnded\"=hex(1):61,0d,0a,00"},
        {{"Expand", REG_EXPAND_SZ, std::string("%P%\0", 4)}, "\"Expand\"=hex(2):25,50,25,00"},
        {{"ExpandOpen", REG_EXPAND_SZ, "%P%"}, "\"ExpandOpen\"=hex(2):25,50,25"},
        {{"ExpandEmpty", REG_EXPAND_SZ, ""}, "\"ExpandEmpty\"=hex(2):"},
        {{"Multi", REG_MULTI_SZ, std::string("a\0\0", 3)}, "\"Multi\"=hex(7):61,00,00"},
        {{"Dword", REG_DWORD, std::string("\x2a\0\0\0", 4)}, "\"Dword\"=dword:0000002a"},
        {{"ShortDword", REG_DWORD, std::string("\x2a\0", 2)}, "\"ShortDword\"=hex(4):2a,00"},
        {{"Binary", REG_BINARY, std::string("\0\xff", 2)}, "\"Binary\"=hex:00,ff"},
        {{"None", REG_NONE, ""}, "\"None\"=hex(0):"},
        {{"Big", 0x100, "\x01"}, "\"Big\"=hex(100):01"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.name);
        std::string line;
        emulated::AppendRegedit4Value(line, c.value);
        EXPECT_EQ(line, std::string(c.line) + "\r\n");
        Registry reread;
        ASSERT_TRUE(LoadRegedit4("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n" + line, reread).ok);
        const Value* read = reread.FindValue(HKEY_LOCAL_MACHINE, "A", c.value.name);
        ASSERT_NE(read, nullptr);
        EXPECT_EQ(*read, c.value);
    }
}

}  // namespace
