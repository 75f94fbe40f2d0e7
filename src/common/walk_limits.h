// Bounds that end subkey walks on which the enumeration keeps failing. A walk by rising index passes over
// an index whose enumeration fails with anything but 259, yet a key whose every index fails (a handle to a
// deleted key, say) must not keep the walk going through the whole 32-bit index range.
#pragma once

#include "system/win_types.h"

// A walk by rising index (card search, mixer settings) ends after this many consecutive failing indexes, as
// if the list had ended there. Sixteen unreadable names in a row do not occur on a sound registry.
inline constexpr DWORD kMaxFailingIndexRun = 16;

// The instance loop asks again at the same index this many times in all before it passes that index over;
// it ends, like a walk by rising index, after kMaxFailingIndexRun indexes passed over in a row.
inline constexpr DWORD kInstanceEnumTries = 3;
