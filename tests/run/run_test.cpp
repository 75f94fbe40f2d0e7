// The run sequence on an emulated machine: message set selection, the box sequence of each mode, the
// restart request and its refusal.
#include "run/run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "run/messages.h"
#include "machine/machine.h"

namespace {

struct Outcome {
    std::string journal;
    std::string restartFailure;
    MessageSet messages;
};

class RunSequenceTest : public ::testing::Test {
protected:
    // Runs on a machine without the card; the boxes are answered by `answer` (0: end of input).
    Outcome Run(const char* argumentText, int answer = IDYES, std::optional<LANGID> language = std::nullopt,
                std::optional<DWORD> refuseRestart = std::nullopt)
    {
        emulated::Journal journal;
        emulated::MachineOptions options;
        options.language = language;
        options.refuseRestart = refuseRestart;
        options.answers.preset = answer == IDYES  ? emulated::BoxPreset::Yes
                                 : answer == IDNO ? emulated::BoxPreset::No
                                                  : emulated::BoxPreset::Unshown;
        std::FILE* none = std::fopen("/dev/null", "r");
        options.answers.input = none;
        emulated::EmulatedMachine machine(registry_, std::filesystem::path("/nonexistent-windows"), options, journal);
        RunState state(machine);
        RunUninstaller(state, argumentText);
        std::fclose(none);
        return {journal.text(), state.restartFailure, state.messages};
    }

    static std::string Box(const char* caption, const std::string& text, UINT style, WORD language, int result)
    {
        emulated::Journal journal;
        journal.MessageBox(caption, text, style, language, result);
        return journal.text();
    }

    emulated::Registry registry_;
};

const char kEnglishConfirmation[] = "Do you really want to uninstall your sound card ?";
const char kEnglishCompletion[] = "    Uninstall complete.    ";

TEST_F(RunSequenceTest, InteractiveNoEndsAfterTheConfirmation)
{
    Outcome outcome = Run("", IDNO);
    EXPECT_EQ(outcome.journal, Box("Pelko Sound DRUNE", kEnglishConfirmation, 0x1014, 1033, IDNO));
}

TEST_F(RunSequenceTest, InteractiveYesShowsTheCompletionEvenWithoutTheCard)
{
    Outcome outcome = Run("", IDYES);
    EXPECT_EQ(outcome.journal, Box("Pelko Sound DRUNE", kEnglishConfirmation, 0x1014, 1033, IDYES) +
                                   Box("Pelko Studio KALTO", kEnglishCompletion, 0x1040, 1033, IDOK));
}

TEST_F(RunSequenceTest, AConfirmationThatCouldNotBeShownCountsAsConsent)
{
    Outcome outcome = Run("", 0);
    EXPECT_EQ(outcome.journal, Box("Pelko Sound DRUNE", kEnglishConfirmation, 0x1014, 1033, 0) +
                                   Box("Pelko Studio KALTO", kEnglishCompletion, 0x1040, 1033, IDOK));
}

TEST_F(RunSequenceTest, RestartModeAnnouncesAndRequestsTheRestart)
{
    Outcome outcome = Run("reboot");
    EXPECT_EQ(outcome.journal,
              Box("Pelko Studio KALTO", "This application will now restart your system", 0x1040, 1033, IDOK) +
                  "{\"op\":\"restart\",\"flags\":2,\"result\":1}\n");
    EXPECT_STREQ(outcome.restartFailure.c_str(), "");
}

TEST_F(RunSequenceTest, SilentModesShowNothingAndRequestNothing)
{
    for (const char* text : {"REBOOT", "reboot ", "/reboot", "-reboot", "reboot now", "x", " "}) {
        SCOPED_TRACE(std::string("'") + text + "'");
        EXPECT_EQ(Run(text, IDNO).journal, "");
    }
}

TEST_F(RunSequenceTest, ARefusedRestartKeepsItsReason)
{
    Outcome refused = Run("reboot", IDYES, std::nullopt, 5);
    EXPECT_NE(refused.journal.find("{\"op\":\"restart\",\"flags\":2,\"result\":0,\"error\":5}"), std::string::npos);
    EXPECT_EQ(refused.restartFailure, "Can't reboot: 5");
    EXPECT_EQ(Run("reboot", IDYES, std::nullopt, 0xFFFFFFFFu).restartFailure, "Can't reboot: -1");
    EXPECT_EQ(Run("reboot", IDYES, std::nullopt, 0x80000000u).restartFailure, "Can't reboot: -2147483648");
}

TEST_F(RunSequenceTest, GermanUserGetsGermanBoxesAndTheEnglishRestartText)
{
    EXPECT_EQ(Run("", IDYES, 3079).journal,
              Box("Pelko Sound DRUNE", "Sind Sie sicher, da\xDF Sie Ihre Soundkarte deinstallieren wollen ?", 0x1014,
                  1031, IDYES) +
                  Box("Pelko Studio KALTO", "     Deinstallation beendet.    ", 0x1040, 1031, IDOK));
    EXPECT_EQ(Run("reboot", IDYES, 1031).journal,
              Box("Pelko Studio KALTO", "Your computer will be restarted", 0x1040, 1031, IDOK) +
                  "{\"op\":\"restart\",\"flags\":2,\"result\":1}\n");
}

struct SetCase {
    LANGID user;
    WORD language;
    const char* confirmation;
    const char* completion;
    const char* restart;
};

const char kOtherRestart[] = "Your computer will be restarted";
const SetCase kEnglish = {0, 1033, kEnglishConfirmation, kEnglishCompletion,
                          "This application will now restart your system"};
const SetCase kGerman = {0, 1031, "Sind Sie sicher, da\xDF Sie Ihre Soundkarte deinstallieren wollen ?",
                         "     Deinstallation beendet.    ", kOtherRestart};
const SetCase kSpanish = {0, 1034, "\xBFQuieres realmente desinstalar tu tarjeta de sonido ?",
                          "     Desinstalaci\xF3n completa.     ", kOtherRestart};
const SetCase kFrench = {0, 1036,
                         "Voulez-vous r\xE9"
                         "ellement d\xE9sinstaller votre carte son ?",
                         "    D\xE9sinstallation achev\xE9"
                         "e.    ",
                         kOtherRestart};
const SetCase kDutch = {0, 1043, "Weet u zeker dat u de geluidskaart wilt de-installeren ?",
                        "    De-installatie voltooid.   ", kOtherRestart};

SetCase With(SetCase set, LANGID user)
{
    set.user = user;
    return set;
}

TEST_F(RunSequenceTest, MessageSetFollowsTheWholeUserLanguageIdentifier)
{
    std::vector<SetCase> cases = {
        With(kEnglish, 1033),   With(kEnglish, 0x0809), With(kEnglish, 0x0007), With(kEnglish, 0x0410),
        With(kEnglish, 0x540A), With(kEnglish, 0x000A), With(kEnglish, 0x180C), With(kEnglish, 0x0C13),
        With(kEnglish, 0x1807), With(kEnglish, 0),      With(kEnglish, 0xFFFF), With(kEnglish, 0x8407),
    };
    for (LANGID id : {0x0407, 0x0807, 0x0C07, 0x1007, 0x1407})
        cases.push_back(With(kGerman, id));
    for (LANGID sub = 1; sub <= 20; ++sub)
        cases.push_back(With(kSpanish, static_cast<LANGID>(sub * 1024 + 0x0A)));
    for (LANGID id : {0x040C, 0x080C, 0x0C0C, 0x100C, 0x140C})
        cases.push_back(With(kFrench, id));
    for (LANGID id : {0x0413, 0x0813})
        cases.push_back(With(kDutch, id));

    for (const SetCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "user language 0x" << std::hex << c.user);
        MessageSet set = Run("silent", IDYES, c.user).messages;
        EXPECT_EQ(set.language, c.language);
        EXPECT_STREQ(set.confirmation, c.confirmation);
        EXPECT_STREQ(set.completion, c.completion);
        EXPECT_STREQ(set.restart, c.restart);
    }
}

TEST_F(RunSequenceTest, CompletionTextsKeepTheirBlanks)
{
    struct Blanks {
        LANGID user;
        std::size_t before;
        std::size_t after;
    } cases[] = {{1033, 4, 4}, {1031, 5, 4}, {1034, 5, 5}, {1036, 4, 4}, {1043, 4, 3}};
    for (const Blanks& c : cases) {
        SCOPED_TRACE(c.user);
        std::string text = Run("x", IDYES, c.user).messages.completion;
        EXPECT_EQ(text.find_first_not_of(' '), c.before);
        EXPECT_EQ(text.size() - 1 - text.find_last_not_of(' '), c.after);
    }
}

TEST_F(RunSequenceTest, LanguageComesFromTheUsersLocaleWithoutAnOption)
{
    const char* international = "Control Panel\\International";
    ASSERT_NE(registry_.CreateKey(HKEY_CURRENT_USER, international), emulated::kNoKey);
    registry_.SetValue(HKEY_CURRENT_USER, international, {"Locale", REG_SZ, std::string("0000040C", 9)});
    EXPECT_EQ(Run("x").messages.language, 1036);
    // The option wins over the registry.
    EXPECT_EQ(Run("x", IDYES, 1043).messages.language, 1043);
    registry_.SetValue(HKEY_CURRENT_USER, international, {"Locale", REG_SZ, std::string("0407", 5)});
    EXPECT_EQ(Run("x").messages.language, 1033);
}

}  // namespace
