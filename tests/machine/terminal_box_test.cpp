#include "machine/terminal_box.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>

namespace {

class TerminalBoxTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (input_ != nullptr)
            std::fclose(input_);
        if (display_ != nullptr)
            std::fclose(display_);
        std::free(shown_);
        shown_ = nullptr;
    }

    emulated::BoxAnswers Answers(const std::string& typed, bool terminal,
                                 emulated::BoxPreset preset = emulated::BoxPreset::Ask)
    {
        typed_ = typed;
        input_ = fmemopen(typed_.data(), typed_.size() + 1, "r");
        if (typed_.empty()) {
            std::fclose(input_);
            input_ = std::fopen("/dev/null", "r");
        }
        display_ = open_memstream(&shown_, &shownSize_);
        return {preset, input_, terminal, display_};
    }

    std::string Shown()
    {
        std::fflush(display_);
        return std::string(shown_, shownSize_);
    }

    // Every part stands somewhere in what was drawn.
    void ExpectShown(std::initializer_list<const char*> parts)
    {
        std::string shown = Shown();
        for (const char* part : parts)
            EXPECT_NE(shown.find(part), std::string::npos) << part << " in\n" << shown;
    }

    std::string typed_;
    std::FILE* input_ = nullptr;
    std::FILE* display_ = nullptr;
    char* shown_ = nullptr;
    std::size_t shownSize_ = 0;
};

TEST_F(TerminalBoxTest, YesNoBoxReadsAnswersAndAsksAgainOnAnythingElse)
{
    struct Case {
        const char* typed;
        int result;
    } cases[] = {
        {"y\n", IDYES},     {"YES\n", IDYES}, {"n\n", IDNO},    {"No\r\n", IDNO}, {"maybe\n\nyes\n", IDYES},
        {"  no  \n", IDNO}, {"", IDNO},       {"what\n", IDNO},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed);
        TearDown();
        input_ = display_ = nullptr;
        EXPECT_EQ(emulated::ShowTerminalBox(Answers(c.typed, false), "Pelko Sound DRUNE", "Sure ?", 0x1014), c.result);
    }
}

TEST_F(TerminalBoxTest, PresetAnswersTheYesNoBoxWithoutReading)
{
    EXPECT_EQ(emulated::ShowTerminalBox(Answers("y\n", true, emulated::BoxPreset::No), "c", "t", 0x1014), IDNO);
    EXPECT_EQ(std::fgetc(input_), 'y');
}

TEST_F(TerminalBoxTest, OkBoxNeverWaitsForInputThatIsNotATerminal)
{
    EXPECT_EQ(emulated::ShowTerminalBox(Answers("n\n", false), "Pelko Studio KALTO", "done", 0x1040), IDOK);
    EXPECT_EQ(std::fgetc(input_), 'n');
}

TEST_F(TerminalBoxTest, OkBoxOnATerminalWaitsForEnterAndCountsEndOfInputAsNotShown)
{
    EXPECT_EQ(emulated::ShowTerminalBox(Answers("\n", true), "c", "t", 0x1040), IDOK);
    TearDown();
    input_ = display_ = nullptr;
    EXPECT_EQ(emulated::ShowTerminalBox(Answers("", true), "c", "t", 0x1040), 0);
    // The prompt's line is ended, so that what follows starts on a line of its own.
    const std::string shown = Shown();
    EXPECT_EQ(shown.substr(shown.size() - 21), "Press Enter for OK: \n");
}

TEST_F(TerminalBoxTest, DrawsCaptionIconButtonsAndTheTextWithItsBlanks)
{
    emulated::ShowTerminalBox(Answers("", false), "Pelko Studio KALTO", "    De-installatie voltooid.   ", 0x1040);
    ExpectShown({"Pelko Studio KALTO", "[information]", "\"    De-installatie voltooid.   \"", "[ OK ]"});
}

TEST_F(TerminalBoxTest, ConvertsWindows1252ForDisplay)
{
    emulated::ShowTerminalBox(Answers("n\n", false), "Pelko Sound DRUNE", "Sind Sie sicher, da\xDF Sie ?", 0x1014);
    ExpectShown({"da\xC3\x9F Sie", "[stop]", "[ Yes ]  [ No ]"});
}

}  // namespace
