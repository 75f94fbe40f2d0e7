#include "offline/check.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

#include "classes/class_use.h"
#include "classes/driver_class.h"
#include "common/registry_paths.h"
#include "card/card.h"
#include "device/instance_removal.h"
#include "leftovers/leftovers.h"
#include "registry/names.h"

namespace offline {

namespace {

constexpr char kEnumVirtual[] = "Enum\\VIRTUAL";
constexpr char kPci[] = "PCI";
constexpr char kVirtual[] = "VIRTUAL";

// The registry as the removal's rules read it (FindClassUse): the reads only; nothing is changed.
class RegistryReads final : public SystemOps {
public:
    explicit RegistryReads(const emulated::Registry& registry) : registry_(registry) { }

    LONG RegOpenKeyExA(HKEY root, const char* subKey, DWORD, REGSAM, HKEY* result) override
    {
        return registry_.OpenKey(root, subKey, result);
    }
    LONG RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD capacity) override
    {
        return registry_.EnumKey(key, index, name, capacity);
    }
    LONG RegQueryValueExA(HKEY key, const char* name, DWORD*, DWORD* type, BYTE* data, DWORD* size) override
    {
        return registry_.QueryValue(key, name, type, data, size);
    }
    LONG RegCloseKey(HKEY key) override { return registry_.CloseKey(key); }
    LONG RegDeleteKeyA(HKEY, const char*) override { return ERROR_ACCESS_DENIED; }
    int RemoveFile(const char*) override { return -1; }
    UINT GetWindowsDirectoryA(char*, UINT) override { return 0; }
    UINT GetSystemDirectoryA(char*, UINT) override { return 0; }
    LANGID GetUserDefaultLangID() override { return 1033; }
    int MessageBoxExA(HWND, const char*, const char*, UINT, WORD) override { return 0; }
    BOOL ExitWindowsEx(UINT, DWORD) override { return 0; }
    DWORD GetLastError() override { return ERROR_ACCESS_DENIED; }

private:
    const emulated::Registry& registry_;
};

// The text of a string value, without its terminator; empty when missing.
std::string TextOf(const emulated::Registry& registry, HKEY root, const std::string& path, const char* name)
{
    const emulated::Value* value = registry.FindValue(root, path, name);
    if (value == nullptr)
        return {};
    std::string text = value->data;
    if (std::size_t end = text.find('\0'); end != std::string::npos)
        text.resize(end);
    return text;
}

class Finder {
public:
    Finder(const emulated::Registry& registry, const emulated::WindowsFolder& folder)
        : registry_(registry), reads_(registry), folder_(folder)
    {
    }

    // What may go, and (in kept()) what the removal's rules keep.
    std::vector<Leftover> Find(ClassUses* table)
    {
        // Enum\PCI may hold many devices: their names are looked at one by one, not listed.
        for (const std::string& device : CardDevices()) {
            std::string path = std::string(kEnumPci) + "\\" + device;
            AddKey(left_, LeftoverKind::DeviceKey, HKEY_LOCAL_MACHINE, path);
            for (const std::string& instance : registry_.SubkeyNames(HKEY_LOCAL_MACHINE, path))
                NoteDriver(path + "\\" + instance, InfFiles::Remove);
        }
        for (const std::string& companion : registry_.SubkeyNames(HKEY_LOCAL_MACHINE, kEnumVirtual)) {
            std::string folder = std::string(kEnumVirtual) + "\\" + companion;
            // The removal's own rule: the game port's class keeps its INF files.
            const InfFiles inf = CompanionInfFiles(companion.c_str());
            for (const std::string& instance : registry_.SubkeyNames(HKEY_LOCAL_MACHINE, folder)) {
                if (!IsCardDeviceKey(kVirtual, companion.c_str(), instance.c_str()))
                    continue;
                AddKey(left_, LeftoverKind::CompanionKey, HKEY_LOCAL_MACHINE, folder + "\\" + instance);
                NoteDriver(folder + "\\" + instance, inf);
            }
        }
        // One walk over the device keys answers for every class the card names.
        std::vector<const char*> names;
        for (const auto& entry : drivers_)
            names.push_back(entry.first.c_str());
        std::vector<ClassUse> uses(names.size());
        FindClassUses(reads_, names.data(), uses.data(), names.size());
        if (table != nullptr)
            NoteFoundUses(*table, names.data(), uses.data(), names.size());
        std::size_t next = 0;
        for (const auto& [driver, inf] : drivers_)
            AddDriverClass(driver, inf, uses[next++]);
        if (registry_.KeyExists(HKEY_LOCAL_MACHINE, kUninstallEntry))
            AddKey(left_, LeftoverKind::UninstallEntry, HKEY_LOCAL_MACHINE, kUninstallEntry);
        AddMixerSettings();
        for (const DriverFile& file : kDriverFiles)
            AddFile(left_, LeftoverKind::DriverFile,
                    std::string(file.folder == Folder::System ? emulated::kSystemDirectory
                                                              : emulated::kWindowsDirectory) +
                        file.name);
        return std::move(left_);
    }

    std::vector<Leftover>& kept() { return kept_; }

private:
    // The card's device folders below Enum\PCI.
    std::vector<std::string> CardDevices()
    {
        std::vector<std::string> devices;
        HKEY pci = nullptr;
        if (registry_.OpenKey(HKEY_LOCAL_MACHINE, kEnumPci, &pci) != ERROR_SUCCESS)
            return devices;
        char name[kDeviceNameRoom];
        for (DWORD index = 0;; ++index) {
            const LONG result = registry_.EnumKey(pci, index, name, sizeof name);
            if (result == ERROR_NO_MORE_ITEMS)
                break;
            if (result == ERROR_SUCCESS && IsCardDeviceKey(kPci, name, ""))
                devices.emplace_back(name);
        }
        registry_.CloseKey(pci);
        return devices;
    }

    void AddKey(std::vector<Leftover>& to, LeftoverKind kind, HKEY root, const std::string& path)
    {
        to.push_back({kind, std::string(emulated::RootName(root)) + "\\" + path, root, path});
    }

    // Two classes may name one INF file: it is listed once in each list.
    void AddFile(std::vector<Leftover>& to, LeftoverKind kind, const std::string& windowsPath)
    {
        std::filesystem::path host = folder_.Find(windowsPath);
        if (!host.empty() && files_.insert({&to == &kept_, host}).second)
            to.push_back({kind, windowsPath});
    }

    // A driver class that a device key still names; INF files go with it unless any naming key keeps them.
    void NoteDriver(const std::string& deviceKey, InfFiles inf)
    {
        std::string driver = TextOf(registry_, HKEY_LOCAL_MACHINE, deviceKey, kDriverValue);
        if (driver.empty())
            return;
        auto [it, added] = drivers_.emplace(driver, inf);
        if (!added && inf == InfFiles::Keep)
            it->second = InfFiles::Keep;
    }

    // A driver class goes with its resource entries and INF files by the removal's rules; one that another
    // device still names is kept whole, each item with that device.
    void AddDriverClass(const std::string& driver, InfFiles asked, const ClassUse& use)
    {
        std::string classKey = kClassKeyPrefix + driver;
        if (!NamesOneDriverKey(driver.c_str()) || !registry_.KeyExists(HKEY_LOCAL_MACHINE, classKey))
            return;
        const bool goes = MayRemoveClass(use);
        std::vector<Leftover>& to = goes ? left_ : kept_;
        const std::size_t first = to.size();
        // A kept class lists the INF files the removal would have taken with it.
        AddClassItems(to, driver, classKey, goes ? InfFilesFor(use, asked) : asked);
        if (!goes) {
            const std::string holder = std::string(emulated::RootName(HKEY_LOCAL_MACHINE)) + "\\" + use.holder;
            for (std::size_t i = first; i < to.size(); ++i)
                to[i].keptFor = use.holder[0] != '\0' ? holder : std::string("(a device key that could not be read)");
        }
    }

    void AddClassItems(std::vector<Leftover>& to, const std::string& driver, const std::string& classKey, InfFiles inf)
    {
        AddKey(to, LeftoverKind::DriverClass, HKEY_LOCAL_MACHINE, classKey);
        if (inf == InfFiles::Remove) {
            std::string infPath = TextOf(registry_, HKEY_LOCAL_MACHINE, classKey, "InfPath");
            if (IsPlainFileName(infPath.c_str())) {
                AddFile(to, LeftoverKind::InfFile, std::string(emulated::kWindowsDirectory) + kInfFolder + infPath);
                AddFile(to, LeftoverKind::InfFile, std::string(emulated::kWindowsDirectory) + kInfOtherFolder + infPath);
            }
        }
        char tag[7];
        MakeInstanceTag(driver.c_str(), tag);
        std::string subClasses = TextOf(registry_, HKEY_LOCAL_MACHINE, classKey + "\\Drivers", "SubClasses");
        for (const MediaType& type : kMediaTypes) {
            if (subClasses.find(type.word) == std::string::npos)
                continue;
            for (const std::string& name :
                 registry_.SubkeyNames(HKEY_LOCAL_MACHINE, classKey + "\\Drivers" + type.driversChild)) {
                std::string entry = type.entryPrefix + name + tag;
                if (registry_.KeyExists(HKEY_LOCAL_MACHINE, entry))
                    AddKey(to, LeftoverKind::MediaResource, HKEY_LOCAL_MACHINE, entry);
            }
        }
    }

    // The mixer settings of the current user and of every user below HKEY_USERS; a user that the current
    // user stands for is listed once.
    void AddMixerSettings()
    {
        const emulated::KeyId current = registry_.FindKey(HKEY_CURRENT_USER, "");
        AddMixerSettingsOf(HKEY_CURRENT_USER, "");
        for (const std::string& user : registry_.SubkeyNames(HKEY_USERS, "")) {
            if (registry_.FindKey(HKEY_USERS, user) != current)
                AddMixerSettingsOf(HKEY_USERS, user + "\\");
        }
    }

    void AddMixerSettingsOf(HKEY root, const std::string& prefix)
    {
        std::string volume = prefix + kVolumeControlKey;
        for (const std::string& name : registry_.SubkeyNames(root, volume)) {
            if (name.find(kMixerName) != std::string::npos)
                AddKey(left_, LeftoverKind::MixerSettings, root, volume + "\\" + name);
        }
    }

    const emulated::Registry& registry_;
    RegistryReads reads_;
    const emulated::WindowsFolder& folder_;
    std::map<std::string, InfFiles> drivers_;
    std::set<std::pair<bool, std::filesystem::path>> files_;  // kept or not, the file
    std::vector<Leftover> left_;
    std::vector<Leftover> kept_;
};

}  // namespace

std::vector<Leftover> FindLeftovers(const emulated::Registry& registry, const emulated::WindowsFolder& folder,
                                    std::vector<Leftover>* kept, ClassUses* uses)
{
    Finder finder(registry, folder);
    std::vector<Leftover> left = finder.Find(uses);
    if (kept != nullptr)
        *kept = std::move(finder.kept());
    return left;
}

std::vector<Leftover> StillThere(const std::vector<Leftover>& items, const emulated::Registry& registry,
                                 const emulated::WindowsFolder& folder)
{
    std::vector<Leftover> there;
    for (const Leftover& item : items) {
        if (item.root != nullptr ? registry.KeyExists(item.root, item.path) : !folder.Find(item.where).empty())
            there.push_back(item);
    }
    return there;
}

std::string DescribeKept(const Leftover& item)
{
    return std::string(KindName(item.kind)) + " " + item.where + " [kept: " + item.keptFor + " uses it]";
}

void JournalKept(const std::vector<Leftover>& kept, emulated::Journal& journal)
{
    for (const Leftover& item : kept)
        journal.Kept(KindName(item.kind), item.where, item.keptFor);
}

void ListKept(const std::vector<Leftover>& kept, std::FILE* out, const char* prefix)
{
    for (const Leftover& item : kept)
        std::fprintf(out, "%s%s\n", prefix, DescribeKept(item).c_str());
}

void MarkRemovers(std::vector<Leftover>& left, const std::vector<Leftover>& afterRun)
{
    std::set<std::string> stays;
    for (const Leftover& item : afterRun)
        stays.insert(item.where);
    for (Leftover& item : left) {
        const bool deviceKey = item.kind == LeftoverKind::DeviceKey;
        item.remover = stays.count(item.where) != 0 && !deviceKey ? Remover::Remnants : Remover::Run;
    }
}

const char* KindName(LeftoverKind kind)
{
    switch (kind) {
    case LeftoverKind::DeviceKey: return "device-key";
    case LeftoverKind::CompanionKey: return "companion-key";
    case LeftoverKind::DriverClass: return "driver-class";
    case LeftoverKind::MediaResource: return "media-resource";
    case LeftoverKind::UninstallEntry: return "uninstall-entry";
    case LeftoverKind::MixerSettings: return "mixer-settings";
    case LeftoverKind::DriverFile: return "driver-file";
    case LeftoverKind::InfFile: return "inf-file";
    }
    return "";
}

const char* RemoverName(Remover remover)
{
    return remover == Remover::Run ? "run" : "--remnants";
}

namespace {

// The count of each kind of `left`, after `text`, and where to go next: --check lists them (unless this is
// --check's own line), and --remnants removes them once the card's device key is gone.
std::string CountKinds(std::string text, const std::vector<Leftover>& left, bool listed)
{
    std::map<std::string, unsigned> counts;
    for (const Leftover& item : left)
        ++counts[KindName(item.kind)];
    const char* separator = " ";
    for (const auto& [kind, count] : counts) {
        text += separator + std::to_string(count) + " " + kind;
        separator = ", ";
    }
    if (listed)
        return text + " (listed, each with what removes it)";
    const bool deviceKey = counts.count(KindName(LeftoverKind::DeviceKey)) != 0;
    return text + (deviceKey ? " (--check lists them)" : " (--check lists them; --remnants removes them)");
}

}  // namespace

std::string DescribeLeftovers(const std::vector<Leftover>& left, bool listed)
{
    return left.empty() ? "nothing of the card is left" : CountKinds("left of the card:", left, listed);
}

std::string DescribeLeftoversAfterDryRun(const std::vector<Leftover>& left)
{
    return left.empty() ? "a run would leave nothing of the card"
                        : CountKinds("a run would leave of the card:", left, false);
}

bool DriverFilesThere(const std::vector<Leftover>& left)
{
    return std::any_of(left.begin(), left.end(), [](const Leftover& item) { return item.kind == LeftoverKind::DriverFile; });
}

}  // namespace offline
