// The message set: the three box texts and the language identifier for every box, chosen from the user's
// default language.
#pragma once

#include "common/run_state.h"

inline constexpr char kConfirmationCaption[] = "Pelko Sound DRUNE";
inline constexpr char kCompletionCaption[] = "Pelko Studio KALTO";
inline constexpr UINT kConfirmationStyle = MB_YESNO | MB_ICONHAND | MB_SYSTEMMODAL;
inline constexpr UINT kCompletionStyle = MB_OK | MB_ICONINFORMATION | MB_SYSTEMMODAL;

// Fills state.messages from GetUserDefaultLangID.
void SelectMessageSet(RunState& state);
