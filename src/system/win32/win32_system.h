// The real system operations: each member forwards to the ANSI Win32 function of the same name. Only
// functions that Windows 95 exports are used, so one program serves Windows 95/98/ME and NT-family Windows.
#pragma once

#include "system/system_ops.h"

class Win32System final : public SystemOps {
public:
    LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD options, REGSAM access, HKEY* result) override;
    LONG RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD nameCapacity) override;
    LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                          DWORD* dataSize) override;
    LONG RegCloseKey(HKEY key) override;
    // Removes the key with its whole subtree, as Windows 9x does by itself. NT-family Windows refuses a key
    // that still has subkeys, so those are removed first, depth-first.
    LONG RegDeleteKeyA(HKEY root, const char* subKey) override;
    // DeleteFileA; 0 when the file was removed, -1 otherwise, like remove().
    int RemoveFile(const char* path) override;
    UINT GetWindowsDirectoryA(char* buffer, UINT size) override;
    UINT GetSystemDirectoryA(char* buffer, UINT size) override;
    LANGID GetUserDefaultLangID() override;
    int MessageBoxExA(HWND owner, const char* text, const char* caption, UINT type, WORD languageId) override;
    BOOL ExitWindowsEx(UINT flags, DWORD reserved) override;
    DWORD GetLastError() override;
};

// Limits of the subtree removal: the longest subkey name it handles (255 characters, the registry's own
// limit, and the terminator) and the deepest level below the key being deleted that it descends to. A
// subkey beyond either is left in place, and so is every key above it.
inline constexpr unsigned kSubkeyNameCapacity = 256;
inline constexpr unsigned kSubtreeMaxDepth = 64;
