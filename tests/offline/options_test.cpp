#include "offline/options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace {

using offline::Answer;
using offline::Options;
using Words = std::initializer_list<const char*>;

// Parses the words behind a program name, as main() receives them.
bool Parse(Words words, Options& options, std::string& error)
{
    std::vector<std::string> storage {"cmpci-uninstall"};
    storage.insert(storage.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& word : storage)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    return offline::ParseOptions(static_cast<int>(storage.size()), argv.data(), options, error);
}

std::string Joined(Words words)
{
    std::string text;
    for (const char* word : words)
        text += std::string(text.empty() ? "" : " ") + "[" + word + "]";
    return text;
}

struct Accepted {
    Words words;
    Options want;
};

TEST(OfflineOptionsTest, AcceptsEachOptionInBothFormsAnywhereBeforeTheDoubleDash)
{
    using Args = std::vector<std::string>;
    const Accepted rows[] = {
        {{"--machine", "m"}, {.machine = "m"}},
        {{"--machine=m"}, {.machine = "m"}},
        {{"--help"}, {.help = true}},
        {{"-h"}, {.help = true}},
        {{"--version"}, {.version = true}},
        {{"--machine", "m", "--answer", "unshown"}, {.machine = "m", .answer = Answer::Unshown}},
        {{"--answer", "yes", "--machine", "m"}, {.machine = "m", .answer = Answer::Yes}},
        {{"--machine", "m", "--answer=no"}, {.machine = "m", .answer = Answer::No}},
        {{"--machine", "m", "--lang", "65535"}, {.machine = "m", .language = 65535}},
        {{"--machine", "m", "--lang=0x0409"}, {.machine = "m", .language = 0x409}},
        {{"--machine", "m", "--journal", "-", "--dry-run"}, {.machine = "m", .journal = "-", .dryRun = true}},
        {{"--refuse-restart=0xFFFFFFFF", "--machine", "m"}, {.machine = "m", .refuseRestart = 0xFFFFFFFFu}},
        {{"--machine", "m", "--command-line", "-x reboot"}, {.machine = "m", .commandLine = "-x reboot"}},
        {{"b", "--machine", "m", "a", "-", "", "c"}, {.machine = "m", .arguments = Args {"b", "a", "-", "", "c"}}},
        {{"--machine", "m", "x", "--", "--dry-run", "-x", "--", "y"},
         {.machine = "m", .arguments = Args {"x", "--dry-run", "-x", "--", "y"}}},
        // A repeated option takes its last value; a value is taken verbatim, even when it looks like an option.
        {{"--machine", "a", "--machine=b", "--answer", "yes", "--answer", "no"},
         {.machine = "b", .answer = Answer::No}},
        {{"--machine", "--dry-run"}, {.machine = "--dry-run"}},
        {{"--machine", "m", "--import", "a.reg"}, {.machine = "m", .importFile = "a.reg"}},
        {{"--machine", "m", "--export=-", "--user", "u"}, {.machine = "m", .user = "u", .exportFile = "-"}},
        {{"--image", "d.img", "--partition", "5", "--windows", "C:\\WIN98", "--dry-run"},
         {.dryRun = true, .image = "d.img", .partition = 5, .windows = "C:\\WIN98"}},
    };
    for (const Accepted& row : rows) {
        SCOPED_TRACE(Joined(row.words));
        Options got;
        std::string error;
        ASSERT_TRUE(Parse(row.words, got, error)) << error;
        EXPECT_EQ(got.machine, row.want.machine);
        EXPECT_EQ(got.answer, row.want.answer);
        EXPECT_EQ(got.language, row.want.language);
        EXPECT_EQ(got.journal, row.want.journal);
        EXPECT_EQ(got.dryRun, row.want.dryRun);
        EXPECT_EQ(got.refuseRestart, row.want.refuseRestart);
        EXPECT_EQ(got.commandLine, row.want.commandLine);
        EXPECT_EQ(got.arguments, row.want.arguments);
        EXPECT_EQ(got.help, row.want.help);
        EXPECT_EQ(got.version, row.want.version);
        EXPECT_EQ(got.user, row.want.user);
        EXPECT_EQ(got.importFile, row.want.importFile);
        EXPECT_EQ(got.exportFile, row.want.exportFile);
        EXPECT_EQ(got.image, row.want.image);
        EXPECT_EQ(got.partition, row.want.partition);
        EXPECT_EQ(got.windows, row.want.windows);
    }
}

struct Refused {
    Words words;
    const char* error;
};

TEST(OfflineOptionsTest, RefusesWithOneLineNamingTheFault)
{
    const std::string hint = "(put ARGUMENTs";
    const Refused rows[] = {
        {{}, "--machine DIR is required"},
        {{"--machine="}, "--machine DIR is required"},
        {{"--machine", "m", "--bogus"}, "unknown option --bogus"},
        {{"--machine", "m", "--bogus=1"}, "unknown option --bogus=1"},
        // Only full names: getopt_long's abbreviations are refused.
        {{"--mach", "m"}, "unknown option --mach"},
        {{"--machine", "m", "--dry=1"}, "unknown option --dry=1"},
        {{"--machine", "m", "-xy"}, "unknown option -xy (put ARGUMENTs that begin with - after --)"},
        {{"-machine", "m"}, "unknown option -machine (put ARGUMENTs"},
        {{"--machine", "m", "--dry-run=1"}, "--dry-run takes no value"},
        {{"--help="}, "--help takes no value"},
        {{"--machine"}, "--machine needs a value"},
        {{"--machine", "m", "--answer", "maybe"}, "--answer takes yes, no or unshown, not maybe"},
        {{"--machine", "m", "--lang", "65536"}, "0 to 65535 (decimal or 0x-hex), not 65536"},
        {{"--machine", "m", "--lang=0x"}, "--lang takes a language identifier from 0 to 65535"},
        {{"--machine", "m", "--refuse-restart", "0x100000000"}, "--refuse-restart takes an error code"},
        {{"--machine", "m", "--command-line", "x.exe", "reboot"}, "give either --command-line or ARGUMENTs"},
        {{"--help", "--bogus"}, "unknown option --bogus"},
        {{"--machine", "m", "--image", "d.img"}, "give either --machine or --image, not both"},
        {{"--machine", "m", "--partition", "1"}, "--partition and --windows go with --image"},
        {{"--image", "d.img", "--partition", "0"}, "--partition takes a partition number from 1 to 68, not 0"},
        {{"--image", "d.img", "--import", "a.reg"}, "--import writes a machine folder, not an image"},
        {{"--machine", "m", "--import", "a.reg", "--export", "b.reg"}, "give one of --restore, --import and --export"},
        {{"--machine", "m", "--export", "b.reg", "--dry-run"}, "--export takes only --machine"},
    };
    for (const Refused& row : rows) {
        SCOPED_TRACE(Joined(row.words));
        Options got;
        std::string error;
        EXPECT_FALSE(Parse(row.words, got, error));
        EXPECT_NE(error.find(row.error), std::string::npos) << error;
        // The hint comes with a word that begins with a single -, and only there.
        EXPECT_EQ(error.find(hint) != std::string::npos, std::string(row.error).find(hint) != std::string::npos);
    }
}

}  // namespace
