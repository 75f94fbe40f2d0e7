#include "system/win32/win32_system.h"

namespace {

// Deletes the key `name` below the open key `parent` with everything under it. A plain delete comes first:
// it removes a whole subtree on Windows 9x and a leaf everywhere. Otherwise the subkeys are deleted one by
// one, each with its own subtree, always taking the one at index 0, or the next index when one could not be
// deleted; then the key itself. Each level works relative to its parent's handle, so no path grows longer
// than the caller's.
LONG DeleteSubtree(HKEY parent, const char* name, unsigned depth)
{
    LONG result = ::RegDeleteKeyA(parent, name);
    if (result == ERROR_SUCCESS || depth == kSubtreeMaxDepth)
        return result;

    HKEY key = nullptr;
    if (::RegOpenKeyExA(parent, name, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return result;
    char child[kSubkeyNameCapacity];
    DWORD index = 0;
    while (::RegEnumKeyA(key, index, child, sizeof child) == ERROR_SUCCESS) {
        if (DeleteSubtree(key, child, depth + 1) != ERROR_SUCCESS)
            ++index;
    }
    ::RegCloseKey(key);
    return ::RegDeleteKeyA(parent, name);
}

}  // namespace

LONG Win32System::RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access, HKEY* result)
{
    return ::RegOpenKeyExA(root, subKey, options, access, result);
}

LONG Win32System::RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD nameCapacity)
{
    return ::RegEnumKeyA(key, index, name, nameCapacity);
}

LONG Win32System::RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                                   DWORD* dataSize)
{
    return ::RegQueryValueExA(key, valueName, reserved, type, data, dataSize);
}

LONG Win32System::RegCloseKey(HKEY key)
{
    return ::RegCloseKey(key);
}

LONG Win32System::RegDeleteKeyA(HKEY root, const char* subKey)
{
    // An empty path would name the key `root` stands for; that is never what a caller means here.
    if (subKey == nullptr || subKey[0] == '\0')
        return ERROR_INVALID_PARAMETER;
    return DeleteSubtree(root, subKey, 0);
}

int Win32System::RemoveFile(const char* path)
{
    return ::DeleteFileA(path) ? 0 : -1;
}

UINT Win32System::GetWindowsDirectoryA(char* buffer, UINT size)
{
    return ::GetWindowsDirectoryA(buffer, size);
}

UINT Win32System::GetSystemDirectoryA(char* buffer, UINT size)
{
    return ::GetSystemDirectoryA(buffer, size);
}

LANGID Win32System::GetUserDefaultLangID()
{
    return ::GetUserDefaultLangID();
}

int Win32System::MessageBoxExA(HWND owner, const char* text, const char* caption, UINT type, WORD languageId)
{
    return ::MessageBoxExA(owner, text, caption, type, languageId);
}

BOOL Win32System::ExitWindowsEx(UINT flags, DWORD reserved)
{
    return ::ExitWindowsEx(flags, reserved);
}

DWORD Win32System::GetLastError()
{
    return ::GetLastError();
}
