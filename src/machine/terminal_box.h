// Message boxes drawn on a terminal and answered there, or by a preset answer.
#pragma once

#include <cstdio>
#include <string_view>

#include "system/win_types.h"

namespace emulated {

// How Yes/No boxes are answered: on `input`, Yes or No without asking, or as a box Windows could not show
// (result 0, which the confirmation takes as consent).
enum class BoxPreset { Ask, Yes, No, Unshown };

struct BoxAnswers {
    BoxPreset preset = BoxPreset::Ask;
    std::FILE* input = nullptr;
    bool inputIsTerminal = false;
    // Where boxes are drawn; null draws nothing.
    std::FILE* display = nullptr;
};

// Draws the box (the Windows-1252 text converted for display, its leading and trailing blanks visible) and
// returns the button pressed. The end of input before an answer is a No where the box has one, else 0 (the
// box counts as not shown); an answer it does not know asks again, naming the answers it takes.
int ShowTerminalBox(const BoxAnswers& answers, std::string_view caption, std::string_view text, UINT style);

}  // namespace emulated
