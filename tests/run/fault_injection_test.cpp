// Every system call of a whole run on the example machine is made to fail, once and from then on, with
// the failures that call can really have. Whatever fails, the run must end and must remove nothing that a
// clean run would not.
#include "run/run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/fake_system.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The key lines of a registry as saved, one per key.
std::set<std::string> KeyLines(const emulated::Registry& registry)
{
    std::set<std::string> keys;
    std::istringstream text(emulated::SaveRegedit4(registry));
    for (std::string line; std::getline(text, line);) {
        if (!line.empty() && line[0] == '[')
            keys.insert(line);
    }
    return keys;
}

// The Windows paths of the example machine's files.
std::vector<std::string> MachineFiles(const fs::path& windows)
{
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(windows)) {
        if (!entry.is_regular_file())
            continue;
        std::string relative = fs::relative(entry.path(), windows).string();
        for (char& c : relative) {
            if (c == '/')
                c = '\\';
        }
        files.push_back("C:\\WINDOWS\\" + relative);
    }
    return files;
}

struct Failure {
    const char* operation;
    std::int64_t result;
};

// What each operation gives when it fails on a real system.
const Failure kFailures[] = {
    {"RegOpenKeyExA", ERROR_FILE_NOT_FOUND}, {"RegOpenKeyExA", ERROR_ACCESS_DENIED},
    {"RegEnumKeyA", ERROR_MORE_DATA},        {"RegEnumKeyA", ERROR_NO_MORE_ITEMS},
    {"RegEnumKeyA", ERROR_KEY_DELETED},      {"RegQueryValueExA", ERROR_FILE_NOT_FOUND},
    {"RegQueryValueExA", ERROR_MORE_DATA},   {"RegCloseKey", ERROR_INVALID_HANDLE},
    {"RegDeleteKeyA", ERROR_ACCESS_DENIED},  {"remove", -1},
    {"GetWindowsDirectoryA", 0},             {"GetSystemDirectoryA", 0},
    {"MessageBoxExA", 0},                    {"ExitWindowsEx", 0},
};

class FaultInjectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::path machine = fs::path(CMPCI_SOURCE_DIR) / "examples" / "machine";
        registryText_ = ReadFile(machine / "registry.reg");
        ASSERT_FALSE(registryText_.empty());
        files_ = MachineFiles(machine / "WINDOWS");
    }

    void Seed(FakeSystem& system) const
    {
        emulated::LoadResult loaded = system.LoadRegistry(registryText_);
        ASSERT_TRUE(loaded.ok) << loaded.line << ": " << loaded.message;
        for (const std::string& file : files_)
            system.AddFile(file);
    }

    std::string registryText_;
    std::vector<std::string> files_;
};

TEST_F(FaultInjectionTest, EveryFailingCallEndsTheRunAndRemovesNoMoreThanACleanRun)
{
    for (const char* argumentText : {"", "reboot"}) {
        SCOPED_TRACE(std::string("argument text '") + argumentText + "'");
        FakeSystem clean;
        Seed(clean);
        RunState cleanState(clean);
        RunUninstaller(cleanState, argumentText);
        std::set<std::string> cleanKeys = KeyLines(clean.registry());
        std::vector<std::string> cleanFiles = clean.Files();
        FakeSystem untouched;
        Seed(untouched);
        ASSERT_LT(cleanKeys.size(), KeyLines(untouched.registry()).size()) << "the clean run removed no key";
        ASSERT_LT(cleanFiles.size(), files_.size()) << "the clean run removed no file";

        std::size_t runs = 0;
        for (const Failure& failure : kFailures) {
            unsigned count = static_cast<unsigned>(clean.Log(failure.operation).size());
            for (unsigned nth = 1; nth <= count; ++nth) {
                for (auto mode : {FakeSystem::FaultMode::Once, FakeSystem::FaultMode::FromThenOn}) {
                    SCOPED_TRACE(::testing::Message() << failure.operation << " call " << nth << " fails with "
                                                      << failure.result
                                                      << (mode == FakeSystem::FaultMode::Once ? " once" : " on"));
                    FakeSystem system;
                    Seed(system);
                    system.Fail(failure.operation, nth, failure.result, mode);
                    RunState state(system);
                    RunUninstaller(state, argumentText);
                    ++runs;

                    std::set<std::string> keys = KeyLines(system.registry());
                    for (const std::string& key : cleanKeys)
                        ASSERT_EQ(keys.count(key), 1u) << "removed " << key;
                    for (const std::string& file : cleanFiles)
                        ASSERT_TRUE(system.HasFile(file)) << "removed " << file;
                    if (std::string(failure.operation) != "RegCloseKey") {
                        EXPECT_EQ(system.OpenHandles(), 0u);
                    }
                }
            }
        }
        EXPECT_GT(runs, 100u);
        std::printf("%zu faulted runs\n", runs);
    }
}

TEST_F(FaultInjectionTest, EveryCallFailingFromTheStartRemovesNothing)
{
    FakeSystem system;
    Seed(system);
    std::set<std::string> before = KeyLines(system.registry());
    system.Fail("RegOpenKeyExA", 1, ERROR_ACCESS_DENIED, FakeSystem::FaultMode::FromThenOn);
    RunState state(system);
    RunUninstaller(state, "silent");
    EXPECT_EQ(KeyLines(system.registry()), before);
    EXPECT_EQ(system.Files().size(), files_.size());
    EXPECT_FALSE(state.cardFound);
}

}  // namespace
