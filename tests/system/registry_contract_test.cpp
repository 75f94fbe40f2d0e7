// The registry contract on the emulated Windows 9x machine, through the provider the offline program uses.
#include "system/registry_contract.h"

#include <filesystem>

#include "machine/journal.h"
#include "machine/machine.h"
#include "registry/registry.h"
#include "support/temp_folder.h"

namespace {

class EmulatedTarget final : public RegistryContractTarget {
public:
    // The machine's Windows folder is never made: the contract is the registry's alone.
    EmulatedTarget() : machine_(registry_, scratch_.path() / "no-windows", emulated::MachineOptions {}, journal_) { }

    SystemOps& Ops() override { return machine_; }

    void CreateKey(HKEY root, const std::string& path) override
    {
        ASSERT_NE(registry_.CreateKey(root, path), emulated::kNoKey);
    }

    void SetString(HKEY root, const std::string& path, const std::string& name, const std::string& text) override
    {
        ASSERT_NE(registry_.CreateKey(root, path), emulated::kNoKey);
        registry_.SetValue(root, path, {name, REG_SZ, text + '\0'});
    }

    EnumerationOrder Order() const override { return EnumerationOrder::AsCreated; }

private:
    test_support::TempFolder scratch_ {"cmpci-registry-contract"};
    emulated::Registry registry_;
    emulated::Journal journal_;
    emulated::EmulatedMachine machine_;
};

}  // namespace

std::unique_ptr<RegistryContractTarget> MakeRegistryContractTarget()
{
    return std::make_unique<EmulatedTarget>();
}
