// What a run works on: a machine folder, or a disk image through a machine folder standing for it. The run
// opens its target, works on the target's machine folder, and at the end commits what it saved and removed
// into the target, or abandons it and leaves the target as it was.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "offline/options.h"

namespace offline {

class Target {
public:
    virtual ~Target() = default;

    // The machine folder the run works on.
    virtual std::filesystem::path folder() const = 0;
    // The machine as the user named it (the folder, or the image), for the backup's manifest.
    virtual std::filesystem::path shown() const = 0;
    // Where a dated backup goes: the machine folder, or beside an image.
    virtual std::filesystem::path backupBase() const = 0;
    // Makes the real bytes of these files (relative to the Windows folder) present before a backup keeps them.
    virtual bool Fetch(const std::vector<std::string>& files, std::string& error) = 0;
    // Makes the files a backup names (relative to the machine folder) present before a restore checks them.
    virtual bool FetchMachineFiles(const std::vector<std::string>& files, std::string& error) = 0;
    // Carries the files written (relative to the machine folder) and removed (relative to the Windows
    // folder) into the target. False with a one-line `error`; the target is then as it was.
    virtual bool Commit(const std::vector<std::string>& written, const std::vector<std::string>& removed,
                        std::string& error) = 0;
    // True when the run's saved files are only in the machine folder until Commit (an image).
    virtual bool stagesChanges() const = 0;
    // The files the run reads or writes beside the machine folder: an image, its backing files and its
    // rollback journal's place.
    virtual std::vector<std::filesystem::path> files() const = 0;
};

// Opens the target the options name. `said` receives what was found. Null with a one-line `error`, also for
// an image that a run which writes may not change.
std::unique_ptr<Target> OpenTarget(const Options& options, std::vector<std::string>& said, std::string& error);

// `message` as the user should read it: while an image is open, the paths of the machine folder standing
// for it are named as the image and the path inside it.
std::string ShownInMessages(const std::string& message);

// Whether a run with these options writes to its target.
bool WritesTarget(const Options& options);

}  // namespace offline
