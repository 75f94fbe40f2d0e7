// What of the card is still on an emulated machine: every trace a run removes, and those a run leaves by
// design (a second card device key, the mixer settings of other users), found from the registry and the
// Windows folder as they stand, by the removal's own rules; and what those rules keep because another device
// still uses it. Used by --check, --remnants and the summary after every run.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "machine/journal.h"
#include "registry/registry.h"
#include "machine/windows_folder.h"

struct ClassUses;

namespace offline {

// What takes a leftover away: a plain run (the card's device key is there, and the run removes what hangs
// on it), or --remnants (what a run stopped halfway left once the device key was gone).
enum class Remover { Run, Remnants };

// What a leftover is; KindName gives the name --check and the journal use.
enum class LeftoverKind {
    DeviceKey,
    CompanionKey,
    DriverClass,
    MediaResource,
    UninstallEntry,
    MixerSettings,
    DriverFile,
    InfFile,
};

// "device-key", "companion-key", "driver-class", "media-resource", "uninstall-entry", "mixer-settings",
// "driver-file" or "inf-file".
const char* KindName(LeftoverKind kind);

struct Leftover {
    LeftoverKind kind;
    std::string where;  // ROOT\path of a key, or C:\WINDOWS\... of a file
    HKEY root = nullptr;  // a key's root and path below it; null for a file
    std::string path {};
    Remover remover = Remover::Run;
    std::string keptFor {};  // kept items: ROOT\path of the device key outside the card that still uses it
};

// What may go, by the removal's own rules. `kept`, when given, receives what those rules keep of the card's
// driver classes: each class that a device key outside the card still names, with its resource entries and
// INF files, `keptFor` naming that device key. No mode removes them. `uses`, when given, receives who names
// the card's classes (as many as the table holds), so that a run on the same registry need not walk the
// device keys again.
std::vector<Leftover> FindLeftovers(const emulated::Registry& registry, const emulated::WindowsFolder& folder,
                                    std::vector<Leftover>* kept = nullptr, ClassUses* uses = nullptr);

// Those of `items` still on the machine.
std::vector<Leftover> StillThere(const std::vector<Leftover>& items, const emulated::Registry& registry,
                                 const emulated::WindowsFolder& folder);

// "KIND WHERE [kept: DEVICE-KEY uses it]".
std::string DescribeKept(const Leftover& item);

// A "kept" journal record for each.
void JournalKept(const std::vector<Leftover>& kept, emulated::Journal& journal);
// Writes DescribeKept of each to `out`, a line each after `prefix`.
void ListKept(const std::vector<Leftover>& kept, std::FILE* out, const char* prefix);

// Marks each of `left` that is still in `afterRun` (what is left once a plain run has gone over the same
// machine) as --remnants' to remove; a card device key is always a run's.
void MarkRemovers(std::vector<Leftover>& left, const std::vector<Leftover>& afterRun);

// "run" or "--remnants", as --check names who removes an item.
const char* RemoverName(Remover remover);

// One line for the summary: "nothing of the card is left", or the count of each kind and what lists and
// removes them; `listed`: --check's own line, after its list.
std::string DescribeLeftovers(const std::vector<Leftover>& left, bool listed);
// The same for a dry run, in the conditional: what a run would leave.
std::string DescribeLeftoversAfterDryRun(const std::vector<Leftover>& left);
// Whether any of `left` is one of the card's driver files.
bool DriverFilesThere(const std::vector<Leftover>& left);

}  // namespace offline
