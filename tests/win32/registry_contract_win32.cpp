// The registry contract on the real Win32 provider, run under Wine (or on Windows itself).
#include "system/registry_contract.h"

#include <windows.h>

#include "system/win32/win32_system.h"

namespace {

class Win32Target final : public RegistryContractTarget {
public:
    SystemOps& Ops() override { return system_; }

    void CreateKey(HKEY root, const std::string& path) override
    {
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS)
            << path;
        ::RegCloseKey(key);
    }

    void SetString(HKEY root, const std::string& path, const std::string& name, const std::string& text) override
    {
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS)
            << path;
        EXPECT_EQ(::RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                   static_cast<DWORD>(text.size() + 1)),
                  ERROR_SUCCESS);
        ::RegCloseKey(key);
    }

    EnumerationOrder Order() const override { return EnumerationOrder::SortedByName; }

private:
    Win32System system_;
};

}  // namespace

std::unique_ptr<RegistryContractTarget> MakeRegistryContractTarget()
{
    return std::make_unique<Win32Target>();
}
