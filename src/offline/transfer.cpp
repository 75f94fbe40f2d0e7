#include "offline/transfer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "registry/hive.h"
#include "machine/machine_folder.h"
#include "registry/regedit4.h"
#include "storage/durable.h"
#include "machine/windows_folder.h"

namespace offline {

namespace fs = std::filesystem;

namespace {

// Copies every key and value below `from` (the key itself included, as `to`) into `toRoot\to`.
// Nothing is made for an empty root.
void CopyTree(emulated::Registry& registry, HKEY fromRoot, const std::string& from, HKEY toRoot, const std::string& to)
{
    if (registry.SubkeyNames(fromRoot, from).empty() && registry.ValuesOf(fromRoot, from).empty())
        return;
    std::vector<std::pair<std::string, std::string>> pending {{from, to}};
    while (!pending.empty()) {
        auto [source, target] = std::move(pending.back());
        pending.pop_back();
        registry.CreateKey(toRoot, target);
        for (emulated::Value& value : registry.ValuesOf(fromRoot, source))
            registry.SetValue(toRoot, target, std::move(value));
        const std::vector<std::string> names = registry.SubkeyNames(fromRoot, source);
        for (auto it = names.rbegin(); it != names.rend(); ++it)
            pending.emplace_back(source.empty() ? *it : source + "\\" + *it, target + "\\" + *it);
    }
}

std::size_t CountKeys(const emulated::Registry& registry, HKEY root)
{
    std::size_t count = 0;
    std::vector<std::string> pending {""};
    while (!pending.empty()) {
        std::string path = std::move(pending.back());
        pending.pop_back();
        for (const std::string& name : registry.SubkeyNames(root, path)) {
            ++count;
            pending.push_back(path.empty() ? name : path + "\\" + name);
        }
    }
    return count;
}

}  // namespace

namespace {

// True when the machine folder has a registry of either kind already; `windows` receives its WINDOWS folder
// when it has one.
bool HasRegistry(const fs::path& machine, fs::path& windows, std::string& error)
{
    fs::path existing;
    if (emulated::FindEntryIgnoringCase(machine, "registry.reg", existing) ||
        (emulated::FindEntryIgnoringCase(machine, "WINDOWS", windows) &&
         (emulated::FindEntryIgnoringCase(windows, "SYSTEM.DAT", existing) ||
          emulated::FindEntryIgnoringCase(windows, "USER.DAT", existing)))) {
        error = "the machine folder " + machine.string() + " has a registry already (" + existing.string() +
                "): nothing was written";
        return true;
    }
    return false;
}

// Reads the REGEDIT4 file as regedit imports it, with Windows 9x's roots placed inside the two its files
// hold; `said` receives a warning for each line skipped and for the keys left out.
bool LoadForImport(const fs::path& file, emulated::Registry& registry, std::vector<std::string>& said,
                   std::string& error)
{
    std::string text;
    if (!emulated::ReadRegistryFile(file, text, error))
        return false;
    emulated::LoadResult loaded = emulated::LoadRegedit4(std::move(text), registry);
    if (!loaded.ok) {
        error = file.string() + ": " + loaded.message + ", not a REGEDIT4 file";
        return false;
    }
    for (const emulated::SkippedLine& skipped : loaded.skipped)
        said.push_back(file.string() + ":" + std::to_string(skipped.line) +
                       ": warning: line skipped, as regedit skips it: " + skipped.reason);
    if (loaded.skippedCount > loaded.skipped.size())
        said.push_back(file.string() + ": warning: " +
                       std::to_string(loaded.skippedCount - loaded.skipped.size()) + " more lines skipped");
    // Windows 9x keeps three of the roots inside the other two.
    CopyTree(registry, HKEY_CLASSES_ROOT, "", HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes");
    CopyTree(registry, HKEY_CURRENT_CONFIG, "", HKEY_LOCAL_MACHINE, "Config\\0001");
    // A file without HKEY_CURRENT_USER keys of its own reads it as .DEFAULT already.
    registry.CreateKey(HKEY_USERS, ".DEFAULT");
    if (registry.FindKey(HKEY_CURRENT_USER, "") != registry.FindKey(HKEY_USERS, ".DEFAULT"))
        CopyTree(registry, HKEY_CURRENT_USER, "", HKEY_USERS, ".DEFAULT");
    if (std::size_t dynamic = CountKeys(registry, HKEY_DYN_DATA); dynamic > 0)
        said.push_back("warning: " + std::to_string(dynamic) +
                       " keys below HKEY_DYN_DATA were left out: Windows makes them at each start");
    return true;
}

// Writes SYSTEM.DAT and then USER.DAT as new files in the machine's folder `windows` (made when missing):
// both or neither. The folder is reached from the machine folder without following a link.
bool WriteRegistryFiles(const fs::path& machine, const fs::path& windows, const std::string& system,
                        const std::string& users, std::vector<std::string>& said, std::string& error)
{
    std::error_code status;
    if (!machine.empty())
        fs::create_directories(machine, status);
    if (status) {
        error = "cannot make " + machine.string() + ": " + status.message();
        return false;
    }
    storage::Folder machineFolder;
    storage::Folder windowsFolder;
    if (!storage::Folder::Open(machine.empty() ? fs::path(".") : machine, machineFolder, error))
        return false;
    const std::string name = windows.filename().string();
    if (mkdirat(machineFolder.fd(), name.c_str(), 0755) != 0 && errno != EEXIST) {
        error = "cannot make " + windows.string() + ": " + std::strerror(errno);
        return false;
    }
    if (!machineFolder.OpenChild(name, windowsFolder, error) ||
        !storage::WriteNewFileAt(windowsFolder, "SYSTEM.DAT", system, error))
        return false;
    if (!storage::WriteNewFileAt(windowsFolder, "USER.DAT", users, error)) {
        unlinkat(windowsFolder.fd(), "SYSTEM.DAT", 0);
        return false;
    }
    said.push_back("wrote " + (windows / "SYSTEM.DAT").string() + " (" + std::to_string(system.size()) +
                   " bytes) and " + (windows / "USER.DAT").string() + " (" + std::to_string(users.size()) + " bytes)");
    return true;
}

}  // namespace

bool ImportRegistry(const fs::path& file, const fs::path& machine, std::vector<std::string>& said, std::string& error)
{
    fs::path windows;
    if (HasRegistry(machine, windows, error))
        return false;
    // As a run refuses it: a WINDOWS that is a link would lead the new files out of the machine.
    if (!windows.empty() && !emulated::WindowsFolderNotLink(windows, error))
        return false;
    emulated::Registry registry;
    if (!LoadForImport(file, registry, said, error))
        return false;
    std::string system;
    std::string users;
    if (!emulated::BuildHive(registry, HKEY_LOCAL_MACHINE, "", system, error) ||
        !emulated::BuildHive(registry, HKEY_USERS, "", users, error)) {
        error = file.string() + ": " + error + "; nothing was written";
        return false;
    }
    return WriteRegistryFiles(machine, windows.empty() ? machine / "WINDOWS" : windows, system, users, said, error);
}

bool ExportRegistry(const fs::path& machine, std::string_view user, const std::string& file,
                    std::vector<std::string>& said, std::string& error)
{
    emulated::Registry registry;
    emulated::MachineFolder folder;
    if (!emulated::OpenMachine(machine, user, registry, folder, error))
        return false;
    for (const std::string& warning : folder.warnings)
        said.push_back(warning);
    const std::string text = emulated::SaveRegedit4(registry);
    if (file == "-") {
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
            error = std::string("cannot write the export: ") + std::strerror(errno);
            return false;
        }
        return true;
    }
    if (!storage::WriteFile(file, text, error))
        return false;
    said.push_back("wrote the registry of " + machine.string() + " to " + file);
    return true;
}

}  // namespace offline
