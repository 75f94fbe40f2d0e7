// The fault sweep on a copy of the bundled example machine: every call of a whole run fails in turn, in
// the interactive and the restart mode.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "registry/regedit4.h"
#include "support/example_machine.h"
#include "support/fault_sweep.h"
#include "machine/machine.h"
#include "machine/machine_folder.h"

namespace {

class EmulatedExample final : public SweepMachine {
public:
    SystemOps& Fresh() override
    {
        copy_.RestoreFiles();
        registry_ = std::make_unique<emulated::Registry>();
        emulated::MachineFolder folder;
        std::string error;
        EXPECT_TRUE(emulated::OpenMachine(copy_.path(), "", *registry_, folder, error)) << error;
        journal_ = std::make_unique<emulated::Journal>();
        emulated::MachineOptions options;
        options.answers.preset = emulated::BoxPreset::Yes;
        machine_ = std::make_unique<emulated::EmulatedMachine>(*registry_, folder.windowsFolder, options, *journal_);
        return *machine_;
    }

    // The key lines of the registry as saved, and the files of the machine folder.
    std::set<std::string> Contents() override
    {
        std::set<std::string> contents = example::FilesBelow(copy_.path());
        std::istringstream text(emulated::SaveRegedit4(*registry_));
        for (std::string line; std::getline(text, line);) {
            if (!line.empty() && line[0] == '[')
                contents.insert(line);
        }
        return contents;
    }

private:
    example::Copy copy_ {"fault-sweep"};
    std::unique_ptr<emulated::Registry> registry_;
    std::unique_ptr<emulated::Journal> journal_;
    std::unique_ptr<emulated::EmulatedMachine> machine_;
};

TEST(FaultInjectionTest, EveryFailingCallEndsTheRunAndRemovesNoMoreThanACleanRun)
{
    for (const char* argumentText : {"", "reboot"}) {
        SCOPED_TRACE(std::string("argument text '") + argumentText + "'");
        EmulatedExample machine;
        unsigned runs = SweepFaults(machine, argumentText);
        EXPECT_GT(runs, 200u);
        std::printf("argument text '%s': %u faulted runs\n", argumentText, runs);
    }
}

// The sweep compares with a clean run; this one checks that a run on which every key fails to open takes
// nothing at all.
TEST(FaultInjectionTest, EveryOpenFailingFromTheStartRemovesNothing)
{
    EmulatedExample machine;
    FaultySystem sys(machine.Fresh(), {1, FaultRule::kForever, Op::RegOpenKeyExA, ERROR_ACCESS_DENIED});
    std::set<std::string> before = machine.Contents();
    RunState state(sys);
    RunUninstaller(state, "silent");
    EXPECT_EQ(machine.Contents(), before);
    EXPECT_FALSE(state.cardFound);
}

}  // namespace
