#include "machine/machine.h"

#include <cstring>

#include "registry/names.h"
#include "registry/numbers.h"

namespace emulated {

namespace {

UINT CopyDirectory(const char* directory, char* buffer, UINT size)
{
    auto length = static_cast<UINT>(std::strlen(directory));
    if (size <= length)
        return length + 1;
    std::memcpy(buffer, directory, length + 1);
    return length;
}

}  // namespace

LANGID LanguageFromRegistry(const Registry& registry)
{
    const Value* locale = registry.FindValue(HKEY_CURRENT_USER, "Control Panel\\International", "Locale");
    if (locale == nullptr)
        return 1033;
    std::string text = locale->data;
    if (!text.empty() && text.back() == '\0')
        text.pop_back();
    std::uint32_t id = 0;
    if (text.size() != 8 || !ParseNumber(text, 16, 0xFFFFFFFFu, id))
        return 1033;
    return static_cast<LANGID>(id & 0xFFFFu);
}

EmulatedMachine::EmulatedMachine(Registry& registry, std::filesystem::path windowsFolder, MachineOptions options,
                                 Journal& journal)
    : registry_(registry), folder_(windowsFolder, options.present), options_(std::move(options)), journal_(journal)
{
}

LONG EmulatedMachine::RegOpenKeyExA(HKEY root, const char* subKey, DWORD, REGSAM, HKEY* result)
{
    return registry_.OpenKey(root, subKey, result);
}

LONG EmulatedMachine::RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD nameCapacity)
{
    return registry_.EnumKey(key, index, name, nameCapacity);
}

LONG EmulatedMachine::RegQueryValueExA(HKEY key, const char* valueName, DWORD*, DWORD* type, BYTE* data,
                                       DWORD* dataSize)
{
    return registry_.QueryValue(key, valueName, type, data, dataSize);
}

LONG EmulatedMachine::RegCloseKey(HKEY key)
{
    return registry_.CloseKey(key);
}

LONG EmulatedMachine::RegDeleteKeyA(HKEY root, const char* subKey)
{
    LONG result = registry_.DeleteKey(root, subKey);
    journal_.DeleteKey(RootName(root), subKey, result == ERROR_SUCCESS);
    if (result == ERROR_SUCCESS)
        removals_.push_back({false, std::string(RootName(root)) + "\\" + subKey});
    return result;
}

int EmulatedMachine::RemoveFile(const char* path)
{
    switch (folder_.Remove(path)) {
    case WindowsFolder::Outcome::Removed:
        journal_.DeleteFile(path, Journal::FileOutcome::Removed);
        removals_.push_back({true, path});
        return 0;
    case WindowsFolder::Outcome::Missing: journal_.DeleteFile(path, Journal::FileOutcome::Missing); return -1;
    case WindowsFolder::Outcome::Refused: journal_.DeleteFile(path, Journal::FileOutcome::Refused); return -1;
    }
    return -1;
}

UINT EmulatedMachine::GetWindowsDirectoryA(char* buffer, UINT size)
{
    return CopyDirectory(kWindowsDirectory, buffer, size);
}

UINT EmulatedMachine::GetSystemDirectoryA(char* buffer, UINT size)
{
    return CopyDirectory(kSystemDirectory, buffer, size);
}

LANGID EmulatedMachine::GetUserDefaultLangID()
{
    return options_.language ? *options_.language : LanguageFromRegistry(registry_);
}

int EmulatedMachine::MessageBoxExA(HWND, const char* text, const char* caption, UINT type, WORD languageId)
{
    // Only the confirmation asks; a box that only tells (OK alone) can wait, and its answer is OK.
    if (options_.holdClosingBoxes && (type & 0xF) == MB_OK) {
        held_.push_back({false, caption, text, type, languageId});
        return IDOK;
    }
    int result = ShowTerminalBox(options_.answers, caption, text, type);
    if ((type & 0xF) == MB_YESNO && result == IDNO)
        declined_ = true;
    journal_.MessageBox(caption, text, type, languageId, result);
    return result;
}

BOOL EmulatedMachine::ExitWindowsEx(UINT flags, DWORD)
{
    const BOOL result = options_.refuseRestart ? 0 : 1;
    if (options_.refuseRestart)
        lastError_ = *options_.refuseRestart;
    const Held restart {true, {}, {}, flags, 0, result, lastError_};
    if (options_.holdClosingBoxes)
        held_.push_back(restart);
    else
        Show(restart);
    return result;
}

void EmulatedMachine::Show(const Held& held)
{
    if (held.restart) {
        restartRequested_ = restartRequested_ || held.result != 0;
        journal_.Restart(held.style, held.result, held.error);
        return;
    }
    const int result = ShowTerminalBox(options_.answers, held.caption, held.text, held.style);
    journal_.MessageBox(held.caption, held.text, held.style, held.language, result);
}

void EmulatedMachine::ShowHeldBoxes()
{
    for (const Held& held : held_)
        Show(held);
    held_.clear();
}

DWORD EmulatedMachine::GetLastError()
{
    return lastError_;
}

}  // namespace emulated
