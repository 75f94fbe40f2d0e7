// A small double of the system operations for the steps' unit tests: the registry calls go to an emulated
// registry, as on the emulated machine; the files and the two directories are plain state that a test sets
// and reads. Wrap it in a FaultySystem for a call log or failing calls.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/run_state.h"
#include "support/faulty_system.h"
#include "registry/names.h"
#include "registry/registry.h"
#include "system/system_ops.h"

class FakeSystem final : public SystemOps {
public:
    emulated::Registry registry;
    // Full Windows paths such as C:\WINDOWS\SYSTEM\cmaudio.vxd, matched without regard to case.
    std::vector<std::string> files;
    std::vector<std::string> filesRemoved;
    std::string windowsDirectory = "C:\\WINDOWS";
    std::string systemDirectory = "C:\\WINDOWS\\SYSTEM";

    bool HasFile(std::string_view path) const { return Find(path) != files.end(); }

    LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD, REGSAM, HKEY* result) override
    {
        return registry.OpenKey(root, subKey, result);
    }
    LONG RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD capacity) override
    {
        return registry.EnumKey(key, index, name, capacity);
    }
    LONG RegQueryValueExA(HKEY key, const char* name, DWORD*, DWORD* type, BYTE* data, DWORD* size) override
    {
        return registry.QueryValue(key, name, type, data, size);
    }
    LONG RegCloseKey(HKEY key) override { return registry.CloseKey(key); }
    LONG RegDeleteKeyA(HKEY root, const char* subKey) override { return registry.DeleteKey(root, subKey); }
    int RemoveFile(const char* path) override
    {
        auto found = Find(path);
        if (found == files.end())
            return -1;
        filesRemoved.push_back(*found);
        files.erase(found);
        return 0;
    }
    UINT GetWindowsDirectoryA(char* buffer, UINT size) override { return Copy(windowsDirectory, buffer, size); }
    UINT GetSystemDirectoryA(char* buffer, UINT size) override { return Copy(systemDirectory, buffer, size); }
    // The steps these tests run ask for no language, box or restart: the run tests use the emulated machine.
    LANGID GetUserDefaultLangID() override { return 1033; }
    int MessageBoxExA(HWND, const char*, const char*, UINT, WORD) override { return 0; }
    BOOL ExitWindowsEx(UINT, DWORD) override { return 0; }
    DWORD GetLastError() override { return ERROR_ACCESS_DENIED; }

private:
    std::vector<std::string>::const_iterator Find(std::string_view path) const
    {
        auto same = [&](const std::string& file) { return emulated::SameName(file, path); };
        return std::find_if(files.begin(), files.end(), same);
    }

    // Like Windows: a buffer too small for the text and its terminator gets nothing, and the size needed
    // (terminator included) comes back.
    static UINT Copy(const std::string& text, char* buffer, UINT size)
    {
        auto length = static_cast<UINT>(text.size());
        if (length >= size)
            return length + 1;
        std::memcpy(buffer, text.c_str(), length + 1);
        return length;
    }
};

// A step's test bench: the double, the call log around it and the run state, for one test or one table case.
struct StepBench {
    FakeSystem fake;
    FaultySystem sys {fake};
    RunState state {sys};

    // The keys deleted and files removed, as asked for, in order: the paths alone.
    std::vector<std::string> Deletions() const
    {
        std::vector<std::string> paths;
        for (const Call& call : sys.calls()) {
            if (call.op == Op::RegDeleteKeyA || call.op == Op::RemoveFile)
                paths.push_back(call.arg);
        }
        return paths;
    }
};
