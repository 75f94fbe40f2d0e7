#include "common/walk.h"

#include "common/walk_limits.h"

bool WalkByRisingIndex(RunState& state, bool (*matches)(RunState& state))
{
    FailingRun failingRun;
    for (DWORD index = 0; index < kMaxWalkIndex; ++index) {
        LONG result = state.sys.RegEnumKeyA(state.enumKey, index, state.subkeyName, sizeof state.subkeyName);
        if (result == ERROR_NO_MORE_ITEMS)
            return false;
        if (result != ERROR_SUCCESS) {
            // An unreadable name (too long for the buffer, say) passes over that one subkey; a run of
            // failing keys is taken as the end of the list.
            if (EndsWalk(failingRun, result))
                return false;
            continue;
        }
        failingRun = {};
        if (matches(state))
            return true;
    }
    return false;
}
