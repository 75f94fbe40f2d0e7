// The fault sweep on the real Win32 provider, in the registry and the Windows directory of a Wine prefix.
// The machine is the card machine of the Wine scripts: card_machine.reg (compiled in) and the card's files
// with their neighbours. Before every run the trees the removal works in are deleted and built again from
// that text, and the files are written again.
//
// Only the interactive mode (an empty argument text) is swept. Without a display Wine cannot show a box, so
// every box fails as a faulted one does, which the run takes as consent. The restart mode is left to the
// emulated sweep: a real ExitWindowsEx under Wine ends every process of the prefix, this program included.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "card_machine_reg.h"
#include "support/fault_sweep.h"
#include "system/win32/win32_system.h"

namespace {

struct Tree {
    HKEY root;
    const char* rootName;
    const char* path;
};

// The trees the removal reads and deletes in; every key of the card machine lies in one of them.
const Tree kTrees[] = {
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "Enum"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "System\\CurrentControlSet\\Services\\Class"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "System\\CurrentControlSet\\Control\\MediaResources"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"},
    {HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control"},
};

enum class Folder { Windows, System, Inf, InfOther };

struct MachineFile {
    Folder folder;
    const char* name;
    bool card;  // a clean run removes it
};

// The files of the card machine, as the Wine scripts lay them out.
const MachineFile kFiles[] = {
    {Folder::System, "CMAUDIO.VXD", true},   {Folder::System, "cmpci95.drv", true},
    {Folder::System, "cmpcifm.drv", true},   {Folder::System, "cmmpupci.drv", true},
    {Folder::System, "cmswmpu.vxd", true},   {Folder::System, "cmmpu.exe", true},
    {Folder::System, "smidi32.dll", true},   {Folder::System, "a3d.dll", true},
    {Folder::System, "C3D.DLL", true},       {Folder::Windows, "Cldrune.exe", true},
    {Folder::Inf, "OEM5.INF", true},         {Folder::InfOther, "OEM5.INF", true},
    {Folder::Inf, "OEM7.INF", true},         {Folder::Inf, "oem8.inf", true},
    {Folder::InfOther, "OEM8.INF", true},    {Folder::System, "cmaudio.vxd.bak", false},
    {Folder::System, "msjstick.drv", false}, {Folder::Windows, "CLDRUNE.INI", false},
    {Folder::Inf, "OEM6.INF", false},        {Folder::InfOther, "OEM6.INF", false},
    {Folder::Inf, "OEM9.INF", false},        {Folder::InfOther, "readme.txt", false},
};

struct RegValue {
    std::string name;
    DWORD type;
    std::string data;
};

struct RegKey {
    HKEY root;
    std::string rootName;
    std::string path;
    std::vector<RegValue> values;

    std::string FullName() const { return rootName + "\\" + path; }
};

// A quoted REGEDIT4 text from line[at] (the opening quote) with its \\ and \" escapes; `at` ends past the
// closing quote.
bool Quoted(const std::string& line, std::size_t& at, std::string& text)
{
    if (at >= line.size() || line[at] != '"')
        return false;
    for (++at; at < line.size(); ++at) {
        char c = line[at];
        if (c == '"') {
            ++at;
            return true;
        }
        if (c == '\\' && at + 1 < line.size())
            c = line[++at];
        text += c;
    }
    return false;
}

bool ParseData(const std::string& text, RegValue& value)
{
    if (!text.empty() && text[0] == '"') {
        std::size_t at = 0;
        value.type = REG_SZ;
        if (!Quoted(text, at, value.data) || at != text.size())
            return false;
        value.data += '\0';
        return true;
    }
    if (text.rfind("dword:", 0) == 0 && text.size() == 14) {
        char* end = nullptr;
        unsigned long number = std::strtoul(text.c_str() + 6, &end, 16);
        if (*end != '\0')
            return false;
        value.type = REG_DWORD;
        for (int i = 0; i < 4; ++i)
            value.data += static_cast<char>((number >> (8 * i)) & 0xff);
        return true;
    }
    if (text.rfind("hex:", 0) == 0) {
        value.type = REG_BINARY;
        for (std::size_t at = 4; at < text.size(); at += 3) {
            char* end = nullptr;
            std::string pair = text.substr(at, 2);
            unsigned long byte = std::strtoul(pair.c_str(), &end, 16);
            if (pair.size() != 2 || *end != '\0' || (at + 2 < text.size() && text[at + 2] != ','))
                return false;
            value.data += static_cast<char>(byte);
        }
        return true;
    }
    return false;
}

// The keys of a REGEDIT4 text below HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER, in order. A line it does not
// know is a test failure, so that no part of the machine is dropped unseen.
std::vector<RegKey> ParseRegedit4(const std::string& text)
{
    std::vector<RegKey> keys;
    std::size_t start = 0;
    unsigned number = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line == "REGEDIT4")
            continue;
        if (line.front() == '[' && line.back() == ']') {
            std::string full = line.substr(1, line.size() - 2);
            std::size_t slash = full.find('\\');
            std::string rootName = full.substr(0, slash);
            HKEY root = rootName == "HKEY_LOCAL_MACHINE"  ? HKEY_LOCAL_MACHINE
                        : rootName == "HKEY_CURRENT_USER" ? HKEY_CURRENT_USER
                                                          : nullptr;
            if (root == nullptr || slash == std::string::npos) {
                ADD_FAILURE() << "line " << number << ": a key outside the known roots: " << line;
                continue;
            }
            keys.push_back({root, rootName, full.substr(slash + 1), {}});
            continue;
        }
        RegValue value;
        std::size_t at = 0;
        bool named = line[0] == '@' ? (at = 1, true) : Quoted(line, at, value.name);
        if (keys.empty() || !named || at >= line.size() || line[at] != '=' || !ParseData(line.substr(at + 1), value)) {
            ADD_FAILURE() << "line " << number << ": not a value line this reader knows: " << line;
            continue;
        }
        keys.back().values.push_back(value);
    }
    return keys;
}

bool Below(const RegKey& key, const Tree& tree)
{
    std::string path = tree.path;
    return key.root == tree.root && (::lstrcmpiA(key.path.c_str(), tree.path) == 0 ||
                                     (key.path.size() > path.size() && key.path[path.size()] == '\\' &&
                                      ::lstrcmpiA(key.path.substr(0, path.size()).c_str(), tree.path) == 0));
}

// Deletes the key `name` below `parent` with everything under it; false when some of it stays.
bool DeleteTree(HKEY parent, const char* name)
{
    HKEY key = nullptr;
    LONG opened = ::RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &key);
    if (opened == ERROR_FILE_NOT_FOUND)
        return true;
    if (opened != ERROR_SUCCESS)
        return false;
    char child[256];
    bool ok = true;
    while (ok && ::RegEnumKeyA(key, 0, child, sizeof child) == ERROR_SUCCESS)
        ok = DeleteTree(key, child);
    ::RegCloseKey(key);
    return ok && ::RegDeleteKeyA(parent, name) == ERROR_SUCCESS;
}

// Adds "<prefix>\<name>" for every key below `key`, depth-first.
void ListKeys(HKEY key, const std::string& prefix, std::set<std::string>& keys)
{
    char name[256];
    for (DWORD index = 0; ::RegEnumKeyA(key, index, name, sizeof name) == ERROR_SUCCESS; ++index) {
        std::string full = prefix + "\\" + name;
        keys.insert(full);
        HKEY child = nullptr;
        if (::RegOpenKeyExA(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot open " << full;
            continue;
        }
        ListKeys(child, full, keys);
        ::RegCloseKey(child);
    }
}

class WineCardMachine final : public SweepMachine {
public:
    WineCardMachine() : keys_(ParseRegedit4(kCardMachineReg))
    {
        char path[MAX_PATH];
        UINT length = ::GetWindowsDirectoryA(path, sizeof path);
        EXPECT_TRUE(length > 0 && length < sizeof path);
        windows_ = path;
        length = ::GetSystemDirectoryA(path, sizeof path);
        EXPECT_TRUE(length > 0 && length < sizeof path);
        system_ = path;
        for (const RegKey& key : keys_) {
            EXPECT_TRUE(std::any_of(std::begin(kTrees), std::end(kTrees), [&](const Tree& t) { return Below(key, t); }))
                << key.FullName() << " lies outside the trees a fresh machine is built in";
        }
    }

    SystemOps& Fresh() override
    {
        for (const Tree& tree : kTrees)
            EXPECT_TRUE(DeleteTree(tree.root, tree.path)) << tree.rootName << "\\" << tree.path;
        for (const RegKey& key : keys_) {
            HKEY handle = nullptr;
            LONG created =
                ::RegCreateKeyExA(key.root, key.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr);
            if (created != ERROR_SUCCESS) {
                ADD_FAILURE() << "cannot create " << key.FullName() << ": " << created;
                continue;
            }
            for (const RegValue& value : key.values) {
                EXPECT_EQ(::RegSetValueExA(handle, value.name.empty() ? nullptr : value.name.c_str(), 0, value.type,
                                           reinterpret_cast<const BYTE*>(value.data.data()),
                                           static_cast<DWORD>(value.data.size())),
                          ERROR_SUCCESS)
                    << key.FullName() << " value " << value.name;
            }
            ::RegCloseKey(handle);
        }

        ::CreateDirectoryA(FolderPath(Folder::Inf).c_str(), nullptr);
        ::CreateDirectoryA(FolderPath(Folder::InfOther).c_str(), nullptr);
        for (const MachineFile& file : kFiles) {
            std::string path = FilePath(file);
            HANDLE handle =
                ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (handle == INVALID_HANDLE_VALUE) {
                ADD_FAILURE() << "cannot write " << path;
                continue;
            }
            std::string content = "content of " + std::string(file.name) + "\r\n";
            DWORD written = 0;
            EXPECT_TRUE(::WriteFile(handle, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
            ::CloseHandle(handle);
        }
        return provider_;
    }

    // Every key of the trees, and every file of the four folders the removal deletes in.
    std::set<std::string> Contents() override
    {
        std::set<std::string> contents;
        for (const Tree& tree : kTrees) {
            HKEY key = nullptr;
            if (::RegOpenKeyExA(tree.root, tree.path, 0, KEY_READ, &key) != ERROR_SUCCESS)
                continue;
            std::string name = std::string(tree.rootName) + "\\" + tree.path;
            contents.insert(name);
            ListKeys(key, name, contents);
            ::RegCloseKey(key);
        }
        for (Folder folder : {Folder::Windows, Folder::System, Folder::Inf, Folder::InfOther}) {
            std::string path = FolderPath(folder);
            WIN32_FIND_DATAA found;
            HANDLE search = ::FindFirstFileA((path + "\\*").c_str(), &found);
            if (search == INVALID_HANDLE_VALUE)
                continue;
            do {
                if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                    contents.insert("file " + path + "\\" + found.cFileName);
            } while (::FindNextFileA(search, &found));
            ::FindClose(search);
        }
        return contents;
    }

    const std::vector<RegKey>& keys() const { return keys_; }

    std::string FilePath(const MachineFile& file) const { return FolderPath(file.folder) + "\\" + file.name; }

private:
    std::string FolderPath(Folder folder) const
    {
        switch (folder) {
        case Folder::Windows: return windows_;
        case Folder::System: return system_;
        case Folder::Inf: return windows_ + "\\inf";
        case Folder::InfOther: return windows_ + "\\inf\\other";
        }
        return {};
    }

    std::vector<RegKey> keys_;
    std::string windows_;
    std::string system_;
    Win32System provider_;
};

// A box would wait for an answer on a display; without one it fails at once.
bool HasDisplay()
{
    char value[8];
    return ::GetEnvironmentVariableA("DISPLAY", value, sizeof value) > 0;
}

bool Contains(const std::set<std::string>& contents, const std::string& item)
{
    return contents.count(item) != 0;
}

// The machine is really there, a clean run really takes the card from it, and a fresh machine is the same
// again: the sweep's comparisons rest on these.
TEST(WineFaultSweepTest, ACleanRunTakesTheCardAndAFreshMachineIsWholeAgain)
{
    ASSERT_FALSE(HasDisplay()) << "run without a display, or the boxes wait for an answer";
    WineCardMachine machine;
    SystemOps& provider = machine.Fresh();
    const std::set<std::string> before = machine.Contents();
    for (const RegKey& key : machine.keys())
        EXPECT_TRUE(Contains(before, key.FullName())) << key.FullName();
    for (const MachineFile& file : kFiles)
        EXPECT_TRUE(Contains(before, "file " + machine.FilePath(file))) << machine.FilePath(file);

    RunState state(provider);
    RunUninstaller(state, "");
    EXPECT_TRUE(state.cardFound);
    const std::set<std::string> after = machine.Contents();
    for (const MachineFile& file : kFiles)
        EXPECT_EQ(Contains(after, "file " + machine.FilePath(file)), !file.card) << machine.FilePath(file);
    for (const char* gone : {
             "HKEY_LOCAL_MACHINE\\Enum\\PCI\\VEN_13F6&DEV_0111&SUBSYS_011113F6&REV_10",
             "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0001",
             "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\PelkoSoundDrune",
             "HKEY_CURRENT_USER\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Applets\\Volume Control\\"
             "C-Media Audio Mixer",
         }) {
        EXPECT_TRUE(Contains(before, gone)) << gone;
        EXPECT_FALSE(Contains(after, gone)) << gone;
    }
    for (const char* kept : {
             "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0000",
             "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OtherProgram",
         }) {
        EXPECT_TRUE(Contains(after, kept)) << kept;
    }

    machine.Fresh();
    EXPECT_EQ(machine.Contents(), before);
}

TEST(WineFaultSweepTest, EveryFailingCallEndsTheRunAndRemovesNoMoreThanACleanRun)
{
    ASSERT_FALSE(HasDisplay()) << "run without a display, or the boxes wait for an answer";
    WineCardMachine machine;
    auto start = std::chrono::steady_clock::now();
    unsigned runs = SweepFaults(machine, "");
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(runs, 200u);
    std::printf("argument text '': %u faulted runs in %.1f s\n", runs, seconds);
    RecordProperty("faulted_runs", static_cast<int>(runs));
}

}  // namespace
