// The system operations: every service of the operating system that the logic uses. Members carry the names,
// argument shapes and result codes of the Windows calls they stand for; a provider implements them for real
// (Win32) or on an emulated Windows 9x machine.
#pragma once

#include "system/win_types.h"

class SystemOps {
public:
    // ERROR_SUCCESS when the key was opened into *result. Access is always KEY_READ.
    virtual LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access, HKEY* result) = 0;
    // ERROR_SUCCESS with the name of subkey `index`; ERROR_NO_MORE_ITEMS past the last; ERROR_MORE_DATA and
    // nothing past `name` when it does not fit `nameCapacity` (terminator included). After a deletion the
    // indexes shift at once.
    virtual LONG RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD nameCapacity) = 0;
    // ERROR_SUCCESS when the data fitted *dataSize bytes and was copied (*dataSize becomes its length);
    // ERROR_MORE_DATA when longer; ERROR_FILE_NOT_FOUND when the value is missing. String data counts its
    // terminator.
    virtual LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                                  DWORD* dataSize) = 0;
    virtual LONG RegCloseKey(HKEY key) = 0;
    // Removes the key with its whole subtree; a key that is not there does no harm.
    virtual LONG RegDeleteKeyA(HKEY root, const char* subKey) = 0;
    // The standard library's remove(): 0 when the file was removed. Never removes a folder.
    virtual int RemoveFile(const char* path) = 0;
    // Length copied without terminator; the size needed (terminator included) when `size` is too small.
    virtual UINT GetWindowsDirectoryA(char* buffer, UINT size) = 0;
    virtual UINT GetSystemDirectoryA(char* buffer, UINT size) = 0;
    virtual LANGID GetUserDefaultLangID() = 0;
    // The button pressed (IDYES, IDNO, IDOK), 0 when the box could not be shown.
    virtual int MessageBoxExA(HWND owner, const char* text, const char* caption, UINT type, WORD languageId) = 0;
    // Non-zero when the restart has been started; on 0 the reason comes from GetLastError.
    virtual BOOL ExitWindowsEx(UINT flags, DWORD reserved) = 0;
    virtual DWORD GetLastError() = 0;

protected:
    SystemOps() = default;
    SystemOps(const SystemOps&) = default;
    SystemOps& operator=(const SystemOps&) = default;
    ~SystemOps() = default;
};
