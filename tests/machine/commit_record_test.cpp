// One commit for a machine folder's registry files and removals: whatever call fails (once, or from then
// on as a killed run), the machine after the next start is as it was or as the whole change leaves it; a
// damaged record is refused with nothing changed.
#include "machine/commit_record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "support/faulty_syscalls.h"
#include "support/read_file.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;

namespace {

using test_support::ReadFile;

const char* const kRemoved[] = {"SYSTEM/CMAUDIO.VXD", "INF/OEM3.INF"};

class CommitRecordTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp_.ok());
        machine_ = temp_.path() / "machine";
        fs::create_directories(machine_ / "WINDOWS" / "SYSTEM");
        fs::create_directories(machine_ / "WINDOWS" / "INF");
        const fs::path real = fs::path(CMPCI_SOURCE_DIR) / "tests" / "data" / "real-registry" / "winme";
        for (const char* name : {"SYSTEM.DAT", "USER.DAT"})
            original_.push_back(ReadFile(real / name));
        Reset();
        std::string error;
        ASSERT_TRUE(emulated::OpenMachine(machine_, "", registry_, folder_, error)) << error;
        ASSERT_EQ(registry_.DeleteKey(HKEY_LOCAL_MACHINE, "Network\\Logon"), ERROR_SUCCESS);
        ASSERT_EQ(registry_.DeleteKey(HKEY_USERS, ".DEFAULT\\AppEvents"), ERROR_SUCCESS);
        ASSERT_TRUE(storage::Folder::Open(machine_, top_, error)) << error;
    }

    // The machine as it was: the registry files, the card's files, nothing else.
    void Reset()
    {
        fs::remove(machine_ / emulated::kCommitRecordName);
        for (const fs::directory_entry& entry : fs::directory_iterator(machine_ / "WINDOWS")) {
            if (entry.is_regular_file())
                fs::remove(entry.path());
        }
        std::ofstream(machine_ / "WINDOWS" / "SYSTEM.DAT", std::ios::binary) << original_[0];
        std::ofstream(machine_ / "WINDOWS" / "USER.DAT", std::ios::binary) << original_[1];
        for (const char* file : kRemoved)
            std::ofstream(machine_ / "WINDOWS" / file) << "driver";
    }

    // SYSTEM.DAT, USER.DAT, then whether each of the card's files is there; the names in the machine folder
    // and WINDOWS.
    std::vector<std::string> State() const
    {
        std::vector<std::string> state {ReadFile(machine_ / "WINDOWS" / "SYSTEM.DAT"),
                                        ReadFile(machine_ / "WINDOWS" / "USER.DAT")};
        for (const char* file : kRemoved)
            state.push_back(fs::exists(machine_ / "WINDOWS" / file) ? "there" : "gone");
        std::set<std::string> names;
        for (const fs::path& folder : {machine_, machine_ / "WINDOWS"}) {
            for (const fs::directory_entry& entry : fs::directory_iterator(folder))
                names.insert(entry.path().lexically_relative(machine_).string());
        }
        std::string entries;
        for (const std::string& name : names)
            entries += name + " ";
        state.push_back(entries);
        return state;
    }

    bool Commit(storage::Syscalls& calls, std::string& error)
    {
        emulated::CommitProgress progress;
        return emulated::CommitMachineChange(folder_, registry_, {std::begin(kRemoved), std::end(kRemoved)}, progress,
                                             error, calls);
    }

    void Sweep(bool noLinks);

    test_support::TempFolder temp_ {"cmpci-commit"};
    fs::path machine_;
    std::vector<std::string> original_;
    emulated::Registry registry_;
    emulated::MachineFolder folder_;
    storage::Folder top_;
};

// Also on a file system without unnamed files and hard links (vfat, SMB), where the staged files and the
// record are made under private names and renamed in.
TEST_F(CommitRecordTest, EveryFailingCallLeavesTheMachineAsItWasOrAsTheChangeLeavesIt)
{
    for (const bool noLinks : {false, true}) {
        SCOPED_TRACE(noLinks ? "without links" : "with links");
        Sweep(noLinks);
    }
}

void CommitRecordTest::Sweep(bool noLinks)
{
    std::vector<std::string> before;
    std::vector<std::string> after;
    unsigned finished = 0;
    const unsigned swept = SweepSyscalls(
        [&](storage::Syscalls& calls) {
            Reset();
            if (before.empty())
                before = State();
            std::string error;
            const bool done = Commit(calls, error);
            if (after.empty())
                after = State();
            EXPECT_TRUE(done || !error.empty());
        },
        [&](bool) {
            // The next start: it finishes a recorded change, then clears what an unrecorded one staged.
            std::string said;
            std::string error;
            ASSERT_TRUE(emulated::FinishCutShortCommit(top_, said, error)) << error;
            finished += said.empty() ? 0 : 1;
            emulated::RemoveStaleSaves(folder_);
            const std::vector<std::string> now = State();
            EXPECT_TRUE(now == before || now == after)
                << "SYSTEM.DAT " << (now[0] == before[0] ? "old" : "new") << ", USER.DAT "
                << (now[1] == before[1] ? "old" : "new") << ", files " << now[2] << " " << now[3] << ", entries "
                << now[4];
        },
        noLinks);
    EXPECT_NE(before, after);
    EXPECT_EQ(after[2], "gone");
    EXPECT_GE(swept, 15u);
    EXPECT_GT(finished, 0u) << "no fault left a recorded change to finish";
}

// A record that is not whole, or that names a staged file whose bytes are not those it records, is refused
// with nothing changed, naming the record or the file.
TEST_F(CommitRecordTest, ADamagedRecordOrStagedFileIsRefusedWithNothingChanged)
{
    std::string error;
    // The first call from which on failing (a run killed there) leaves the record.
    unsigned recorded = 0;
    for (unsigned call = 1; recorded == 0 && call < 200; ++call) {
        Reset();
        FaultySyscalls faulty(call, FaultySyscalls::kForever);
        Commit(faulty, error);
        if (fs::exists(machine_ / emulated::kCommitRecordName))
            recorded = call;
    }
    ASSERT_NE(recorded, 0u);
    const struct {
        const char* name;
        bool inRecord;
        int at;  // the byte flipped, from the end when negative
    } cases[] = {{"a bit of the record", true, 40}, {"the record's sum", true, -3}, {"a staged file", false, 4096}};
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        Reset();
        FaultySyscalls faulty(recorded, FaultySyscalls::kForever);
        Commit(faulty, error);
        emulated::CommitRecord record;
        ASSERT_TRUE(emulated::ParseCommitRecord(ReadFile(machine_ / emulated::kCommitRecordName), record, error))
            << error;
        ASSERT_EQ(record.files.size(), 2u);
        ASSERT_EQ(record.removals.size(), 2u);
        const fs::path damaged =
            each.inRecord ? machine_ / emulated::kCommitRecordName : machine_ / record.files[0].staged;
        std::string bytes = ReadFile(damaged);
        bytes[each.at < 0 ? bytes.size() + each.at : static_cast<std::size_t>(each.at)] ^= 0x04;
        std::ofstream(damaged, std::ios::binary | std::ios::trunc) << bytes;
        const std::vector<std::string> cutShort = State();
        std::string said;
        EXPECT_FALSE(emulated::FinishCutShortCommit(top_, said, error));
        EXPECT_NE(error.find(damaged.string()), std::string::npos) << error;
        EXPECT_NE(error.find("and a copy of the machine folder"), std::string::npos) << error;
        EXPECT_EQ(State(), cutShort);
        EXPECT_TRUE(fs::exists(machine_ / emulated::kCommitRecordName));
    }
}

// A folder swapped for a link to the outside after the run found its files: the commit walks from a handle
// on the machine folder without following links, so it removes nothing outside and names the file it could
// not remove.
TEST_F(CommitRecordTest, AFolderSwappedForALinkLeadsNowhere)
{
    std::ofstream(temp_.path() / "CMAUDIO.VXD") << "outside";
    fs::rename(machine_ / "WINDOWS" / "SYSTEM", machine_ / "WINDOWS" / "SYSTEM.away");
    fs::create_directory_symlink(temp_.path(), machine_ / "WINDOWS" / "SYSTEM");
    std::string error;
    EXPECT_FALSE(Commit(storage::Syscalls::Real(), error));
    EXPECT_NE(error.find("SYSTEM/CMAUDIO.VXD"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(temp_.path() / "CMAUDIO.VXD"), "outside");
    EXPECT_TRUE(fs::exists(machine_ / "WINDOWS" / "SYSTEM.away" / "CMAUDIO.VXD"));
    // The change stays recorded, for the next start to finish once the folder is a folder again.
    EXPECT_TRUE(fs::exists(machine_ / emulated::kCommitRecordName));
}

}  // namespace
