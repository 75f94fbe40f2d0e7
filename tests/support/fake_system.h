// A test double of the system operations: the registry is an emulated::Registry built from REGEDIT4 text,
// the files are an in-memory set of Windows paths, and everything else (directories, language, boxes,
// restart) is settable. Every call is logged in order as one readable line, and any call can be made to
// fail with a chosen result.
//
// Log lines, one per call, whether it succeeded or not:
//   RegOpenKeyExA HKLM <path>        (HKCU, HKCR, HKU ... for the other roots)
//   RegEnumKeyA <index>
//   RegQueryValueExA <value name>
//   RegCloseKey
//   RegDeleteKeyA HKLM <path>
//   remove <path>
//   GetWindowsDirectoryA             GetSystemDirectoryA
//   GetUserDefaultLangID
//   MessageBoxExA <caption>: <text>
//   ExitWindowsEx <flags>
//   GetLastError
//
// Faults: Fail(match, nth, result) makes the nth call (counting from 1) whose log line begins with `match`
// return `result` without doing anything (no key opened or deleted, nothing written to any buffer, no file
// removed, no box recorded). An empty `match` counts every call, an operation name ("RegEnumKeyA") counts
// that operation, a longer text ("RegOpenKeyExA HKLM Enum\PCI\X") counts the calls on one path. With
// FaultMode::FromThenOn every later matching call fails too. When several faults hit one call, the first
// one added decides the result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "system/emulated/registry.h"
#include "system/system_ops.h"

class FakeSystem final : public SystemOps {
public:
    FakeSystem();
    ~FakeSystem();
    FakeSystem(const FakeSystem&) = delete;
    FakeSystem& operator=(const FakeSystem&) = delete;

    // --- Set-up and inspection -------------------------------------------------------------------------

    // Loads REGEDIT4 text into the (still empty) registry; see emulated::LoadRegedit4.
    emulated::LoadResult LoadRegistry(std::string_view regedit4);
    emulated::Registry& registry() { return registry_; }
    const emulated::Registry& registry() const { return registry_; }
    bool KeyExists(HKEY root, std::string_view path) const { return registry_.KeyExists(root, path); }

    // Files are full Windows paths such as C:\WINDOWS\SYSTEM\cmaudio.vxd, matched without regard to the
    // case of ASCII letters. RemoveFile removes a listed file and returns 0, else returns -1.
    void AddFile(std::string_view path);
    bool HasFile(std::string_view path) const;
    const std::vector<std::string>& Files() const { return files_; }

    // The texts GetWindowsDirectoryA and GetSystemDirectoryA give; C:\WINDOWS and C:\WINDOWS\SYSTEM at
    // first. Like Windows, a buffer too small for the text and its terminator gets nothing, and the call
    // returns the size needed, terminator included. A failing query is made with Fail(..., 0).
    void SetWindowsDirectory(std::string text) { windowsDirectory_ = std::move(text); }
    void SetSystemDirectory(std::string text) { systemDirectory_ = std::move(text); }

    // GetUserDefaultLangID's answer; 1033 at first.
    void SetLanguage(LANGID language) { language_ = language; }

    // Message boxes take the queued answers in order; with none left, a Yes/No box answers IDYES and any
    // other box IDOK. Every box shown is recorded.
    struct Box {
        std::string text;
        std::string caption;
        UINT type = 0;
        WORD language = 0;
        HWND owner = nullptr;
    };
    void QueueBoxAnswer(int answer) { answers_.push_back(answer); }
    const std::vector<Box>& Boxes() const { return boxes_; }

    // ExitWindowsEx returns `result` (TRUE at first); on FALSE GetLastError then gives `lastError`.
    void SetExitWindowsResult(BOOL result, DWORD lastError = 0)
    {
        exitWindowsResult_ = result;
        exitWindowsError_ = lastError;
    }
    // Requests that ExitWindowsEx accepted, with their flags.
    const std::vector<UINT>& Restarts() const { return restarts_; }
    void SetLastErrorValue(DWORD value) { lastError_ = value; }

    // --- Log and faults --------------------------------------------------------------------------------

    struct Call {
        std::string text;
        std::int64_t result = 0;  // what the call returned, as a number
        bool faulted = false;     // the result came from a fault
    };
    const std::vector<Call>& Calls() const { return calls_; }
    // The log lines alone, or those beginning with `prefix`.
    std::vector<std::string> Log(std::string_view prefix = {}) const;
    void ClearLog() { calls_.clear(); }

    enum class FaultMode { Once, FromThenOn };
    void Fail(std::string match, unsigned nth, std::int64_t result, FaultMode mode = FaultMode::Once);
    void ClearFaults() { faults_.clear(); }

    // Keys opened through this double and not closed yet.
    std::size_t OpenHandles() const { return registry_.OpenHandles(); }

    // --- The system operations -------------------------------------------------------------------------

    LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access, HKEY* result) override;
    LONG RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD nameCapacity) override;
    LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                          DWORD* dataSize) override;
    LONG RegCloseKey(HKEY key) override;
    LONG RegDeleteKeyA(HKEY root, const char* subKey) override;
    int RemoveFile(const char* path) override;
    UINT GetWindowsDirectoryA(char* buffer, UINT size) override;
    UINT GetSystemDirectoryA(char* buffer, UINT size) override;
    LANGID GetUserDefaultLangID() override;
    int MessageBoxExA(HWND owner, const char* text, const char* caption, UINT type, WORD languageId) override;
    BOOL ExitWindowsEx(UINT flags, DWORD reserved) override;
    DWORD GetLastError() override;

private:
    struct Fault {
        std::string match;
        unsigned nth = 0;
        std::int64_t result = 0;
        FaultMode mode = FaultMode::Once;
        unsigned seen = 0;
    };

    // Counts the call against every fault; true with *result set when one of them fires.
    bool Faulted(const std::string& text, std::int64_t* result);
    void Record(std::string text, std::int64_t result, bool faulted = false);
    UINT Directory(const char* operation, const std::string& text, char* buffer, UINT size);

    emulated::Registry registry_;
    std::vector<std::string> files_;
    std::string windowsDirectory_ = "C:\\WINDOWS";
    std::string systemDirectory_ = "C:\\WINDOWS\\SYSTEM";
    LANGID language_ = 1033;
    std::vector<int> answers_;
    std::vector<Box> boxes_;
    BOOL exitWindowsResult_ = 1;
    DWORD exitWindowsError_ = 0;
    std::vector<UINT> restarts_;
    DWORD lastError_ = 0;
    std::vector<Call> calls_;
    std::vector<Fault> faults_;
};

