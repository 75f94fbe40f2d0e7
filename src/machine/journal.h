// The journal: every key deletion, file deletion, message box and restart request of a run, in order, as
// JSON Lines. Texts are converted from Windows-1252 to UTF-8.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "system/win_types.h"

namespace emulated {

class Journal {
public:
    // Lines go to `out` when it is not null; they are counted either way.
    explicit Journal(std::FILE* out = nullptr) : out_(out) { }

    // The version of the journal's record format, in every first record; it grows when a field changes
    // meaning or goes, not when one is added.
    static constexpr int kFormat = 1;
    // The first record: the program's version, the time (UTC), the target and what the run does.
    struct Start {
        std::string_view version;
        std::string_view targetKind;  // "machine" or "image"
        std::string_view target;      // its host path
        std::string_view mode;        // "run", "check" or "remnants"
        bool dryRun = false;
    };
    void Begin(const Start& start);

    void DeleteKey(std::string_view root, std::string_view path, bool existed);
    enum class FileOutcome {
        Removed,  // existed, and goes
        Missing,  // nothing there
        Refused,  // something is there, but it is not removed: a folder, a link, outside the Windows folder
    };
    void DeleteFile(std::string_view path, FileOutcome outcome);
    void MessageBox(std::string_view caption, std::string_view text, UINT style, WORD language, int result);
    void Restart(UINT flags, BOOL result, DWORD error);
    // Something of the card still on the machine: its kind, its key or file, and what removes it ("run" or
    // "remnants").
    void Left(std::string_view kind, std::string_view where, std::string_view removedBy);
    // Something of the card's that no mode removes, since a device outside the card still uses it: its kind,
    // its key or file, and that device's key.
    void Kept(std::string_view kind, std::string_view where, std::string_view usedBy);
    // --check: a registry backup Windows keeps (its Windows path), with its date (YYYY-MM-DD HH:MM:SS, empty
    // when unknown) and what of the card is in it; or, when `damage` is not empty, why it could not be read.
    void RegistryBackup(std::string_view where, std::string_view date, std::string_view damage, bool deviceKey,
                        std::size_t left);
    // A change saved into a disk image or device, read back: every changed sector through a fresh open of
    // the disk, then the files written (`files`, of them `registryFiles` registry files checked as such) and
    // removed through the FAT reader. When not `matched`, `mismatch` says what differs.
    struct ReadBack {
        bool matched = false;
        std::uint64_t sectors = 0;
        unsigned files = 0;
        unsigned registryFiles = 0;
        std::string_view mismatch;
    };
    void Verified(const ReadBack& readBack);
    // The last record of a run.
    struct Summary {
        bool cardFound = false;
        bool declined = false;
        unsigned keysRemoved = 0;  // what the run removed (or, in a dry run, would remove); 0 when unsaved
        unsigned filesRemoved = 0;
        std::size_t left = 0;
        bool dryRun = false;
        bool saved = false;
        // How far the change got on the target's disk: not-changed, backup-kept, journal-left, registry-saved,
        // files-removed or committed.
        const char* stage = "not-changed";
        int exitStatus = 0;  // the program's exit status
        std::string backup {};  // the backup folder the run kept, as an absolute path; empty: none
    };
    void End(const Summary& summary);

    unsigned keysRemoved() const { return keysRemoved_; }
    unsigned filesRemoved() const { return filesRemoved_; }
    // Every line written so far, for tests and the summary.
    const std::string& text() const { return text_; }
    // False once a line could not be written whole to `out`; errno of the first failure in writeError().
    bool ok() const { return writeError_ == 0; }
    int writeError() const { return writeError_; }

private:
    void Emit(const std::string& line);

    std::FILE* out_;
    int writeError_ = 0;
    std::string text_;
    unsigned keysRemoved_ = 0;
    unsigned filesRemoved_ = 0;
};

}  // namespace emulated
