// Message boxes drawn on a terminal and answered there, or by a preset answer.
#pragma once

#include <cstdio>
#include <string_view>

#include "system/win_types.h"

namespace emulated {

struct BoxAnswers {
    // IDYES or IDNO answers every Yes/No box without asking; 0 asks on `input`.
    int preset = 0;
    std::FILE* input = nullptr;
    bool inputIsTerminal = false;
    // Where boxes are drawn; null draws nothing.
    std::FILE* display = nullptr;
};

// Draws the box (the Windows-1252 text converted for display, its leading and trailing blanks visible) and
// returns the button pressed, or 0 when the end of input came before an answer (the box counts as not shown).
int ShowTerminalBox(const BoxAnswers& answers, std::string_view caption, std::string_view text, UINT style);

}  // namespace emulated
