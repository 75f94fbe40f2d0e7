// The offline program's command line: its options, the parser and the help text.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "system/win_types.h"

namespace offline {

extern const char kUsage[];

// How the confirmation box is answered: on the terminal, Yes or No without asking, or as a box Windows could
// not show.
enum class Answer { Ask, Yes, No, Unshown };

struct Options {
    std::string machine {};
    Answer answer = Answer::Ask;
    std::optional<LANGID> language {};
    std::string journal {};
    bool dryRun = false;
    std::optional<DWORD> refuseRestart {};
    std::optional<std::string> commandLine {};
    std::vector<std::string> arguments {};
    bool help = false;
    bool version = false;
    // List what of the card is on the machine and change nothing; exit 1 when something is.
    bool check = false;
    // The profile below HKEY_USERS that HKEY_CURRENT_USER stands for.
    std::string user {};
    // Where the run keeps what it removes; empty: a dated folder in the machine folder, unless noBackup.
    std::string backup {};
    bool noBackup = false;
    // Put back what the run whose backup this folder holds removed.
    std::string restore {};
    // Write the machine's WINDOWS/SYSTEM.DAT and USER.DAT from this REGEDIT4 file.
    std::string importFile {};
    // Write the machine's whole registry to this file as REGEDIT4 (- = stdout).
    std::string exportFile {};
    // A disk image standing for the machine, its partition (0: the one holding Windows) and the Windows
    // folder on it (empty: found).
    std::string image {};
    int partition = 0;
    std::string windows {};
    // No boxes drawn, no summary lines; boxes are answered by --answer.
    bool quiet = false;
    // Remove what is left of the card once its device key is gone (a removal stopped halfway).
    bool remnants = false;
};

// Options may come anywhere before "--", as "--name value" or "--name=value", and only by their full
// names; the words after "--" are the ARGUMENTs, in order. A word before "--" that is no option, an option
// given twice with a value, and options that do not go together are refused: false with one line naming
// the fault in `error`. `argv` is not reordered.
bool ParseOptions(int argc, char** argv, Options& options, std::string& error);

}  // namespace offline
