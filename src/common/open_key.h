// Opening a key for one read or one walk, into one of the run's handles.
#pragma once

#include "system/system_ops.h"

// Opens `path` below `root` for reading into `handle`. On failure `handle` holds no key, so there is
// nothing to read, walk or close.
inline bool OpenForReading(SystemOps& sys, HKEY root, const char* path, HKEY& handle)
{
    handle = nullptr;
    if (sys.RegOpenKeyExA(root, path, 0, KEY_READ, &handle) == ERROR_SUCCESS)
        return true;
    handle = nullptr;
    return false;
}
