#include "registry_backups/registry_backups.h"

#include "registry_backups/cabinet.h"
#include "machine/machine_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

const fs::path kSource(CMPCI_SOURCE_DIR);
// Registry files with the card (--import of the example machine's registry.reg) and without it (Windows ME's).
const fs::path kWithCard = kSource / "examples" / "machine-dat" / "WINDOWS";
const fs::path kWithout = kSource / "tests" / "data" / "real-registry" / "winme";

// The test's own view of the card in a backup, apart from the removal's rules: the device key below
// Enum\PCI, and the mixer settings through HKEY_CURRENT_USER (so USER.DAT must be loaded and mapped).
void Examine(const emulated::Registry& registry, backup::RegistryBackup& backup)
{
    for (const std::string& name : registry.SubkeyNames(HKEY_LOCAL_MACHINE, "Enum\\PCI"))
        backup.deviceKey = backup.deviceKey || name.find("VEN_13F6&DEV_0111") != std::string::npos;
    const bool mixer = registry.KeyExists(
        HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control\\C-Media Audio Mixer");
    backup.items = (backup.deviceKey ? 1 : 0) + (mixer ? 1 : 0);
}

void Write(const fs::path& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary) << bytes;
}

class RegistryBackupsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp_.ok());
        windows_ = top_ / "m" / "WINDOWS";
        fs::create_directories(windows_ / "SYSBCKUP");
        // The dates below are UTC on the host, and cabinets hold the time gcab's process saw.
        setenv("TZ", "UTC", 1);
        tzset();
    }

    // A cabinet as the Registry Checker packs one, written by gcab, its registry files dated `time` (a cabinet
    // keeps seconds in steps of two, as FAT does: the times here are even).
    void Cabinet(const fs::path& cabinet, const fs::path& registry, const std::string& time, bool users = true)
    {
        const fs::path stage = top_ / ("stage" + std::to_string(++stages_));
        fs::create_directory(stage);
        fs::copy_file(registry / "SYSTEM.DAT", stage / "SYSTEM.DAT");
        std::string files = "SYSTEM.DAT SYSTEM.INI WIN.INI";
        if (users) {
            fs::copy_file(registry / "USER.DAT", stage / "USER.DAT");
            files += " USER.DAT";
        }
        Write(stage / "SYSTEM.INI", "[boot]\r\n");
        Write(stage / "WIN.INI", "[windows]\r\n");
        const std::string command = "cd '" + stage.string() + "' && TZ=UTC touch -d '" + time + "' " + files +
                                    " && TZ=UTC gcab -c -z '" + cabinet.string() + "' " + files;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    std::vector<backup::RegistryBackup> Read(std::vector<std::string>& notes)
    {
        return backup::ReadRegistryBackups({top_ / "m", windows_}, Examine, notes);
    }

    test_support::TempFolder temp_ {"cmpci-backups"};
    const fs::path& top_ = temp_.path();
    fs::path windows_;
    int stages_ = 0;
};

TEST_F(RegistryBackupsTest, ReadsEveryCabinetInNumberOrderThenTheDa0)
{
    const fs::path folder = windows_ / "SYSBCKUP";
    Cabinet(folder / "RB000.CAB", kWithout, "2026-11-01 07:00:00");
    Cabinet(folder / "rb001.cab", kWithCard, "2026-11-02 07:00:02");
    Cabinet(folder / "RB002.CAB", kWithout, "2026-11-03 07:00:04");
    Cabinet(folder / "RB003.CAB", kWithCard, "2026-11-04 07:00:04");
    Cabinet(folder / "RB004.CAB", kWithout, "2026-11-05 07:00:06");
    // Not the Registry Checker's names: passed over.
    Cabinet(folder / "RBBAD.CAB", kWithCard, "2026-11-06 07:00:06");
    Cabinet(folder / "RB0005.CAB", kWithCard, "2026-11-06 07:00:06");
    Cabinet(windows_ / "RB006.CAB", kWithCard, "2026-11-06 07:00:06");
    fs::copy_file(kWithCard / "SYSTEM.DAT", windows_ / "System.da0");
    ASSERT_EQ(std::system(("TZ=UTC touch -d '2026-10-31 22:30:00' '" + (windows_ / "System.da0").string() + "'").c_str()), 0);

    std::vector<std::string> notes;
    const std::vector<backup::RegistryBackup> backups = Read(notes);
    EXPECT_TRUE(notes.empty());
    const struct {
        const char* where;
        const char* date;
        bool deviceKey;
        std::size_t items;
    } expected[] = {
        {"C:\\WINDOWS\\SYSBCKUP\\RB000.CAB", "2026-11-01 07:00:00", false, 0},
        {"C:\\WINDOWS\\SYSBCKUP\\rb001.cab", "2026-11-02 07:00:02", true, 2},
        {"C:\\WINDOWS\\SYSBCKUP\\RB002.CAB", "2026-11-03 07:00:04", false, 0},
        {"C:\\WINDOWS\\SYSBCKUP\\RB003.CAB", "2026-11-04 07:00:04", true, 2},
        {"C:\\WINDOWS\\SYSBCKUP\\RB004.CAB", "2026-11-05 07:00:06", false, 0},
        // SYSTEM.DA0 alone: the card's device key, no user settings.
        {"C:\\WINDOWS\\System.da0", "2026-10-31 22:30:00", true, 1},
    };
    ASSERT_EQ(backups.size(), std::size(expected));
    for (std::size_t i = 0; i < backups.size(); ++i) {
        SCOPED_TRACE(expected[i].where);
        EXPECT_EQ(backups[i].where, expected[i].where);
        EXPECT_EQ(backups[i].date, expected[i].date);
        EXPECT_EQ(backups[i].damage, "");
        EXPECT_EQ(backups[i].deviceKey, expected[i].deviceKey);
        EXPECT_EQ(backups[i].items, expected[i].items);
    }
    EXPECT_EQ(backup::DescribeBackupsHoldingCard(backups, false),
              "3 registry backups still hold the card (rb001.cab, RB003.CAB, System.da0): a restore (the Registry "
              "Checker's own at start-up, or scanreg /restore) would bring the card's registry keys back without its "
              "driver files; they age out as Windows makes new ones (daily, or scanreg /backup), or delete those named");
    EXPECT_EQ(backup::DescribeBackupsHoldingCard(backups, true),
              "3 registry backups hold the card (rb001.cab, RB003.CAB, System.da0), as the machine does now: after a "
              "removal they age out as Windows makes new ones (daily, or scanreg /backup), or delete those named");
}

TEST_F(RegistryBackupsTest, ReadsTheBackupFolderScanregIniNamesInstead)
{
    fs::create_directories(top_ / "m" / "RegBack");
    Cabinet(top_ / "m" / "RegBack" / "RB000.CAB", kWithCard, "2026-11-01 07:00:00");
    Cabinet(windows_ / "SYSBCKUP" / "RB000.CAB", kWithout, "2026-11-01 07:00:00");
    Write(windows_ / "scanreg.ini", "; Registry Checker\r\n[Scanreg]\r\nBackup=1\r\nbackupdirectory = C:\\REGBACK\\\r\n");
    std::vector<std::string> notes;
    std::vector<backup::RegistryBackup> backups = Read(notes);
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(backups[0].where, "C:\\REGBACK\\RB000.CAB");
    EXPECT_TRUE(backups[0].deviceKey);
    EXPECT_TRUE(notes.empty());

    // A folder that is not there: said once, and SYSBCKUP is not read in its place.
    Write(windows_ / "scanreg.ini", "[Scanreg]\r\nBackupDirectory=D:\\REGBACK\r\n");
    backups = Read(notes);
    EXPECT_TRUE(backups.empty());
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0], "warning: C:\\WINDOWS\\SCANREG.INI names the backup folder D:\\REGBACK, which is not there: "
                        "no registry backup in it is checked");
}

// On an image the machine folder holds empty stand-ins, made as they are looked for: every entry is made
// present before it is looked up (the backup folder with its files), and every file fetched before it is
// read, by its path in the Windows folder, at most as large as a file of its kind may be; a .DA0 file has no
// date.
TEST_F(RegistryBackupsTest, FetchesEachFileFirstAndSaysWhenThatFails)
{
    Cabinet(windows_ / "SYSBCKUP" / "RB000.CAB", kWithCard, "2026-11-01 07:00:00");
    fs::copy_file(kWithCard / "SYSTEM.DAT", windows_ / "SYSTEM.DA0");
    fs::copy_file(kWithCard / "USER.DAT", windows_ / "USER.DA0");
    std::vector<std::string> fetched;
    std::vector<std::uint64_t> limits;
    std::vector<std::string> present;
    bool fails = false;
    backup::BackupPlaces places {top_ / "m", windows_,
                                 [&](const std::vector<std::string>& files, std::uint64_t limit, std::string& error) {
                                     fetched.insert(fetched.end(), files.begin(), files.end());
                                     limits.push_back(limit);
                                     error = "disk.img: cannot read " + files[0];
                                     return !fails;
                                 },
                                 [&](const std::string& relative, bool contents) {
                                     present.push_back(relative + (contents ? "/*" : ""));
                                 },
                                 // An image's stand-ins carry no time of their own; its entries here none.
                                 [](const std::string&) { return storage::FileStamp {}; }};
    std::vector<std::string> notes;
    std::vector<backup::RegistryBackup> backups = backup::ReadRegistryBackups(places, Examine, notes);
    EXPECT_EQ(present, (std::vector<std::string> {"SCANREG.INI", "SYSBCKUP/*", "SYSTEM.DA0", "USER.DA0"}));
    EXPECT_EQ(fetched, (std::vector<std::string> {"SYSBCKUP/RB000.CAB", "SYSTEM.DA0", "USER.DA0"}));
    EXPECT_EQ(limits,
              (std::vector<std::uint64_t> {backup::CabinetLimits {}.cabinetBytes, emulated::kMaxRegistryFileSize}));

    // The folder SCANREG.INI names is made present with its files; a folder outside C:\WINDOWS is not.
    present.clear();
    Write(windows_ / "SCANREG.INI", "[Scanreg]\r\nBackupDirectory=c:\\windows\\Reg Back\r\n");
    backup::ReadRegistryBackups(places, Examine, notes);
    EXPECT_EQ(present, (std::vector<std::string> {"SCANREG.INI", "Reg Back/*", "SYSTEM.DA0", "USER.DA0"}));
    present.clear();
    Write(windows_ / "SCANREG.INI", "[Scanreg]\r\nBackupDirectory=C:\\WINDOWSX\r\n");
    backup::ReadRegistryBackups(places, Examine, notes);
    EXPECT_EQ(present, (std::vector<std::string> {"SCANREG.INI", "SYSTEM.DA0", "USER.DA0"}));
    fs::remove(windows_ / "SCANREG.INI");
    fetched.clear();
    notes.clear();
    backups = backup::ReadRegistryBackups(places, Examine, notes);
    ASSERT_EQ(backups.size(), 2u);
    EXPECT_EQ(backups[1].where, "C:\\WINDOWS\\SYSTEM.DA0");
    EXPECT_EQ(backups[1].date, "");
    EXPECT_EQ(backups[1].items, 2u);

    fails = true;
    backups = backup::ReadRegistryBackups(places, Examine, notes);
    ASSERT_EQ(backups.size(), 2u);
    EXPECT_EQ(backups[0].damage, "disk.img: cannot read SYSBCKUP/RB000.CAB");
    EXPECT_EQ(backups[1].damage, "disk.img: cannot read SYSTEM.DA0");
}

TEST_F(RegistryBackupsTest, SaysWhatIsWrongWithEachDamagedBackupAndReadsTheOthers)
{
    const fs::path folder = windows_ / "SYSBCKUP";
    Cabinet(folder / "RB000.CAB", kWithCard, "2026-11-01 07:00:00");
    Write(folder / "RB001.CAB", "MSCF");
    const fs::path text = top_ / "text";
    fs::create_directory(text);
    Write(text / "SYSTEM.DAT", "REGEDIT4\r\n");
    fs::copy_file(kWithout / "USER.DAT", text / "USER.DAT");
    Cabinet(folder / "RB002.CAB", text, "2026-11-01 07:00:00");
    ASSERT_EQ(std::system(("cd '" + text.string() + "' && echo x >SYSTEM.INI && gcab -c '" + (folder / "RB003.CAB").string() +
                           "' SYSTEM.INI").c_str()), 0);
    Write(windows_ / "USER.DA0", std::string(4096, '\0'));

    std::vector<std::string> notes;
    const std::vector<backup::RegistryBackup> backups = Read(notes);
    ASSERT_EQ(backups.size(), 5u);
    EXPECT_EQ(backups[0].damage, "");
    EXPECT_TRUE(backups[0].deviceKey);
    EXPECT_EQ(backups[1].damage, "damaged cabinet: it ends before its last part");
    EXPECT_EQ(backups[2].damage.rfind("SYSTEM.DAT in it is a damaged Windows 9x registry file (offset 0x", 0), 0u)
        << backups[2].damage;
    EXPECT_EQ(backups[3].damage, "holds neither SYSTEM.DAT nor USER.DAT");
    EXPECT_EQ(backups[4].where, "C:\\WINDOWS\\USER.DA0");
    EXPECT_EQ(backups[4].damage.rfind("USER.DA0 is a damaged Windows 9x registry file (offset 0x", 0), 0u)
        << backups[4].damage;
    for (const backup::RegistryBackup& damaged : std::vector(backups.begin() + 1, backups.end()))
        EXPECT_EQ(damaged.items, 0u) << damaged.where;
}

TEST(ScanregIniTest, TakesTheFirstBackupDirectoryOfTheScanregSection)
{
    const struct {
        const char* ini;
        const char* folder;
    } cases[] = {
        {"[Scanreg]\r\nBackupDirectory=C:\\RB\r\n", "C:\\RB"},
        {"[scanreg]\nbackupdirectory  =  C:\\RB  \n", "C:\\RB"},
        {"[Scanreg]\r\nBackupDirectory=\"C:\\Reg Back\"\r\n", "C:\\Reg Back"},
        {"[Scanreg]\r\nBackupDirectory=C:\\ONE\r\nBackupDirectory=C:\\TWO\r\n", "C:\\ONE"},
        {"[Scanreg]\r\n;BackupDirectory=C:\\RB\r\n", ""},
        {"[Other]\r\nBackupDirectory=C:\\RB\r\n[Scanreg]\r\nBackup=1\r\n", ""},
        {"[Scanreg]\r\nBackup=1\r\n[Other]\r\nBackupDirectory=C:\\RB\r\n", ""},
        {"BackupDirectory=C:\\RB\r\n", ""},
        {"[Scanreg]\r\nBackupDirectory C:\\RB\r\n", ""},
        {"[Scanreg]\rBackupDirectory=C:\\RB", "C:\\RB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ini);
        EXPECT_EQ(backup::ScanregBackupDirectory(c.ini), c.folder);
    }
}

TEST(DescribeBackupTest, NamesTheDeviceKeyAndCountsTheRest)
{
    const struct {
        backup::RegistryBackup backup;
        const char* text;
    } cases[] = {
        {{"C:\\WINDOWS\\SYSBCKUP\\RB001.CAB", "2026-11-02 07:00:02", "", true, 16},
         "2026-11-02 07:00:02: the card's device key and 15 more items"},
        {{"C:\\WINDOWS\\SYSTEM.DA0", "", "", true, 1}, "date unknown: the card's device key"},
        {{"C:\\WINDOWS\\SYSTEM.DA0", "", "", true, 2}, "date unknown: the card's device key and 1 more item"},
        {{"C:\\WINDOWS\\SYSBCKUP\\RB001.CAB", "2026-11-02 07:00:02", "", false, 3},
         "2026-11-02 07:00:02: 3 items of the card, not its device key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(backup::DescribeBackup(c.backup), c.text);
    }
    std::vector<backup::RegistryBackup> many(7, {"C:\\WINDOWS\\SYSBCKUP\\RB00X.CAB", "", "", true, 1});
    many[3].items = 0;
    EXPECT_EQ(backup::DescribeBackupsHoldingCard(many, false).substr(0, 106),
              "6 registry backups still hold the card (RB00X.CAB, RB00X.CAB, RB00X.CAB, RB00X.CAB, RB00X.CAB and 1 more):");
    many.resize(1);
    EXPECT_EQ(backup::DescribeBackupsHoldingCard(many, false).substr(0, 38), "1 registry backup still holds the card");
    many[0].items = 0;
    EXPECT_EQ(backup::DescribeBackupsHoldingCard(many, false), "");
}

}  // namespace
