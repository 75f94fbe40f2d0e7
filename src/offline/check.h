// What of the card is still on an emulated machine: every trace a run removes, and those a run leaves by
// design (a second card device key, the mixer settings of other users), found from the registry and the
// Windows folder as they stand. Used by --check and by the summary after every run.
#pragma once

#include <string>
#include <vector>

#include "registry/registry.h"
#include "machine/windows_folder.h"

namespace offline {

struct Leftover {
    const char* kind;   // device-key, companion-key, driver-class, media-resource, uninstall-entry,
                        // mixer-settings, driver-file, inf-file
    std::string where;  // ROOT\path of a key, or C:\WINDOWS\... of a file
};

std::vector<Leftover> FindLeftovers(const emulated::Registry& registry, const emulated::WindowsFolder& folder);

// One line for the summary: "nothing of the card is left", or the count of each kind.
std::string DescribeLeftovers(const std::vector<Leftover>& left);

}  // namespace offline
