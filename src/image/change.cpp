#include "image/change.h"

#include <algorithm>

#include "common/fold_case.h"
#include "fat/fat_check.h"
#include "fat/fat_write.h"

namespace image {

namespace {

// One file of the edit, with what the volume holds for it.
struct Step {
    enum class Kind { Remove, Rewrite, Create };
    Kind kind;
    std::string path;
    const WrittenFile* written = nullptr;  // Rewrite, Create
    FatEntry file;                       // Remove, Rewrite
    std::vector<std::uint32_t> chain;    // its clusters, once checked
    FatEntry folder;                     // the folder holding it
    std::string folderPath;
    std::string name;  // its name in the folder
};

// Finds the file a step names and its folder; false with `error` when they are not there as the step needs.
bool Locate(FatVolume& volume, Step& step, std::string& error)
{
    const std::size_t slash = step.path.rfind('/');
    step.folderPath = slash == std::string::npos ? "" : step.path.substr(0, slash);
    step.name = step.path.substr(slash == std::string::npos ? 0 : slash + 1);
    if (!volume.Find(step.folderPath, step.folder) || !step.folder.folder()) {
        error = "its folder is not there";
        return false;
    }
    const bool there = volume.Find(step.path, step.file);
    if (there && step.file.folder()) {
        error = "it is a folder";
        return false;
    }
    if (step.kind == Step::Kind::Remove && !there) {
        error = "it is not there";
        return false;
    }
    if (step.kind != Step::Kind::Remove)
        step.kind = there ? Step::Kind::Rewrite : Step::Kind::Create;
    return true;
}

// Whether two located steps name one file: two steps on it would free its clusters twice, or make two
// entries of one name.
bool SameFile(const Step& a, const Step& b)
{
    if ((a.kind == Step::Kind::Create) != (b.kind == Step::Kind::Create))
        return false;
    if (a.kind != Step::Kind::Create)
        return a.file.offset == b.file.offset;
    return a.folder.offset == b.folder.offset && a.folder.cluster == b.folder.cluster && SameName(a.name, b.name);
}

std::string Verb(const Step& step)
{
    return step.kind == Step::Kind::Remove ? "delete" : "write";
}

bool Locate(FatVolume& volume, const std::string& image, const VolumeEdit& edit, std::vector<Step>& steps,
            std::string& error)
{
    for (const WrittenFile& file : edit.written)
        steps.push_back({Step::Kind::Rewrite, file.path, &file, {}, {}, {}, {}, {}});
    for (const std::string& path : edit.removed)
        steps.push_back({Step::Kind::Remove, path, nullptr, {}, {}, {}, {}, {}});
    for (std::size_t i = 0; i < steps.size(); ++i) {
        Step& step = steps[i];
        if (!Locate(volume, step, error)) {
            error = "cannot " + Verb(step) + " " + step.path + " in " + image + ": " + error;
            return false;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (SameFile(steps[j], step)) {
                error = "cannot " + Verb(step) + " " + step.path + " in " + image + ": the change names it twice";
                return false;
            }
        }
    }
    return true;
}

// Checks every chain the steps touch (the files removed or rewritten, the folders whose entries are written)
// and that no other file shares them. `free` receives the volume's free clusters.
bool Check(FatVolume& volume, std::vector<Step>& steps, std::uint32_t& free, std::string& fault)
{
    std::vector<TouchedChain> chains;
    std::vector<std::uint64_t> folders;  // by the offset of their entry (0: the root folder)
    for (Step& step : steps) {
        TouchedChain chain;
        if (step.kind != Step::Kind::Create) {
            if (!TouchedChainOf(volume, step.file, step.path, chain, fault))
                return false;
            step.chain = chain.clusters;
            chains.push_back(std::move(chain));
        }
        if (std::find(folders.begin(), folders.end(), step.folder.offset) != folders.end())
            continue;
        folders.push_back(step.folder.offset);
        if (!TouchedChainOf(volume, step.folder, step.folderPath, chain, fault))
            return false;
        chains.push_back(std::move(chain));
    }
    return ChainsApart(volume, chains, free, fault);
}

bool Make(FatWriter& writer, const Step& step, std::time_t when, std::string& error)
{
    switch (step.kind) {
    case Step::Kind::Remove: return writer.Remove(step.file, step.chain, error);
    case Step::Kind::Rewrite:
        return writer.Rewrite(step.file, step.chain, step.written->bytes, step.written->stamp, when, error);
    case Step::Kind::Create:
        return writer.Create(step.folder, step.name, step.written->bytes, step.written->stamp, when, error);
    }
    return false;
}

// Makes the steps' changes: removals first, so that their clusters serve the files written.
bool Apply(FatWriter& writer, const std::string& image, const std::vector<Step>& steps, std::time_t when,
           std::uint32_t free, std::string& error)
{
    for (const Step::Kind kind : {Step::Kind::Remove, Step::Kind::Rewrite, Step::Kind::Create}) {
        for (const Step& step : steps) {
            if (step.kind == kind && !Make(writer, step, when, error)) {
                error = "cannot " + Verb(step) + " " + step.path + " in " + image + ": " + error;
                return false;
            }
        }
    }
    if (!writer.UpdateFsInfo(free, error)) {
        error = image + ": " + error;
        return false;
    }
    return true;
}

}  // namespace

bool PlanVolumeChange(FatVolume& volume, std::uint64_t offset, const std::string& image, const VolumeEdit& edit,
                      std::vector<DiskChange>& changes, std::vector<DiskChange>& old, std::string& error)
{
    FatWriter writer;
    if (!writer.Open([&volume](std::uint64_t at, void* into, std::size_t size) { return volume.Read(at, into, size); },
                     volume.size(), error)) {
        error = image + ": the volume cannot be changed: " + error;
        return false;
    }
    std::vector<Step> steps;
    std::uint32_t free = 0;
    std::string fault;
    if (!Locate(writer.volume(), image, edit, steps, error))
        return false;
    if (!Check(writer.volume(), steps, free, fault)) {
        error = image + ": the FAT volume is damaged (" + fault + "): run ScanDisk on it in Windows first";
        return false;
    }
    if (!Apply(writer, image, steps, edit.when, free, error))
        return false;
    writer.Changes(offset, changes, old);
    return true;
}

}  // namespace image
