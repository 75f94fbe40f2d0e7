#include "offline/target.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image/image.h"
#include "storage/lock.h"

namespace offline {

namespace fs = std::filesystem;

namespace {

// The image open in this process, whose machine folder's paths messages name as the image.
const image::ImageMachine* shownImage = nullptr;

// A machine folder: the run's saves and removals land in it directly.
class FolderTarget final : public Target {
public:
    explicit FolderTarget(fs::path folder) : folder_(std::move(folder)) { }
    ~FolderTarget() override
    {
        if (lock_ >= 0)
            close(lock_);
    }
    // Takes the folder for the run: shared for a run that only reads it, else for this run alone. A folder
    // that cannot be opened is left to the run to report.
    bool Lock(bool writes, std::string& error)
    {
        lock_ = open(folder_.empty() ? "." : folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        pid_t holder = 0;
        if (lock_ < 0 || storage::TryLock(lock_, writes ? storage::LockKind::Exclusive : storage::LockKind::Shared, holder))
            return true;
        error = folder_.string() + " is in use by another run of cmpci-uninstall" +
                (holder != 0 ? " (process " + std::to_string(holder) + ")" : std::string()) + ": nothing was changed";
        return false;
    }
    fs::path folder() const override { return folder_; }
    fs::path shown() const override { return folder_; }
    fs::path backupBase() const override { return folder_.empty() ? fs::path(".") : folder_; }
    bool Fetch(const std::vector<std::string>&, std::string&) override { return true; }
    bool FetchMachineFiles(const std::vector<std::string>&, std::string&) override { return true; }
    bool Commit(const std::vector<std::string>&, const std::vector<std::string>&, std::string&) override
    {
        return true;
    }
    bool stagesChanges() const override { return false; }
    std::vector<fs::path> files() const override { return {}; }

private:
    fs::path folder_;
    int lock_ = -1;
};

// A disk image: the run works on a machine folder standing for it, and the changes go into the image at
// the very end.
class ImageTarget final : public Target {
public:
    explicit ImageTarget(fs::path image) : image_(std::move(image)) { shownImage = &machine_; }
    ~ImageTarget() override { shownImage = nullptr; }
    bool Open(const Options& options, std::vector<std::string>& said, std::string& error)
    {
        return machine_.Open({image_, options.partition, options.windows, WritesTarget(options)}, options.user, said,
                             error);
    }
    fs::path folder() const override { return machine_.machine(); }
    fs::path shown() const override { return image_; }
    fs::path backupBase() const override { return image_.parent_path().empty() ? fs::path(".") : image_.parent_path(); }
    bool Fetch(const std::vector<std::string>& files, std::string& error) override
    {
        return machine_.Fetch(files, error);
    }
    bool FetchMachineFiles(const std::vector<std::string>& files, std::string& error) override
    {
        return machine_.FetchMachineFiles(files, error);
    }
    bool Commit(const std::vector<std::string>& written, const std::vector<std::string>& removed,
                std::string& error) override
    {
        return machine_.Commit(written, removed, error);
    }
    bool stagesChanges() const override { return true; }
    std::vector<fs::path> files() const override { return machine_.files(); }

private:
    fs::path image_;
    image::ImageMachine machine_;
};

}  // namespace

std::string ShownInMessages(const std::string& message)
{
    return shownImage != nullptr ? shownImage->Shown(message) : message;
}

bool WritesTarget(const Options& options)
{
    return !options.restore.empty() || (options.exportFile.empty() && !options.dryRun && !options.check);
}

std::unique_ptr<Target> OpenTarget(const Options& options, std::vector<std::string>& said, std::string& error)
{
    if (options.image.empty()) {
        auto folder = std::make_unique<FolderTarget>(options.machine);
        if (!folder->Lock(WritesTarget(options), error))
            return nullptr;
        return folder;
    }
    auto image = std::make_unique<ImageTarget>(options.image);
    if (!image->Open(options, said, error))
        return nullptr;
    // An image its owner may not write is left alone, as Windows leaves a read-only file.
    struct stat status { };
    if (WritesTarget(options) && stat(options.image.c_str(), &status) == 0 && (status.st_mode & S_IWUSR) == 0) {
        error = options.image + " is read-only: nothing was changed";
        return nullptr;
    }
    return image;
}

}  // namespace offline
