#include "machine/terminal_box.h"

#include <cerrno>
#include <string>
#include <vector>

#include "json/cp1252.h"

namespace emulated {

namespace {

struct Button {
    const char* label;
    const char* word;  // what the user types, besides its first letter
    int result;
};

std::vector<Button> ButtonsOf(UINT style)
{
    switch (style & 0xFu) {
    case 1: return {{"OK", "ok", IDOK}, {"Cancel", "cancel", IDCANCEL}};
    case 2: return {{"Abort", "abort", 3}, {"Retry", "retry", 4}, {"Ignore", "ignore", 5}};
    case 3: return {{"Yes", "yes", IDYES}, {"No", "no", IDNO}, {"Cancel", "cancel", IDCANCEL}};
    case 4: return {{"Yes", "yes", IDYES}, {"No", "no", IDNO}};
    case 5: return {{"Retry", "retry", 4}, {"Cancel", "cancel", IDCANCEL}};
    default: return {{"OK", "ok", IDOK}};
    }
}

const char* IconWord(UINT style)
{
    switch (style & 0xF0u) {
    case 0x10: return "[stop] ";
    case 0x20: return "[question] ";
    case 0x30: return "[warning] ";
    case 0x40: return "[information] ";
    default: return "";
    }
}

std::string Lower(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Longer answers are not answers: the rest of such a line is read and dropped, so that endless input
// cannot exhaust the memory.
constexpr std::size_t kMaxAnswerLength = 64;

// One line of input without its line end and surrounding blanks, cut at kMaxAnswerLength; false at the end
// of input.
bool ReadLine(std::FILE* input, std::string& line)
{
    line.clear();
    int c;
    while ((c = std::fgetc(input)) != EOF && c != '\n') {
        if (line.size() <= kMaxAnswerLength)
            line += static_cast<char>(c);
    }
    if (c == EOF && line.empty())
        return false;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
        line.erase(0, 1);
    return true;
}

void Draw(std::FILE* display, std::string_view caption, std::string_view text, UINT style,
          const std::vector<Button>& buttons)
{
    std::string body = std::string(IconWord(style)) + "\"" + Cp1252ToUtf8(text) + "\"";
    std::string row;
    for (const Button& button : buttons)
        row += std::string(row.empty() ? "" : "  ") + "[ " + button.label + " ]";
    std::string title = Cp1252ToUtf8(caption);
    std::fprintf(display, "\n+--- %s ---\n| %s\n| %s\n+---\n", title.c_str(), body.c_str(), row.c_str());
    std::fflush(display);
}

// The answer the box takes without asking: OK for a lone OK button that nobody can answer at a terminal, 0
// for a box taken as unshown, the preset's Yes or No where the box has that button. False when it must ask.
bool AnswerWithoutAsking(const BoxAnswers& answers, const std::vector<Button>& buttons, int& result)
{
    const bool singleOk = buttons.size() == 1;
    if (singleOk && (answers.preset != BoxPreset::Ask || answers.input == nullptr || !answers.inputIsTerminal)) {
        result = IDOK;
        return true;
    }
    if (!singleOk && answers.preset == BoxPreset::Unshown) {
        if (answers.display != nullptr)
            std::fputs("(not shown: taken as a box Windows could not show)\n", answers.display);
        result = 0;
        return true;
    }
    const int preset = answers.preset == BoxPreset::Yes ? IDYES : answers.preset == BoxPreset::No ? IDNO : 0;
    for (const Button& button : buttons) {
        if (!singleOk && preset != 0 && button.result == preset) {
            result = preset;
            return true;
        }
    }
    result = 0;
    return answers.input == nullptr;
}

// The end of input on a terminal (Ctrl-D) is a No: a user who leaves removes nothing. A box without No
// gets 0.
int AnswerAtEndOfInput(const BoxAnswers& answers, const std::vector<Button>& buttons)
{
    // A read that a signal cut short is a No too, said by the run as the interrupt it is.
    const bool interrupted = std::ferror(answers.input) != 0 && errno == EINTR;
    for (const Button& button : buttons) {
        if (button.result == IDNO) {
            if (answers.display != nullptr)
                std::fputs(interrupted ? "\n" : "\n(end of input: taken as No)\n", answers.display);
            return IDNO;
        }
    }
    // The prompt's line ends here, as after an answer.
    if (answers.display != nullptr)
        std::fputs("\n", answers.display);
    return 0;
}

// Asks until a line names a button (any line, for a lone OK) or the input ends.
int Ask(const BoxAnswers& answers, const std::vector<Button>& buttons)
{
    const bool singleOk = buttons.size() == 1;
    std::string prompt;
    for (const Button& button : buttons)
        prompt += std::string(prompt.empty() ? "" : "/") + button.word;
    std::string line;
    while (true) {
        if (answers.display != nullptr) {
            if (singleOk)
                std::fputs("Press Enter for OK: ", answers.display);
            else
                std::fprintf(answers.display, "Answer %s: ", prompt.c_str());
            std::fflush(answers.display);
        }
        if (!ReadLine(answers.input, line))
            return AnswerAtEndOfInput(answers, buttons);
        if (singleOk)
            return IDOK;
        std::string typed = Lower(line);
        for (const Button& button : buttons) {
            if (typed == button.word || (typed.size() == 1 && typed[0] == button.word[0]))
                return button.result;
        }
        if (answers.display != nullptr)
            std::fprintf(answers.display, "Please answer %s.\n", prompt.c_str());
    }
}

}  // namespace

int ShowTerminalBox(const BoxAnswers& answers, std::string_view caption, std::string_view text, UINT style)
{
    std::vector<Button> buttons = ButtonsOf(style);
    if (answers.display != nullptr)
        Draw(answers.display, caption, text, style, buttons);
    int result = 0;
    if (AnswerWithoutAsking(answers, buttons, result))
        return result;
    return Ask(answers, buttons);
}

}  // namespace emulated
