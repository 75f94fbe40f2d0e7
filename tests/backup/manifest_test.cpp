#include "backup/manifest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "machine/machine_folder.h"
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

// Any JSON layout of a manifest is read alike: indented otherwise, on one line, its keys in another order
// (each text laid out here by hand from the JSON grammar, not by the library that reads it).
TEST(ManifestTest, ReadsAnyLayout)
{
    const std::string file = R"({"path": "C:\\A", "host": "WINDOWS/A", "size": 1, "sha256": "cc"})";
    const std::string fields =
        R"("program": "cmpci-uninstall", "version": "1.2.0", "format": 2, "machine": "/vms/a", "time": "t",
           "marks": {"registry": {"RegisteredOwner": "Studio"}},
           "registryFiles": [{"registryHost": "WINDOWS/SYSTEM.DAT", "before": "before/WINDOWS/SYSTEM.DAT",
                             "sizeBefore": 1, "sha256Before": "aa", "sizeAfter": 1, "sha256After": "bb"}])";
    const std::string layouts[] = {
        "{" + fields + ", \"files\": [" + file + "]}",
        "{\n\t\"files\" :\n\t[\n\t\t" + file + "\n\t],\r\n" + fields + "\n}\n",
        "  {\"files\":[" + file + "]," + fields + "}  ",
    };
    for (const std::string& text : layouts) {
        Manifest read;
        std::string error;
        ASSERT_TRUE(backup::ParseManifest(text, "m.json", read, error)) << error << text;
        EXPECT_TRUE(read.binary);
        EXPECT_EQ(read.machine, "/vms/a");
        ASSERT_EQ(read.files.size(), 1u);
        EXPECT_EQ(read.files[0].host, "WINDOWS/A");
        ASSERT_EQ(read.registryFiles.size(), 1u);
        EXPECT_EQ(read.marks.registry.at("RegisteredOwner"), "Studio");
    }
}

// A manifest that cannot be trusted whole is refused: cut short anywhere, a field missing or of another
// type, a format not known, no machine named, a removed file outside the Windows folder.
TEST(ManifestTest, RefusesAManifestThatIsNotWhole)
{
    const std::string whole = BinaryManifest().Text();
    for (std::size_t cut = 1; cut + 2 < whole.size(); cut += 7) {
        Manifest read;
        std::string error;
        EXPECT_FALSE(backup::ParseManifest(whole.substr(0, cut), "m.json", read, error)) << cut;
    }
    const struct {
        const char* what;
        std::string from;
        std::string to;
        std::string said;
    } cases[] = {
        {"a size as text", "\"size\": 3", "\"size\": \"3\"", "\"size\" is missing"},
        {"no SHA-256", ", \"sha256\": \"cc\"", "", "\"sha256\" is missing"},
        {"a later format", "\"format\": 2", "\"format\": 3", "format this version does not know"},
        {"a format as text", "\"format\": 2", "\"format\": \"2\"", "format this version does not know"},
        {"no marks", "\"marks\"", "\"marked\"", "\"marks\" is missing"},
        {"no machine", "\"machine\": \"/machines/win98\"", "\"machine\": \"\"", "names no machine"},
        {"a machine as a number", "\"machine\": \"/machines/win98\"", "\"machine\": 7", "\"machine\" is missing"},
        {"a file outside WINDOWS", "\"WINDOWS/SYSTEM/cmaudio.vxd\"", "\"SYSTEM/cmaudio.vxd\"",
         "outside the machine's Windows folder"},
        {"a file beside WINDOWS", "\"WINDOWS/SYSTEM/cmaudio.vxd\"", "\"AUTOEXEC.BAT\"",
         "outside the machine's Windows folder"},
        {"a registry file outside WINDOWS", "\"WINDOWS/SYSTEM.DAT\"", "\"SYSTEM.DAT\"", "outside the machine's"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string text = whole;
        const std::size_t at = text.find(c.from);
        ASSERT_NE(at, std::string::npos);
        text.replace(at, c.from.size(), c.to);
        Manifest read;
        std::string error;
        EXPECT_FALSE(backup::ParseManifest(text, "m.json", read, error)) << text;
        EXPECT_NE(error.find(c.said), std::string::npos) << error;
    }
}

// The marks and host bytes, every byte value among them, come back as they were written; the text is JSON that Python's
// reader (strict about UTF-8) would take, as every byte above 0x7F stands in valid UTF-8.
TEST(ManifestTest, KeepsMarksAndHostBytes)
{
    Manifest manifest = BinaryManifest();
    manifest.machine = "/vms/caf\xE9 \xC3\xA9";
    manifest.files[0].host = "WINDOWS/";
    for (int byte = 1; byte < 0x100; ++byte)
        manifest.files[0].host += byte == '/' ? 'x' : static_cast<char>(byte);
    // Valid UTF-8 of the characters that stand for single bytes (U+F780, U+F7FF), beside one that does not
    // (U+F77F): each must come back as the very bytes.
    manifest.files[1].host = "WINDOWS/\xEF\x9E\x80\xEF\x9F\xBF\xEF\x9D\xBF.txt";
    manifest.marks = {true, true, "1A2B-3C4D", 5, 1048576, "WIN98", {{"ProductId", "1-2"}, {"InstallDate", "hex:01"}}};
    const std::string text = manifest.Text();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80)
            continue;
        ASSERT_TRUE(lead >= 0xC2 && lead <= 0xEF && i + 1 < text.size()) << i;
        i += lead >= 0xE0 ? 2 : 1;
    }
    Manifest read;
    std::string error;
    ASSERT_TRUE(backup::ParseManifest(text, "m.json", read, error)) << error << text;
    EXPECT_EQ(read.machine, manifest.machine);
    EXPECT_EQ(read.files[0].host, manifest.files[0].host);
    EXPECT_EQ(read.files[1].host, manifest.files[1].host);
    EXPECT_TRUE(read.marks.recorded && read.marks.image);
    EXPECT_EQ(read.marks.volumeSerial, "1A2B-3C4D");
    EXPECT_EQ(read.marks.partition, 5);
    EXPECT_EQ(read.marks.partitionStart, 1048576u);
    EXPECT_EQ(read.marks.windowsFolder, "WIN98");
    EXPECT_EQ(read.marks.registry, manifest.marks.registry);
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
