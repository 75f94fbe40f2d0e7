#include "system/win32/win32_system.h"

#include "common/text.h"

namespace {

// Deletes the key at `path` (length `length`, inside a buffer of kSubtreePathCapacity) below `root` with
// everything under it. A plain delete comes first: it removes a whole subtree on Windows 9x and a leaf
// everywhere. Otherwise the subkeys are deleted one by one, each with its own subtree, always taking the
// one at index 0, or the next index when one could not be deleted; then the key itself.
LONG DeleteSubtree(HKEY root, char* path, unsigned length, unsigned depth)
{
    LONG result = ::RegDeleteKeyA(root, path);
    if (result == ERROR_SUCCESS || depth == kSubtreeMaxDepth)
        return result;

    HKEY key = nullptr;
    if (::RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return result;

    // Subkey names are enumerated straight into the path buffer behind a backslash.
    if (length + 2 < kSubtreePathCapacity) {
        char* name = path + length + 1;
        const DWORD room = kSubtreePathCapacity - length - 1;
        DWORD index = 0;
        for (;;) {
            path[length] = '\\';
            if (::RegEnumKeyA(key, index, name, room) != ERROR_SUCCESS)
                break;
            unsigned childLength = length + 1 + static_cast<unsigned>(BoundedLength(name, room));
            if (DeleteSubtree(root, path, childLength, depth + 1) != ERROR_SUCCESS)
                ++index;
        }
        path[length] = '\0';
    }
    ::RegCloseKey(key);
    return ::RegDeleteKeyA(root, path);
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
    char path[kSubtreePathCapacity];
    if (!CopyText(path, subKey))
        return ::RegDeleteKeyA(root, subKey);
    return DeleteSubtree(root, path, static_cast<unsigned>(BoundedLength(path, sizeof path)), 0);
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
