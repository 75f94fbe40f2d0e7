// Cabinet files (.CAB) as the Registry Checker writes its registry backups, read through Debian's libmspack:
// the cabinet is read into memory and the files asked for are extracted into memory, never to disk. Every
// size is bounded before anything is allocated for it, so that a damaged or crafted cabinet ends in a
// one-line error and never takes the machine's memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace backup {

// What a cabinet may take. The Registry Checker's cabinets hold four to a dozen files of a few megabytes.
struct CabinetLimits {
    std::uint64_t cabinetBytes = std::uint64_t {128} << 20;  // the cabinet file itself
    unsigned files = 64;                                     // files in it
    std::uint32_t fileBytes = std::uint32_t {128} << 20;     // each file extracted
    std::uint64_t libraryBytes = std::uint64_t {64} << 20;   // all that libmspack allocates at once
};

// A file in a cabinet, with its last-write time as the cabinet holds it (the writing machine's local time).
struct CabinetFile {
    std::string name;   // as stored, folders included; control characters shown as '?'
    std::uint32_t size = 0;
    std::string time;   // YYYY-MM-DD HH:MM:SS
    std::string bytes;  // filled for the files asked for
};

// Reads the cabinet `file` (a regular file, never through a link) and extracts every file whose name, less
// any folders, is one of `wanted` (ignoring case). `files` receives every file the cabinet lists. False with
// a one-line `error` saying what is wrong with the cabinet (nothing is extracted then).
bool ReadCabinet(const std::filesystem::path& file, const std::vector<std::string_view>& wanted,
                 std::vector<CabinetFile>& files, std::string& error, const CabinetLimits& limits = {});

// The same for a cabinet already in memory.
bool ReadCabinetBytes(const std::string& cabinet, const std::vector<std::string_view>& wanted,
                      std::vector<CabinetFile>& files, std::string& error, const CabinetLimits& limits = {});

}  // namespace backup
