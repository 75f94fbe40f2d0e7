// One commit for a machine folder's whole change: its registry files (SYSTEM.DAT and USER.DAT together) and
// the files the run removes. Each new registry file is staged whole and fsynced under a private name beside
// its place; then a commit record naming every staged file (with its size and digest), its place, and the
// files to remove is written whole and synced with its folder; then the staged files are renamed into place,
// the files removed, and the record removed. A run cut short after the record leaves the record: the next
// start finishes the change from it (the staged files are whole by then), so a machine is always as it was
// or as the run leaves it, never with one registry file new and the other old.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "machine/machine_folder.h"
#include "storage/durable.h"

namespace emulated {

// The commit record's name in the machine folder.
inline constexpr char kCommitRecordName[] = "cmpci-uninstall.commit";

struct CommitRecord {
    struct File {
        std::string staged;  // the staged file, relative to the machine folder
        std::string place;   // where it goes, in the same folder
        std::uint64_t size = 0;
        std::string digest;  // SHA-256 of its bytes, in hex
    };
    std::vector<File> files;
    std::vector<std::string> removals;  // relative to the machine folder
};

// The record's bytes, and their reading: false when they are not a whole record (`error` says why).
std::string FormatCommitRecord(const CommitRecord& record);
bool ParseCommitRecord(const std::string& bytes, CommitRecord& record, std::string& error);

// How far a commit got on the disk.
struct CommitProgress {
    std::vector<std::string> saved;  // registry files in place, as host paths
    std::size_t removed = 0;         // files removed
    bool recorded = false;           // the commit record is on the disk (the change will be finished)
    std::vector<StagedBytes> meant;  // each registry file saved, as staged: what reading it back must find
};

// Saves the run's change into the machine folder as one commit: the registry files the run changed and the
// files it removed (`removals`, relative to the Windows folder). A change of one registry file alone needs no
// record. False with a one-line `error` naming the cause; `progress` says how far it got: with nothing in
// place, the machine is as it was; with the record left behind (`recorded`), the next start finishes the
// change.
bool CommitMachineChange(const MachineFolder& machine, const Registry& registry,
                         const std::vector<std::string>& removals, CommitProgress& progress, std::string& error,
                         storage::Syscalls& calls = storage::Syscalls::Real());

// At a start on the machine folder open on `folder`: finishes the commit a run cut short left, if any. True
// when there was none or it was finished (`said` then holds one line saying so); false with a one-line
// `error`, nothing changed, when the record or a staged file it names is not whole.
bool FinishCutShortCommit(const storage::Folder& folder, std::string& said, std::string& error,
                          storage::Syscalls& calls = storage::Syscalls::Real());

}  // namespace emulated
