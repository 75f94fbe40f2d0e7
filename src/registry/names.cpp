#include "registry/names.h"

namespace emulated {

const RootKey kRootKeys[kRootCount] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},     {HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},   {HKEY_USERS, "HKEY_USERS"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG"}, {HKEY_DYN_DATA, "HKEY_DYN_DATA"},
};

int RootIndexOf(HKEY root)
{
    for (int i = 0; i < kRootCount; ++i) {
        if (kRootKeys[i].handle == root)
            return i;
    }
    return -1;
}

int RootIndexByName(std::string_view path)
{
    for (int i = 0; i < kRootCount; ++i) {
        std::string_view name = kRootKeys[i].name;
        if (path.size() >= name.size() && SameName(path.substr(0, name.size()), name) &&
            (path.size() == name.size() || path[name.size()] == '\\'))
            return i;
    }
    return -1;
}

const char* RootName(HKEY root)
{
    int index = RootIndexOf(root);
    return index < 0 ? "(handle)" : kRootKeys[index].name;
}

}  // namespace emulated
