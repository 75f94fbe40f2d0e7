#include "storage/file_stamp.h"

#include <sys/stat.h>

namespace storage {

FileStamp HostStamp(const std::filesystem::path& file)
{
    FileStamp stamp;
    struct stat status { };
    if (lstat(file.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        stamp.kind = FileStamp::Kind::Host;
        stamp.modified = status.st_mtim;
    }
    return stamp;
}

bool ModifiedTime(const FileStamp& stamp, timespec& modified)
{
    if (stamp.kind == FileStamp::Kind::Host) {
        modified = stamp.modified;
        return true;
    }
    if (stamp.kind != FileStamp::Kind::Fat)
        return false;
    const unsigned date = stamp.fat.writeDate;
    const unsigned time = stamp.fat.writeTime;
    std::tm local {};
    local.tm_year = static_cast<int>(date >> 9) + 80;
    local.tm_mon = static_cast<int>(date >> 5 & 15) - 1;
    local.tm_mday = static_cast<int>(date & 31);
    local.tm_hour = static_cast<int>(time >> 11);
    local.tm_min = static_cast<int>(time >> 5 & 63);
    local.tm_sec = static_cast<int>(time & 31) * 2;
    local.tm_isdst = -1;
    if (local.tm_mon < 0 || local.tm_mon > 11 || local.tm_mday == 0 || local.tm_hour > 23 || local.tm_min > 59 ||
        local.tm_sec > 59)
        return false;
    modified = {std::mktime(&local), 0};
    return modified.tv_sec != -1;
}

}  // namespace storage
