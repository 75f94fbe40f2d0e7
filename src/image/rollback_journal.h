// The rollback journal of a disk image, kept beside it as IMAGE.cmpci-rollback while a run writes into the
// image in place: the old bytes of every range the run is about to change, written and flushed before the
// first of them changes, and removed once the image holds all the changes. A journal found later belongs
// to a run that was cut short; played back, it puts the image back as it was before that run.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "image/disk.h"

namespace image {

// The journal's place: beside the image file, its name and ".cmpci-rollback".
std::filesystem::path RollbackJournalOf(const std::filesystem::path& image);

// Writes the journal holding `old`, exclusively, and flushes it and its folder. False with `error`.
bool WriteRollbackJournal(const std::filesystem::path& journal, const std::vector<DiskChange>& old, std::string& error);

enum class JournalFound {
    None,  // no journal
    Torn,  // a journal cut short while it was written: the image was not yet touched
    Whole, // a whole journal: its old bytes go back into the image
};

// Reads a journal: `old` receives its ranges when it is whole.
JournalFound ReadRollbackJournal(const std::filesystem::path& journal, std::vector<DiskChange>& old, std::string& error);

// Removes the journal and flushes its folder: the run's changes then stand.
bool RemoveRollbackJournal(const std::filesystem::path& journal, std::string& error);

}  // namespace image
