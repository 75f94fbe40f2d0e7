#include "registry_backups/cabinet.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/read_file.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

const fs::path kWinMe = fs::path(CMPCI_SOURCE_DIR) / "tests" / "data" / "real-registry" / "winme";

using test_support::ReadFile;

void PutU16(std::string& bytes, std::size_t at, unsigned value)
{
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

void PutU32(std::string& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::uint32_t GetU32(const std::string& bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// Cabinets written by gcab (libgcab), another implementation of the format, from the registry files Windows
// ME wrote, as the Registry Checker packs them: SYSTEM.DAT, USER.DAT, SYSTEM.INI, WIN.INI.
class CabinetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp_.ok());
        fs::copy_file(kWinMe / "SYSTEM.DAT", top_ / "SYSTEM.DAT");
        fs::copy_file(kWinMe / "USER.DAT", top_ / "USER.DAT");
        std::ofstream(top_ / "SYSTEM.INI", std::ios::binary) << "[boot]\r\nshell=Explorer.exe\r\n";
        std::ofstream(top_ / "WIN.INI", std::ios::binary) << "[windows]\r\n";
        // gcab stores each file's time as the local time of its own process.
        const std::string command = "cd '" + top_.string() +
                                    "' && TZ=UTC touch -d '2026-11-30 08:15:42' SYSTEM.DAT USER.DAT && "
                                    "TZ=UTC touch -d '2026-10-02 23:59:58' SYSTEM.INI WIN.INI && "
                                    "TZ=UTC gcab -c -z zip.cab SYSTEM.DAT USER.DAT SYSTEM.INI WIN.INI && "
                                    "TZ=UTC gcab -c plain.cab SYSTEM.DAT USER.DAT SYSTEM.INI WIN.INI";
        ASSERT_EQ(std::system(command.c_str()), 0) << "gcab (Debian's gcab) is needed: " << command;
    }

    test_support::TempFolder temp_ {"cmpci-cabinet"};
    const fs::path& top_ = temp_.path();
};

TEST_F(CabinetTest, ExtractsTheWantedFilesOfGcabsCabinetsByteForByte)
{
    for (const char* name : {"zip.cab", "plain.cab"}) {
        SCOPED_TRACE(name);
        std::vector<backup::CabinetFile> files;
        std::string error;
        ASSERT_TRUE(backup::ReadCabinet(top_ / name, {"system.dat", "USER.DAT"}, files, error)) << error;
        ASSERT_EQ(files.size(), 4u);
        EXPECT_EQ(files[0].name, "SYSTEM.DAT");
        EXPECT_EQ(files[0].bytes, ReadFile(kWinMe / "SYSTEM.DAT"));
        EXPECT_EQ(files[0].size, fs::file_size(kWinMe / "SYSTEM.DAT"));
        EXPECT_EQ(files[0].time, "2026-11-30 08:15:42");
        EXPECT_EQ(files[1].bytes, ReadFile(kWinMe / "USER.DAT"));
        // Listed, not extracted.
        EXPECT_EQ(files[2].name, "SYSTEM.INI");
        EXPECT_EQ(files[2].size, 28u);
        EXPECT_EQ(files[2].time, "2026-10-02 23:59:58");
        EXPECT_TRUE(files[2].bytes.empty());
    }
}

// Offsets below are the format's own: the header's coffFiles at 16, cFiles at 28 and flags at 30; the first
// folder's coffCabStart at 36 and typeCompress at 42; a file entry's cbFile at its start; a data block's
// checksum at its start and its data from 8.
TEST_F(CabinetTest, RefusesDamagedAndCraftedCabinetsInOneLine)
{
    const std::string good = ReadFile(top_ / "zip.cab");
    const std::uint32_t files = GetU32(good, 16);
    const std::uint32_t data = GetU32(good, 36);
    const struct {
        const char* what;
        std::string bytes;
        const char* error;
    } cases[] = {
        {"empty", "", "damaged cabinet: it ends before its last part"},
        {"not a cabinet", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum]\r\n", "not a cabinet file"},
        {"cut in its file table", good.substr(0, files + 20), "damaged cabinet: its header, folder or file table is wrong"},
        {"cut in its data", good.substr(0, good.size() / 2), "damaged cabinet: it ends before its last part (SYSTEM.DAT)"},
        {"no files", [&] { std::string b = good; PutU16(b, 28, 0); return b; }(),
         "damaged cabinet: its header, folder or file table is wrong"},
        {"a flipped data byte", [&] { std::string b = good; b[data + 8 + 10] ^= 0x55; return b; }(),
         "damaged cabinet: a data block's checksum is wrong (SYSTEM.DAT)"},
        {"an unknown compression", [&] { std::string b = good; PutU16(b, 42, 0x000F); return b; }(),
         "damaged cabinet: its header, folder or file table is wrong (SYSTEM.DAT)"},
        {"a file of 4 GB declared", [&] { std::string b = good; PutU32(b, files, 0xFFFFFF00u); return b; }(),
         "SYSTEM.DAT in it is 4294967040 bytes, more than a registry file may be (134217728)"},
        {"the second of a set", [&] {
             // The previous cabinet's name and disk follow the header; what comes after moves by their size.
             const std::string previous("RB000.CAB\0DISK1\0", 16);
             std::string b = good.substr(0, 36) + previous + good.substr(36);
             PutU16(b, 30, 0x0001);
             PutU32(b, 8, GetU32(b, 8) + 16);
             PutU32(b, 16, files + 16);
             PutU32(b, 36 + 16, data + 16);
             return b;
         }(),
         "is part of a set of cabinets, which no registry backup is"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<backup::CabinetFile> listed {{"left over", 1, "", "x"}};
        std::string error;
        EXPECT_FALSE(backup::ReadCabinetBytes(c.bytes, {"SYSTEM.DAT", "USER.DAT"}, listed, error));
        if (c.error != nullptr) {
            EXPECT_EQ(error, c.error);
        }
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(error.find('\n'), std::string::npos);
        EXPECT_TRUE(listed.empty());
    }
}

// What a cabinet may take is bounded before it is taken: its own size, its file count, each file extracted
// and what libmspack allocates.
TEST_F(CabinetTest, KeepsToItsLimits)
{
    const struct {
        const char* what;
        backup::CabinetLimits limits;
        const char* error;
    } cases[] = {
        {"cabinet size", {1000, 64, 1 << 27, 1 << 26}, "is larger than 1000 bytes, far beyond a registry backup"},
        {"file count", {1 << 27, 3, 1 << 27, 1 << 26}, "holds more than 3 files, more than a registry backup holds"},
        {"file size", {1 << 27, 64, 1 << 20, 1 << 26}, "SYSTEM.DAT in it is 1220640 bytes, more than a registry file may be (1048576)"},
        {"library memory", {1 << 27, 64, 1 << 27, 4096},
         "damaged cabinet: it would take more memory than a registry backup may (SYSTEM.DAT)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<backup::CabinetFile> listed;
        std::string error;
        EXPECT_FALSE(backup::ReadCabinet(top_ / "zip.cab", {"SYSTEM.DAT"}, listed, error, c.limits));
        EXPECT_EQ(error, c.error);
    }
    // Exactly at the limits, it is read.
    backup::CabinetLimits exact {fs::file_size(top_ / "zip.cab"), 4, 1220640, std::uint64_t {1} << 26};
    std::vector<backup::CabinetFile> listed;
    std::string error;
    EXPECT_TRUE(backup::ReadCabinet(top_ / "zip.cab", {"SYSTEM.DAT"}, listed, error, exact)) << error;
}

// A name from the cabinet reaches a message only as printable text: a crafted one must not break the line.
TEST_F(CabinetTest, ShowsNamesWithoutControlCharacters)
{
    fs::create_directory(top_ / "a\nb\x1b");
    fs::copy_file(top_ / "SYSTEM.DAT", top_ / "a\nb\x1b" / "SYSTEM.DAT");
    const std::string command = "cd '" + top_.string() + "' && gcab -c named.cab \"$(printf 'a\\nb\\033')/SYSTEM.DAT\"";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::string bytes = ReadFile(top_ / "named.cab");
    PutU32(bytes, GetU32(bytes, 16), 0xFFFFFF00u);
    std::vector<backup::CabinetFile> listed;
    std::string error;
    EXPECT_FALSE(backup::ReadCabinetBytes(bytes, {"SYSTEM.DAT"}, listed, error));
    EXPECT_EQ(error, "a?b?\\SYSTEM.DAT in it is 4294967040 bytes, more than a registry file may be (134217728)");
}

TEST_F(CabinetTest, ReadsOnlyARegularFile)
{
    fs::create_symlink(top_ / "zip.cab", top_ / "link.cab");
    fs::create_directory(top_ / "folder.cab");
    std::vector<backup::CabinetFile> listed;
    std::string error;
    EXPECT_FALSE(backup::ReadCabinet(top_ / "link.cab", {"SYSTEM.DAT"}, listed, error));
    EXPECT_EQ(error, "is a symbolic link");
    EXPECT_FALSE(backup::ReadCabinet(top_ / "folder.cab", {"SYSTEM.DAT"}, listed, error));
    EXPECT_EQ(error, "is not a regular file");
    EXPECT_FALSE(backup::ReadCabinet(top_ / "missing.cab", {"SYSTEM.DAT"}, listed, error));
    EXPECT_EQ(error, "No such file or directory");
}

}  // namespace
