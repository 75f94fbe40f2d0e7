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
        {{"--machine", "m", "--", "b", "a", "-", "", "c"}, {.machine = "m", .arguments = Args {"b", "a", "-", "", "c"}}},
        {{"--machine", "m", "--", "--dry-run", "-x", "--", "y"},
         {.machine = "m", .arguments = Args {"--dry-run", "-x", "--", "y"}}},
        {{"--machine", "m", "--"}, {.machine = "m"}},
        // A value is taken verbatim, even when it looks like an option; a repeated flag is one flag.
        {{"--machine", "--dry-run"}, {.machine = "--dry-run"}},
        {{"--machine", "m", "-q", "--quiet", "--dry-run", "--dry-run"}, {.machine = "m", .dryRun = true, .quiet = true}},
        {{"--machine", "m", "--check", "--user", "u", "--journal", "j", "-q"},
         {.machine = "m", .journal = "j", .check = true, .user = "u", .quiet = true}},
        {{"--image", "d.img", "--remnants", "--dry-run", "--no-backup", "--journal=-"},
         {.journal = "-", .dryRun = true, .noBackup = true, .image = "d.img", .remnants = true}},
        {{"--image", "d.img", "--export", "-", "--user", "u"}, {.user = "u", .exportFile = "-", .image = "d.img"}},
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
        EXPECT_EQ(got.check, row.want.check);
        EXPECT_EQ(got.noBackup, row.want.noBackup);
        EXPECT_EQ(got.quiet, row.want.quiet);
        EXPECT_EQ(got.remnants, row.want.remnants);
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
        {{"--machine", "m", "--command-line", "x.exe", "--", "reboot"}, "give either --command-line or -- ARGUMENT"},
        // A word before "--" is never the argument text: a second operand must not make a run silent.
        {{"--machine", "m", "reboot"}, "unexpected word 'reboot'"},
        {{"--image", "a.img", "b.img"}, "unexpected word 'b.img'"},
        {{"--machine", "m", "", "--answer", "yes"}, "unexpected word ''"},
        // A second value would silently win.
        {{"--machine", "a", "--machine=b"}, "--machine is given twice"},
        {{"--image", "a", "--answer", "yes", "--answer", "no"}, "--answer is given twice"},
        // Options that do not go with the mode, one line each.
        {{"--machine", "m", "--check", "--", "reboot"}, "--check takes no Windows argument text"},
        {{"--machine", "m", "--check", "--dry-run"}, "--dry-run does not go with --check"},
        {{"--machine", "m", "--check", "--answer", "yes"}, "--answer does not go with --check"},
        {{"--machine", "m", "--restore", "b", "--journal", "-"}, "--journal does not go with --restore"},
        {{"--machine", "m", "--remnants", "--answer", "yes"}, "--answer does not go with --remnants"},
        {{"--machine", "m", "--remnants", "--command-line", "x"}, "--remnants takes no Windows argument text"},
        {{"--machine", "m", "--import", "a.reg", "--user", "u"}, "--user does not go with --import"},
        {{"--image", "d.img", "--export", "b.reg", "--lang", "1"}, "--lang does not go with --export"},
        {{"--machine", "m", "--check", "--remnants"}, "give only one of --check, --remnants, --restore"},
        {{"--machine", "m", "-q", "--no-backup", "--backup", "b"}, "give either --backup or --no-backup"},
        {{"--help", "--bogus"}, "unknown option --bogus"},
        {{"--machine", "m", "--image", "d.img"}, "give either --machine or --image, not both"},
        {{"--machine", "m", "--partition", "1"}, "--partition and --windows go with --image"},
        {{"--image", "d.img", "--partition", "0"}, "--partition takes a partition number from 1 to 68, not 0"},
        {{"--image", "d.img", "--import", "a.reg"}, "--import writes a machine folder, not an image"},
        {{"--machine", "m", "--import", "a.reg", "--export", "b.reg"}, "give only one of --check, --remnants"},
        {{"--machine", "m", "--export", "b.reg", "--dry-run"}, "--dry-run does not go with --export"},
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

struct Stray {
    Words words;
    const char* hint;
};

TEST(OfflineOptionsTest, AStrayWordsHintNamesWhatWasMeantAndNeverTheArgumentText)
{
    const Stray rows[] = {
        {{"m"}, "unexpected word 'm': the machine folder is named by --machine, as in --machine m"},
        {{"-q", "old-pc", "--answer", "yes"}, "as in --machine old-pc"},
        {{"win98.QCOW2"}, "a disk image is named by --image, as in --image win98.QCOW2"},
        {{"lab/w.vdi", "--dry-run"}, "as in --image lab/w.vdi"},
        {{"--image", "a.img", "b.img"}, "unexpected word 'b.img': one image at a time"},
        {{"--image", "a.img", "lab/c"}, "one image at a time"},
        {{"--machine", "m", "n/"}, "one machine folder at a time"},
        {{"--machine", "m", "reboot"}, "unexpected word 'reboot': not an option nor an option's value"},
        {{"--machine", "m", "silent", "--", "x"}, "unexpected word 'silent': not an option"},
    };
    for (const Stray& row : rows) {
        SCOPED_TRACE(Joined(row.words));
        Options got;
        std::string error;
        ASSERT_FALSE(Parse(row.words, got, error));
        EXPECT_NE(error.find(row.hint), std::string::npos) << error;
        EXPECT_EQ(error.find("--,"), std::string::npos) << error;
        EXPECT_EQ(error.find(" -- "), std::string::npos) << error;
        // The command a hint offers, followed, is a run that asks: no Windows argument text.
        const std::size_t offered = error.find("as in ");
        if (offered == std::string::npos)
            continue;
        const std::string command = error.substr(offered + 6);
        const std::string option = command.substr(0, command.find(' '));
        const std::string value = command.substr(command.find(' ') + 1);
        Options followed;
        ASSERT_TRUE(Parse({option.c_str(), value.c_str()}, followed, error)) << error;
        EXPECT_TRUE(followed.arguments.empty());
        EXPECT_FALSE(followed.commandLine.has_value());
    }
}

}  // namespace

namespace {

TEST(OfflineOptionsTest, HelpFitsEightyColumnsAndItsSynopsisNamesEveryOption)
{
    const std::string usage = offline::kUsage;
    std::size_t start = 0;
    for (std::size_t end; (end = usage.find('\n', start)) != std::string::npos; start = end + 1)
        EXPECT_LE(end - start, 80u) << usage.substr(start, end - start);
    const std::string synopsis = usage.substr(0, usage.find("\n\n"));
    for (const char* name : {"--machine", "--image", "--partition", "--windows", "--answer", "--lang", "--journal",
                             "--dry-run", "--user", "--backup", "--no-backup", "-q", "--refuse-restart",
                             "--command-line", "--check", "--remnants", "--restore", "--export", "--import", "--help",
                             "--version", "-- [ARGUMENT...]"})
        EXPECT_NE(synopsis.find(name), std::string::npos) << name;
    EXPECT_NE(usage.find("Report problems"), std::string::npos);
}

}  // namespace
