// The checks a change makes on a FAT volume before it writes anything: each chain it touches is whole, and
// no other file shares its clusters. A volume that fails them is damaged (ScanDisk's work, not ours): the
// change is refused and nothing is written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fat/fat.h"

namespace image {

// A chain the change touches: a file it removes or rewrites, or a folder whose entries it writes.
struct TouchedChain {
    std::string path;         // on the volume, for messages ("" is the root folder)
    std::uint64_t owner = 0;  // the offset of the folder entry naming its first cluster; 0: none (FAT32's root)
    std::vector<std::uint32_t> clusters;
};

// The chain of `entry`, found at `path`, checked on its own: no loop, no free, reserved or bad cluster and
// none past the volume's last; a file's chain exactly as long as its size needs, a folder's no longer than
// FAT allows. `entry` is a folder entry, or the root folder as FatVolume::Find gives it. False with `fault`
// saying what is wrong.
bool TouchedChainOf(FatVolume& volume, const FatEntry& entry, const std::string& path, TouchedChain& chain,
                    std::string& fault);

// Checks that the touched chains are their owners' alone, across the whole volume: no FAT entry but a
// chain's own leads into one of their clusters, and no folder entry but the owner names one as its first
// cluster. Reads every FAT entry once (8 MB on an 8 GB FAT32 volume of 4 KB clusters) and every folder
// (what the files' count makes it, not the volume's size): a cross-link can come from anywhere. `free`
// receives the volume's free cluster count, counted on the way. False with `fault`.
bool ChainsApart(FatVolume& volume, const std::vector<TouchedChain>& chains, std::uint32_t& free, std::string& fault);

}  // namespace image
