#include "fat/fat_check.h"

#include <algorithm>
#include <unordered_map>

namespace image {

namespace {

std::string Shown(const std::string& path)
{
    return path.empty() ? "the root folder" : path;
}

// Where a touched cluster stands: which chain, at which place.
struct Place {
    std::size_t chain;
    std::size_t index;
};

// The touched clusters, marked for a quick test on every FAT entry and folder entry of the volume.
struct Touched {
    std::vector<bool> marked;
    std::unordered_map<std::uint32_t, Place> places;

    const Place* At(std::uint32_t cluster) const
    {
        if (cluster >= marked.size() || !marked[cluster])
            return nullptr;
        return &places.at(cluster);
    }
};

// Marks the chains' clusters; false with `fault` when two of them share one.
bool Mark(FatVolume& volume, const std::vector<TouchedChain>& chains, Touched& touched, std::string& fault)
{
    touched.marked.assign(std::size_t {volume.clusters()} + 2, false);
    for (std::size_t chain = 0; chain < chains.size(); ++chain) {
        for (std::size_t index = 0; index < chains[chain].clusters.size(); ++index) {
            const std::uint32_t cluster = chains[chain].clusters[index];
            if (const Place* other = touched.At(cluster)) {
                fault = Shown(chains[chain].path) + " shares its clusters with " + Shown(chains[other->chain].path);
                return false;
            }
            touched.marked[cluster] = true;
            touched.places[cluster] = {chain, index};
        }
    }
    return true;
}

// Every FAT entry: one leading into a touched cluster must be that cluster's predecessor in its chain. The
// FAT is read in blocks of entries, so that the scan costs a read of the FAT and little more.
bool FatApart(FatVolume& volume, const std::vector<TouchedChain>& chains, const Touched& touched, std::uint32_t& free,
              std::string& fault)
{
    constexpr std::uint32_t kBlock = 64 * 1024;
    free = 0;
    const std::uint32_t last = volume.clusters() + 1;
    std::vector<std::uint32_t> values;
    for (std::uint32_t first = 2; first <= last; first += kBlock) {
        if (!volume.Entries(first, std::min(kBlock, last - first + 1), values)) {
            fault = "its FAT cannot be read";
            return false;
        }
        for (std::uint32_t i = 0; i < values.size(); ++i) {
            const Place* place = values[i] == 0 ? nullptr : touched.At(values[i]);
            free += values[i] == 0 ? 1 : 0;
            if (place == nullptr)
                continue;
            const TouchedChain& chain = chains[place->chain];
            if (place->index == 0 || chain.clusters[place->index - 1] != first + i) {
                fault = Shown(chain.path) + " shares its clusters with another file (cluster " +
                        std::to_string(first + i) + " leads into it)";
                return false;
            }
        }
    }
    return true;
}

// Every folder entry of the volume: one whose first cluster is touched must be its chain's owner.
bool FoldersApart(FatVolume& volume, const std::vector<TouchedChain>& chains, const Touched& touched,
                  std::string& fault)
{
    struct Folder {
        std::uint32_t cluster;
        std::string path;
    };
    std::vector<Folder> pending {{0, ""}};
    std::vector<bool> seen(std::size_t {volume.clusters()} + 2, false);
    while (!pending.empty()) {
        const Folder folder = pending.back();
        pending.pop_back();
        std::vector<FatEntry> entries;
        if (!volume.List(folder.cluster, entries)) {
            fault = "the folder " + Shown(folder.path) + " cannot be read";
            return false;
        }
        for (const FatEntry& entry : entries) {
            const std::string path = folder.path.empty() ? entry.name : folder.path + "/" + entry.name;
            if (const Place* place = touched.At(entry.cluster)) {
                const TouchedChain& chain = chains[place->chain];
                if (place->index != 0 || chain.owner != entry.offset) {
                    fault = Shown(chain.path) + " shares its clusters with " + path;
                    return false;
                }
            }
            // A folder met twice (a damaged tree that loops) is read once.
            if (entry.folder() && entry.cluster >= 2 && entry.cluster < seen.size() && !seen[entry.cluster]) {
                seen[entry.cluster] = true;
                pending.push_back({entry.cluster, path});
            }
        }
    }
    return true;
}

}  // namespace

bool TouchedChainOf(FatVolume& volume, const FatEntry& entry, const std::string& path, TouchedChain& chain,
                    std::string& fault)
{
    chain = TouchedChain {path, entry.offset, {}};
    const std::string shown = Shown(path);
    if (entry.folder()) {
        // The root folder (offset 0: no entry names it) is the volume's; another folder has clusters of its own.
        const bool root = entry.offset == 0;
        if ((!root && entry.cluster == 0) || !volume.FolderChain(root ? 0 : entry.cluster, chain.clusters)) {
            fault = shown + ": its cluster chain is broken or longer than a folder may be";
            return false;
        }
        return true;
    }
    const std::uint64_t needed = (std::uint64_t {entry.size} + volume.clusterBytes() - 1) / volume.clusterBytes();
    if (needed == 0) {
        if (entry.cluster == 0)
            return true;
        fault = shown + " holds clusters but its size is 0";
        return false;
    }
    if (volume.Chain(entry.cluster, chain.clusters, static_cast<std::uint32_t>(needed))) {
        if (chain.clusters.size() == needed)
            return true;
        fault = shown + ": its cluster chain is shorter than its size";
        return false;
    }
    // Longer than its size needs, or not a chain at all.
    std::vector<std::uint32_t> whole;
    fault = shown + (volume.Chain(entry.cluster, whole) ? ": its cluster chain is longer than its size"
                                                        : ": its cluster chain is broken (it loops, or runs into a "
                                                          "free, bad or missing cluster)");
    return false;
}

bool ChainsApart(FatVolume& volume, const std::vector<TouchedChain>& chains, std::uint32_t& free, std::string& fault)
{
    Touched touched;
    return Mark(volume, chains, touched, fault) && FatApart(volume, chains, touched, free, fault) &&
           FoldersApart(volume, chains, touched, fault);
}

}  // namespace image
