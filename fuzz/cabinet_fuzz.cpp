// The cabinet reader on any bytes, as a Registry Checker backup is read: SYSTEM.DAT and USER.DAT extracted
// into memory, within limits small enough that an input cannot reach them by size alone. A cabinet taken
// lists at most the limit's files and holds each wanted file whole, at its declared size; one refused says
// why in one line and lists nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "registry_backups/cabinet.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string cabinet(reinterpret_cast<const char*>(data), size);
    const backup::CabinetLimits limits {1 << 20, 16, 1 << 20, 16 << 20};
    std::vector<backup::CabinetFile> files;
    std::string error;
    if (backup::ReadCabinetBytes(cabinet, {"SYSTEM.DAT", "USER.DAT"}, files, error, limits)) {
        Check(!files.empty() && files.size() <= limits.files);
        for (const backup::CabinetFile& file : files)
            Check(file.bytes.empty() || file.bytes.size() == file.size);
    } else {
        Check(files.empty() && !error.empty() && error.find('\n') == std::string::npos);
    }
    return 0;
}
