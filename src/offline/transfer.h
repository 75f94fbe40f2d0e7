// Moving a registry between its two forms: --import writes a machine's Windows 9x registry files
// (WINDOWS/SYSTEM.DAT and USER.DAT) from a REGEDIT4 file, --export writes any machine's registry as REGEDIT4.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace offline {

// Reads the REGEDIT4 file as regedit imports it and writes `machine`/WINDOWS/SYSTEM.DAT (HKEY_LOCAL_MACHINE,
// with HKEY_CLASSES_ROOT as its SOFTWARE\Classes and HKEY_CURRENT_CONFIG as its Config\0001) and USER.DAT
// (HKEY_USERS, with HKEY_CURRENT_USER as its .DEFAULT). The machine folder and its WINDOWS folder are made
// when missing; a machine that has a registry already is refused. `said` receives warnings and what was
// written, a line each. False with a one-line `error`; then no registry file was left behind.
bool ImportRegistry(const std::filesystem::path& file, const std::filesystem::path& machine,
                    std::vector<std::string>& said, std::string& error);

// Writes the machine's whole registry (either kind) to `file` as regedit writes it ("-": standard output).
bool ExportRegistry(const std::filesystem::path& machine, std::string_view user, const std::string& file,
                    std::vector<std::string>& said, std::string& error);

}  // namespace offline
