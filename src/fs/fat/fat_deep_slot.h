#pragma once
// The plausibility tests the advanced scan applies to a 32-byte slot found anywhere on a damaged volume: is
// it a directory entry or a long-name slot worth keeping? FAT16 and FAT32 test differently; FAT32 also spots
// the slots that mark the start of its root directory (volume label, Recycle Bin).
#include <cstdint>

#include "fs/fat/fat_names.h"
#include "io/bytes.h"

namespace salvora {

// Candidate slot of the advanced scan (long-name slot, folder or file entry). clusterCount: clusters the
// chosen geometry gives the volume; a first cluster at or beyond it is not plausible.
bool DeepSlotPasses(Bytes slot, FatKind kind, std::uint64_t clusterCount);
// FAT32: a volume-label or "?RECYCLE" slot, taken as the first slot of the root directory.
bool Fat32RootHint(Bytes slot);
// The first slot of a directory's first cluster: "." (a folder attribute) followed by "..". Gives the
// folder's own first cluster, or 0.
std::uint32_t DotEntryCluster(Bytes twoSlots);

}  // namespace salvora
