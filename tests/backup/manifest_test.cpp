#include "backup/manifest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "machine/machine.h"
#include "backup/backup.h"
#include "support/read_file.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;
using backup::Manifest;

namespace {

Manifest BinaryManifest()
{
    Manifest manifest;
    manifest.machine = "/machines/win98";
    manifest.time = "2026-12-07T10:00:00Z";
    manifest.binary = true;
    manifest.registryFiles.push_back({"WINDOWS/SYSTEM.DAT", "before/WINDOWS/SYSTEM.DAT", 8192, "aa", 4096, "bb"});
    manifest.files.push_back({"C:\\WINDOWS\\SYSTEM\\cmaudio.vxd", "WINDOWS/SYSTEM/cmaudio.vxd", 3, "cc"});
    manifest.files.push_back({"C:\\WINDOWS\\Cldrune.exe", "WINDOWS/Cl\"d\\r\x01une.exe", 4, "dd"});
    return manifest;
}

TEST(ManifestTest, ReadsBackWhatItWrites)
{
    Manifest read;
    std::string error;
    ASSERT_TRUE(backup::ParseManifest(BinaryManifest().Text(), "manifest.json", read, error)) << error;
    EXPECT_TRUE(read.binary);
    ASSERT_EQ(read.registryFiles.size(), 1u);
    EXPECT_EQ(read.registryFiles[0].host, "WINDOWS/SYSTEM.DAT");
    EXPECT_EQ(read.registryFiles[0].before, "before/WINDOWS/SYSTEM.DAT");
    EXPECT_EQ(read.registryFiles[0].sha256Before, "aa");
    EXPECT_EQ(read.registryFiles[0].sha256After, "bb");
    ASSERT_EQ(read.files.size(), 2u);
    EXPECT_EQ(read.files[1].host, "WINDOWS/Cl\"d\\r\x01une.exe");
    EXPECT_EQ(read.files[1].sha256, "dd");
}

// Each file's stamp, as stored backups hold it: a FAT entry's fields by name, a host file's time as seconds
// with nine decimals; a field out of its range, or a manifest of an older version without them, gives no
// stamp (the file is then dated when it is restored).
TEST(ManifestTest, ReadsEachFilesStamp)
{
    const std::string text =
        "{\n  \"program\": \"cmpci-uninstall\",\n  \"machine\": \"/vms/a\",\n  \"time\": \"2026-12-07T10:33:07Z\",\n"
        "  \"registryFiles\": [\n"
        "    {\"registryHost\": \"WINDOWS/SYSTEM.DAT\", \"before\": \"before/WINDOWS/SYSTEM.DAT\", \"sizeBefore\": 1, "
        "\"sha256Before\": \"aa\", \"sizeAfter\": 1, \"sha256After\": \"bb\", \"attributes\": 39, \"createDate\": 9631, "
        "\"createTime\": 49021, \"createHundredths\": 137, \"accessDate\": 10274, \"writeDate\": 9879, "
        "\"writeTime\": 45761}\n  ],\n  \"files\": [\n"
        "    {\"path\": \"C:\\\\A\", \"host\": \"WINDOWS/A\", \"size\": 1, \"sha256\": \"cc\", \"modified\": "
        "\"924906122.012345678\"},\n"
        "    {\"path\": \"C:\\\\B\", \"host\": \"WINDOWS/B\", \"size\": 1, \"sha256\": \"dd\", \"attributes\": 256, "
        "\"createDate\": 1, \"createTime\": 1, \"createHundredths\": 1, \"accessDate\": 1, \"writeDate\": 1, "
        "\"writeTime\": 1},\n"
        "    {\"path\": \"C:\\\\C\", \"host\": \"WINDOWS/C\", \"size\": 1, \"sha256\": \"ee\"}\n  ]\n}\n";
    Manifest read;
    std::string error;
    ASSERT_TRUE(backup::ParseManifest(text, "manifest.json", read, error)) << error;
    EXPECT_EQ(read.machine, "/vms/a");
    EXPECT_EQ(read.time, "2026-12-07T10:33:07Z");
    ASSERT_EQ(read.registryFiles.size(), 1u);
    const storage::FileStamp& system = read.registryFiles[0].stamp;
    EXPECT_EQ(system.kind, storage::FileStamp::Kind::Fat);
    EXPECT_TRUE(system.fat == (storage::FatStamp {39, 137, 49021, 9631, 10274, 45761, 9879}));
    ASSERT_EQ(read.files.size(), 3u);
    EXPECT_EQ(read.files[0].stamp.kind, storage::FileStamp::Kind::Host);
    EXPECT_EQ(read.files[0].stamp.modified.tv_sec, 924906122);
    EXPECT_EQ(read.files[0].stamp.modified.tv_nsec, 12345678);
    EXPECT_EQ(read.files[1].stamp.kind, storage::FileStamp::Kind::None) << "attributes 256 taken";
    EXPECT_EQ(read.files[2].stamp.kind, storage::FileStamp::Kind::None);

    // What this version writes reads back the same.
    Manifest again;
    ASSERT_TRUE(backup::ParseManifest(read.Text(), "manifest.json", again, error)) << error;
    EXPECT_TRUE(again.registryFiles[0].stamp.fat == system.fat);
    EXPECT_EQ(again.files[0].stamp.modified.tv_nsec, 12345678);
    EXPECT_EQ(again.files[1].stamp.kind, storage::FileStamp::Kind::None);
}

// Crafted manifests: a path that is absolute or climbs out of the machine or the backup is refused, and
// so is a manifest that is neither kind.
TEST(ManifestTest, RefusesPathsThatLeaveTheMachineOrTheBackup)
{
    const struct {
        const char* what;
        void (*craft)(Manifest&);
    } cases[] = {
        {"absolute file", [](Manifest& m) { m.files[0].host = "/etc/passwd"; }},
        {"climbing file", [](Manifest& m) { m.files[0].host = "WINDOWS/../../outside"; }},
        {"dot file", [](Manifest& m) { m.files[0].host = "./WINDOWS/x"; }},
        {"absolute registry file", [](Manifest& m) { m.registryFiles[0].host = "/etc/shadow"; }},
        {"absolute copy", [](Manifest& m) { m.registryFiles[0].before = "/tmp/SYSTEM.DAT"; }},
        {"climbing copy", [](Manifest& m) { m.registryFiles[0].before = "../SYSTEM.DAT"; }},
        {"neither kind", [](Manifest& m) { m.binary = false; }},
        {"both kinds", [](Manifest& m) { m.registryFile = "registry.reg", m.sha256Before = m.sha256After = "ee"; }},
        {"climbing registry.reg", [](Manifest& m) {
             m.binary = false, m.registryFiles.clear(), m.registryFile = "..", m.sha256Before = m.sha256After = "ee";
         }},
    };
    for (const auto& crafted : cases) {
        SCOPED_TRACE(crafted.what);
        Manifest manifest = BinaryManifest();
        crafted.craft(manifest);
        Manifest read;
        std::string error;
        EXPECT_FALSE(backup::ParseManifest(manifest.Text(), "m.json", read, error)) << manifest.Text();
        EXPECT_EQ(error.rfind("m.json ", 0), 0u) << error;
    }
}

// A run that removes keys and no file still keeps a backup with its manifest.
TEST(ManifestTest, BackupOfKeysAloneHasAManifest)
{
    const test_support::TempFolder temp("cmpci-manifest");
    ASSERT_TRUE(temp.ok());
    const fs::path& top = temp.path();
    fs::create_directories(top / "m" / "WINDOWS");
    std::ofstream(top / "m" / "registry.reg", std::ios::binary)
        << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\PCI\\CARD]\r\n\"Driver\"=\"MEDIA\\\\0001\"\r\n";
    emulated::Registry registry;
    emulated::MachineFolder machine;
    std::string error;
    ASSERT_TRUE(emulated::OpenMachine(top / "m", "", registry, machine, error)) << error;
    ASSERT_EQ(registry.DeleteKey(HKEY_LOCAL_MACHINE, "Enum\\PCI\\CARD"), ERROR_SUCCESS);

    ASSERT_TRUE(backup::BackupNeeded(registry, {}));
    const backup::RunChanges changes {top / "m", &machine, &registry, {}, {}, {}};
    ASSERT_TRUE(backup::WriteBackup(top / "backup", changes, error)) << error;
    const std::string text = test_support::ReadFile(top / "backup" / "manifest.json");
    Manifest read;
    EXPECT_TRUE(backup::ParseManifest(text, "manifest.json", read, error)) << error << text;
    EXPECT_EQ(read.registryFile, "registry.reg");
    EXPECT_TRUE(read.files.empty());
}

// The backup keeps the registry as the run loaded it, whatever the file on disk became since: a backup read
// again from disk would "restore" to a state the run never saw.
TEST(ManifestTest, BackupKeepsTheBytesTheRunLoaded)
{
    const test_support::TempFolder temp("cmpci-manifest");
    ASSERT_TRUE(temp.ok());
    const fs::path& top = temp.path();
    fs::create_directories(top / "m" / "WINDOWS");
    const std::string loaded = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\PCI\\CARD]\r\n";
    std::ofstream(top / "m" / "registry.reg", std::ios::binary) << loaded;
    emulated::Registry registry;
    emulated::MachineFolder machine;
    std::string error;
    ASSERT_TRUE(emulated::OpenMachine(top / "m", "", registry, machine, error)) << error;
    ASSERT_EQ(registry.DeleteKey(HKEY_LOCAL_MACHINE, "Enum\\PCI\\CARD"), ERROR_SUCCESS);
    // Another program rewrites the file while the run waits.
    std::ofstream(top / "m" / "registry.reg", std::ios::binary | std::ios::trunc) << "REGEDIT4\r\n\r\n";
    const backup::RunChanges changes {top / "m", &machine, &registry, {}, {}, {}};
    ASSERT_TRUE(backup::WriteBackup(top / "backup", changes, error)) << error;
    EXPECT_EQ(test_support::ReadFile(top / "backup" / "registry.reg.before"), loaded);
}

}  // namespace
