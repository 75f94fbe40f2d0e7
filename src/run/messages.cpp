#include "run/messages.h"

#include <cstddef>
#include <iterator>

#include "common/text.h"

namespace {

struct LanguageSet {
    const char* confirmation;
    const char* completion;
    const char* restart;
    WORD language;
    const WORD* userLanguages;
    std::size_t userLanguageCount;
};

constexpr char kRestartOtherLanguages[] = "Your computer will be restarted";

constexpr WORD kGermanIds[] = {0x0407, 0x0807, 0x0C07, 0x1007, 0x1407};
constexpr WORD kSpanishIds[] = {0x040A, 0x080A, 0x0C0A, 0x100A, 0x140A, 0x180A, 0x1C0A, 0x200A, 0x240A, 0x280A,
                                0x2C0A, 0x300A, 0x340A, 0x380A, 0x3C0A, 0x400A, 0x440A, 0x480A, 0x4C0A, 0x500A};
constexpr WORD kFrenchIds[] = {0x040C, 0x080C, 0x0C0C, 0x100C, 0x140C};
constexpr WORD kDutchIds[] = {0x0413, 0x0813};

constexpr LanguageSet kEnglish = {"Do you really want to uninstall your sound card ?",
                                  "    Uninstall complete.    ",
                                  "This application will now restart your system",
                                  1033,
                                  nullptr,
                                  0};

// Tested in this order; each list holds whole 16-bit identifiers, never a primary-language test.
constexpr LanguageSet kOtherLanguages[] = {
    {"Sind Sie sicher, da\xDF Sie Ihre Soundkarte deinstallieren wollen ?", "     Deinstallation beendet.    ",
     kRestartOtherLanguages, 1031, kGermanIds, std::size(kGermanIds)},
    {"\xBFQuieres realmente desinstalar tu tarjeta de sonido ?", "     Desinstalaci\xF3n completa.     ",
     kRestartOtherLanguages, 1034, kSpanishIds, std::size(kSpanishIds)},
    {"Voulez-vous r\xE9"
     "ellement d\xE9sinstaller votre carte son ?",
     "    D\xE9sinstallation achev\xE9"
     "e.    ",
     kRestartOtherLanguages, 1036, kFrenchIds, std::size(kFrenchIds)},
    {"Weet u zeker dat u de geluidskaart wilt de-installeren ?", "    De-installatie voltooid.   ",
     kRestartOtherLanguages, 1043, kDutchIds, std::size(kDutchIds)},
};

void Fill(MessageSet& messages, const LanguageSet& set)
{
    CopyText(messages.confirmation, set.confirmation);
    CopyText(messages.completion, set.completion);
    CopyText(messages.restart, set.restart);
    messages.language = set.language;
}

bool Lists(const LanguageSet& set, WORD userLanguage)
{
    for (std::size_t i = 0; i < set.userLanguageCount; ++i) {
        if (set.userLanguages[i] == userLanguage)
            return true;
    }
    return false;
}

}  // namespace

void SelectMessageSet(RunState& state)
{
    WORD userLanguage = state.sys.GetUserDefaultLangID();
    Fill(state.messages, kEnglish);
    for (const LanguageSet& set : kOtherLanguages) {
        if (Lists(set, userLanguage))
            Fill(state.messages, set);
    }
}
