#include "offline/check.h"

#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "classes/driver_class.h"
#include "common/registry_paths.h"
#include "device/card.h"
#include "device/instance_removal.h"
#include "leftovers/leftovers.h"
#include "registry/names.h"

namespace offline {

namespace {

constexpr char kEnumVirtual[] = "Enum\\VIRTUAL";

bool HoldsCardId(const std::string& name)
{
    return name.find(kCardPciId) != std::string::npos;
}

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
        : registry_(registry), folder_(folder)
    {
    }

    std::vector<Leftover> Find()
    {
        for (const std::string& device : registry_.SubkeyNames(HKEY_LOCAL_MACHINE, kEnumPci)) {
            if (!HoldsCardId(device))
                continue;
            std::string path = std::string(kEnumPci) + "\\" + device;
            AddKey("device-key", HKEY_LOCAL_MACHINE, path);
            for (const std::string& instance : registry_.SubkeyNames(HKEY_LOCAL_MACHINE, path))
                NoteDriver(path + "\\" + instance, InfFiles::Remove);
        }
        for (const std::string& companion : registry_.SubkeyNames(HKEY_LOCAL_MACHINE, kEnumVirtual)) {
            std::string folder = std::string(kEnumVirtual) + "\\" + companion;
            // The removal's own rule: the game port's class keeps its INF files.
            const InfFiles inf = CompanionInfFiles(companion.c_str());
            for (const std::string& instance : registry_.SubkeyNames(HKEY_LOCAL_MACHINE, folder)) {
                if (!HoldsCardId(instance))
                    continue;
                AddKey("companion-key", HKEY_LOCAL_MACHINE, folder + "\\" + instance);
                NoteDriver(folder + "\\" + instance, inf);
            }
        }
        for (const auto& [driver, inf] : drivers_)
            AddDriverClass(driver, inf);
        if (registry_.KeyExists(HKEY_LOCAL_MACHINE, kUninstallEntry))
            AddKey("uninstall-entry", HKEY_LOCAL_MACHINE, kUninstallEntry);
        AddMixerSettings();
        for (const DriverFile& file : kDriverFiles)
            AddFile("driver-file", std::string(file.folder == Folder::System ? emulated::kSystemDirectory
                                                                             : emulated::kWindowsDirectory) +
                                       file.name);
        return std::move(left_);
    }

private:
    void AddKey(const char* kind, HKEY root, const std::string& path)
    {
        left_.push_back({kind, std::string(emulated::RootName(root)) + "\\" + path, root, path});
    }

    // Two classes may name one INF file: it is listed once.
    void AddFile(const char* kind, const std::string& windowsPath)
    {
        std::filesystem::path host = folder_.Find(windowsPath);
        if (!host.empty() && files_.insert(host).second)
            left_.push_back({kind, windowsPath});
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

    void AddDriverClass(const std::string& driver, InfFiles inf)
    {
        std::string classKey = kClassKeyPrefix + driver;
        if (!NamesOneDriverKey(driver.c_str()) || !registry_.KeyExists(HKEY_LOCAL_MACHINE, classKey))
            return;
        AddKey("driver-class", HKEY_LOCAL_MACHINE, classKey);
        if (inf == InfFiles::Remove) {
            std::string infPath = TextOf(registry_, HKEY_LOCAL_MACHINE, classKey, "InfPath");
            if (IsPlainFileName(infPath.c_str())) {
                AddFile("inf-file", std::string(emulated::kWindowsDirectory) + kInfFolder + infPath);
                AddFile("inf-file", std::string(emulated::kWindowsDirectory) + kInfOtherFolder + infPath);
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
                    AddKey("media-resource", HKEY_LOCAL_MACHINE, entry);
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
                AddKey("mixer-settings", root, volume + "\\" + name);
        }
    }

    const emulated::Registry& registry_;
    const emulated::WindowsFolder& folder_;
    std::map<std::string, InfFiles> drivers_;
    std::set<std::filesystem::path> files_;
    std::vector<Leftover> left_;
};

}  // namespace

std::vector<Leftover> FindLeftovers(const emulated::Registry& registry, const emulated::WindowsFolder& folder)
{
    return Finder(registry, folder).Find();
}

void MarkRemovers(std::vector<Leftover>& left, const std::vector<Leftover>& afterRun)
{
    std::set<std::string> stays;
    for (const Leftover& item : afterRun)
        stays.insert(item.where);
    for (Leftover& item : left) {
        const bool deviceKey = std::strcmp(item.kind, "device-key") == 0;
        item.remover = stays.count(item.where) != 0 && !deviceKey ? Remover::Remnants : Remover::Run;
    }
}

const char* RemoverName(Remover remover)
{
    return remover == Remover::Run ? "run" : "--remnants";
}

namespace {

// The count of each kind of `left`, after `text`.
std::string CountKinds(std::string text, const std::vector<Leftover>& left)
{
    std::map<std::string, unsigned> counts;
    for (const Leftover& item : left)
        ++counts[item.kind];
    const char* separator = " ";
    for (const auto& [kind, count] : counts) {
        text += separator + std::to_string(count) + " " + kind;
        separator = ", ";
    }
    return text + " (--check lists them)";
}

}  // namespace

std::string DescribeLeftovers(const std::vector<Leftover>& left)
{
    return left.empty() ? "nothing of the card is left" : CountKinds("left of the card:", left);
}

std::string DescribeLeftoversAfterDryRun(const std::vector<Leftover>& left)
{
    return left.empty() ? "a run would leave nothing of the card" : CountKinds("a run would leave of the card:", left);
}

}  // namespace offline
