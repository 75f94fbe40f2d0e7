// The backup's manifest reader on any bytes. A manifest it takes names only paths inside the Windows folder
// and the backup, and names a machine; the text Manifest::Text writes of it reads back to the same manifest.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "backup/manifest.h"
#include "common/fold_case.h"
#include "common/path_parts.h"
#include "fuzz_check.h"

namespace {

bool InsideWindows(const std::string& path)
{
    return StaysInside(path) && path.size() > 8 && path[7] == '/' && SameName(path.substr(0, 7), "WINDOWS");
}

bool Same(const backup::Manifest& a, const backup::Manifest& b)
{
    if (a.machine != b.machine || a.binary != b.binary || a.registryFile != b.registryFile ||
        a.sha256Before != b.sha256Before || a.sha256After != b.sha256After || a.files.size() != b.files.size() ||
        a.registryFiles.size() != b.registryFiles.size() || a.marks.registry != b.marks.registry ||
        a.marks.volumeSerial != b.marks.volumeSerial || a.marks.partition != b.marks.partition)
        return false;
    for (std::size_t i = 0; i < a.files.size(); ++i) {
        if (a.files[i].host != b.files[i].host || a.files[i].sha256 != b.files[i].sha256 ||
            a.files[i].size != b.files[i].size)
            return false;
    }
    for (std::size_t i = 0; i < a.registryFiles.size(); ++i) {
        if (a.registryFiles[i].host != b.registryFiles[i].host || a.registryFiles[i].before != b.registryFiles[i].before)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    backup::Manifest manifest;
    std::string error;
    if (!backup::ParseManifest(text, "manifest.json", manifest, error)) {
        Check(!error.empty());
        return 0;
    }
    Check(!manifest.machine.empty());
    for (const backup::ManifestFile& file : manifest.files)
        Check(InsideWindows(file.host));
    for (const backup::ManifestRegistryFile& file : manifest.registryFiles)
        Check(InsideWindows(file.host) && StaysInside(file.before));
    // Written again (as this version writes it, marks included), it reads back alike.
    manifest.marks.recorded = true;
    backup::Manifest again;
    Check(backup::ParseManifest(manifest.Text(), "manifest.json", again, error));
    Check(Same(manifest, again));
    return 0;
}
