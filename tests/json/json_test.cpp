// The JSON string literals of the journal and the manifest, read by another JSON reader: Python's json
// module, which refuses a raw control character inside a string. The parse entry point against JSON's own
// grammar (RFC 8259), and its getters against the types the grammar gives each value.
#include "json/json.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "support/command.h"
#include "support/temp_folder.h"

namespace {

TEST(JsonTest, ConvertsWindows1252)
{
    EXPECT_EQ(json::Windows1252("da\xDF \xBF \xF3 \xE9"), "\"da\xC3\x9F \xC2\xBF \xC3\xB3 \xC3\xA9\"");
    EXPECT_EQ(json::Windows1252("\x80\x99"), "\"\xE2\x82\xAC\xE2\x84\xA2\"");
    EXPECT_EQ(json::Windows1252("  x  "), "\"  x  \"");
}

// Every control byte, DEL, the quote and the backslash, each between two letters, as one JSON array: Python
// must read each back as the very character.
TEST(JsonTest, EveryControlByteReadsBackInAnotherReader)
{
    std::string bytes;
    for (int byte = 0; byte < 0x20; ++byte)
        bytes += static_cast<char>(byte);
    bytes += "\x7F\"\\";
    std::string array = "[";
    std::string expected;
    for (char c : bytes) {
        array += (array.size() > 1 ? "," : "") + json::Bytes(std::string("a") + c + "b");
        expected += std::to_string(static_cast<unsigned char>(c)) + " ";
    }
    array += "]";

    const test_support::TempFolder folder("cmpci-json");
    ASSERT_TRUE(folder.ok());
    const std::string file = (folder.path() / "strings.json").string();
    std::ofstream(file, std::ios::binary) << array;
    const std::string script = "import json, sys\n"
                               "for text in json.load(open(sys.argv[1], encoding='utf-8')):\n"
                               "    assert len(text) == 3 and text[0] == 'a' and text[2] == 'b', repr(text)\n"
                               "    print(ord(text[1]), end=' ')\n";
    int status = 0;
    const std::string read = test_support::CommandOutput(
        std::string("'") + CMPCI_PYTHON3 + "' -c \"" + script + "\" '" + file + "' 2>&1", status);
    EXPECT_EQ(status, 0) << read << "\n" << array;
    EXPECT_EQ(read, expected) << array;
}

// Texts that are not JSON, each refused with a one-line error, and a document that held a value left empty.
TEST(JsonTest, ParseRefusesWhatIsNotJson)
{
    const char* const refused[] = {
        "",               // no value
        "   ",            // white space only
        "{",              // cut short
        "{\"a\": [1, 2",  // cut short inside a list
        "\"abc",          // a string not closed
        "[1, ]",          // a comma with nothing after it
        "{\"a\" 1}",      // no colon
        "{'a': 1}",       // single quotes
        "{a: 1}",         // a name without quotes
        "tru",            // a literal cut short
        "True",           // literals are lower case
        "NaN",            // not a number of JSON's
        "01",             // a leading zero
        "1.",             // no digit after the point
        "{} {}",          // two values
        "[] x",           // something after the value
        "// note\n{}",    // a comment
        "\"a\x01z\"",     // a raw control character inside a string
        "\"\\x41\"",      // an escape JSON does not have
        "\"\xC3\"",       // UTF-8 cut short
        "\"\xE9t\xE9\"",  // Windows-1252, not UTF-8
    };
    for (const char* text : refused) {
        json::Document document;
        std::string error;
        ASSERT_TRUE(json::Parse("{\"held\": 1}", document, error));
        EXPECT_FALSE(json::Parse(text, document, error)) << text;
        EXPECT_FALSE(document.Root().Exists()) << text;
        EXPECT_FALSE(error.empty()) << text;
        EXPECT_EQ(error.find('\n'), std::string::npos) << text;
    }
}

// Each getter takes a value of its own type only, and answers nothing for a member that is not there.
TEST(JsonTest, GettersTakeTheirOwnTypeOnly)
{
    json::Document document;
    std::string error;
    ASSERT_TRUE(json::Parse(" {\"max\": 18446744073709551615, \"negative\": -1, \"fraction\": 1.5, \"exponent\": 1e2,"
                            " \"text\": \"caf\\u00e9\", \"yes\": true, \"no\": false, \"nothing\": null,"
                            " \"list\": [7, \"x\"], \"object\": {\"b\": 2, \"a\": 1}}\n",
                            document, error))
        << error;
    const json::Value top = document.Root();
    struct Case {
        const char* key;
        bool number;
        std::uint64_t value;
        bool text;
        bool isTrue;
    };
    const Case cases[] = {
        {"max", true, UINT64_MAX, false, false}, {"negative", false, 0, false, false},
        {"fraction", false, 0, false, false},    {"exponent", false, 0, false, false},
        {"text", false, 0, true, false},         {"yes", false, 0, false, true},
        {"no", false, 0, false, false},          {"nothing", false, 0, false, false},
        {"list", false, 0, false, false},        {"object", false, 0, false, false},
        {"absent", false, 0, false, false},
    };
    for (const Case& c : cases) {
        const json::Value member = top.Member(c.key);
        std::uint64_t number = 0;
        std::string text;
        EXPECT_EQ(member.Exists(), std::string(c.key) != "absent") << c.key;
        EXPECT_EQ(member.Number(number), c.number) << c.key;
        EXPECT_EQ(number, c.value) << c.key;
        EXPECT_EQ(member.Text(text), c.text) << c.key;
        EXPECT_EQ(member.IsTrue(), c.isTrue) << c.key;
        EXPECT_EQ(member.IsArray(), std::string(c.key) == "list") << c.key;
        EXPECT_EQ(member.IsObject(), std::string(c.key) == "object") << c.key;
    }
    std::string text;
    EXPECT_TRUE(top.Member("text").Text(text));
    EXPECT_EQ(text, "caf\xC3\xA9");
    EXPECT_EQ(top.Member("fraction").Dump(), "1.5");
    const auto elements = top.Member("list").Elements();
    ASSERT_EQ(elements.size(), 2u);
    std::uint64_t seven = 0;
    EXPECT_TRUE(elements[0].Number(seven));
    EXPECT_EQ(seven, 7u);
    EXPECT_TRUE(elements[1].Text(text));
    EXPECT_EQ(text, "x");
    const auto members = top.Member("object").Members();
    ASSERT_EQ(members.size(), 2u);
    EXPECT_EQ(members[0].first, "a");
    EXPECT_EQ(members[1].first, "b");
    EXPECT_FALSE(top.Member("list").Member("b").Exists());
    EXPECT_FALSE(top.Member("absent").Member("b").Exists());
    EXPECT_TRUE(top.Member("list").Members().empty());
    EXPECT_TRUE(top.Member("object").Elements().empty());
}

}  // namespace
