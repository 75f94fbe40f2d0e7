#include "system/emulated/machine.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>
#include <utility>

#include <unistd.h>

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

const char* RootName(HKEY root)
{
    if (root == HKEY_LOCAL_MACHINE)
        return "HKEY_LOCAL_MACHINE";
    if (root == HKEY_CURRENT_USER)
        return "HKEY_CURRENT_USER";
    if (root == HKEY_USERS)
        return "HKEY_USERS";
    if (root == HKEY_CLASSES_ROOT)
        return "HKEY_CLASSES_ROOT";
    if (root == HKEY_CURRENT_CONFIG)
        return "HKEY_CURRENT_CONFIG";
    if (root == HKEY_DYN_DATA)
        return "HKEY_DYN_DATA";
    return "(handle)";
}

LANGID LanguageFromRegistry(const Registry& registry)
{
    const Value* locale = registry.FindValue(HKEY_CURRENT_USER, "Control Panel\\International", "Locale");
    if (locale == nullptr)
        return 1033;
    std::string text = locale->data;
    if (!text.empty() && text.back() == '\0')
        text.pop_back();
    if (text.size() != 8)
        return 1033;
    unsigned long value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return 1033;
        value = value * 16 + static_cast<unsigned long>(digit);
    }
    return static_cast<LANGID>(value & 0xFFFFu);
}

EmulatedMachine::EmulatedMachine(Registry& registry, std::filesystem::path windowsFolder, MachineOptions options,
                                 Journal& journal)
    : registry_(registry),
      folder_(std::move(windowsFolder), options.dryRun),
      options_(std::move(options)),
      journal_(journal)
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
    return result;
}

int EmulatedMachine::RemoveFile(const char* path)
{
    switch (folder_.Remove(path)) {
    case WindowsFolder::Outcome::Removed:
        journal_.DeleteFile(path, true);
        return 0;
    case WindowsFolder::Outcome::Missing:
        journal_.DeleteFile(path, false);
        return -1;
    case WindowsFolder::Outcome::Refused:
        journal_.DeleteFile(path, false, true);
        return -1;
    case WindowsFolder::Outcome::Failed:
        journal_.DeleteFile(path, true, true);
        return -1;
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
    int result = ShowTerminalBox(options_.answers, caption, text, type);
    journal_.MessageBox(caption, text, type, languageId, result);
    return result;
}

BOOL EmulatedMachine::ExitWindowsEx(UINT flags, DWORD)
{
    BOOL result = 1;
    if (options_.refuseRestart) {
        result = 0;
        lastError_ = *options_.refuseRestart;
    } else {
        restartRequested_ = true;
    }
    journal_.Restart(flags, result, lastError_);
    return result;
}

DWORD EmulatedMachine::GetLastError()
{
    return lastError_;
}

bool OpenMachine(const std::filesystem::path& folder, Registry& registry, MachineFolder& machine, std::string& error)
{
    std::error_code status;
    if (!std::filesystem::is_directory(folder, status)) {
        error = "no machine folder at " + folder.string();
        return false;
    }
    if (!FindEntryIgnoringCase(folder, "registry.reg", machine.registryFile) ||
        !std::filesystem::is_regular_file(machine.registryFile, status)) {
        error = "no registry.reg in the machine folder " + folder.string();
        return false;
    }
    if (!FindEntryIgnoringCase(folder, "WINDOWS", machine.windowsFolder) ||
        !std::filesystem::is_directory(machine.windowsFolder, status)) {
        error = "no WINDOWS folder in the machine folder " + folder.string();
        return false;
    }
    std::ifstream in(machine.registryFile, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        error = "cannot read " + machine.registryFile.string();
        return false;
    }
    LoadResult loaded = LoadRegedit4(text, registry);
    if (!loaded.ok) {
        error = machine.registryFile.string() + ":" + std::to_string(loaded.line) + ": " + loaded.message;
        return false;
    }
    return true;
}

bool SaveRegistryFile(const std::filesystem::path& file, const Registry& registry, std::string& error)
{
    std::string text = SaveRegedit4(registry);
    std::filesystem::path temporary = file;
    temporary += ".tmp-" + std::to_string(static_cast<long>(getpid()));
    std::FILE* out = std::fopen(temporary.c_str(), "wb");
    if (out == nullptr) {
        error = "cannot write " + temporary.string();
        return false;
    }
    bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    written = std::fflush(out) == 0 && written;
    written = fsync(fileno(out)) == 0 && written;
    written = std::fclose(out) == 0 && written;
    std::error_code status;
    if (written)
        std::filesystem::rename(temporary, file, status);
    if (!written || status) {
        std::filesystem::remove(temporary, status);
        error = "cannot save " + file.string();
        return false;
    }
    return true;
}

}  // namespace emulated
