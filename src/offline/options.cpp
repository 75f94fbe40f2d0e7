#include "offline/options.h"

#include <getopt.h>

#include <cstdint>
#include <cstring>

#include "registry/numbers.h"

namespace offline {

const char kUsage[] =
    "usage: cmpci-uninstall --machine DIR [--answer yes|no|unshown] [--lang ID] [--journal FILE] [--dry-run]\n"
    "                       [--user NAME] [--refuse-restart CODE] [--command-line TEXT] [--] [ARGUMENT...]\n"
    "       cmpci-uninstall --machine DIR --check [--user NAME] [--journal FILE]\n"
    "       cmpci-uninstall --machine DIR --restore BACKUP\n"
    "       cmpci-uninstall --machine DIR --import FILE | --export FILE\n"
    "       cmpci-uninstall --image FILE [--partition N] [--windows PATH] [any option but --machine and\n"
    "                       --import]\n"
    "\n"
    "Removes the C-Media PCI sound card's driver installation (PCI VEN_13F6&DEV_0111) from an emulated\n"
    "Windows 9x machine: DIR holds WINDOWS/ (the Windows directory) and the registry, either registry.reg\n"
    "(a REGEDIT4 file) or Windows 9x's own WINDOWS/SYSTEM.DAT and WINDOWS/USER.DAT.\n"
    "\n"
    "The argument text decides the mode, as on Windows:\n"
    "  (none)       interactive: asks for confirmation, then reports completion\n"
    "  reboot       restart: no questions, then announces and requests a restart (never performed here)\n"
    "  anything else  silent: no box at all\n"
    "\n"
    "options:\n"
    "  --machine DIR          the machine folder (required)\n"
    "  --answer yes|no        answer the confirmation box without asking (needed when standard input is\n"
    "                         not a terminal); unshown: as a box Windows could not show, which counts\n"
    "                         as consent\n"
    "  --lang ID              the user's language identifier, decimal or 0x-hex (default: the user's\n"
    "                         Control Panel\\International Locale, else 1033)\n"
    "  --journal FILE         write every deletion, box and restart request as JSON Lines (- = stdout)\n"
    "  --dry-run              run in full in memory; nothing on disk changes\n"
    "  --check                change nothing; list what of the card is on the machine (exit 0: nothing,\n"
    "                         1: something)\n"
    "  --backup DIR           keep what the run removes in DIR (new or empty): removed.reg, the removed\n"
    "                         files, the registry file as it was, manifest.json (default: a dated\n"
    "                         cmpci-backup-... folder in the machine folder)\n"
    "  --no-backup            keep no backup\n"
    "  --restore DIR          put back what the run whose backup DIR holds removed\n"
    "  --user NAME            HKEY_CURRENT_USER is the profile NAME below HKEY_USERS, from\n"
    "                         WINDOWS/PROFILES/NAME/USER.DAT when there is one (default: the file's own\n"
    "                         HKEY_CURRENT_USER keys, else .DEFAULT)\n"
    "  --import FILE          write DIR/WINDOWS/SYSTEM.DAT and USER.DAT from a REGEDIT4 file; DIR must\n"
    "                         have no registry yet\n"
    "  --export FILE          write DIR's whole registry to FILE as REGEDIT4 (- = stdout)\n"
    "  --image FILE           work on a raw hard-disk image (MBR with FAT partitions, a bare FAT volume,\n"
    "                         or a fixed VHD) instead of DIR, through mtools, never mounted\n"
    "  --partition N          the image's partition holding Windows (1-4 primary, 5 on logical)\n"
    "  --windows PATH         the Windows folder on that partition (default: MSDOS.SYS's WinDir, else the\n"
    "                         folder holding WIN.COM and SYSTEM.DAT)\n"
    "  --refuse-restart CODE  the restart request fails with this error code\n"
    "  --command-line TEXT    the whole Windows command line, program name included, instead of ARGUMENTs\n"
    "  -h, --help             this text\n"
    "  --version              the program's version\n"
    "\n"
    "Exit code 0 for every run carried out (as the Windows program); 2 when the tool itself cannot run.\n";

namespace {

enum OptionId {
    kMachine = 256,
    kAnswer,
    kLang,
    kJournal,
    kDryRun,
    kRefuseRestart,
    kCommandLine,
    kHelp,
    kVersion,
    kCheck,
    kUser,
    kBackup,
    kNoBackup,
    kRestore,
    kImport,
    kExport,
    kImage,
    kPartition,
    kWindows,
};

const option kLongOptions[] = {
    {"machine", required_argument, nullptr, kMachine},
    {"answer", required_argument, nullptr, kAnswer},
    {"lang", required_argument, nullptr, kLang},
    {"journal", required_argument, nullptr, kJournal},
    {"dry-run", no_argument, nullptr, kDryRun},
    {"refuse-restart", required_argument, nullptr, kRefuseRestart},
    {"command-line", required_argument, nullptr, kCommandLine},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"check", no_argument, nullptr, kCheck},
    {"user", required_argument, nullptr, kUser},
    {"backup", required_argument, nullptr, kBackup},
    {"no-backup", no_argument, nullptr, kNoBackup},
    {"restore", required_argument, nullptr, kRestore},
    {"import", required_argument, nullptr, kImport},
    {"export", required_argument, nullptr, kExport},
    {"image", required_argument, nullptr, kImage},
    {"partition", required_argument, nullptr, kPartition},
    {"windows", required_argument, nullptr, kWindows},
    {nullptr, 0, nullptr, 0},
};

// getopt_long takes any unambiguous prefix of a name; this program takes full names only, so that an
// option added later cannot change what an abbreviation in a script means.
bool IsFullOptionName(const std::string& word)
{
    std::string name = word.substr(2, word.find('=') - 2);
    for (const option* entry = kLongOptions; entry->name != nullptr; ++entry) {
        if (name == entry->name)
            return true;
    }
    return false;
}

bool ParseAnswer(const char* text, Answer& answer)
{
    if (std::strcmp(text, "yes") == 0) {
        answer = Answer::Yes;
    } else if (std::strcmp(text, "no") == 0) {
        answer = Answer::No;
    } else if (std::strcmp(text, "unshown") == 0) {
        answer = Answer::Unshown;
    } else {
        return false;
    }
    return true;
}

}  // namespace

namespace {

// Options that go together or not at all, checked in this order; the first broken rule is the error.
struct CrossRule {
    bool (*broken)(const Options& options);
    const char* message;
};

bool Transfers(const Options& o)
{
    return !o.importFile.empty() || !o.exportFile.empty();
}

bool RunsOnlyWith(const Options& o)
{
    return o.check || o.dryRun || !o.backup.empty() || o.noBackup || !o.journal.empty() || o.commandLine ||
           !o.arguments.empty();
}

constexpr CrossRule kCrossRules[] = {
    {[](const Options& o) { return o.machine.empty() && o.image.empty(); },
     "--machine DIR is required (or --image FILE for a disk image)"},
    {[](const Options& o) { return !o.machine.empty() && !o.image.empty(); }, "give either --machine or --image, not both"},
    {[](const Options& o) { return o.image.empty() && (o.partition != 0 || !o.windows.empty()); },
     "--partition and --windows go with --image"},
    {[](const Options& o) { return !o.image.empty() && !o.importFile.empty(); },
     "--import writes a machine folder, not an image"},
    {[](const Options& o) { return o.commandLine && !o.arguments.empty(); },
     "give either --command-line or ARGUMENTs, not both"},
    {[](const Options& o) { return !o.backup.empty() && o.noBackup; }, "give either --backup or --no-backup, not both"},
    {[](const Options& o) { return !o.restore.empty() && (o.check || o.dryRun || !o.backup.empty()); },
     "--restore takes only --machine"},
    {[](const Options& o) { return !o.restore.empty() + !o.importFile.empty() + !o.exportFile.empty() > 1; },
     "give one of --restore, --import and --export"},
    {[](const Options& o) { return !o.importFile.empty() && RunsOnlyWith(o); },
     "--import takes only --machine (and --user for --export)"},
    {[](const Options& o) { return Transfers(o) && RunsOnlyWith(o); },
     "--export takes only --machine (and --user for --export)"},
};

// Takes one option getopt_long returned as `code` from the command-line word `word`. False with `error` for
// a value it does not take or a value missing.
bool TakeOption(int code, const std::string& word, Options& options, std::string& error)
{
    std::string name = word.substr(0, word.find('='));
    std::uint32_t number = 0;
    switch (code) {
    case '?':  // a full name, so a flag given a value
        error = name + " takes no value";
        return false;
    case ':': error = name + " needs a value"; return false;
    case kHelp: options.help = true; break;
    case kVersion: options.version = true; break;
    case kCheck: options.check = true; break;
    case kUser: options.user = optarg; break;
    case kBackup: options.backup = optarg; break;
    case kNoBackup: options.noBackup = true; break;
    case kRestore: options.restore = optarg; break;
    case kImport: options.importFile = optarg; break;
    case kExport: options.exportFile = optarg; break;
    case kImage: options.image = optarg; break;
    case kWindows: options.windows = optarg; break;
    case kPartition:
        if (!emulated::ParseNumber(optarg, 10, 68, number) || number == 0) {
            error = "--partition takes a partition number from 1 to 68, not " + std::string(optarg);
            return false;
        }
        options.partition = static_cast<int>(number);
        break;
    case kDryRun: options.dryRun = true; break;
    case kMachine: options.machine = optarg; break;
    case kJournal: options.journal = optarg; break;
    case kCommandLine: options.commandLine = optarg; break;
    case kAnswer:
        if (!ParseAnswer(optarg, options.answer)) {
            error = "--answer takes yes, no or unshown, not " + std::string(optarg);
            return false;
        }
        break;
    case kLang:
        if (!emulated::ParseDecimalOrHex(optarg, 0xFFFF, number)) {
            error = "--lang takes a language identifier from 0 to 65535 (decimal or 0x-hex), not " +
                    std::string(optarg);
            return false;
        }
        options.language = static_cast<LANGID>(number);
        break;
    case kRefuseRestart:
        if (!emulated::ParseDecimalOrHex(optarg, 0xFFFFFFFFu, number)) {
            error = "--refuse-restart takes an error code (decimal or 0x-hex), not " + std::string(optarg);
            return false;
        }
        options.refuseRestart = static_cast<DWORD>(number);
        break;
    default: error = "unknown option " + word; return false;
    }
    return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& options, std::string& error)
{
    // optind = 0 makes glibc's and musl's getopt start afresh, dropping the state of an earlier parse.
    // A leading "-" in optstring hands every non-option word back in place (code 1) instead of moving it
    // to the end, so ARGUMENTs keep their order; getopt stops at "--" and leaves the rest to us, so no
    // word after it is taken as an option. ":" reports a missing value as ':' and quiets getopt's own
    // messages. The one short option is -h; every other "-x" word comes back as '?'.
    optind = 0;
    opterr = 0;
    for (;;) {
        int index = optind == 0 ? 1 : optind;  // the word getopt_long looks at next
        int code = getopt_long(argc, argv, "-:h", kLongOptions, nullptr);
        if (code == -1)
            break;
        if (code == 1) {
            options.arguments.push_back(optarg);
            continue;
        }
        std::string word = argv[index];
        if (code == 'h' && word == "-h") {
            options.help = true;
            continue;
        }
        if (word[1] != '-') {
            error = "unknown option " + word + " (put ARGUMENTs that begin with - after --)";
            return false;
        }
        if (!IsFullOptionName(word)) {
            error = "unknown option " + word;
            return false;
        }
        if (!TakeOption(code, word, options, error))
            return false;
    }
    for (int i = optind; i < argc; ++i)
        options.arguments.push_back(argv[i]);

    if (options.help || options.version)
        return true;
    for (const CrossRule& rule : kCrossRules) {
        if (rule.broken(options)) {
            error = rule.message;
            return false;
        }
    }
    return true;
}

}  // namespace offline
