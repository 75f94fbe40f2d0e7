// What the fuzz targets share: a failed check ends the input as a crash, and two walks of a registry compare
// key by key, by path and values.
#pragma once

#include <algorithm>
#include <vector>

inline void Check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

// `Key` has a path and its values, in walk order.
template <typename Key> bool SameKeys(const std::vector<Key>& a, const std::vector<Key>& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const Key& x, const Key& y) { return x.path == y.path && x.values == y.values; });
}
