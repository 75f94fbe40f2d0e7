#include "device/card_search.h"

#include "common/open_key.h"
#include "common/registry_paths.h"
#include "common/text.h"
#include "common/walk.h"
#include "card/card.h"

namespace {

// Makes the card device key text "Enum\PCI\<device id>". A device id too long for the text leaves it at
// "Enum\PCI" and reports false: that subkey is passed over and the walk goes on. A device id that fits
// but leaves too little room for the companion keys is still taken: its instance keys can be removed, and
// instance removal passes over each target whose path does not fit.
bool TakeDeviceKey(RunState& state)
{
    if (JoinText(state.cardDeviceKey, kEnumPci, kBackslash, state.subkeyName))
        return true;
    CopyText(state.cardDeviceKey, kEnumPci);
    return false;
}

// The first PCI device key whose name holds the card's id and fits the card device key text.
bool IsCardKey(RunState& state)
{
    return ContainsText(state.subkeyName, state.searchText) && TakeDeviceKey(state);
}

}  // namespace

void SearchCard(RunState& state)
{
    CopyText(state.searchText, kCardPciId);
    CopyText(state.cardDeviceKey, kEnumPci);

    // Nothing opened means nothing to walk or close: the card counts as absent.
    if (!OpenForReading(state.sys, HKEY_LOCAL_MACHINE, state.cardDeviceKey, state.enumKey))
        return;
    state.cardFound = WalkByRisingIndex(state, IsCardKey);
    state.sys.RegCloseKey(state.enumKey);
    state.enumKey = nullptr;
}
