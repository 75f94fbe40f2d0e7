// The JSON string literals of the journal and the manifest, read by another JSON reader: Python's json
// module, which refuses a raw control character inside a string.
#include "machine/json.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/command.h"
#include "support/temp_folder.h"

namespace {

TEST(JsonTest, ConvertsWindows1252)
{
    EXPECT_EQ(emulated::JsonString("da\xDF \xBF \xF3 \xE9"), "\"da\xC3\x9F \xC2\xBF \xC3\xB3 \xC3\xA9\"");
    EXPECT_EQ(emulated::JsonString("\x80\x99"), "\"\xE2\x82\xAC\xE2\x84\xA2\"");
    EXPECT_EQ(emulated::JsonString("  x  "), "\"  x  \"");
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
        array += (array.size() > 1 ? "," : "") + emulated::JsonBytes(std::string("a") + c + "b");
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

}  // namespace
