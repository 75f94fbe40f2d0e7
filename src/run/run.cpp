#include "run/run.h"

#include "device/card_search.h"
#include "device/instance_removal.h"
#include "leftovers/leftovers.h"
#include "run/command_line.h"
#include "run/completion.h"
#include "run/messages.h"

void RunUninstaller(RunState& state, const char* argumentText)
{
    SelectMessageSet(state);
    state.cardFound = false;
    state.mixerSettingsFound = false;

    if (ModeOf(argumentText) == RunMode::Interactive) {
        // A box that could not be shown (0) counts as consent; only No stops the run.
        int answer = state.sys.MessageBoxExA(nullptr, state.messages.confirmation, kConfirmationCaption,
                                             kConfirmationStyle, state.messages.language);
        if (answer == IDNO)
            return;
    }

    SearchCard(state);
    if (state.cardFound) {
        // Card search leaves the device id in the subkey name buffer; leftover removal reuses that buffer.
        RemoveCardInstances(state, state.cardDeviceKey, state.subkeyName);
        RemoveLeftovers(state, state.cardDeviceKey);
    }
    CompleteAndRestart(state, argumentText);
}
