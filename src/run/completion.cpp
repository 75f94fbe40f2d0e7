#include "run/completion.h"

#include <cstddef>

#include "common/text.h"
#include "run/command_line.h"
#include "run/messages.h"

namespace {

// "Can't reboot: %d", the code as a signed decimal number.
void FormatRestartFailure(char (&text)[60], LONG code)
{
    char digits[12];
    std::size_t count = 0;
    // Work on the magnitude as unsigned so that the most negative code has no overflow.
    unsigned long magnitude = code < 0 ? 0ul - static_cast<unsigned long>(code) : static_cast<unsigned long>(code);
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    char number[13];
    std::size_t length = 0;
    if (code < 0)
        number[length++] = '-';
    while (count > 0)
        number[length++] = digits[--count];
    number[length] = '\0';
    JoinText(text, "Can't reboot: ", number);
}

}  // namespace

void CompleteAndRestart(RunState& state, const char* argumentText)
{
    RunMode mode = ModeOf(argumentText);
    if (mode == RunMode::Interactive) {
        state.sys.MessageBoxExA(nullptr, state.messages.completion, kCompletionCaption, kCompletionStyle,
                                state.messages.language);
    }
    if (mode == RunMode::Restart) {
        state.sys.MessageBoxExA(nullptr, state.messages.restart, kCompletionCaption, kCompletionStyle,
                                state.messages.language);
        if (state.sys.ExitWindowsEx(EWX_REBOOT, 0) == 0) {
            // Kept for the entry to show or drop; the run still ends with exit code 0.
            FormatRestartFailure(state.restartFailure, static_cast<LONG>(state.sys.GetLastError()));
        }
    }
}
