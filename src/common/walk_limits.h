// Bounds that end subkey walks on which the enumeration keeps failing. A walk by rising index passes over
// an index whose enumeration fails with anything but ERROR_NO_MORE_ITEMS, yet a key whose every index fails (a handle to a
// deleted key, say) must not keep the walk going through the whole 32-bit index range.
#pragma once

#include "system/win_types.h"

// A walk by rising index (card search, mixer settings) ends after this many consecutive failing indexes, as
// if the list had ended there. Sixteen unreadable keys in a row do not occur on a sound registry. A name
// too long for the buffer (ERROR_MORE_DATA) is no failure of the key: it is passed over and never counts.
inline constexpr DWORD kMaxFailingIndexRun = 16;

// No walk goes past this index, whatever the enumeration answers: far more subkeys than any registry holds
// below one key, and an end for a provider that never says ERROR_NO_MORE_ITEMS.
inline constexpr DWORD kMaxWalkIndex = 1u << 24;

// Names too long for the buffer in a row: each is passed over, but past this many the enumeration can only
// be a provider that answers nothing else, and the walk ends.
inline constexpr DWORD kMaxOverlongRun = 1024;

// The failed enumerations of one walk since its last name, by kind.
struct FailingRun {
    DWORD failing = 0;   // failures of the key: counted toward kMaxFailingIndexRun
    DWORD overlong = 0;  // ERROR_MORE_DATA: counted toward kMaxOverlongRun only
};

// Notes one failed enumeration; true when the walk ends there.
inline bool EndsWalk(FailingRun& run, LONG result)
{
    if (result == ERROR_MORE_DATA)
        return ++run.overlong >= kMaxOverlongRun;
    return ++run.failing >= kMaxFailingIndexRun;
}

// The instance loop asks again at the same index this many times in all before it passes that index over;
// it ends, like a walk by rising index, after kMaxFailingIndexRun indexes passed over in a row.
inline constexpr DWORD kInstanceEnumTries = 3;
