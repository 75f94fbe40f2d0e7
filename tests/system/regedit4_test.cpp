// REGEDIT4 files: small texts are read and the registry checked; malformed texts are refused with their line;
// texts in the form regedit writes save back to the same bytes, and other valid texts keep their content.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "system/emulated/registry.h"

namespace {

using emulated::LoadRegedit4;
using emulated::Registry;
using emulated::SaveRegedit4;
using emulated::Value;
using emulated::ValueForm;

std::string Join(std::initializer_list<const char*> lines, const char* end) {
    std::string text;
    for (const char* line : lines) {
        text += line;
        text += end;
    }
    return text;
}
std::string Crlf(std::initializer_list<const char*> lines) { return Join(lines, "\r\n"); }
std::string Lf(std::initializer_list<const char*> lines) { return Join(lines, "\n"); }

class Regedit4Test : public ::testing::Test {
protected:
    void Load(const std::string& text) {
        emulated::LoadResult result = LoadRegedit4(text, reg);
        ASSERT_TRUE(result.ok) << "line " << result.line << ": " << result.message;
    }

    // The value, which must exist.
    const Value& Get(const char* path, const char* name) {
        const Value* value = reg.FindValue(HKEY_LOCAL_MACHINE, path, name);
        EXPECT_NE(value, nullptr) << path << " " << name;
        static const Value kMissing;
        return value ? *value : kMissing;
    }

    void ExpectValue(const char* path, const char* name, DWORD type, const std::string& data, ValueForm form) {
        SCOPED_TRACE(testing::Message() << path << " / " << name);
        const Value& value = Get(path, name);
        EXPECT_EQ(value.type, type);
        EXPECT_EQ(value.data, data);
        EXPECT_EQ(value.form, form);
    }

    Registry reg;
};

std::string Sz(const std::string& text) { return text + std::string(1, '\0'); }

TEST_F(Regedit4Test, ReadsEveryValueForm) {
    Load(Crlf({
        "REGEDIT4",
        "",
        "[HKEY_LOCAL_MACHINE\\Software\\Test]",
        "@=\"the default\"",
        "\"Text\"=\"plain\"",
        "\"Empty\"=\"\"",
        "\"Number\"=dword:0000abCD",
        "\"Short\"=dword:7",
        "\"Bin\"=hex:00,ff,7f",
        "\"NoBytes\"=hex:",
        "\"Expand\"=hex(2):25,00",
        "\"Odd\"=hex(100abc):01",
        "\"Loose\" = hex: 1 , a,  0F ",
    }));
    const char* key = "Software\\Test";
    ExpectValue(key, "", REG_SZ, Sz("the default"), ValueForm::String);
    ExpectValue(key, "Text", REG_SZ, Sz("plain"), ValueForm::String);
    ExpectValue(key, "Empty", REG_SZ, Sz(""), ValueForm::String);
    ExpectValue(key, "Number", REG_DWORD, std::string("\xCD\xAB\x00\x00", 4), ValueForm::Dword);
    ExpectValue(key, "Short", REG_DWORD, std::string("\x07\x00\x00\x00", 4), ValueForm::Dword);
    ExpectValue(key, "Bin", REG_BINARY, std::string("\x00\xFF\x7F", 3), ValueForm::Hex);
    ExpectValue(key, "NoBytes", REG_BINARY, "", ValueForm::Hex);
    ExpectValue(key, "Expand", REG_EXPAND_SZ, std::string("%\0", 2), ValueForm::HexTyped);
    ExpectValue(key, "Odd", 0x100abc, "\x01", ValueForm::HexTyped);
    ExpectValue(key, "Loose", REG_BINARY, "\x01\x0a\x0f", ValueForm::Hex);
}

TEST_F(Regedit4Test, HexListsContinueOverLinesEndingInBackslash) {
    Load(Crlf({
        "REGEDIT4",
        "",
        "[HKEY_LOCAL_MACHINE\\Software\\Test]",
        "\"Bin\"=hex:01,02,\\",
        "  03,04,\\",
        "\t05\\",
        "06",
        "\"Multi\"=hex(7):41,00,\\",
        "      42,00,00",
        "\"After\"=\"still read\"",
    }));
    ExpectValue("Software\\Test", "Bin", REG_BINARY, "\x01\x02\x03\x04\x05\x06", ValueForm::Hex);
    ExpectValue("Software\\Test", "Multi", REG_MULTI_SZ, std::string("A\0B\0\0", 5), ValueForm::HexTyped);
    ExpectValue("Software\\Test", "After", REG_SZ, Sz("still read"), ValueForm::String);
}

TEST_F(Regedit4Test, EscapesInNamesAndTexts) {
    Load(Crlf({
        "REGEDIT4",
        "",
        "[HKEY_LOCAL_MACHINE\\Software\\Test]",
        "\"Path\"=\"C:\\\\WINDOWS\\\\INF\\\\\"",
        "\"Say \\\"hi\\\"\"=\"\\\"quoted\\\"\"",
        "\"Back\\\\slash\"=\"x\"",
        // A backslash before any other byte is kept together with that byte.
        "\"Loose\"=\"C:\\Windows\\n\"",
    }));
    const char* key = "Software\\Test";
    ExpectValue(key, "Path", REG_SZ, Sz("C:\\WINDOWS\\INF\\"), ValueForm::String);
    ExpectValue(key, "Say \"hi\"", REG_SZ, Sz("\"quoted\""), ValueForm::String);
    ExpectValue(key, "Back\\slash", REG_SZ, Sz("x"), ValueForm::String);
    ExpectValue(key, "Loose", REG_SZ, Sz("C:\\Windows\\n"), ValueForm::String);
}

TEST_F(Regedit4Test, CommentsAndBlankLinesAreDropped) {
    Load(Lf({
        "REGEDIT4",
        "; a comment right after the header",
        "[HKEY_LOCAL_MACHINE\\Software\\Test]",
        "   ; an indented comment",
        "\"A\"=\"1\"",
        "",
        "   \t",
        ";\"B\"=\"commented out\"",
        "\"C\"=\"3\"",
    }));
    EXPECT_EQ(reg.FindValue(HKEY_LOCAL_MACHINE, "Software\\Test", "B"), nullptr);
    const std::string saved = SaveRegedit4(reg);
    EXPECT_EQ(saved, Crlf({"REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\Software]", "", "[HKEY_LOCAL_MACHINE\\Software\\Test]",
                           "\"A\"=\"1\"", "\"C\"=\"3\"", ""}));
}

TEST_F(Regedit4Test, MissingFinalNewlineStillReadsTheLastLine) {
    struct Case {
        const char* name;
        std::string text;
        std::string data;
    };
    const Case cases[] = {
        {"string", "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\K]\r\n\"V\"=\"last\"", Sz("last")},
        {"hex", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=hex:01,\\\n  02", "\x01\x02"},
        {"dword", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"V\"=dword:00000001", std::string("\x01\0\0\0", 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Registry fresh;
        emulated::LoadResult result = LoadRegedit4(c.text, fresh);
        ASSERT_TRUE(result.ok) << result.message;
        const Value* value = fresh.FindValue(HKEY_LOCAL_MACHINE, "K", "V");
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->data, c.data);
    }
    // A key line as the very last bytes makes the key.
    Load("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Last]");
    EXPECT_TRUE(reg.KeyExists(HKEY_LOCAL_MACHINE, "Last"));
}

TEST_F(Regedit4Test, CrlfAndLfReadAlike) {
    const std::initializer_list<const char*> lines = {
        "REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\A]", "\"S\"=\"text\"", "\"B\"=hex:01,\\", "  02", "[HKEY_LOCAL_MACHINE\\A\\B]",
    };
    Registry withLf;
    ASSERT_TRUE(LoadRegedit4(Lf(lines), withLf).ok);
    Load(Crlf(lines));
    // No carriage return leaks into names or data.
    ExpectValue("A", "S", REG_SZ, Sz("text"), ValueForm::String);
    ExpectValue("A", "B", REG_BINARY, "\x01\x02", ValueForm::Hex);
    EXPECT_EQ(reg.SubkeyNames(HKEY_LOCAL_MACHINE, "A"), std::vector<std::string>{"B"});
    EXPECT_EQ(SaveRegedit4(withLf), SaveRegedit4(reg));
}

TEST_F(Regedit4Test, ParentsOfANamedKeyExistWithoutLinesOfTheirOwn) {
    Load(Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111\\Inst]", "\"Driver\"=\"MEDIA\\\\0001\""}));
    EXPECT_TRUE(reg.KeyExists(HKEY_LOCAL_MACHINE, "Enum"));
    EXPECT_TRUE(reg.KeyExists(HKEY_LOCAL_MACHINE, "Enum\\PCI"));
    EXPECT_EQ(reg.SubkeyNames(HKEY_LOCAL_MACHINE, "Enum\\PCI"), std::vector<std::string>{"VEN_13F6&DEV_0111"});
    HKEY key = nullptr;
    EXPECT_EQ(reg.OpenKey(HKEY_LOCAL_MACHINE, "Enum\\PCI", &key), ERROR_SUCCESS);
}

TEST_F(Regedit4Test, RepeatedKeyLinesMergeAndARepeatedValueReplacesInPlace) {
    Load(Crlf({
        "REGEDIT4",
        "",
        "[HKEY_LOCAL_MACHINE\\Software\\Test]",
        "\"First\"=\"1\"",
        "\"Second\"=\"2\"",
        "",
        "[HKEY_LOCAL_MACHINE\\Software\\Other]",
        "",
        "[hkey_local_machine\\SOFTWARE\\test]",
        "\"FIRST\"=dword:00000001",
        "\"Third\"=\"3\"",
    }));
    EXPECT_EQ(reg.SubkeyNames(HKEY_LOCAL_MACHINE, "Software"), (std::vector<std::string>{"Test", "Other"}));
    EXPECT_EQ(SaveRegedit4(reg), Crlf({
                                     "REGEDIT4",
                                     "",
                                     "[HKEY_LOCAL_MACHINE\\Software]",
                                     "",
                                     "[HKEY_LOCAL_MACHINE\\Software\\Test]",
                                     "\"First\"=dword:00000001",
                                     "\"Second\"=\"2\"",
                                     "\"Third\"=\"3\"",
                                     "",
                                     "[HKEY_LOCAL_MACHINE\\Software\\Other]",
                                     "",
                                 }));
}

TEST_F(Regedit4Test, MalformedFilesAreRefusedWithTheirLineAndLoadNothing) {
    struct Case {
        const char* name;
        std::string text;
        unsigned line;
        const char* message;
    };
    const Case cases[] = {
        {"empty file", "", 1, "missing REGEDIT4 header"},
        {"other header", Lf({"Windows Registry Editor Version 5.00", "[HKEY_LOCAL_MACHINE\\A]"}), 1,
         "first line is not REGEDIT4"},
        {"header not first", Lf({"", "REGEDIT4"}), 1, "first line is not REGEDIT4"},
        {"value before key", Lf({"REGEDIT4", "", "\"A\"=\"1\""}), 3, "value line before any key line"},
        {"unknown root", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "[HKEY_NOWHERE\\A]"}), 3, "unknown root key"},
        {"root prefix only", Lf({"REGEDIT4", "[HKLM\\A]"}), 2, "unknown root key"},
        {"key removal", Lf({"REGEDIT4", "[-HKEY_LOCAL_MACHINE\\A]"}), 2, "key removal line is not allowed"},
        {"no closing bracket", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A"}), 2, "key line without closing bracket"},
        {"junk after key", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A] x"}), 2, "junk after the key line"},
        {"empty key name", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A\\\\B]"}), 2, "empty key name in the key path"},
        {"trailing backslash", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A\\]"}), 2, "empty key name in the key path"},
        {"value removal", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=-"}), 3, "value removal line is not allowed"},
        {"unterminated name", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V=\"x"}), 3, "missing = after the value name"},
        {"name never closed", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\\\"=1"}), 3, "unterminated value name"},
        {"unterminated string", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=\"abc"}), 3, "unterminated string"},
        {"escaped last quote", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=\"abc\\\""}), 3, "unterminated string"},
        {"missing =", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\" \"x\""}), 3, "missing = after the value name"},
        {"default without =", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "@"}), 3, "missing = after the value name"},
        {"junk after string", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=\"x\" y"}), 3, "junk after the value"},
        {"junk after dword", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=dword:12 x"}), 3, "junk after the value"},
        {"dword too long", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=dword:123456789"}), 3, "bad dword value"},
        {"dword not hex", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=dword:xyz"}), 3, "bad dword value"},
        {"bad hex byte", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=hex:01,zz"}), 3, "bad hex data"},
        {"three digits", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=hex:012"}), 3, "bad hex data"},
        {"double comma", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=hex:01,,02"}), 3, "bad hex data"},
        {"dangling comma", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=hex:01,"}), 3, "bad hex data"},
        {"bad continuation", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=hex:01,\\", "  02,x3"}), 4, "bad hex data"},
        {"blank continuation", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=hex:01,\\", "", "[HKEY_LOCAL_MACHINE\\B]"}),
         4, "empty line inside a continued hex value"},
        {"continued past end", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=hex:01,\\"}), 3,
         "hex value continued past the end of the file"},
        {"bad hex type", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=hex(x):01"}), 3, "bad hex value type"},
        {"hex type unclosed", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=hex(2:01"}), 3, "bad hex value type"},
        {"unknown type", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "\"V\"=qword:01"}), 3, "unknown value type"},
        {"bare word", Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\A]", "Driver=MEDIA"}), 3, "unrecognised line"},
    };
    const std::string before = Crlf({"REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\Kept]", "\"V\"=\"1\"", ""});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Registry target;
        ASSERT_TRUE(LoadRegedit4(before, target).ok);
        emulated::LoadResult result = LoadRegedit4(c.text, target);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.line, c.line);
        EXPECT_EQ(result.message, c.message);
        // The registry is as it was: nothing of the refused file, everything it held before.
        EXPECT_EQ(SaveRegedit4(target), before);
        EXPECT_FALSE(target.KeyExists(HKEY_LOCAL_MACHINE, "A"));
    }
}

TEST_F(Regedit4Test, LoadingAgainReplacesTheTreeAndRetiresOpenHandles) {
    Load(Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\Old\\Sub]"}));
    HKEY old = nullptr;
    ASSERT_EQ(reg.OpenKey(HKEY_LOCAL_MACHINE, "Old", &old), ERROR_SUCCESS);
    Load(Lf({"REGEDIT4", "[HKEY_LOCAL_MACHINE\\New]"}));
    char name[20];
    EXPECT_EQ(reg.EnumKey(old, 0, name, sizeof name), ERROR_KEY_DELETED);
    EXPECT_FALSE(reg.KeyExists(HKEY_LOCAL_MACHINE, "Old"));
    EXPECT_EQ(reg.SubkeyNames(HKEY_LOCAL_MACHINE, ""), std::vector<std::string>{"New"});
    EXPECT_EQ(reg.CloseKey(old), ERROR_SUCCESS);
}

// A text in the form regedit writes, with every kind of value.
const std::string kRegeditForm = Crlf({
    "REGEDIT4",
    "",
    "[HKEY_LOCAL_MACHINE]",
    "",
    "[HKEY_LOCAL_MACHINE\\Enum]",
    "",
    "[HKEY_LOCAL_MACHINE\\Enum\\PCI]",
    "",
    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_00000000&REV_10]",
    "",
    "[HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_00000000&REV_10\\BUS_00&DEV_0B&FUNC_00]",
    "@=\"C-Media CMI8738 \\\"PCI\\\" Audio\"",
    "\"Driver\"=\"MEDIA\\\\0001\"",
    "\"Mfg\"=\"Soci\xE9t\xE9 \xAB" "C-Media\xBB\"",
    "\"ConfigFlags\"=hex:00,00,00,00",
    "\"Capabilities\"=dword:0000ab0c",
    "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\",
    "  17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f,\\",
    "  30,31,32,33,34,35,36,37,38,39,3a,3b",
    "\"Multi\"=hex(7):46,69,72,73,74,00,53,65,63,6f,6e,64,20,6c,69,6e,65,00,43,61,66,\\",
    "  e9,20,61,75,20,6c,61,69,74,00,00",
    "\"AsHex1\"=hex(1):41,00",
    "",
    "[HKEY_LOCAL_MACHINE\\Software]",
    "",
    "[HKEY_USERS]",
    "",
    "[HKEY_USERS\\.Default]",
    "",
    "[HKEY_USERS\\.Default\\Software]",
    "\"Caf\xE9\"=\"cr\xE8me\"",
    "",
    "[HKEY_CLASSES_ROOT]",
    "@=\"root value\"",
    "",
    "[HKEY_CLASSES_ROOT\\.wav]",
    "@=\"SoundRec\"",
    "",
});

TEST_F(Regedit4Test, RegeditFormSavesBackByteForByte) {
    Load(kRegeditForm);
    EXPECT_EQ(SaveRegedit4(reg), kRegeditForm);
    const char* instance = "Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_00000000&REV_10\\BUS_00&DEV_0B&FUNC_00";
    ExpectValue(instance, "Mfg", REG_SZ, Sz("Soci\xE9t\xE9 \xAB" "C-Media\xBB"), ValueForm::String);
    ExpectValue(instance, "", REG_SZ, Sz("C-Media CMI8738 \"PCI\" Audio"), ValueForm::String);
    ExpectValue(instance, "AsHex1", REG_SZ, std::string("A\0", 2), ValueForm::HexTyped);
    EXPECT_EQ(Get(instance, "Bin").data.size(), 60u);
    EXPECT_TRUE(reg.KeyExists(HKEY_CURRENT_USER, "Software"));
}

TEST_F(Regedit4Test, RootsWithoutLinesOrValuesGetNoLine) {
    Load(Lf({"REGEDIT4", "[HKEY_DYN_DATA\\PerfStats]", "[HKEY_CURRENT_CONFIG]", "[HKEY_LOCAL_MACHINE\\A]"}));
    EXPECT_EQ(SaveRegedit4(reg), Crlf({"REGEDIT4", "", "[HKEY_DYN_DATA\\PerfStats]", "", "[HKEY_CURRENT_CONFIG]", "",
                                      "[HKEY_LOCAL_MACHINE\\A]", ""}));
    // A root that loses all its keys disappears from the file; one with a line of its own stays.
    ASSERT_EQ(reg.DeleteKey(HKEY_DYN_DATA, "PerfStats"), ERROR_SUCCESS);
    ASSERT_EQ(reg.DeleteKey(HKEY_LOCAL_MACHINE, "A"), ERROR_SUCCESS);
    EXPECT_EQ(SaveRegedit4(reg), Crlf({"REGEDIT4", "", "[HKEY_CURRENT_CONFIG]", ""}));
}

TEST_F(Regedit4Test, HexLinesBreakAtSeventySevenCharacters) {
    struct Case {
        const char* name;
        std::size_t bytes;
        std::vector<std::size_t> lineLengths;  // without the line end
    };
    // "N"=hex: is 8 characters: 23 bytes make 77, so the first line ends after 23 bytes with a backslash.
    const Case cases[] = {
        {"one line", 23, {76}},
        {"just breaks", 24, {78, 4}},
        {"full second line", 48, {78, 76}},  // 25 bytes on a continuation line
        {"third line", 49, {78, 78, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Registry fresh;
        emulated::Key* key = fresh.CreateKey(HKEY_LOCAL_MACHINE, "K");
        ASSERT_NE(key, nullptr);
        Registry::SetValue(*key, {"N", REG_BINARY, std::string(c.bytes, '\x5a'), ValueForm::Hex});
        std::string saved = SaveRegedit4(fresh);
        const std::string head = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\K]\r\n";
        ASSERT_EQ(saved.compare(0, head.size(), head), 0);
        saved = saved.substr(head.size(), saved.size() - head.size() - 2);  // the value lines only
        std::vector<std::size_t> lengths;
        for (std::size_t pos = 0; pos < saved.size();) {
            std::size_t end = saved.find("\r\n", pos);
            lengths.push_back(end - pos);
            pos = end + 2;
        }
        EXPECT_EQ(lengths, c.lineLengths) << saved;
        Registry reread;
        ASSERT_TRUE(LoadRegedit4(SaveRegedit4(fresh), reread).ok);
        EXPECT_EQ(reread.FindValue(HKEY_LOCAL_MACHINE, "K", "N")->data, std::string(c.bytes, '\x5a'));
    }
}

TEST_F(Regedit4Test, ValuesThatNoLongerFitTheirFormAreSavedAsTypedHex) {
    emulated::Key* key = reg.CreateKey(HKEY_LOCAL_MACHINE, "K");
    ASSERT_NE(key, nullptr);
    Registry::SetValue(*key, {"NoTerminator", REG_SZ, "ab", ValueForm::String});
    Registry::SetValue(*key, {"LineBreak", REG_SZ, Sz("a\nb"), ValueForm::String});
    Registry::SetValue(*key, {"ShortDword", REG_DWORD, "\x01", ValueForm::Dword});
    Registry::SetValue(*key, {"TypedBinary", REG_NONE, "\x01", ValueForm::Hex});
    EXPECT_EQ(SaveRegedit4(reg), Crlf({
                                     "REGEDIT4",
                                     "",
                                     "[HKEY_LOCAL_MACHINE\\K]",
                                     "\"NoTerminator\"=hex(1):61,62",
                                     "\"LineBreak\"=hex(1):61,0a,62,00",
                                     "\"ShortDword\"=hex(4):01",
                                     "\"TypedBinary\"=hex(0):01",
                                     "",
                                 }));
}

TEST_F(Regedit4Test, OtherValidFilesKeepTheirContentThroughSaveAndReload) {
    const std::string loose = Lf({
        "REGEDIT4",
        "; exported by hand",
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0001]",
        "\"InfPath\"=\"OEM1.INF\"",
        "\"Odd\\\"Name\"=\"tab\there \\q\"",
        "\"Bin\" = HEX:1,2,\\",
        "    3",
        "\"Num\"=DWORD:FFFFFFFF",
        "\"Typed\"=hex(0002):25,00",
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0000]",
        "[hkey_users\\.DEFAULT\\Control Panel]",
        "@=\"x\"",
        "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0001\\Drivers]",
        "\"SubClasses\"=\"wave,midi\"",
    });
    Load(loose);
    const std::string saved = SaveRegedit4(reg);
    Registry reread;
    ASSERT_TRUE(LoadRegedit4(saved, reread).ok);
    EXPECT_EQ(SaveRegedit4(reread), saved);

    const char* cls = "System\\CurrentControlSet\\Services\\Class\\MEDIA";
    EXPECT_EQ(reread.SubkeyNames(HKEY_LOCAL_MACHINE, cls), (std::vector<std::string>{"0001", "0000"}));
    EXPECT_EQ(reread.SubkeyNames(HKEY_LOCAL_MACHINE, std::string(cls) + "\\0001"), std::vector<std::string>{"Drivers"});
    const emulated::Key* key = reread.FindKey(HKEY_LOCAL_MACHINE, std::string(cls) + "\\0001");
    ASSERT_NE(key, nullptr);
    struct Expected {
        const char* name;
        DWORD type;
        std::string data;
        ValueForm form;
    };
    const Expected expected[] = {
        {"InfPath", REG_SZ, Sz("OEM1.INF"), ValueForm::String},
        {"Odd\"Name", REG_SZ, Sz("tab\there \\q"), ValueForm::String},
        {"Bin", REG_BINARY, "\x01\x02\x03", ValueForm::Hex},
        {"Num", REG_DWORD, "\xFF\xFF\xFF\xFF", ValueForm::Dword},
        {"Typed", REG_EXPAND_SZ, std::string("%\0", 2), ValueForm::HexTyped},
    };
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(expected[i].name);
        const Value* value = reread.FindValue(HKEY_LOCAL_MACHINE, std::string(cls) + "\\0001", expected[i].name);
        ASSERT_NE(value, nullptr);
        EXPECT_EQ(value->name, expected[i].name);
        EXPECT_EQ(value->type, expected[i].type);
        EXPECT_EQ(value->data, expected[i].data);
        EXPECT_EQ(value->form, expected[i].form);
    }
    // Roots in the order the file first named them; the lowercase root name is written in full.
    EXPECT_LT(saved.find("[HKEY_LOCAL_MACHINE\\System]"), saved.find("[HKEY_USERS\\.DEFAULT]"));
    EXPECT_NE(saved.find("[HKEY_USERS\\.DEFAULT\\Control Panel]\r\n@=\"x\"\r\n"), std::string::npos);
    EXPECT_EQ(reread.FindValue(HKEY_CURRENT_USER, "Control Panel", "")->data, Sz("x"));
}

}  // namespace
