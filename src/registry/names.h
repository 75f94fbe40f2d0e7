// The names of the predefined root keys, and names compared as Windows 9x compares them (common/fold_case.h),
// for the registry, the Windows folder, the journal and the tests' doubles.
#pragma once

#include <string_view>

#include "common/fold_case.h"
#include "system/win_types.h"

namespace emulated {

using ::FoldCase;
using ::SameName;

// The predefined root keys, in this order.
struct RootKey {
    HKEY handle;
    const char* name;  // as REGEDIT4 files and the journal write it
};
inline constexpr int kRootCount = 6;
extern const RootKey kRootKeys[kRootCount];

// The position in kRootKeys of the root with that handle, or -1.
int RootIndexOf(HKEY root);
// The root a key path begins with (its name in any case, then the end or a backslash), or -1.
int RootIndexByName(std::string_view path);
// The root's name, or "(handle)" for a handle that is not a root.
const char* RootName(HKEY root);

}  // namespace emulated
