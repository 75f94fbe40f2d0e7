// --restore where its faults hide: backups taken by real runs on the example machines (REGEDIT4 and binary
// registry files), put back only on the machine they were taken of; every system call of a restore failing
// once or from then on; files "already there" told by their bytes, with contents of the same size; removed
// keys merged into a registry.reg without a final line end; files' times of last change given back. What
// is expected is the machine as it was before the run, byte for byte, as the test copied it.
#include "backup/restore.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>

#include "machine/machine_folder.h"
#include "registry/hive.h"
#include "offline/options.h"
#include "offline/session.h"
#include "offline/target.h"
#include "support/example_machine.h"
#include "support/faulty_syscalls.h"
#include "support/read_file.h"
#include "support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

// Every regular file below a folder, by its path there, with its bytes.
using Tree = std::map<std::string, std::string>;

using test_support::ReadFile;

void Write(const fs::path& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

Tree TreeOf(const fs::path& folder)
{
    Tree tree;
    for (const std::string& file : example::FilesBelow(folder))
        tree[file] = ReadFile(folder / file);
    return tree;
}

void PutTree(const fs::path& folder, const Tree& tree)
{
    fs::remove_all(folder);
    for (const auto& [file, bytes] : tree) {
        fs::create_directories((folder / file).parent_path());
        Write(folder / file, bytes);
    }
}

// The files where two trees differ, for a failure's message.
std::string Differences(const Tree& expected, const Tree& now)
{
    std::string text;
    for (const auto& [file, bytes] : expected) {
        auto there = now.find(file);
        text += there == now.end() ? " missing " + file : there->second != bytes ? " differs " + file : "";
    }
    for (const auto& [file, bytes] : now)
        text += expected.count(file) == 0 ? " extra " + file : "";
    return text;
}

class RestoreTest : public ::testing::Test {
protected:
    // A copy of examples/EXAMPLE named `name`.
    fs::path Copy(const std::string& example, const std::string& name)
    {
        const fs::path machine = root_.path() / name;
        fs::copy(fs::path(CMPCI_SOURCE_DIR) / "examples" / example, machine, fs::copy_options::recursive);
        return machine;
    }
    // A run on `machine` that keeps its backup in `backup`; the test fails unless it exits 0.
    void Run(const fs::path& machine, const fs::path& backup)
    {
        offline::Options options;
        options.machine = machine.string();
        options.answer = offline::Answer::Yes;
        options.quiet = true;
        options.backup = backup.string();
        options.journal = (root_.path() / "run.journal").string();
        std::unique_ptr<offline::Target> target = offline::UnlockedFolderTarget(machine, storage::Syscalls::Real());
        ASSERT_EQ(offline::RunOnTarget(options, *target, ""), 0) << ReadFile(options.journal);
    }
    // Restores `backup` on `machine`, named as `shown`.
    bool Restore(const fs::path& backup, const fs::path& machine, std::string& error,
                 storage::Syscalls& calls = storage::Syscalls::Real(), const fs::path& shown = {})
    {
        restored_ = {};
        return backup::RestoreBackup(backup, {machine, shown.empty() ? machine : shown}, restored_, error, calls);
    }
    std::string Said() const
    {
        std::string text;
        for (const std::string& line : restored_.said)
            text += line + "\n";
        return text;
    }

    test_support::TempFolder root_ {"cmpci-restore"};
    backup::Restored restored_;
};

// The backup's time as the manifest's text holds it, as a user reads it.
std::string TakenAt(const fs::path& backup)
{
    const std::string manifest = ReadFile(backup / "manifest.json");
    std::smatch time;
    if (!std::regex_search(manifest, time, std::regex(R"re("time": "(\d{4}-\d\d-\d\d)T(\d\d:\d\d):\d\dZ")re")))
        return "no time in " + manifest;
    return time[1].str() + " " + time[2].str() + " UTC";
}

// A backup goes back only on the machine it was taken of: the one bearing the registry's marks it records
// (RegisteredOwner and FirstInstallDateTime on the examples), at its path or moved elsewhere. Any other
// machine is refused in one line naming the backup's machine and time and the mark that differs, and keeps
// every byte.
TEST_F(RestoreTest, PutsABackupBackOnlyOnTheMachineItWasTakenOf)
{
    for (const char* example : {"machine", "machine-dat"}) {
        SCOPED_TRACE(example);
        const std::string kind = example;
        const fs::path vmA = Copy(example, kind + "-A");
        const Tree original = TreeOf(vmA);
        const fs::path backup = root_.path() / (kind + ".backup");
        Run(vmA, backup);
        const Tree cleaned = TreeOf(vmA);
        // Another machine: the same example registered to another owner (in a registry file, as its bytes).
        const fs::path vmB = Copy(example, kind + "-B");
        const std::string registry = kind == "machine" ? "registry.reg" : "WINDOWS/SYSTEM.DAT";
        std::string other = ReadFile(vmB / registry);
        for (std::size_t at = other.find("Studio"); at != std::string::npos; at = other.find("Studio", at))
            other.replace(at, 6, "Stable");
        Write(vmB / registry, other);
        const Tree vmBBefore = TreeOf(vmB);
        std::string error;
        EXPECT_FALSE(Restore(backup, vmB, error));
        EXPECT_EQ(error, backup.string() + ": this backup is of " + vmA.string() + " (taken " + TakenAt(backup) +
                             "), not of " + vmB.string() + " (its RegisteredOwner differs)");
        EXPECT_TRUE(TreeOf(vmB) == vmBBefore) << Differences(vmBBefore, TreeOf(vmB));

        // The machine moved elsewhere as the run left it: restored there, and said.
        const fs::path moved = root_.path() / (kind + "-moved");
        PutTree(moved, cleaned);
        error.clear();
        EXPECT_TRUE(Restore(backup, moved, error)) << error;
        EXPECT_TRUE(TreeOf(moved) == original) << Differences(original, TreeOf(moved));
        EXPECT_NE(Said().find("this backup is of " + vmA.string() + " (taken " + TakenAt(backup) + "); " +
                              moved.string() + " bears that machine's marks"),
                  std::string::npos)
            << Said();

        // The machine itself, named through a link and with a trailing slash.
        const fs::path link = root_.path() / (kind + "-link");
        fs::create_directory_symlink(vmA, link);
        EXPECT_TRUE(Restore(backup, vmA, error, storage::Syscalls::Real(), link.string() + "/")) << error;
        EXPECT_TRUE(TreeOf(vmA) == original) << Differences(original, TreeOf(vmA));
        EXPECT_EQ(Said().find("this backup is of"), std::string::npos) << Said();
    }
}

// The files of a tree but the temporary files a save cut short leaves beside its place.
Tree WithoutStaged(const Tree& tree)
{
    Tree files;
    for (const auto& [file, bytes] : tree) {
        if (!std::regex_search(file, std::regex(R"(\.tmp-[A-Za-z0-9]{6}$)")))
            files[file] = bytes;
    }
    return files;
}

// Every system call of a restore of `backup` on `machine` holding `from` failing once, and from then on (a
// restore killed there): the machine ends holding `from` or what a clean restore makes of it, byte for byte.
// A restore cut short with files restored says so, and the same restore run again finishes it (as it
// clears what a save cut short left beside its place).
void SweepRestore(const fs::path& backup, const fs::path& machine, const Tree& from, const Tree& to,
                  bool noLinks = false)
{
    bool done = false;
    backup::RestoreEnd end = backup::RestoreEnd::NothingRestored;
    std::string error;
    const unsigned calls = SweepSyscalls(
        [&](storage::Syscalls& faulty) {
            PutTree(machine, from);
            error.clear();
            backup::Restored restored;
            done = backup::RestoreBackup(backup, {machine, machine}, restored, error, faulty);
            end = restored.end;
        },
        [&](bool killed) {
            const Tree now = TreeOf(machine);
            // Where the restore says it ended is where the machine is.
            EXPECT_EQ(done, end == backup::RestoreEnd::Restored);
            EXPECT_EQ(WithoutStaged(now) == from && !done, end == backup::RestoreEnd::NothingRestored ||
                                                               end == backup::RestoreEnd::TakenBack)
                << error << ":" << Differences(from, now);
            if (done) {
                EXPECT_TRUE(now == to) << Differences(to, now);
                return;
            }
            if (now == from || now == to)
                return;
            ASSERT_TRUE(killed) << error << ":" << Differences(from, now);
            backup::Restored restored;
            std::string again;
            EXPECT_TRUE(backup::RestoreBackup(backup, {machine, machine}, restored, again)) << again;
            EXPECT_TRUE(TreeOf(machine) == to) << Differences(to, TreeOf(machine));
        },
        noLinks);
    EXPECT_GT(calls, 20u);
}

// A binary registry file holding a key more, as a machine used since holds one.
std::string WithKeyAdded(const std::string& hive)
{
    emulated::Registry registry;
    emulated::HiveError damage;
    std::string bytes;
    std::string error;
    EXPECT_TRUE(emulated::LoadHive(hive, registry, HKEY_LOCAL_MACHINE, "", damage)) << damage.message;
    registry.CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Later");
    EXPECT_TRUE(emulated::BuildHive(registry, HKEY_LOCAL_MACHINE, "", bytes, error)) << error;
    return bytes;
}

// Sweeps on each kind of restore: registry.reg and the removed files back byte for byte, the binary
// registry files (two replacements to take back), and the removed keys merged into a registry.reg or a
// SYSTEM.DAT changed since the run, which must be merged once.
TEST_F(RestoreTest, EveryFailingCallEndsWithTheMachineAsItWasOrRestored)
{
    for (const char* example : {"machine", "machine-dat"}) {
        SCOPED_TRACE(example);
        const fs::path machine = Copy(example, example);
        const Tree original = TreeOf(machine);
        const fs::path backup = root_.path() / (std::string(example) + ".backup");
        Run(machine, backup);
        const Tree cleaned = TreeOf(machine);
        SweepRestore(backup, machine, cleaned, original);
        SCOPED_TRACE("the registry changed since the run");
        Tree changed = cleaned;
        if (std::string(example) == "machine")
            changed["registry.reg"] += "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Later]\r\n";
        else
            changed["WINDOWS/SYSTEM.DAT"] = WithKeyAdded(cleaned.at("WINDOWS/SYSTEM.DAT"));
        PutTree(machine, changed);
        std::string error;
        ASSERT_TRUE(Restore(backup, machine, error)) << error;
        SweepRestore(backup, machine, changed, TreeOf(machine));
    }
}

// On a file system with neither unnamed files nor hard links (a vfat stick, an SMB share), a restore stages
// under private names and renames its new files in: it succeeds, and every failing call ends as elsewhere.
TEST_F(RestoreTest, RestoresWithoutUnnamedFilesOrHardLinks)
{
    for (const char* example : {"machine", "machine-dat"}) {
        SCOPED_TRACE(example);
        const fs::path machine = Copy(example, std::string(example) + "-nolinks");
        const Tree original = TreeOf(machine);
        const fs::path backup = root_.path() / (std::string(example) + "-nolinks.backup");
        Run(machine, backup);
        const Tree cleaned = TreeOf(machine);
        FaultySyscalls noLinks;
        noLinks.noLinks = true;
        backup::Restored restored;
        std::string error;
        EXPECT_TRUE(backup::RestoreBackup(backup, {machine, machine}, restored, error, noLinks)) << error;
        EXPECT_TRUE(TreeOf(machine) == original) << Differences(original, TreeOf(machine));
        // One sweep is enough for the new path: both kinds of machine stage their files alike.
        if (std::string(example) == "machine-dat")
            SweepRestore(backup, machine, cleaned, original, true);
    }
}

// A removed file is "already there" only with its own bytes: one of the same size with other bytes is not
// written over, and nothing is restored. A binary registry file the run edited in place keeps its size: it
// holds the run's bytes, not those of before, and is put back.
TEST_F(RestoreTest, AlreadyThereIsToldByTheBytesNotTheSize)
{
    const fs::path machine = Copy("machine-dat", "m");
    const Tree original = TreeOf(machine);
    const fs::path backup = root_.path() / "backup";
    Run(machine, backup);
    const Tree cleaned = TreeOf(machine);
    ASSERT_EQ(cleaned.at("WINDOWS/SYSTEM.DAT").size(), original.at("WINDOWS/SYSTEM.DAT").size());
    ASSERT_NE(cleaned.at("WINDOWS/SYSTEM.DAT"), original.at("WINDOWS/SYSTEM.DAT"));

    const std::string file = "WINDOWS/SYSTEM/CMAUDIO.VXD";
    std::string same = original.at(file);
    std::string other = same;
    other[0] = static_cast<char>(other[0] ^ 1);
    struct Case {
        const char* what;
        const std::string* back;  // the removed file as it came back
        bool restored;
    } cases[] = {{"back with its own bytes", &same, true}, {"back with other bytes of its size", &other, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PutTree(machine, cleaned);
        Write(machine / file, *c.back);
        std::string error;
        EXPECT_EQ(Restore(backup, machine, error), c.restored) << error;
        Tree expected = c.restored ? original : cleaned;
        expected[file] = *c.back;
        EXPECT_TRUE(TreeOf(machine) == expected) << Differences(expected, TreeOf(machine));
        if (c.restored) {
            EXPECT_NE(Said().find("the others were already there"), std::string::npos) << Said();
        } else {
            EXPECT_EQ(error, (machine / file).string() +
                                 " exists again with other content: it is not overwritten");
            EXPECT_EQ(restored_.end, backup::RestoreEnd::NothingRestored);
        }
    }
}

HKEY RootOf(const std::string& key)
{
    return key.rfind("HKEY_CURRENT_USER\\", 0) == 0 ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

// registry.reg changed since the run, its last line without a line end: the removed keys are added back at
// its end, each on a line of its own, the later change kept; also from a removed.reg re-saved by an editor
// with LF line ends and no empty line before its first key.
TEST_F(RestoreTest, RemovedKeysAreAddedBackAfterALastLineWithoutItsEnd)
{
    const example::Removed removed = example::ReadRemoved();
    const std::string added = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Later]\r\n\"Value\"=\"kept\"";
    const struct {
        const char* what;
        bool editedRemovedReg;
    } cases[] = {{"removed.reg as the run wrote it", false}, {"removed.reg re-saved with LF line ends", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const fs::path machine = Copy("machine", std::string("m") + (c.editedRemovedReg ? "2" : "1"));
        // The machine's registry.reg itself ends without a line end.
        std::string text = ReadFile(machine / "registry.reg");
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        Write(machine / "registry.reg", text);
        const fs::path backup = root_.path() / (std::string("backup") + (c.editedRemovedReg ? "2" : "1"));
        Run(machine, backup);
        const std::string later = ReadFile(machine / "registry.reg") + "\r\n\r\n" + added;
        Write(machine / "registry.reg", later);
        if (c.editedRemovedReg) {
            std::string reg = std::regex_replace(ReadFile(backup / "removed.reg"), std::regex("\r\n"), "\n");
            reg = std::regex_replace(reg, std::regex("^REGEDIT4\n\n"), "REGEDIT4\n");
            Write(backup / "removed.reg", reg);
        }
        std::string error;
        ASSERT_TRUE(Restore(backup, machine, error)) << error;
        const std::string merged = ReadFile(machine / "registry.reg");
        EXPECT_EQ(merged.rfind(later, 0), 0u) << "the later change is not kept as it was";
        // Each key's section starts a line, as the format has it.
        std::smatch header;
        const std::string reg = ReadFile(backup / "removed.reg");
        for (auto at = reg.cbegin(); std::regex_search(at, reg.cend(), header, std::regex(R"(\n(\[[^\r\n]*\]))"));
             at = header[0].second) {
            EXPECT_NE(merged.find("\n" + header[1].str(), later.size()), std::string::npos) << header[1];
        }

        emulated::Registry registry;
        emulated::MachineFolder folder;
        ASSERT_TRUE(emulated::OpenMachine(machine, "", registry, folder, error)) << error;
        for (const std::string& key : removed.keys) {
            const std::string path = key.substr(key.find('\\') + 1);
            EXPECT_TRUE(registry.KeyExists(RootOf(key), path)) << key << " is not back:\n" << merged;
        }
        const emulated::Value* value = registry.FindValue(HKEY_LOCAL_MACHINE, "SOFTWARE\\Later", "Value");
        ASSERT_NE(value, nullptr) << merged;
        EXPECT_EQ(value->data, "kept");
    }
}

timespec ModifiedOf(const fs::path& file)
{
    struct stat status { };
    EXPECT_EQ(lstat(file.c_str(), &status), 0) << file;
    return status.st_mtim;
}

// The files a restore puts back byte for byte get back the times of last change they had before the run; a
// backup of an older version, whose manifest has no times, still restores every byte.
TEST_F(RestoreTest, RestoredFilesGetBackTheirTimesOfLastChange)
{
    const timespec old[2] = {{0, UTIME_OMIT}, {924906122, 123456789}};  // 1999-04-23 22:22:02.123456789 UTC
    const struct {
        const char* what;
        bool olderManifest;
    } cases[] = {{"this version's manifest", false}, {"an older version's manifest", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = c.olderManifest ? "older" : "this";
        const fs::path machine = Copy("machine", name);
        const std::vector<std::string> files = {"registry.reg", "WINDOWS/SYSTEM/CMAUDIO.VXD", "WINDOWS/INF/oem4.inf"};
        for (const std::string& file : files)
            ASSERT_EQ(utimensat(AT_FDCWD, (machine / file).c_str(), old, AT_SYMLINK_NOFOLLOW), 0);
        const Tree original = TreeOf(machine);
        const fs::path backup = root_.path() / (name + ".backup");
        Run(machine, backup);
        if (c.olderManifest) {
            const std::string manifest = ReadFile(backup / "manifest.json");
            std::string older = std::regex_replace(manifest, std::regex(R"(, "modified": "[0-9.]+")"), "");
            older = std::regex_replace(older, std::regex(R"(  "registryStamp": \{[^}]*\},\n)"), "");
            ASSERT_EQ(older.find("modified"), std::string::npos) << older;
            Write(backup / "manifest.json", older);
        }
        std::string error;
        ASSERT_TRUE(Restore(backup, machine, error)) << error;
        EXPECT_TRUE(TreeOf(machine) == original) << Differences(original, TreeOf(machine));
        for (const std::string& file : files) {
            const timespec now = ModifiedOf(machine / file);
            const bool same = now.tv_sec == old[1].tv_sec && now.tv_nsec == old[1].tv_nsec;
            EXPECT_EQ(same, !c.olderManifest) << file << ": " << now.tv_sec << "." << now.tv_nsec;
        }
    }
}

}  // namespace
