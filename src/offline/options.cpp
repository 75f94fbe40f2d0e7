#include "offline/options.h"

#include <getopt.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>

#include "registry/numbers.h"

namespace offline {

// Every line fits in 80 columns.
const char kUsage[] =
    "usage: cmpci-uninstall TARGET [--answer yes|no|unshown] [--lang ID] [--dry-run]\n"
    "           [--journal FILE] [--user NAME] [--backup DIR | --no-backup] [-q]\n"
    "           [--refuse-restart CODE] [--command-line TEXT | -- [ARGUMENT...]]\n"
    "       cmpci-uninstall TARGET --check [--user NAME] [--journal FILE] [-q]\n"
    "       cmpci-uninstall TARGET --remnants [--user NAME] [--journal FILE]\n"
    "           [--dry-run] [--backup DIR | --no-backup] [-q]\n"
    "       cmpci-uninstall TARGET --restore BACKUP [-q]\n"
    "       cmpci-uninstall TARGET --export FILE [--user NAME] [-q]\n"
    "       cmpci-uninstall --machine DIR --import FILE [-q]\n"
    "       cmpci-uninstall -h | --help | --version\n"
    "TARGET: --machine DIR, or --image FILE [--partition N] [--windows PATH]\n"
    "\n"
    "Removes the C-Media PCI sound card's driver installation (PCI VEN_13F6&DEV_0111)\n"
    "from an emulated Windows 9x machine: DIR holds WINDOWS/ (the Windows directory)\n"
    "and the registry, either registry.reg (a REGEDIT4 file) or Windows 9x's own\n"
    "WINDOWS/SYSTEM.DAT and WINDOWS/USER.DAT.\n"
    "\n"
    "The words after -- are the Windows argument text, which decides the mode:\n"
    "  (none)          interactive: asks for confirmation, then reports completion\n"
    "  reboot          restart: no questions, then announces and requests a restart\n"
    "                  (recorded, never performed here)\n"
    "  anything else   silent: no box at all\n"
    "\n"
    "options:\n"
    "  --machine DIR          the machine folder\n"
    "  --image FILE           a hard-disk image instead of DIR: an MBR with FAT\n"
    "                         partitions or a bare FAT volume; raw, VHD (fixed or\n"
    "                         dynamic), qcow2, qcow, QED, VDI, sparse VMDK or\n"
    "                         Parallels, an overlay over a backing file too;\n"
    "                         changed in place under a rollback journal\n"
    "                         (FILE.cmpci-rollback), locked for the run, never\n"
    "                         mounted\n"
    "  --partition N          the image's partition holding Windows (1-4 primary, 5\n"
    "                         on logical; default: the one holding Windows)\n"
    "  --windows PATH         the Windows folder on that partition (default:\n"
    "                         MSDOS.SYS's WinDir, else the folder holding WIN.COM\n"
    "                         and SYSTEM.DAT)\n"
    "  --answer yes|no        answer the confirmation box without asking (needed\n"
    "                         when standard input is not a terminal); unshown: as a\n"
    "                         box Windows could not show, which counts as consent\n"
    "  --lang ID              the user's language identifier, decimal or 0x-hex\n"
    "                         (default: the user's Control Panel\\International\n"
    "                         Locale, else 1033)\n"
    "  --journal FILE         write every deletion, box and restart request as JSON\n"
    "                         Lines (- = stdout); doc/architecture.md describes it\n"
    "  --dry-run              run in full in memory; nothing on disk changes\n"
    "  --user NAME            HKEY_CURRENT_USER is the profile NAME below HKEY_USERS\n"
    "                         (default: the file's own HKEY_CURRENT_USER keys, else\n"
    "                         .DEFAULT)\n"
    "  --backup DIR           keep what the run removes in DIR (new or empty)\n"
    "                         (default: a dated cmpci-backup-... folder in the\n"
    "                         machine folder, or beside the image)\n"
    "  --no-backup            keep no backup\n"
    "  -q, --quiet            draw no boxes and print no summary; boxes are answered\n"
    "                         by --answer\n"
    "  --refuse-restart CODE  the restart request fails with this error code\n"
    "  --command-line TEXT    the whole Windows command line, program name\n"
    "                         included, instead of -- ARGUMENT...\n"
    "  --check                change nothing; list what of the card is on the\n"
    "                         machine, and whether a run or --remnants removes it\n"
    "                         (exit 0: nothing, 1: something)\n"
    "  --remnants             remove what a run stopped halfway left of the card\n"
    "                         once its device key is gone: uninstall entry, mixer\n"
    "                         settings, driver files, classes that name only the card\n"
    "  --restore BACKUP       put back what the run whose backup BACKUP holds removed\n"
    "  --export FILE          write the whole registry to FILE as REGEDIT4 (- =\n"
    "                         stdout)\n"
    "  --import FILE          write DIR/WINDOWS/SYSTEM.DAT and USER.DAT from a\n"
    "                         REGEDIT4 file; DIR must have no registry yet\n"
    "  -h, --help             this text\n"
    "  --version              the program's version and licence\n"
    "\n"
    "Exit status: 0 for every run carried out (as the Windows program), also when\n"
    "answered No; for --check 0 when nothing of the card is left, else 1; 2 when the\n"
    "tool itself cannot run or cannot write its output.\n"
    "\n"
    "Report problems to the project's issue tracker (see the README).\n";

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
    kQuiet,
    kRemnants,
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
    {"quiet", no_argument, nullptr, kQuiet},
    {"remnants", no_argument, nullptr, kRemnants},
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

constexpr CrossRule kCrossRules[] = {
    {[](const Options& o) { return o.machine.empty() && o.image.empty(); },
     "--machine DIR is required (or --image FILE for a disk image)"},
    {[](const Options& o) { return !o.machine.empty() && !o.image.empty(); }, "give either --machine or --image, not both"},
    {[](const Options& o) { return o.image.empty() && (o.partition != 0 || !o.windows.empty()); },
     "--partition and --windows go with --image"},
    {[](const Options& o) { return !o.image.empty() && !o.importFile.empty(); },
     "--import writes a machine folder, not an image"},
    {[](const Options& o) { return o.commandLine && !o.arguments.empty(); },
     "give either --command-line or -- ARGUMENT..., not both"},
    {[](const Options& o) { return !o.backup.empty() && o.noBackup; }, "give either --backup or --no-backup, not both"},
    {[](const Options& o) {
         return o.check + o.remnants + !o.restore.empty() + !o.importFile.empty() + !o.exportFile.empty() > 1;
     },
     "give only one of --check, --remnants, --restore, --import and --export"},
};

// The options that make the command line something other than a run, and what goes with each.
struct ModeRule {
    int option;             // the option that selects the mode
    const char* name;
    unsigned long allowed;  // the options that go with it, as bits (1 << (id - kMachine))
};

constexpr unsigned long Bit(int id)
{
    return 1ul << (id - kMachine);
}

// Every mode takes its target (--machine, or --image with --partition and --windows) and --quiet.
constexpr unsigned long kTargetBits = Bit(kMachine) | Bit(kImage) | Bit(kPartition) | Bit(kWindows) | Bit(kQuiet);
constexpr unsigned long kRemovalBits = kTargetBits | Bit(kJournal) | Bit(kDryRun) | Bit(kUser) | Bit(kBackup) |
                                       Bit(kNoBackup);

constexpr ModeRule kModeRules[] = {
    {kCheck, "--check", kTargetBits | Bit(kCheck) | Bit(kUser) | Bit(kJournal)},
    {kRemnants, "--remnants", kRemovalBits | Bit(kRemnants)},
    {kRestore, "--restore", kTargetBits | Bit(kRestore)},
    {kImport, "--import", kTargetBits | Bit(kImport)},
    {kExport, "--export", kTargetBits | Bit(kExport) | Bit(kUser)},
};

bool RequiresValue(int id)
{
    for (const option* entry = kLongOptions; entry->name != nullptr; ++entry) {
        if (entry->val == id)
            return entry->has_arg == required_argument;
    }
    return false;
}

const char* NameOf(int id)
{
    for (const option* entry = kLongOptions; entry->name != nullptr; ++entry) {
        if (entry->val == id)
            return entry->name;
    }
    return "";
}

// The first option given that does not go with the mode its command line selects; false when all do.
bool ModeBroken(const Options& options, unsigned long given, std::string& error)
{
    for (const ModeRule& rule : kModeRules) {
        if ((given & Bit(rule.option)) == 0)
            continue;
        if (options.commandLine || !options.arguments.empty()) {
            error = std::string(rule.name) + " takes no Windows argument text (-- ARGUMENT... or --command-line)";
            return true;
        }
        for (int id = kMachine; id <= kRemnants; ++id) {
            if ((given & Bit(id) & ~rule.allowed) != 0) {
                error = std::string("--") + NameOf(id) + " does not go with " + rule.name;
                return true;
            }
        }
    }
    return false;
}

// The options that only set a flag, and those that only take their value as it is.
struct FlagOption {
    int code;
    bool Options::*member;
};
constexpr FlagOption kFlagOptions[] = {
    {kHelp, &Options::help},         {kVersion, &Options::version}, {kCheck, &Options::check},
    {kQuiet, &Options::quiet},       {kRemnants, &Options::remnants}, {kNoBackup, &Options::noBackup},
    {kDryRun, &Options::dryRun},
};
struct TextOption {
    int code;
    std::string Options::*member;
};
constexpr TextOption kTextOptions[] = {
    {kUser, &Options::user},         {kBackup, &Options::backup},   {kRestore, &Options::restore},
    {kImport, &Options::importFile}, {kExport, &Options::exportFile}, {kImage, &Options::image},
    {kWindows, &Options::windows},   {kMachine, &Options::machine}, {kJournal, &Options::journal},
};

// A flag or a plain text option: true when `code` is one.
bool TakePlainOption(int code, Options& options)
{
    for (const FlagOption& flag : kFlagOptions) {
        if (flag.code == code) {
            options.*flag.member = true;
            return true;
        }
    }
    for (const TextOption& text : kTextOptions) {
        if (text.code == code) {
            options.*text.member = optarg;
            return true;
        }
    }
    return false;
}

// Takes one option getopt_long returned as `code` from the command-line word `word`. False with `error` for
// a value it does not take or a value missing.
bool TakeOption(int code, const std::string& word, Options& options, std::string& error)
{
    std::string name = word.substr(0, word.find('='));
    std::uint32_t number = 0;
    if (TakePlainOption(code, options))
        return true;
    switch (code) {
    case '?':  // a full name, so a flag given a value
        error = name + " takes no value";
        return false;
    case ':': error = name + " needs a value"; return false;
    case kPartition:
        if (!emulated::ParseNumber(optarg, 10, 68, number) || number == 0) {
            error = "--partition takes a partition number from 1 to 68, not " + std::string(optarg);
            return false;
        }
        options.partition = static_cast<int>(number);
        break;
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

// A file name with a disk image's extension, told by its name alone.
bool LooksLikeImage(const std::string& word)
{
    const std::size_t dot = word.rfind('.');
    if (dot == std::string::npos || word.find('/', dot) != std::string::npos)
        return false;
    std::string extension = word.substr(dot + 1);
    for (char& c : extension)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (const char* known : {"img", "raw", "ima", "dsk", "qcow2", "qcow", "qed", "vdi", "vmdk", "vhd", "vpc", "hdd", "hds"}) {
        if (extension == known)
            return true;
    }
    return false;
}

// The line for a word that is no option nor an option's value: what the user most likely meant. It never
// suggests the Windows argument text, which would change the run's mode (any word but reboot is silent).
std::string StrayWordHint(const std::string& word, const Options& options)
{
    const std::string start = "unexpected word '" + word + "': ";
    struct stat status { };
    const bool exists = !word.empty() && stat(word.c_str(), &status) == 0;
    if (options.machine.empty() && options.image.empty()) {
        const bool image = exists ? !S_ISDIR(status.st_mode) : LooksLikeImage(word);
        return start + (image ? "a disk image is named by --image, as in --image " + word
                              : "the machine folder is named by --machine, as in --machine " + word);
    }
    if (exists || LooksLikeImage(word) || word.find('/') != std::string::npos)
        return start + (options.image.empty() ? "one machine folder at a time: run once for each"
                                              : "one image at a time: run once for each (examples/batch_run.sh "
                                                "does that for a batch)");
    return start + "not an option nor an option's value";
}

// The option `code` that getopt_long took from `word`, its spelling checked: -h and -q are the only short
// options, every long one is spelled whole. False with `error`.
bool SpelledOption(int& code, const std::string& word, std::string& error)
{
    if ((code == 'h' && word == "-h") || (code == 'q' && word == "-q")) {
        code = code == 'h' ? kHelp : kQuiet;
        return true;
    }
    if (word[1] != '-') {
        error = "unknown option " + word + " (put ARGUMENTs that begin with - after --)";
        return false;
    }
    if (!IsFullOptionName(word)) {
        error = "unknown option " + word;
        return false;
    }
    return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& options, std::string& error)
{
    // optind = 0 makes glibc's and musl's getopt start afresh, dropping the state of an earlier parse.
    // A leading "-" in optstring hands every non-option word back in place (code 1), so that a stray word
    // is refused where it stands; getopt stops at "--" and leaves the rest to us, so no word after it is
    // taken as an option. ":" reports a missing value as ':' and quiets getopt's own messages. The short
    // options are -h and -q; every other "-x" word comes back as '?'.
    optind = 0;
    opterr = 0;
    unsigned long given = 0;
    std::string stray;
    bool strayFound = false;
    for (;;) {
        int index = optind == 0 ? 1 : optind;  // the word getopt_long looks at next
        int code = getopt_long(argc, argv, "-:hq", kLongOptions, nullptr);
        if (code == -1)
            break;
        std::string word = argv[index];
        if (code == 1) {
            // Told once the whole command line is read: the hint depends on the target given.
            if (stray.empty() && !strayFound) {
                stray = word;
                strayFound = true;
            }
            continue;
        }
        if (!SpelledOption(code, word, error))
            return false;
        if (code >= kMachine && code <= kRemnants) {
            // A second value would silently win over the first: which machine a run changes must not
            // depend on the order of words.
            if ((given & Bit(code)) != 0 && RequiresValue(code)) {
                error = std::string("--") + NameOf(code) + " is given twice";
                return false;
            }
            given |= Bit(code);
        }
        if (!TakeOption(code, word, options, error))
            return false;
    }
    if (strayFound) {
        error = StrayWordHint(stray, options);
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
    return !ModeBroken(options, given, error);
}

}  // namespace offline
