#include "machine/journal.h"

#include <gtest/gtest.h>

namespace {

TEST(JournalTest, WritesOneJsonObjectPerOperationInOrder)
{
    emulated::Journal journal;
    journal.DeleteKey("HKEY_LOCAL_MACHINE", "Enum\\PCI\\VEN_13F6&DEV_0111", true);
    journal.DeleteFile("C:\\WINDOWS\\SYSTEM\\cmaudio.vxd", emulated::Journal::FileOutcome::Missing);
    journal.MessageBox("Pelko Sound DRUNE", "Do you really want to uninstall your sound card ?", 0x1014, 1033, 7);
    journal.Restart(2, 1, 0);
    journal.Restart(2, 0, 5);
    EXPECT_EQ(journal.text(),
              "{\"op\":\"delete-key\",\"root\":\"HKEY_LOCAL_MACHINE\",\"path\":\"Enum\\\\PCI\\\\VEN_13F6&DEV_0111\","
              "\"existed\":true}\n"
              "{\"op\":\"delete-file\",\"path\":\"C:\\\\WINDOWS\\\\SYSTEM\\\\cmaudio.vxd\",\"existed\":false}\n"
              "{\"op\":\"message-box\",\"caption\":\"Pelko Sound DRUNE\",\"text\":\"Do you really want to uninstall "
              "your sound card ?\",\"style\":4116,\"language\":1033,\"result\":7}\n"
              "{\"op\":\"restart\",\"flags\":2,\"result\":1}\n"
              "{\"op\":\"restart\",\"flags\":2,\"result\":0,\"error\":5}\n");
    EXPECT_EQ(journal.keysRemoved(), 1u);
    EXPECT_EQ(journal.filesRemoved(), 0u);
}

TEST(JournalTest, CountsOnlyWhatWasRemoved)
{
    emulated::Journal journal;
    journal.DeleteKey("HKEY_CURRENT_USER", "a", false);
    journal.DeleteFile("C:\\WINDOWS\\inf\\", emulated::Journal::FileOutcome::Refused);
    journal.DeleteFile("C:\\WINDOWS\\y", emulated::Journal::FileOutcome::Removed);
    EXPECT_EQ(journal.keysRemoved(), 0u);
    EXPECT_EQ(journal.filesRemoved(), 1u);
    EXPECT_NE(journal.text().find("\"refused\":true"), std::string::npos);
}

}  // namespace
