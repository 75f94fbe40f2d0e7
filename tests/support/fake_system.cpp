#include "support/fake_system.h"

#include "system/emulated/names.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

std::string Text(const char* text)
{
    return text != nullptr ? std::string(text) : std::string("(null)");
}

}  // namespace

FakeSystem::FakeSystem() = default;
FakeSystem::~FakeSystem() = default;

emulated::LoadResult FakeSystem::LoadRegistry(std::string_view regedit4)
{
    return emulated::LoadRegedit4(std::string(regedit4), registry_);
}

void FakeSystem::AddFile(std::string_view path)
{
    if (!HasFile(path))
        files_.emplace_back(path);
}

bool FakeSystem::HasFile(std::string_view path) const
{
    return std::any_of(files_.begin(), files_.end(),
                       [&](const std::string& file) { return emulated::SameName(file, path); });
}

std::vector<std::string> FakeSystem::Log(std::string_view prefix) const
{
    std::vector<std::string> lines;
    for (const Call& call : calls_) {
        if (call.text.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(call.text);
    }
    return lines;
}

void FakeSystem::Fail(std::string match, unsigned nth, std::int64_t result, FaultMode mode)
{
    faults_.push_back(Fault{std::move(match), nth, result, mode, 0});
}

bool FakeSystem::Faulted(const std::string& text, std::int64_t* result)
{
    bool fired = false;
    for (Fault& fault : faults_) {
        if (text.compare(0, fault.match.size(), fault.match) != 0)
            continue;
        ++fault.seen;
        bool hit = fault.mode == FaultMode::Once ? fault.seen == fault.nth : fault.seen >= fault.nth;
        if (hit && !fired) {
            fired = true;
            *result = fault.result;
        }
    }
    if (fired)
        Record(text, *result, true);
    return fired;
}

void FakeSystem::Record(std::string text, std::int64_t result, bool faulted)
{
    calls_.push_back(Call{std::move(text), result, faulted});
}

LONG FakeSystem::RegOpenKeyExA(HKEY root, const char* subKey, DWORD, REGSAM, HKEY* result)
{
    std::string text = std::string("RegOpenKeyExA ") + emulated::ShortRootName(root) + " " + Text(subKey);
    std::int64_t fault = 0;
    if (Faulted(text, &fault)) {
        *result = nullptr;
        return static_cast<LONG>(fault);
    }
    LONG status = registry_.OpenKey(root, subKey, result);
    if (status != ERROR_SUCCESS)
        *result = nullptr;
    Record(std::move(text), status);
    return status;
}

LONG FakeSystem::RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD nameCapacity)
{
    std::string text = "RegEnumKeyA " + std::to_string(index);
    std::int64_t fault = 0;
    if (Faulted(text, &fault))
        return static_cast<LONG>(fault);
    LONG status = registry_.EnumKey(key, index, name, nameCapacity);
    Record(std::move(text), status);
    return status;
}

LONG FakeSystem::RegQueryValueExA(HKEY key, const char* valueName, DWORD*, DWORD* type, BYTE* data,
                                  DWORD* dataSize)
{
    std::string text = "RegQueryValueExA " + Text(valueName);
    std::int64_t fault = 0;
    if (Faulted(text, &fault))
        return static_cast<LONG>(fault);
    LONG status = registry_.QueryValue(key, valueName, type, data, dataSize);
    Record(std::move(text), status);
    return status;
}

LONG FakeSystem::RegCloseKey(HKEY key)
{
    std::string text = "RegCloseKey";
    std::int64_t fault = 0;
    if (Faulted(text, &fault))
        return static_cast<LONG>(fault);
    LONG status = registry_.CloseKey(key);
    Record(std::move(text), status);
    return status;
}

LONG FakeSystem::RegDeleteKeyA(HKEY root, const char* subKey)
{
    std::string text = std::string("RegDeleteKeyA ") + emulated::ShortRootName(root) + " " + Text(subKey);
    std::int64_t fault = 0;
    if (Faulted(text, &fault))
        return static_cast<LONG>(fault);
    LONG status = registry_.DeleteKey(root, subKey);
    Record(std::move(text), status);
    return status;
}

int FakeSystem::RemoveFile(const char* path)
{
    std::string text = "remove " + Text(path);
    std::int64_t fault = 0;
    if (Faulted(text, &fault))
        return static_cast<int>(fault);
    int status = -1;
    if (path != nullptr) {
        auto found = std::find_if(files_.begin(), files_.end(),
                                  [&](const std::string& file) { return emulated::SameName(file, path); });
        if (found != files_.end()) {
            files_.erase(found);
            status = 0;
        }
    }
    Record(std::move(text), status);
    return status;
}

UINT FakeSystem::Directory(const char* operation, const std::string& directory, char* buffer, UINT size)
{
    std::string text = operation;
    std::int64_t fault = 0;
    if (Faulted(text, &fault))
        return static_cast<UINT>(fault);
    UINT length = static_cast<UINT>(directory.size());
    UINT status = length + 1;
    if (length < size) {
        std::memcpy(buffer, directory.c_str(), length + 1);
        status = length;
    }
    Record(std::move(text), status);
    return status;
}

UINT FakeSystem::GetWindowsDirectoryA(char* buffer, UINT size)
{
    return Directory("GetWindowsDirectoryA", windowsDirectory_, buffer, size);
}

UINT FakeSystem::GetSystemDirectoryA(char* buffer, UINT size)
{
    return Directory("GetSystemDirectoryA", systemDirectory_, buffer, size);
}

LANGID FakeSystem::GetUserDefaultLangID()
{
    std::string text = "GetUserDefaultLangID";
    std::int64_t fault = 0;
    if (Faulted(text, &fault))
        return static_cast<LANGID>(fault);
    Record(std::move(text), language_);
    return language_;
}

int FakeSystem::MessageBoxExA(HWND owner, const char* text, const char* caption, UINT type, WORD languageId)
{
    std::string line = "MessageBoxExA " + Text(caption) + ": " + Text(text);
    std::int64_t fault = 0;
    if (Faulted(line, &fault))
        return static_cast<int>(fault);
    boxes_.push_back(Box{Text(text), Text(caption), type, languageId, owner});
    int answer = (type & 0xFu) == MB_YESNO ? IDYES : IDOK;
    if (!answers_.empty()) {
        answer = answers_.front();
        answers_.erase(answers_.begin());
    }
    Record(std::move(line), answer);
    return answer;
}

BOOL FakeSystem::ExitWindowsEx(UINT flags, DWORD)
{
    std::string text = "ExitWindowsEx " + std::to_string(flags);
    std::int64_t fault = 0;
    if (Faulted(text, &fault))
        return static_cast<BOOL>(fault);
    if (exitWindowsResult_ != 0)
        restarts_.push_back(flags);
    else
        lastError_ = exitWindowsError_;
    Record(std::move(text), exitWindowsResult_);
    return exitWindowsResult_;
}

DWORD FakeSystem::GetLastError()
{
    std::string text = "GetLastError";
    std::int64_t fault = 0;
    if (Faulted(text, &fault))
        return static_cast<DWORD>(fault);
    Record(std::move(text), lastError_);
    return lastError_;
}
