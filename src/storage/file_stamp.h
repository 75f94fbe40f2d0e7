// What a file's folder entry holds beside its name and bytes: on a FAT volume its attributes and dates, on a
// host its time of last change. A backup keeps each file's stamp so that a restore gives it back with the
// file.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>

namespace storage {

// A FAT entry's attributes and dates as the entry stores them: dates and times in the guest's local time,
// packed as FAT packs them (a date's years counted from 1980, a time's seconds in two-second steps).
struct FatStamp {
    std::uint8_t attributes = 0;
    std::uint8_t createHundredths = 0;  // 10 ms steps past the creation time's two-second step (0-199)
    std::uint16_t createTime = 0;
    std::uint16_t createDate = 0;
    std::uint16_t accessDate = 0;
    std::uint16_t writeTime = 0;
    std::uint16_t writeDate = 0;
    bool operator==(const FatStamp&) const = default;
};

struct FileStamp {
    enum class Kind {
        None,  // nothing known (a backup of an older version): the file is dated when it is written
        Fat,   // `fat`: the file came from a FAT volume
        Host,  // `modified`: the file came from a host folder
    };
    Kind kind = Kind::None;
    FatStamp fat;
    timespec modified {};
};

// A file, by its path, with the stamp it is to get.
struct StampedFile {
    std::string path;
    FileStamp stamp;
};

// A host file's stamp: its time of last change; none when `file` is not a regular file.
FileStamp HostStamp(const std::filesystem::path& file);

// The host time of last change of a file with `stamp`: a host file's own, or a FAT entry's time of last write
// read as local time, the clock a Windows guest keeps. False when the stamp has none (or an invalid date).
bool ModifiedTime(const FileStamp& stamp, timespec& modified);

}  // namespace storage
