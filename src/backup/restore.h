// Undo for the offline program: --restore puts back what the run whose backup a folder holds removed.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace backup {

// Puts back what the run whose backup `folder` holds removed from `machine`. `said` receives what was done,
// a line each. False with a one-line `error` when nothing could be restored safely (then nothing is).
// `written`, when given, receives every file written, relative to the machine folder.
bool RestoreBackup(const std::filesystem::path& folder, const std::filesystem::path& machine,
                   std::vector<std::string>& said, std::string& error, std::vector<std::string>* written = nullptr);

// The files of the machine folder a backup names (registry files and removed files), relative to it.
std::vector<std::string> BackupMachineFiles(const std::filesystem::path& folder);

}  // namespace backup
