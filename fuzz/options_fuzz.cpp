// The offline program's option parser on any argv: the input split at NUL bytes into words after the
// program name. A refusal names its fault; an accepted command line obeys the parser's rules; argv is left
// in its order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "offline/options.h"

namespace {

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> words {"cmpci-uninstall"};
    std::string word;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    if (!word.empty())
        words.push_back(word);

    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    const std::vector<char*> given = argv;
    argv.push_back(nullptr);

    offline::Options options;
    std::string error;
    const bool ok = offline::ParseOptions(static_cast<int>(words.size()), argv.data(), options, error);

    Check(std::vector<char*>(argv.begin(), argv.end() - 1) == given);
    Check(options.arguments.size() < words.size());
    if (!ok) {
        Check(!error.empty());
        return 0;
    }
    if (options.help || options.version)
        return 0;
    // A machine folder or a disk image standing for one, never both.
    Check(options.machine.empty() != options.image.empty());
    Check(!options.image.empty() || (options.partition == 0 && options.windows.empty()));
    Check(!options.commandLine || options.arguments.empty());
    Check(options.backup.empty() || !options.noBackup);
    Check(options.restore.empty() || (!options.check && !options.dryRun && options.backup.empty() &&
                                      options.journal.empty()));
    // The argument text comes only after "--": a stray word never makes a run silent.
    Check(options.arguments.empty() || std::find(words.begin(), words.end(), "--") != words.end());
    Check(options.check + options.remnants + !options.restore.empty() + !options.importFile.empty() +
              !options.exportFile.empty() <=
          1);
    return 0;
}
