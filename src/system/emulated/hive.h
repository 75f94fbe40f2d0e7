// Windows 9x binary registry files (SYSTEM.DAT, USER.DAT) in the emulated registry: their keys are read
// into the same tree as a REGEDIT4 file's, so the logic runs on them unchanged; a run's removals are cut out
// of the file in place, as Windows deletes a key; and new files are built from a registry.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "system/emulated/hive_file.h"
#include "system/emulated/registry.h"

namespace emulated {

// Loads a binary registry file below `root\path` (made when missing): the file's root key is that key, its
// subkeys and values are the file's. Names are case-insensitive with their stored case, subkeys keep the
// file's order, and subkeys and values are read from the file when first asked for; the whole key tree and
// every record are checked first. A REG_SZ or REG_EXPAND_SZ stored without its terminator is read with one,
// as Windows returns it. False with the offset at fault; then nothing of the file is loaded.
bool LoadHive(std::string bytes, Registry& registry, HKEY root, std::string_view path, HiveError& error);

// The binary registry files loaded, in load order.
std::size_t HiveCount(const Registry& registry);
// True once a run removed a key of that file.
bool HiveModified(const Registry& registry, std::size_t hive);

// The file's bytes with every key DeleteKey removed since loading cut out in place: each removed key is
// unlinked from its parent's subkeys, its entry and those of its subtree go to the free entries, and their
// key records become free records counted in their blocks' free bytes. Every other byte stays.
std::string EditedHive(const Registry& registry, std::size_t hive);

// Builds a new binary registry file holding the keys below `root\path` (which becomes the file's root key),
// laid out as Windows 98 writes one: the key tree in depth-first order with free entries to the end of its
// last 4 KB page, then data blocks of up to 64 KB in 4 KB pages holding the key records in the same order.
// Strings are stored without their terminator, as Windows stores them (one ending in more zeros keeps them
// all, so that it reads back as it was). False with a one-line `error` when
// something does not fit the format (a value of more than 65,535 bytes, say).
bool BuildHive(const Registry& registry, HKEY root, std::string_view path, std::string& out, std::string& error);

}  // namespace emulated
